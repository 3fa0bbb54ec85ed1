// Writer argument conversion through the buffer protocol (format and strides), so NumPy arrays
// and any other exporter are read in place, with no NumPy header needed here.
#include "python/engine/writer_args.h"

#include <cstring>
#include <string_view>

#include "python/converters.h"

namespace korvel::py {
namespace {

// The element kind of a struct-module format such as "<f", "q" or "12w".
char kind_of(const char* format) {
  if (format == nullptr) return 'u';  // plain bytes
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  while (*format >= '0' && *format <= '9') ++format;
  if (format[0] == '\0' || format[1] != '\0') return '?';
  switch (*format) {
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
    case 'n':
      return 'i';
    case 'B':
    case 'H':
    case 'I':
    case 'L':
    case 'Q':
    case 'N':
      return 'u';
    case 'e':
    case 'f':
    case 'd':
      return 'f';
    case 'w':
      return 'w';
    case 'O':
      return 'O';
    default:
      return '?';
  }
}

// The NumPy dtype of `obj` ("int64", "<U3"), or the buffer format of another exporter.
std::string element_name(PyObject* obj, const ArrayExport& a) {
  OwnedRef dtype = OwnedRef::steal(PyObject_GetAttrString(obj, "dtype"));
  if (dtype) {
    OwnedRef s = OwnedRef::steal(PyObject_Str(dtype.get()));
    Py_ssize_t len = 0;
    const char* text = s ? PyUnicode_AsUTF8AndSize(s.get(), &len) : nullptr;
    if (text != nullptr) return std::string(text, static_cast<size_t>(len));
  }
  PyErr_Clear();
  const char* format = a.view().format;
  return std::string("format '") + (format ? format : "B") + "'";
}

std::string row_prefix(const std::string& what, size_t row) {
  return what + ", row " + std::to_string(row) + ": ";
}

// Exports `obj` as a 1-D C-contiguous array.
PyResult<std::unique_ptr<ArrayExport>> one_dimensional(PyObject* obj, const std::string& what,
                                                       const char* expected) {
  if (!PyObject_CheckBuffer(obj)) {
    return unexpected(
        type_error(what + ": expected " + expected + ", got '" + type_qualname(obj) + "'"));
  }
  auto a = std::make_unique<ArrayExport>();
  if (!a->acquire(obj)) return unexpected(PyError::fetch());
  if (a->view().ndim != 1) {
    return unexpected(value_error(what + ": expected a 1-D array, got " +
                                  std::to_string(a->view().ndim) + " dimensions"));
  }
  if (!a->c_contiguous()) {
    return unexpected(value_error(
        what + ": the array is not contiguous (np.ascontiguousarray makes a contiguous copy)"));
  }
  return a;
}

// Element r of a 1-D integer export; `is_signed` by its kind.
int64_t signed_at(const Py_buffer& v, size_t r) {
  const auto* p = static_cast<const uint8_t*>(v.buf) + r * static_cast<size_t>(v.itemsize);
  switch (v.itemsize) {
    case 1:
      return static_cast<int8_t>(*p);
    case 2: {
      int16_t x;
      std::memcpy(&x, p, 2);
      return x;
    }
    case 4: {
      int32_t x;
      std::memcpy(&x, p, 4);
      return x;
    }
    default: {
      int64_t x;
      std::memcpy(&x, p, 8);
      return x;
    }
  }
}
uint64_t unsigned_at(const Py_buffer& v, size_t r) {
  const auto* p = static_cast<const uint8_t*>(v.buf) + r * static_cast<size_t>(v.itemsize);
  switch (v.itemsize) {
    case 1:
      return *p;
    case 2: {
      uint16_t x;
      std::memcpy(&x, p, 2);
      return x;
    }
    case 4: {
      uint32_t x;
      std::memcpy(&x, p, 4);
      return x;
    }
    default: {
      uint64_t x;
      std::memcpy(&x, p, 8);
      return x;
    }
  }
}

bool integer_export(const ArrayExport& a) {
  const auto size = a.view().itemsize;
  return (a.kind() == 'i' || a.kind() == 'u') && (size == 1 || size == 2 || size == 4 || size == 8);
}

// Appends one str item of a column to the encoder.
PyResult<void> push_str(ColumnEncoder& encoder, PyObject* item, const std::string& what,
                        size_t row) {
  if (!PyUnicode_Check(item)) {
    return unexpected(type_error(row_prefix(what, row) + "'" + type_qualname(item) +
                                 "' object cannot be converted to 'PyString'"));
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(item, &len);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return unexpected(value_error(row_prefix(what, row) +
                                  "the str has no UTF-8 encoding (it holds a lone surrogate)"));
  }
  encoder.push(std::string_view(utf8, static_cast<size_t>(len)));
  return {};
}

PyResult<TraitColumn> coded_column(PyObject* categories, PyObject* codes, const std::string& what) {
  TraitColumn column;
  auto names = to_string_list(categories);
  if (!names) {
    PyError e = std::move(names).error();
    if (!e.is_exactly(PyExc_TypeError)) return unexpected(std::move(e));
    return unexpected(type_error(what + ": categories: " + e.text()));
  }
  column.categories = std::move(*names);
  KORVEL_ASSIGN_OR_RETURN(auto a, one_dimensional(codes, what, "an integer array of codes"));
  if (!integer_export(*a)) {
    return unexpected(
        type_error(what + ": expected integer codes, got " + element_name(codes, *a)));
  }
  const Py_buffer& v = a->view();
  const auto n = static_cast<size_t>(v.shape[0]);
  column.indices.resize(n);
  for (size_t r = 0; r < n; ++r) {
    uint64_t code;
    if (a->kind() == 'i') {
      const int64_t s = signed_at(v, r);
      if (s < 0) {
        return unexpected(value_error(row_prefix(what, r) + "missing value (category code " +
                                      std::to_string(s) + ")"));
      }
      code = static_cast<uint64_t>(s);
    } else {
      code = unsigned_at(v, r);
    }
    // Reported here, with the code as given: past this point codes are 32-bit.
    if (code >= column.categories.size()) {
      return unexpected(value_error(to_string(
          BulkWriterError(CategoryIndexOutOfRange{what, r, code, column.categories.size()}))));
    }
    column.indices[r] = static_cast<uint32_t>(code);
  }
  return column;
}

}  // namespace

bool ArrayExport::acquire(PyObject* obj) {
  if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) return false;
  held_ = true;
  kind_ = kind_of(view_.format);
  return true;
}

