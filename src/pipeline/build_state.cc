// append_record: the buffered record plus the parts of it that compilation will need.
#include "pipeline/build_state.h"

#include <utility>

#include "common/check.h"
#include "vector/signature.h"

namespace korvel {

void append_record(BuildState& state, BufferedRecord record, std::span<const uint16_t> codes) {
  KORVEL_CHECK(codes.size() == state.trait_count, "append_record: one code per trait required");
  const size_t sig_size = signature_bytes(state.vector_dim);
  state.record_codes.insert(state.record_codes.end(), codes.begin(), codes.end());
  const size_t at = state.record_signatures.size();
  state.record_signatures.resize(at + sig_size);  // zero bytes: no embedding
  if (record.embedding) {
    KORVEL_CHECK(record.embedding->size() == state.vector_dim,
                 "append_record: embedding length differs from vector_dim");
    // The values were just copied in, so they are still in cache.
    compute_signature_into(*record.embedding, state.record_signatures.data() + at);
  }
  state.records.push_back(std::move(record));
}

}  // namespace korvel
