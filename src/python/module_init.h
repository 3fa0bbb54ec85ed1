// The entry point shared by both extension modules: single-phase initialisation, one module
// object per process, bound to the first interpreter that imports it. The types live in
// process-wide globals, so a second interpreter's copies would replace them and then be freed
// with that interpreter; a second interpreter gets ImportError instead.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace korvel::py {

// One module's process-wide state; each module defines its own.
struct ModuleSlot {
  std::atomic<int64_t> interpreter_id{-1};
  PyObject* module = nullptr;  // written once under the interpreter lock
};

// What PyInit_<name> returns: the cached module (a new reference), made by create() on the
// first call; nullptr with the error set on failure. `qualified_name` ("korvel._native")
// names the module in the ImportError.
inline PyObject* module_for_first_interpreter(ModuleSlot& slot, const char* qualified_name,
                                              PyObject* (*create)()) {
  std::atomic<int64_t>& interpreter_id = slot.interpreter_id;
  PyObject*& module = slot.module;
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  int64_t expected = -1;
  if (!interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError, (std::string(qualified_name) +
                                        " can only be imported in one interpreter per process")
                                           .c_str());
    return nullptr;
  }
  if (module == nullptr) {
    module = create();
    if (module == nullptr) return nullptr;
  }
  Py_INCREF(module);
  return module;
}

}  // namespace korvel::py
