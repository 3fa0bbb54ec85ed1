// execute_query: top_k and vector checks, the candidate bitmap, then either the
// categorical-only path (matching records in record order) or the vector path (signature
// scan into a bounded pool, optional exact re-scoring). Signatures and plane words are read
// in place from the mapping; the bitmap is the only allocation that grows with the index.
#include "pipeline/query.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/check.h"
#include "pipeline/candidate_pool.h"
#include "simd/hamming.h"
#include "simd/hamming_batch.h"
#include "vector/signature.h"

namespace korvel {
namespace {

using QueryResult = Expected<std::vector<SearchHit>, QueryError>;

uint64_t last_word_mask(uint64_t record_count) noexcept {
  const unsigned used = static_cast<unsigned>(record_count % 64);
  return used == 0 ? ~uint64_t{0} : (uint64_t{1} << used) - 1;
}

// The matching records in ascending order, at most `limit` of them, distance 0.
std::vector<SearchHit> categorical_hits(const CandidateBitmap& bitmap, size_t limit) {
  std::vector<SearchHit> hits;
  for (size_t b = 0; b < bitmap.size() && hits.size() < limit; ++b) {
    for (uint64_t word = bitmap[b]; word != 0 && hits.size() < limit; word &= word - 1) {
      hits.push_back({std::nullopt, 64 * b + static_cast<unsigned>(std::countr_zero(word)), 0});
    }
  }
  return hits;
}

// Records of sparse words are collected into a fixed-size list and then scored in one tight
// loop that prefetches the signature kPrefetchDistance records ahead, so the cache misses of
// scattered candidates overlap. Record indexes fit 32 bits (the reader caps the count).
constexpr size_t kGatherLimit = 256;
constexpr size_t kPrefetchDistance = 16;

// Bit count without the POPCNT instruction, which baseline x86-64 lacks (std::popcount
// becomes a library call there).
inline unsigned bit_count(uint64_t x) noexcept {
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<unsigned>((x * 0x0101010101010101ULL) >> 56);
}

// Appends the records of `word` (block base `base`) to `out` and returns how many. Words of
// a selective filter are sparse and branching on each bit mispredicts, so four slots are
// written whatever the word holds and only words with more than four records loop. The
// sentinel bit keeps the bit scan defined on an exhausted word; those slots lie past the
// returned count. REQUIRES: out has room for 64 entries.
inline unsigned gather_records(uint64_t word, uint32_t base, uint32_t* out) noexcept {
  const unsigned bits = bit_count(word);
  constexpr uint64_t kSentinel = uint64_t{1} << 63;
  unsigned done = 0;
  do {
    for (unsigned k = 0; k < 4; ++k) {
      out[done + k] = base + static_cast<uint32_t>(std::countr_zero(word | kSentinel));
      word &= word - 1;
    }
    done += 4;
  } while (done < bits);
  return bits;
}

// Scores `records` against the query into `pool`. The prefetches are written out here
// rather than in a helper: g++ 12 judges a function made only of prefetches to be free of
// side effects and deletes its calls. Start, middle and last byte cover every line of a
// signature up to 128 bytes; longer ones are streamed by the hardware prefetcher.
void score_records(const uint32_t* records, size_t count, const uint8_t* query, const uint8_t* sigs,
                   size_t sig_size, HammingKernel kernel, CandidatePool& pool) noexcept {
  for (size_t i = 0; i < count && i < kPrefetchDistance; ++i) {
    const uint8_t* sig = sigs + uint64_t{records[i]} * sig_size;
    __builtin_prefetch(sig);
    __builtin_prefetch(sig + sig_size / 2);
    __builtin_prefetch(sig + sig_size - 1);
  }
  for (size_t i = 0; i < count; ++i) {
    if (i + kPrefetchDistance < count) {
      const uint8_t* ahead = sigs + uint64_t{records[i + kPrefetchDistance]} * sig_size;
      __builtin_prefetch(ahead);
      __builtin_prefetch(ahead + sig_size / 2);
      __builtin_prefetch(ahead + sig_size - 1);
    }
    pool.offer(records[i], kernel(query, sigs + uint64_t{records[i]} * sig_size, sig_size));
  }
}

// Visits the set bits in ascending record order and keeps the pool's nearest candidates.
// A bit at or beyond record_count (impossible once the caller cleared them) is reported as
// the accessor would report it.
Expected<std::vector<HammingCandidate>, QueryError> scan_signatures(const IndexReader& reader,
                                                                    const CandidateBitmap& bitmap,
                                                                    std::span<const uint8_t> query,
                                                                    size_t pool_capacity) {
  const uint64_t n = reader.record_count();
  // Bits at or beyond record_count can only sit in the last word.
  if (!bitmap.empty()) {
    const uint64_t base = 64 * uint64_t{bitmap.size() - 1};
    const uint64_t beyond = n > base ? bitmap.back() & ~last_word_mask(n) : bitmap.back();
    if (beyond != 0) {
      const uint64_t index = base + static_cast<unsigned>(std::countr_zero(beyond));
      return unexpected(QueryError{StorageError{RecordIndexOutOfBounds{index, n}}});
    }
  }
  const size_t sig_size = query.size();
  const uint8_t* q = query.data();
  const uint8_t* sigs = reader.signature_ptr(0);
  const HammingKernel kernel = hamming_kernel();
  const HammingBatchKernel batch = hamming_batch_kernel();
  CandidatePool pool(pool_capacity);
  uint32_t distances[64];
  uint32_t gathered[kGatherLimit + 64];
  size_t count = 0;
  const uint64_t* words = bitmap.data();
  const size_t word_count = bitmap.size();
  for (size_t b = 0; b < word_count; ++b) {
    const uint64_t word = words[b];
    if (word == 0) continue;
    const auto base = static_cast<uint32_t>(64 * b);  // < 2^32: n <= kMaxRecordCount
    if (word == ~uint64_t{0}) {
      // A full block: 64 contiguous signatures, streamed by the hardware prefetcher.
      batch(q, sigs + uint64_t{base} * sig_size, sig_size, 64, distances);
      for (unsigned j = 0; j < 64; ++j) pool.offer(base + j, distances[j]);
      continue;
    }
    count += gather_records(word, base, gathered + count);
    if (count >= kGatherLimit) {
      score_records(gathered, count, q, sigs, sig_size, kernel, pool);
      count = 0;
    }
  }
  score_records(gathered, count, q, sigs, sig_size, kernel, pool);
  return pool.take_sorted();
}

struct RescoredCandidate {
  uint64_t record_index;
  uint32_t distance;
  float score;
};

// Higher score first, equal scores by record index. NaN cannot take part in a
// comparison-based order as "equal to everything" (that is not transitive, and std::sort
// requires a strict weak ordering), so NaN scores rank after every number, by record index
// among themselves.
bool rescored_before(const RescoredCandidate& a, const RescoredCandidate& b) noexcept {
  const bool a_nan = std::isnan(a.score);
  const bool b_nan = std::isnan(b.score);
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a.score != b.score) return a.score > b.score;
  return a.record_index < b.record_index;
}

// The embedding of `offset` lies wholly inside the view; checked without overflow.
bool embedding_in_view(uint64_t offset, uint64_t byte_len, size_t view_len) noexcept {
  return offset <= view_len && byte_len <= view_len - offset;
}

QueryResult rescore(const IndexReader& reader, const std::vector<HammingCandidate>& pool,
                    std::span<const float> query, std::span<const uint8_t> embeddings,
                    uint32_t top_k) {
  const uint64_t byte_len = 4 * uint64_t{query.size()};
  std::vector<RescoredCandidate> rescored;
  rescored.reserve(pool.size());
  for (const HammingCandidate& c : pool) {
    Expected<std::optional<uint64_t>, StorageError> offset = reader.external_offset(c.record_index);
    if (!offset) return unexpected(QueryError{std::move(offset).error()});
    float score = 0.0f;
    if (offset->has_value() && embedding_in_view(**offset, byte_len, embeddings.size())) {
      score = dot_f32_le(query.data(), embeddings.data() + **offset, query.size());
    }
    rescored.push_back({c.record_index, c.distance, score});
  }
  std::sort(rescored.begin(), rescored.end(), rescored_before);
  rescored.resize(std::min<size_t>(top_k, rescored.size()));
  std::vector<SearchHit> hits;
  hits.reserve(rescored.size());
  for (const RescoredCandidate& r : rescored) hits.push_back({r.score, r.record_index, r.distance});
  return hits;
}

}  // namespace

