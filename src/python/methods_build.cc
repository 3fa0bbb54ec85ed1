// Build-mode methods: builder(), add_record() and save(). Arguments become owned C++ values
// here; the work is done by the core's writer (BulkWriter::append, BulkWriter::save).
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "build/bulk_writer.h"
#include "categorical/trait_dictionary.h"
#include "python/converters.h"
#include "python/hybrid_index_methods.h"
#include "python/numpy_access.h"

namespace korvel::py {
namespace {

constexpr uint32_t kMaxVectorDim = 65535;

// An embedding: a contiguous one-dimensional float32/float64 array is read directly (the
// same values the item-by-item path gives); anything else goes item by item.
PyResult<std::vector<float>> to_embedding(PyObject* obj) {
  KORVEL_ASSIGN_OR_RETURN(std::optional<ArrayInfo> info, inspect_array(obj));
  if (info && info->exact_ndarray && info->ndim == 1 && info->contiguous) {
    const auto* bytes = static_cast<const unsigned char*>(info->data);
    if (info->element == ElementType::kFloat32) {
      if (reinterpret_cast<uintptr_t>(bytes) % alignof(float) == 0) {
        const auto* first = reinterpret_cast<const float*>(bytes);
        return std::vector<float>(first, first + info->length);  // one pass, no zero fill
      }
      std::vector<float> out(info->length);
      if (info->length) std::memcpy(out.data(), bytes, info->length * sizeof(float));
      return out;
    }
    if (info->element == ElementType::kFloat64) {
      std::vector<float> out(info->length);
      for (size_t i = 0; i < info->length; ++i) {
        double d;
        std::memcpy(&d, bytes + i * sizeof(double), sizeof d);
        out[i] = narrow_to_f32(d);
      }
      return out;
    }
  }
  return to_f32_list(obj);
}

// metadata: a dict whose keys and values are all str, walked once. The value under each
// schema name (the empty string where there is none) is copied straight into its slot;
// `schema` is null in query mode, where the dict is only validated.
PyResult<std::vector<std::string>> metadata_values(PyObject* obj,
                                                   const std::vector<std::string>* schema) {
  if (!PyDict_Check(obj)) return unexpected(cannot_convert(obj, "PyDict"));
  std::vector<std::string> values(schema ? schema->size() : 0);
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) return unexpected(cannot_convert(key, "PyString"));
    Py_ssize_t key_len = 0;
    const char* key_utf8 = PyUnicode_AsUTF8AndSize(key, &key_len);
    if (key_utf8 == nullptr) return unexpected(PyError::fetch());
    if (!PyUnicode_Check(value)) return unexpected(cannot_convert(value, "PyString"));
    Py_ssize_t value_len = 0;
    const char* value_utf8 = PyUnicode_AsUTF8AndSize(value, &value_len);
    if (value_utf8 == nullptr) return unexpected(PyError::fetch());
    if (schema == nullptr) continue;
    const std::string_view k(key_utf8, static_cast<size_t>(key_len));
    for (size_t t = 0; t < schema->size(); ++t) {
      if ((*schema)[t] == k) values[t].assign(value_utf8, static_cast<size_t>(value_len));
    }
  }
  return values;
}

}  // namespace

PyResult<OwnedRef> builder_body(Args<Builder> args) {
  KORVEL_ASSIGN_OR_RETURN(std::vector<std::string> schema,
                          args.convert(Builder::kSchema, to_string_list));
  KORVEL_ASSIGN_OR_RETURN(uint32_t vector_dim, args.convert(Builder::kVectorDim, to_u32));
  if (schema.empty() || schema.size() > kMaxTraits) {
    return unexpected(
        value_error("schema length must be 1..=16, got " + std::to_string(schema.size())));
  }
  // The dimension is stored in 16 bits; refusing larger values beats wrapping them.
  if (vector_dim > kMaxVectorDim) {
    return unexpected(
        value_error("vector_dim must be at most 65535, got " + std::to_string(vector_dim)));
  }
  auto writer = BulkWriter::create(std::move(schema), vector_dim);
  KORVEL_CHECK(writer.has_value(), "builder: schema and dimension were checked above");
  return new_index_object(BuildModeState{std::move(writer).value()});
}

PyResult<OwnedRef> add_record_body(HybridIndexObject* self, Args<AddRecord> args) {
  KORVEL_ASSIGN_OR_RETURN(uint64_t doc_id, args.convert(AddRecord::kDocId, to_u64));
  auto* build = std::get_if<BuildModeState>(&self->state);
  KORVEL_ASSIGN_OR_RETURN(std::vector<std::string> values,
                          args.convert(AddRecord::kMetadata, [&](PyObject* obj) {
                            return metadata_values(obj, build ? &build->writer.schema() : nullptr);
                          }));
  std::optional<std::vector<float>> embedding;
  if (args.given(AddRecord::kEmbedding)) {
    KORVEL_ASSIGN_OR_RETURN(embedding, args.convert(AddRecord::kEmbedding, to_embedding));
  }
  uint64_t external_offset = kNoExternalOffset;
  if (args.given(AddRecord::kExternalOffset)) {
    KORVEL_ASSIGN_OR_RETURN(external_offset, args.convert(AddRecord::kExternalOffset, to_u64));
  }

  if (build == nullptr) return unexpected(value_error(kAddInQueryMode));

  const uint16_t dim = build->writer.vector_dim();
  if (embedding && embedding->size() != dim) {
    return unexpected(value_error("Embedding dimension mismatch: expected " + std::to_string(dim) +
                                  ", got " + std::to_string(embedding->size())));
  }
  std::optional<std::span<const float>> embedding_view;
  if (embedding) embedding_view = *embedding;
  if (auto added = build->writer.append(doc_id, values, embedding_view, external_offset); !added) {
    // A full dictionary reports its own text; running out of record indexes, the writer's.
    const BulkWriterError& e = added.error();
    const auto* overflow = std::get_if<ColumnOverflow>(&e);
    return unexpected(value_error(overflow ? to_string(overflow->overflow) : to_string(e)));
  }
  count_added_record(*build, values, embedding);
  return OwnedRef::borrow(Py_None);
}

PyResult<OwnedRef> save_body(HybridIndexObject* self, Args<Save> args) {
  KORVEL_ASSIGN_OR_RETURN(std::string path, args.convert(Save::kPath, to_utf8));
  const auto* build = std::get_if<BuildModeState>(&self->state);
  if (build == nullptr) return unexpected(value_error(kSaveInQueryMode));
  if (auto saved = build->writer.save(path); !saved) {
    return unexpected(io_error(to_string(saved.error())));
  }
  return OwnedRef::borrow(Py_None);
}

}  // namespace korvel::py
