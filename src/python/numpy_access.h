// NumPy access for the binding layer, through NumPy's own C API. The API table is imported
// on first use, never at module import; objects can only be arrays once NumPy is loaded,
// so checks on a process that never imported NumPy cost one dictionary lookup.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>

#include "python/py_error.h"

namespace korvel::py {

enum class ElementType { kFloat32, kFloat64, kUInt8, kOther };

struct ArrayInfo {
  bool exact_ndarray;  // the ndarray type itself, not a subtype
  int ndim;
  ElementType element;  // by dtype equivalence (native byte order only)
  bool contiguous;      // C- or F-contiguous
  const void* data;
  size_t length;  // elements along the first axis (1-D arrays)
};

// Array facts when `obj` is a NumPy array (ndarray or subtype); nothing otherwise. Never
// imports NumPy: when it is not loaded, no object can be an array. Error: NumPy is loaded
// but its C API cannot be imported (NumPy's ImportError).
PyResult<std::optional<ArrayInfo>> inspect_array(PyObject* obj);

// A new C-ordered float64 array of shape (rows, 2) and its data, imported on demand.
PyResult<OwnedRef> new_f64_matrix(size_t rows, double** data);

}  // namespace korvel::py
