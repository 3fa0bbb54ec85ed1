#include "python/numpy_access.h"

#define PY_ARRAY_UNIQUE_SYMBOL korvel_ARRAY_API
#include <numpy/arrayobject.h>

namespace korvel::py {
namespace {

bool g_api_ready = false;  // written under the interpreter lock only

// Imports the C API table; false with the Python error set when NumPy cannot be imported.
bool ensure_api() {
  if (g_api_ready) return true;
  if (_import_array() < 0) return false;
  g_api_ready = true;
  return true;
}

bool numpy_loaded() {
  if (g_api_ready) return true;
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* np = PyDict_GetItemString(modules, "numpy");
  return np != nullptr;
}

ElementType element_of(PyArrayObject* a) {
  // The common case, a native-order builtin dtype, without building descriptors.
  if (PyArray_ISNOTSWAPPED(a)) {
    switch (PyArray_TYPE(a)) {
      case NPY_FLOAT32:
        return ElementType::kFloat32;
      case NPY_FLOAT64:
        return ElementType::kFloat64;
      case NPY_UINT8:
        return ElementType::kUInt8;
      default:
        break;
    }
  }
  PyArray_Descr* d = PyArray_DESCR(a);
  const struct {
    int typenum;
    ElementType type;
  } kinds[] = {{NPY_FLOAT32, ElementType::kFloat32},
               {NPY_FLOAT64, ElementType::kFloat64},
               {NPY_UINT8, ElementType::kUInt8}};
  for (const auto& k : kinds) {
    PyArray_Descr* want = PyArray_DescrFromType(k.typenum);
    const bool equal = PyArray_EquivTypes(d, want);
    Py_DECREF(want);
    if (equal) return k.type;
  }
  return ElementType::kOther;
}

}  // namespace

PyResult<std::optional<ArrayInfo>> inspect_array(PyObject* obj) {
  if (!numpy_loaded()) return std::optional<ArrayInfo>();
  if (!ensure_api()) return unexpected(PyError::fetch());
  if (!PyArray_Check(obj)) return std::optional<ArrayInfo>();
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  ArrayInfo info;
  info.exact_ndarray = PyArray_CheckExact(obj);
  info.ndim = PyArray_NDIM(a);
  info.element = element_of(a);
  info.contiguous = PyArray_IS_C_CONTIGUOUS(a) || PyArray_IS_F_CONTIGUOUS(a);
  info.data = PyArray_DATA(a);
  info.length = info.ndim >= 1 ? static_cast<size_t>(PyArray_DIM(a, 0)) : 0;
  return std::optional<ArrayInfo>(info);
}

PyResult<OwnedRef> new_f64_matrix(size_t rows, double** data) {
  if (!ensure_api()) return unexpected(PyError::fetch());
  npy_intp dims[2] = {static_cast<npy_intp>(rows), 2};
  OwnedRef arr = OwnedRef::steal(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
  if (!arr) return unexpected(PyError::fetch());
  auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
  if (!PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISWRITEABLE(a)) {
    return unexpected(value_error("Failed to obtain mutable slice to NumPy array"));
  }
  *data = static_cast<double*>(PyArray_DATA(a));
  return arr;
}

}  // namespace korvel::py
