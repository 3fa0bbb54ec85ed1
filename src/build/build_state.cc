// append_record: the buffered record plus the parts of it that compilation will need.
#include "build/build_state.h"

#include <algorithm>
#include <utility>

#include "common/check.h"
#include "vector/signature.h"

namespace korvel {
namespace {

// Makes room for `extra` more elements, growing the capacity the way push_back and insert
// grow it, so the capacities (which memory_stats() reports) do not depend on this call.
template <class Vector>
void reserve_more(Vector& v, size_t extra) {
  if (v.capacity() - v.size() >= extra) return;
  v.reserve(v.size() + std::max(v.size(), extra));
}

}  // namespace

void append_record(BuildState& state, BufferedRecord record, std::span<const uint16_t> codes) {
  KORVEL_CHECK(codes.size() == state.trait_count, "append_record: one code per trait required");
  KORVEL_CHECK(!record.embedding || record.embedding->size() == state.vector_dim,
               "append_record: embedding length differs from vector_dim");
  const size_t sig_size = signature_bytes(state.vector_dim);
  // Every allocation comes first: when one fails, the containers hold what they held.
  reserve_more(state.records, 1);
  reserve_more(state.record_codes, codes.size());
  reserve_more(state.record_signatures, sig_size);

  state.record_codes.insert(state.record_codes.end(), codes.begin(), codes.end());
  const size_t at = state.record_signatures.size();
  state.record_signatures.resize(at + sig_size);  // zero bytes: no embedding
  if (record.embedding) {
    // The values were just copied in, so they are still in cache.
    compute_signature_into(*record.embedding, state.record_signatures.data() + at);
  }
  state.records.push_back(std::move(record));
}

}  // namespace korvel
