// Module entry point: single-phase initialisation of korvel._native, cached per process and
// bound to the first interpreter that imports it; it runs its jobs on korvel._engine's thread
// pool (process_pool.h).
#include <Python.h>

#include "python/hybrid_index.h"
#include "python/module_init.h"
#include "python/process_pool.h"

namespace korvel::py {
namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "Initialization function for the korvel._native extension module.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

ModuleSlot g_slot;

PyObject* create_module() {
  if (adopt_engine_thread_pool() != 0) return nullptr;
  OwnedRef module = OwnedRef::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  PyTypeObject* type = hybrid_index_type();
  if (type == nullptr) return nullptr;

  OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module.get(), "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    all = OwnedRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) != 0) return nullptr;
  }
  OwnedRef name = OwnedRef::steal(PyUnicode_FromString("HybridIndex"));
  if (!name || PyList_Check(all.get()) == 0 || PyList_Append(all.get(), name.get()) != 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return nullptr;
  }
  if (PyObject_SetAttrString(module.get(), "HybridIndex", reinterpret_cast<PyObject*>(type)) != 0) {
    return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace korvel::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  return korvel::py::module_for_first_interpreter(korvel::py::g_slot, "korvel._native",
                                                  &korvel::py::create_module);
}
