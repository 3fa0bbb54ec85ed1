// Module entry point of korvel._engine: one module object per process (module_init.h), the
// types registered by their own files, and the process's thread pool (process_pool.h).
#include <Python.h>

#include "python/engine/engine.h"
#include "python/module_init.h"
#include "python/process_pool.h"
#include "python/py_ref.h"

namespace korvel::py {
namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "The array front end of Korvel: bulk writing and batched search.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

ModuleSlot g_slot;

PyObject* create_module() {
  OwnedRef module = OwnedRef::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  if (register_thread_pool(module.get()) != 0) return nullptr;  // first: refuses a bad setting
  if (register_writer_type(module.get()) != 0) return nullptr;
  if (register_index_type(module.get()) != 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace korvel::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__engine() {
  return korvel::py::module_for_first_interpreter(korvel::py::g_slot, "korvel._engine",
                                                  &korvel::py::create_module);
}