std::string to_string(const QueryError& e) {
  struct Render {
    std::string operator()(const TraitIndexOutOfRange& v) const {
      return "Trait index " + std::to_string(v.index) + " out of range (valid: 0.." +
             std::to_string(v.trait_count) + ")";
    }
    std::string operator()(const VectorDimensionMismatch& v) const {
      return "Query vector dimension mismatch: expected " + std::to_string(v.expected) + ", got " +
             std::to_string(v.got);
    }
    std::string operator()(const TopKOutOfRange& v) const {
      return "top_k value " + std::to_string(v.value) + " out of range (valid: 1..=10000)";
    }
    std::string operator()(const EmbeddingsRequired&) const {
      return "Exact rescoring requires embeddings data";
    }
    std::string operator()(const StorageError& v) const { return to_string(v); }
  };
  return std::visit(Render{}, e);
}

Expected<std::vector<SearchHit>, QueryError> execute_query(const QueryState& state,
                                                           const QueryRequest& request) {
  const IndexReader& reader = state.reader;
  const uint64_t n = reader.record_count();
  const uint16_t dim = reader.vector_dim();
  KORVEL_CHECK(n <= kMaxRecordCount, "execute_query: record count above the ceiling");

  if (request.top_k < 1 || request.top_k > kMaxTopK) {
    return unexpected(QueryError{TopKOutOfRange{request.top_k}});
  }
  if (request.exact_rescore && !request.query_vector) {
    return unexpected(QueryError{VectorDimensionMismatch{0, dim}});
  }

  const uint64_t blocks = reader.layout().blocks;
  CandidateBitmap bitmap;
  if (request.filter) {
    KORVEL_ASSIGN_OR_RETURN(
        bitmap, evaluate_filter(*request.filter, reader.code_planes(), reader.trait_count(),
                                reader.bit_width(), blocks, n));
  } else {
    bitmap.assign(blocks, ~uint64_t{0});
  }
  if (!bitmap.empty()) bitmap.back() &= last_word_mask(n);
  if (std::all_of(bitmap.begin(), bitmap.end(), [](uint64_t w) { return w == 0; })) {
    return std::vector<SearchHit>{};
  }

  const size_t pool_capacity = size_t{kPoolFactor} * request.top_k;
  if (!request.query_vector || dim == 0) return categorical_hits(bitmap, pool_capacity);

  const std::vector<float>& query = *request.query_vector;
  if (query.size() != dim) {
    return unexpected(QueryError{VectorDimensionMismatch{query.size(), dim}});
  }
  const std::vector<uint8_t> query_signature = compute_signature(query);
  KORVEL_ASSIGN_OR_RETURN(std::vector<HammingCandidate> pool,
                          scan_signatures(reader, bitmap, query_signature, pool_capacity));

  if (!request.exact_rescore) {
    std::vector<SearchHit> hits;
    hits.reserve(pool.size());
    for (const HammingCandidate& c : pool) {
      hits.push_back({std::nullopt, c.record_index, c.distance});
    }
    return hits;
  }
  if (!request.embeddings) return unexpected(QueryError{EmbeddingsRequired{}});
  return rescore(reader, pool, query, *request.embeddings, request.top_k);
}

}  // namespace korvel
