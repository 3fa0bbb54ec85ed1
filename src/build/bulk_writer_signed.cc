// BulkWriter::add_signed and reserve: records whose signatures exist already (copied from a
// data file), into a writer sized for them up front.
#include <cstring>

#include "build/bulk_writer.h"
#include "common/check.h"

namespace korvel {

void BulkWriter::reserve(size_t records) {
  const size_t blocks = (records + 63) / 64;  // 64 records per plane block
  planes_.reserve(blocks * meta_.schema.size() * kBuildCodeBits);
  signatures_.reserve(records * ((size_t{vector_dim_} + 7) / 8));
  offsets_.reserve(records);
  meta_.doc_ids.reserve(records);
}

Expected<void, BulkWriterError> BulkWriter::add_signed(const BulkBatch& batch,
                                                       std::span<const uint8_t> signatures) {
  KORVEL_CHECK(!batch.embeddings, "add_signed: a batch with embeddings");
  const size_t sig_size = (size_t{vector_dim_} + 7) / 8;
  KORVEL_CHECK(signatures.size() == batch.doc_ids.size() * sig_size,
               "add_signed: one signature per row");
  const size_t before = size();
  KORVEL_TRY(add(batch, 1));  // zero signatures, overwritten below
  if (!signatures.empty()) {
    std::memcpy(signatures_.data() + before * sig_size, signatures.data(), signatures.size());
  }
  return {};
}

}  // namespace korvel
