// BulkWriter::add_signed: records whose signatures exist already (copied from a data file).
#include <cstring>

#include "build/bulk_writer.h"
#include "common/check.h"

namespace korvel {

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
