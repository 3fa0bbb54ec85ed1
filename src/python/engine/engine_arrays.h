// NumPy arrays for the engine's methods: the query matrix read in place and the result
// arrays created. NumPy's C API table is imported on first use.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "python/py_error.h"

namespace korvel::py {

struct FloatMatrix {
  const float* data;
  size_t rows;
  size_t cols;
};

// A C-contiguous 2-D float32 ndarray in native byte order, read in place; ValueError
// "{name} must be a C-contiguous 2-D float32 array" for anything else.
PyResult<FloatMatrix> float32_matrix(PyObject* obj, const char* name);

enum class ArrayKind { kUInt64, kFloat32, kInt64 };

// A new C-ordered array of `ndim` (1 or 2) dimensions and its uninitialised data.
PyResult<OwnedRef> new_array(ArrayKind kind, int ndim, const size_t* dims, void** data);

}  // namespace korvel::py
