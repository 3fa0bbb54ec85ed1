// Argument binding for the fast-call-with-keywords convention: positional arguments fill
// parameters in order, keywords match by exact name, and every violation raises TypeError
// with the interpreter-style messages ("takes from 2 to 4 positional arguments ...").
#pragma once

#include <Python.h>

#include "python/method_decl.h"
#include "python/py_error.h"

namespace korvel::py {

// Binds args[0..nargs) and the keyword values args[nargs..] named by `kwnames` to the
// parameters of `decl`, into out[0..decl.params.size()): borrowed references, nullptr where
// a parameter was not given. Checks in order: positional count, each keyword in call order,
// missing required ones.
PyResult<void> bind_arguments(const MethodDecl& decl, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, PyObject** out);

}  // namespace korvel::py
