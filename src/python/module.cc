// Module entry point: single-phase initialisation of korvel._native, cached per process and
// bound to the first interpreter that imports it.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/hybrid_index.h"

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

std::atomic<int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

PyObject* create_module() {
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
  using namespace korvel::py;
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "korvel._native can only be imported in one interpreter per process");
    return nullptr;
  }
  if (g_module == nullptr) {
    g_module = create_module();
    if (g_module == nullptr) return nullptr;
  }
  Py_INCREF(g_module);
  return g_module;
}
