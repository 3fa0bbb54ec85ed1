// BulkWriter: builds an index from batches of columns (document ids, one dictionary-encoded
// column per trait, an embedding matrix, external offsets) and saves the same two files as
// compile_index + serialize_metadata would for the same records in the same order. Per record
// it keeps only what the data file holds (codes in plane words, signature, offset) and the
// document id; embeddings are turned into signatures as they arrive and never copied.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "build/save.h"
#include "categorical/compile_error.h"
#include "categorical/trait_dictionary.h"
#include "common/expected.h"
#include "mmap_reader/layout.h"
#include "sidecar/sidecar.h"

namespace korvel {

// One trait's values for the rows of a batch, dictionary-encoded: row r holds
// categories[indices[r]]. Categories may repeat; some may be used by no row.
struct TraitColumn {
  std::vector<std::string> categories;
  std::vector<uint32_t> indices;
};

// Encodes a column value by value; equal keys share one category. The keys are views that
// must stay valid until finish(); a category is copied once, when its key is first seen.
class ColumnEncoder {
 public:
  explicit ColumnEncoder(size_t rows) { column_.indices.reserve(rows); }
  // Appends the row when `key` was seen before; false (nothing appended) when it is new.
  bool push_known(std::string_view key);
  // Appends a row holding a new category `value`, found under `key` from now on.
  // REQUIRES: push_known(key) returned false just before.
  void push_new(std::string_view key, std::string value);
  void push(std::string_view value) {
    if (!push_known(value)) push_new(value, std::string(value));
  }
  TraitColumn finish() && { return std::move(column_); }

 private:
  std::unordered_map<std::string_view, uint32_t> index_;
  std::string_view last_key_;
  uint32_t last_ = UINT32_MAX;  // category of the previous row: runs skip the hash
  TraitColumn column_;
};

// The UTF-8 text of a fixed-width UCS-4 item of `chars` code points, trailing NULs dropped
// (how NumPy reads its `U` arrays). Nothing when a code point is a surrogate or above
// U+10FFFF, which have no UTF-8 encoding. `item` may be unaligned.
std::optional<std::string> utf8_from_ucs4(const uint8_t* item, size_t chars);

enum class EmbeddingType { kFloat16, kFloat32, kFloat64 };

// A caller's embedding matrix, rows x dim values, row-major, native byte order, any alignment.
struct EmbeddingRows {
  const void* data = nullptr;
  EmbeddingType type = EmbeddingType::kFloat32;
  size_t rows = 0;
  size_t dim = 0;
};

// One add(): n = doc_ids.size() records.
struct BulkBatch {
  std::span<const uint64_t> doc_ids;
  // One per trait in schema order; nullptr gives every row the empty string.
  std::vector<const TraitColumn*> columns;
  std::optional<EmbeddingRows> embeddings;           // none: records without embeddings
  std::optional<std::span<const uint64_t>> offsets;  // none: kNoExternalOffset for every row
};

struct SchemaLength {
  size_t count;
};
struct DimensionTooLarge {
  uint64_t dim;
};
struct RowCountMismatch {
  std::string argument;  // "embeddings", "offsets", "column 'lang'"
  size_t expected;
  size_t got;
};
struct EmbeddingWidth {
  size_t expected;
  size_t got;
};
struct TooManyRecords {
  uint64_t total;
  uint64_t limit;
};
struct CategoryIndexOutOfRange {
  std::string column;
  size_t row;
  uint64_t index;
  size_t categories;
};
struct ColumnOverflow {
  std::string column;
  size_t row;
  TraitOverflow overflow;
};
struct NonFiniteEmbedding {
  size_t row;
  size_t position;
};
using BulkWriterError =
    std::variant<SchemaLength, DimensionTooLarge, RowCountMismatch, EmbeddingWidth, TooManyRecords,
                 CategoryIndexOutOfRange, ColumnOverflow, NonFiniteEmbedding>;

std::string to_string(const BulkWriterError& e);

class BulkWriter {
 public:
  // A writer for `schema` (1 to 16 names; repeats and empty names allowed) and `vector_dim`
  // (at most 65535) holding at most `max_records` records (the most a data file can hold).
  // add() lets a trait hold up to capacity_for_bits(max_code_bits) values (8 or 16); the
  // file is written with 8-bit codes until some trait holds more than 256 values, and with
  // 16-bit codes from then on. Errors: SchemaLength, DimensionTooLarge.
  [[nodiscard]] static Expected<BulkWriter, BulkWriterError> create(
      std::vector<std::string> schema, uint64_t vector_dim, uint64_t max_records = kMaxRecordCount,
      uint8_t max_code_bits = kBuildCodeBits);

