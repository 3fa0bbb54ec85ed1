// BulkWriter::append: the one-record path of HybridIndex.add_record. Kept apart from add()
// since it needs none of the batch machinery (columns, conversion, threads): room for the
// record in every container first, then its codes, then the writes.
#include <algorithm>

#include "build/bulk_writer.h"
#include "categorical/plane_packing.h"
#include "common/check.h"
#include "vector/signature.h"

namespace korvel {
namespace {

constexpr size_t kRecordsPerBlock = 64;

// Room for `extra` more elements, doubling as push_back would, so that a run of appends
// copies each container a logarithmic number of times.
template <class Vector>
void reserve_more(Vector& v, size_t extra) {
  if (v.capacity() - v.size() >= extra) return;
  v.reserve(v.size() + std::max(v.size(), extra));
}

}  // namespace

Expected<void, BulkWriterError> BulkWriter::append(uint64_t doc_id,
                                                   std::span<const std::string> values,
                                                   std::optional<std::span<const float>> embedding,
                                                   uint64_t external_offset) {
  const size_t traits = meta_.schema.size();
  KORVEL_CHECK(values.size() == traits, "BulkWriter::append: one value per trait required");
  KORVEL_CHECK(!embedding || embedding->size() == vector_dim_,
               "BulkWriter::append: embedding length differs from vector_dim");
  const size_t old = size();
  if (old >= max_records_) {
    return unexpected(BulkWriterError(TooManyRecords{uint64_t{old} + 1, max_records_}));
  }
  const size_t words_per_block = traits * code_bits_;
  const size_t blocks = old / kRecordsPerBlock + 1;
  const size_t sig_size = signature_bytes(vector_dim_);
  // Room first: past this point only the dictionaries may allocate.
  reserve_more(planes_, blocks * words_per_block - planes_.size());
  reserve_more(signatures_, sig_size);
  reserve_more(offsets_, 1);
  reserve_more(meta_.doc_ids, 1);

  // Trait by trait, as add_record has always assigned them: a value new to a full dictionary
  // fails there, and the values this call gave earlier traits keep their codes.
  uint16_t codes[kMaxTraits];
  for (size_t t = 0; t < traits; ++t) {
    auto code = meta_.dicts[t].assign_token(values[t], kBuildCodeBits);
    if (!code) {
      return unexpected(BulkWriterError(
          ColumnOverflow{"column '" + meta_.schema[t] + "'", 0, std::move(code).error()}));
    }
    codes[t] = *code;
  }
  signatures_.resize((old + 1) * sig_size);
  uint8_t* signature = signatures_.data() + old * sig_size;
  if (embedding) {
    compute_signature_into(*embedding, signature);
  } else {
    std::fill_n(signature, sig_size, uint8_t{0});
  }
  offsets_.push_back(external_offset);
  meta_.doc_ids.push_back(doc_id);
  planes_.resize(blocks * words_per_block);  // a new block's words are zero
  uint64_t* block = planes_.data() + (blocks - 1) * words_per_block;
  const auto j = static_cast<unsigned>(old % kRecordsPerBlock);
  for (size_t t = 0; t < traits; ++t) pack_code(block, t, code_bits_, codes[t], j);
  return {};
}

}  // namespace korvel
