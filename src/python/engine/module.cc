// Module entry point of korvel._engine: single-phase initialisation, one module object per
// process bound to the first interpreter that imports it (the types live in process-wide
// globals, so a second interpreter's copies would replace them and then be freed with it),
// the types registered by their own files.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/engine/engine.h"
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

std::atomic<int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

PyObject* create_module() {
  OwnedRef module = OwnedRef::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  if (register_writer_type(module.get()) != 0) return nullptr;
  if (register_index_type(module.get()) != 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace korvel::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__engine() {
  using namespace korvel::py;
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "korvel._engine can only be imported in one interpreter per process");
    return nullptr;
  }
  if (g_module == nullptr) {
    g_module = create_module();
    if (g_module == nullptr) return nullptr;
  }
  Py_INCREF(g_module);
  return g_module;
}