PyResult<U64Column> to_u64_column(PyObject* obj, const char* what) {
  U64Column out;
  KORVEL_ASSIGN_OR_RETURN(out.array, one_dimensional(obj, what, "a 1-D integer array"));
  const ArrayExport& a = *out.array;
  if (!integer_export(a)) {
    return unexpected(
        type_error(std::string(what) + ": expected integers, got " + element_name(obj, a)));
  }
  const Py_buffer& v = a.view();
  const auto n = static_cast<size_t>(v.shape[0]);
  if (a.kind() == 'i') {
    for (size_t r = 0; r < n; ++r) {
      if (const int64_t s = signed_at(v, r); s < 0) {
        return unexpected(value_error(row_prefix(what, r) + "negative value " + std::to_string(s)));
      }
    }
  }
  if (v.itemsize == 8 && reinterpret_cast<uintptr_t>(v.buf) % alignof(uint64_t) == 0) {
    out.values = std::span(static_cast<const uint64_t*>(v.buf), n);
    return out;
  }
  out.owned.resize(n);
  for (size_t r = 0; r < n; ++r) {
    out.owned[r] = a.kind() == 'i' ? static_cast<uint64_t>(signed_at(v, r)) : unsigned_at(v, r);
  }
  out.values = out.owned;
  return out;
}

PyResult<U64Column> to_offset_column(PyObject* obj) {
  KORVEL_ASSIGN_OR_RETURN(U64Column out, to_u64_column(obj, "offsets"));
  for (size_t r = 0; r < out.values.size(); ++r) {
    // The file stores "no offset" as this value: taken as an offset, the record would
    // silently lose its embedding.
    if (out.values[r] == kNoExternalOffset) {
      return unexpected(value_error(row_prefix("offsets", r) + std::to_string(out.values[r]) +
                                    " is reserved: it marks a record without an offset"));
    }
  }
  return out;
}

