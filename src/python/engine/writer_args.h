// Conversion of the Writer's arguments: document ids and offsets, the embedding matrix and
// trait columns, from Python objects to owned values or to views of the caller's arrays that
// stay exported for one call. Every error names the argument or column and the first bad row.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "build/bulk_writer.h"
#include "python/py_error.h"

namespace korvel::py {

// A strided, formatted buffer export, released when destroyed (never moved: the exporter
// may identify an export by its address).
class ArrayExport {
 public:
  ArrayExport() = default;
  ArrayExport(const ArrayExport&) = delete;
  ArrayExport& operator=(const ArrayExport&) = delete;
  ~ArrayExport() {
    if (held_) PyBuffer_Release(&view_);
  }
  // Exports `obj`; false with the error set when it cannot.
  bool acquire(PyObject* obj);

  const Py_buffer& view() const noexcept { return view_; }
  // The element kind of the format: 'i' signed, 'u' unsigned, 'f' float, 'w' UCS-4 text,
  // 'O' object, '?' anything else (including a byte order other than the native one).
  char kind() const noexcept { return kind_; }
  bool c_contiguous() const noexcept { return PyBuffer_IsContiguous(&view_, 'C') != 0; }

 private:
  Py_buffer view_{};
  bool held_ = false;
  char kind_ = '?';
};

// A (n,) integer array as u64 values: a view of the caller's array when its elements are
// 64-bit, a converted copy otherwise. Negative values fail.
struct U64Column {
  std::unique_ptr<ArrayExport> array;
  std::vector<uint64_t> owned;
  std::span<const uint64_t> values;
};
PyResult<U64Column> to_u64_column(PyObject* obj, const char* what);
// The offsets column: as to_u64_column, and kNoExternalOffset (the file's marker of a record
// without an offset) fails.
PyResult<U64Column> to_offset_column(PyObject* obj);

// An (n, dim) float16/float32/float64 C-contiguous matrix, viewed in place.
struct EmbeddingArg {
  std::unique_ptr<ArrayExport> array;
  EmbeddingRows rows;
};
PyResult<EmbeddingArg> to_embeddings(PyObject* obj);

// A trait column: a sequence of str, a 1-D NumPy str (`U`) or object array, or the coded
// pair (categories, codes) with codes an integer array and -1 marking a missing value.
// `what` is "column '{name}'".
PyResult<TraitColumn> to_trait_column(PyObject* obj, const std::string& what);

}  // namespace korvel::py
