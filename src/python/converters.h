// Converters from Python argument objects to owned C++ values. Each returns the value or
// the PyError to raise; Args::convert applies the "argument '{name}':" re-wording.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "python/py_error.h"

namespace korvel::py {

// A converted argument of a method not declared with MethodDecl (Args::convert does this for
// declared ones): a TypeError becomes "argument '{name}': {message}"; other errors pass.
template <class T>
PyResult<T> argument(const char* name, PyResult<T> r) {
  if (r) return r;
  return unexpected(std::move(r).error().reword_for_argument(name));
}

// An int (or __index__ object) in 0..2^64-1; the interpreter's own errors otherwise.
PyResult<uint64_t> to_u64(PyObject* obj);

// An int (or __index__ object) in 0..2^32-1: converted to a C long first (the
// interpreter's errors), then "out of range integral type conversion attempted".
PyResult<uint32_t> to_u32(PyObject* obj);

// The UTF-8 text of a str (subclasses included); other objects fail with
// "'{type}' object cannot be converted to 'PyString'".
PyResult<std::string> to_utf8(PyObject* obj);

// A sequence (not a str) whose items are all str.
PyResult<std::vector<std::string>> to_string_list(PyObject* obj);

// A sequence (not a str) whose items convert to float, each narrowed to float32.
PyResult<std::vector<float>> to_f32_list(PyObject* obj);

// The nearest float32 to `d`; beyond the float32 range gives infinities, NaN stays NaN.
float narrow_to_f32(double d) noexcept;

}  // namespace korvel::py
