#include "python/engine/engine_arrays.h"

#define PY_ARRAY_UNIQUE_SYMBOL korvel_engine_ARRAY_API
#include <numpy/arrayobject.h>

#include <string>

namespace korvel::py {
namespace {

bool g_api_ready = false;  // written under the interpreter lock only

PyResult<void> ensure_api() {
  if (g_api_ready) return {};
  if (_import_array() < 0) return unexpected(PyError::fetch());
  g_api_ready = true;
  return {};
}

}  // namespace

PyResult<FloatMatrix> float32_matrix(PyObject* obj, const char* name) {
  KORVEL_TRY(ensure_api());
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  if (!PyArray_Check(obj) || PyArray_NDIM(a) != 2 || PyArray_TYPE(a) != NPY_FLOAT32 ||
      !PyArray_ISNOTSWAPPED(a) || !PyArray_IS_C_CONTIGUOUS(a)) {
    return unexpected(value_error(std::string(name) + " must be a C-contiguous 2-D float32 array"));
  }
  return FloatMatrix{static_cast<const float*>(PyArray_DATA(a)),
                     static_cast<size_t>(PyArray_DIM(a, 0)),
                     static_cast<size_t>(PyArray_DIM(a, 1))};
}

PyResult<OwnedRef> new_array(ArrayKind kind, int ndim, const size_t* dims, void** data) {
  KORVEL_TRY(ensure_api());
  npy_intp shape[2] = {0, 0};
  for (int i = 0; i < ndim; ++i) shape[i] = static_cast<npy_intp>(dims[i]);
  const int type = kind == ArrayKind::kUInt64    ? NPY_UINT64
                   : kind == ArrayKind::kFloat32 ? NPY_FLOAT32
                                                 : NPY_INT64;
  OwnedRef arr = OwnedRef::steal(PyArray_SimpleNew(ndim, shape, type));
  if (!arr) return unexpected(PyError::fetch());
  *data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get()));
  return arr;
}

}  // namespace korvel::py
