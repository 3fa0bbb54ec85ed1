// The korvel._engine module: the array front end. Each type registers itself on the module
// object during initialisation.
#pragma once

#include <Python.h>

namespace korvel::py {

// Adds the Writer type to `module`; -1 with the error set on failure.
int register_writer_type(PyObject* module);

// Adds the Index type and the open() function to `module`; -1 with the error set on failure.
int register_index_type(PyObject* module);

}  // namespace korvel::py