PyResult<EmbeddingArg> to_embeddings(PyObject* obj) {
  if (!PyObject_CheckBuffer(obj)) {
    return unexpected(
        type_error("embeddings: expected a 2-D float array, got '" + type_qualname(obj) + "'"));
  }
  EmbeddingArg out;
  out.array = std::make_unique<ArrayExport>();
  if (!out.array->acquire(obj)) return unexpected(PyError::fetch());
  const Py_buffer& v = out.array->view();
  if (v.ndim != 2) {
    return unexpected(value_error("embeddings: expected a 2-D array of shape (n, dim), got " +
                                  std::to_string(v.ndim) + " dimensions"));
  }
  if (out.array->kind() != 'f') {
    return unexpected(type_error("embeddings: expected float32, float16 or float64 values, got " +
                                 element_name(obj, *out.array)));
  }
  if (!out.array->c_contiguous()) {
    return unexpected(value_error(
        "embeddings: the array is not C-contiguous (np.ascontiguousarray makes a copy)"));
  }
  out.rows.data = v.buf;
  out.rows.type = v.itemsize == 2   ? EmbeddingType::kFloat16
                  : v.itemsize == 4 ? EmbeddingType::kFloat32
                                    : EmbeddingType::kFloat64;
  out.rows.rows = static_cast<size_t>(v.shape[0]);
  out.rows.dim = static_cast<size_t>(v.shape[1]);
  return out;
}

PyResult<TraitColumn> to_trait_column(PyObject* obj, const std::string& what) {
  if (PyUnicode_Check(obj)) {
    return unexpected(type_error(what + ": expected a sequence of str, got a single str"));
  }
  if (PyTuple_Check(obj) && PyTuple_GET_SIZE(obj) == 2 &&
      PyObject_CheckBuffer(PyTuple_GET_ITEM(obj, 1))) {
    return coded_column(PyTuple_GET_ITEM(obj, 0), PyTuple_GET_ITEM(obj, 1), what);
  }
  if (PyObject_CheckBuffer(obj)) {
    KORVEL_ASSIGN_OR_RETURN(auto a, one_dimensional(obj, what, "a sequence of str"));
    const Py_buffer& v = a->view();
    const auto n = static_cast<size_t>(v.shape[0]);
    const auto* base = static_cast<const uint8_t*>(v.buf);
    const auto size = static_cast<size_t>(v.itemsize);
    ColumnEncoder encoder(n);
    if (a->kind() == 'w') {
      // Equal texts have equal fixed-width items, so the raw item is the key.
      for (size_t r = 0; r < n; ++r) {
        const std::string_view key(reinterpret_cast<const char*>(base + r * size), size);
        if (encoder.push_known(key)) continue;
        std::optional<std::string> text = utf8_from_ucs4(base + r * size, size / 4);
        if (!text) {
          return unexpected(value_error(
              row_prefix(what, r) + "the str has no UTF-8 encoding (it holds a lone surrogate)"));
        }
        encoder.push_new(key, std::move(*text));
      }
      return std::move(encoder).finish();
    }
    if (a->kind() == 'O' && size == sizeof(PyObject*)) {
      for (size_t r = 0; r < n; ++r) {
        PyObject* item;
        std::memcpy(&item, base + r * size, sizeof item);
        if (item == nullptr) item = Py_None;  // an array not yet filled
        KORVEL_TRY(push_str(encoder, item, what, r));
      }
      return std::move(encoder).finish();
    }
    return unexpected(
        type_error(what + ": expected str values, got an array of " + element_name(obj, *a)));
  }
  OwnedRef seq = OwnedRef::steal(PySequence_Fast(obj, ""));
  if (!seq) {
    PyErr_Clear();
    return unexpected(
        type_error(what + ": expected a sequence of str, got '" + type_qualname(obj) + "'"));
  }
  const auto n = static_cast<size_t>(PySequence_Fast_GET_SIZE(seq.get()));
  PyObject** items = PySequence_Fast_ITEMS(seq.get());
  ColumnEncoder encoder(n);
  for (size_t r = 0; r < n; ++r) KORVEL_TRY(push_str(encoder, items[r], what, r));
  return std::move(encoder).finish();
}

}  // namespace korvel::py
