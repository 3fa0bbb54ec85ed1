#include "python/converters.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvel::py {

namespace {

constexpr char kOutOfRange[] = "out of range integral type conversion attempted";
constexpr char kStrToVec[] = "Can't extract `str` to `Vec`";

// A sequence's length is only a capacity hint: a __len__ may claim far more items than its
// iteration yields. Reserving at most this many slots up front keeps such a claim from
// failing the call (or taking the memory) before a single item is read; every list a
// valid call needs (16 names, 65535 embedding values) still gets its exact capacity.
constexpr size_t kMaxReserveHint = size_t{1} << 16;

// The sequence checks shared by every list conversion: a str is refused even though it is
// a sequence. Returns the capacity hint (0 when the length cannot be asked).
PyResult<size_t> sequence_hint(PyObject* obj) {
  if (PyUnicode_Check(obj)) return unexpected(type_error(kStrToVec));
  if (!PySequence_Check(obj)) return unexpected(cannot_convert(obj, "Sequence"));
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    // A failing __len__ only costs the hint; a Ctrl-C or exit raised from it is kept.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return unexpected(PyError::fetch());
    PyErr_Clear();
    return size_t{0};
  }
  return std::min(static_cast<size_t>(n), kMaxReserveHint);
}

// Calls f(item) for each item of obj's iterator; stops at the first error.
template <class F>
PyResult<void> for_each_item(PyObject* obj, F&& f) {
  OwnedRef it = OwnedRef::steal(PyObject_GetIter(obj));
  if (!it) return unexpected(PyError::fetch());
  while (true) {
    OwnedRef item = OwnedRef::steal(PyIter_Next(it.get()));
    if (!item) {
      if (PyErr_Occurred()) return unexpected(PyError::fetch());
      return {};
    }
    KORVEL_TRY(f(item.get()));
  }
}

}  // namespace

PyResult<uint64_t> to_u64(PyObject* obj) {
  OwnedRef index = OwnedRef::steal(PyNumber_Index(obj));
  if (!index) return unexpected(PyError::fetch());
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return unexpected(PyError::fetch());
  }
  return static_cast<uint64_t>(v);
}

PyResult<uint32_t> to_u32(PyObject* obj) {
  OwnedRef index = OwnedRef::steal(PyNumber_Index(obj));
  if (!index) return unexpected(PyError::fetch());
  long v = PyLong_AsLong(index.get());
  if (v == -1 && PyErr_Occurred()) return unexpected(PyError::fetch());
  if (v < 0 || static_cast<unsigned long>(v) > std::numeric_limits<uint32_t>::max()) {
    return unexpected(overflow_error(kOutOfRange));
  }
  return static_cast<uint32_t>(v);
}

PyResult<std::string> to_utf8(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return unexpected(cannot_convert(obj, "PyString"));
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
  if (s == nullptr) return unexpected(PyError::fetch());
  return std::string(s, static_cast<size_t>(len));
}

PyResult<std::vector<std::string>> to_string_list(PyObject* obj) {
  KORVEL_ASSIGN_OR_RETURN(size_t hint, sequence_hint(obj));
  std::vector<std::string> out;
  out.reserve(hint);
  KORVEL_TRY(for_each_item(obj, [&](PyObject* item) -> PyResult<void> {
    KORVEL_ASSIGN_OR_RETURN(std::string s, to_utf8(item));
    out.push_back(std::move(s));
    return {};
  }));
  return out;
}

float narrow_to_f32(double d) noexcept {
  // Halfway between FLT_MAX and 2^128: at or beyond it round-to-nearest gives infinity.
  constexpr double kOverflow = 0x1.ffffffp127;
  if (d >= kOverflow) return std::numeric_limits<float>::infinity();
  if (d <= -kOverflow) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(d);
}

PyResult<std::vector<float>> to_f32_list(PyObject* obj) {
  KORVEL_ASSIGN_OR_RETURN(size_t hint, sequence_hint(obj));
  std::vector<float> out;
  out.reserve(hint);
  KORVEL_TRY(for_each_item(obj, [&](PyObject* item) -> PyResult<void> {
    double d;
    if (PyFloat_CheckExact(item)) {
      d = PyFloat_AS_DOUBLE(item);
    } else {
      d = PyFloat_AsDouble(item);
      if (d == -1.0 && PyErr_Occurred()) return unexpected(PyError::fetch());
    }
    out.push_back(narrow_to_f32(d));
    return {};
  }));
  return out;
}

}  // namespace korvel::py