  // Appends the batch's records in row order. Trait codes are assigned in first-seen order
  // (rows in order, as add_record assigns them); a batch that takes some trait past 256
  // values widens every code to 16 bits. All or nothing: on any
  // error the writer is as before the call. Errors, checked in this order: RowCountMismatch
  // (columns in schema order, embeddings, offsets), EmbeddingWidth, TooManyRecords, then per
  // column in schema order CategoryIndexOutOfRange / ColumnOverflow at its first bad row,
  // then NonFiniteEmbedding at the first row holding a NaN or infinity (after conversion to
  // float32). The signature work is split into `threads` parts run on the process thread pool
  // (0: one per pool thread for a large batch). Allocation failure throws std::bad_alloc with
  // the writer as before the call.
  // Not thread-safe against any other call on the same writer.
  [[nodiscard]] Expected<void, BulkWriterError> add(const BulkBatch& batch, unsigned threads = 0);

  // Appends one record: its value of each trait in schema order, its embedding (vector_dim
  // values, taken as they are: non-finite values are not refused) or none (a zero signature),
  // and its external offset. Codes are assigned as add() assigns them, so a run of appends
  // writes the same files as one add() of the same rows, except that a trait holds at most
  // 256 values here whatever max_code_bits is (add_record's limit). Errors: TooManyRecords, then
  // ColumnOverflow (row 0) of the first trait in schema order whose dictionary is full and
  // lacks the value. A failed call adds no record; after ColumnOverflow, as add_record
  // documents, the dictionaries of earlier traits keep the values this call gave them.
  // REQUIRES: values.size() == schema().size(); an embedding holds vector_dim values.
  // Not thread-safe against any other call on the same writer.
  [[nodiscard]] Expected<void, BulkWriterError> append(
      uint64_t doc_id, std::span<const std::string> values,
      std::optional<std::span<const float>> embedding, uint64_t external_offset);

  // As add() for a batch without embeddings, each record's signature given as the data file
  // stores it (`signatures`: signature_size bytes per row) rather than computed: how records
  // are copied from data files already written. Errors and all-or-nothing as add().
  // REQUIRES: !batch.embeddings; signatures.size() == rows * signature size.
  [[nodiscard]] Expected<void, BulkWriterError> add_signed(const BulkBatch& batch,
                                                           std::span<const uint8_t> signatures);

  // Room for `records` records in all, so that adding up to that many allocates nothing
  // more for them: a writer whose final size is known holds no growth slack.
  void reserve(size_t records);

  size_t size() const noexcept { return meta_.doc_ids.size(); }
  const std::vector<std::string>& schema() const noexcept { return meta_.schema; }
  const std::vector<TraitDictionary>& dicts() const noexcept { return meta_.dicts; }
  uint16_t vector_dim() const noexcept { return vector_dim_; }
  // Bits per code in the data file: 8, or 16 once some trait holds more than 256 values.
  uint8_t code_bits() const noexcept { return code_bits_; }

  // The data file, as its header and its three sections (code planes, signatures, external
  // offsets) in file order; the sections are views of the writer's own storage.
  std::array<uint8_t, kHeaderSize> header() const noexcept;
  std::array<std::span<const uint8_t>, 3> sections() const noexcept;
  // The sidecar text.
  std::string sidecar_text() const { return serialize_metadata(meta_); }

  // Writes `path` and `path` + ".meta" as HybridIndex.save does: both staged in full before
  // either replaces its predecessor, from the writer's own storage (no second image).
  // Errors: DataFileWriteFailed, SidecarWriteFailed.
  [[nodiscard]] Expected<void, SaveError> save(const std::string& path) const;

 private:
  BulkWriter() = default;

  IndexMetadata meta_;  // schema, dictionaries and doc ids, serialised as they are
  uint16_t vector_dim_ = 0;
  uint64_t max_records_ = kMaxRecordCount;
  uint8_t max_code_bits_ = kBuildCodeBits;
  uint8_t code_bits_ = kBuildCodeBits;
  std::vector<uint64_t> planes_;  // blocks * T * code_bits_ words, the plane section's words
  // B bytes per record. Growing it leaves the new bytes uninitialised: add() writes every
  // one of them (a signature or zeros), and a zero fill first would be a second pass over
  // the largest part of the file.
  template <class T>
  struct NoFill : std::allocator<T> {
    template <class U>
    struct rebind {
      using other = NoFill<U>;
    };
    template <class U>
    void construct(U* p) noexcept {
      ::new (static_cast<void*>(p)) U;
    }
  };
  std::vector<uint8_t, NoFill<uint8_t>> signatures_;
  std::vector<uint64_t> offsets_;  // one per record
};

}  // namespace korvel
