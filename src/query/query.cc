// execute_query: top_k and vector checks, the candidate bitmap, then either the
// categorical-only path (matching records in record order) or the vector path (signature
// scan into a bounded pool, optional exact re-scoring). Signatures and plane words are read
// in place from the mapping; the bitmap is the only allocation that grows with the index.
#include "query/query.h"

#include <emmintrin.h>

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
#include "query/candidate_pool.h"
#include "simd/kernel_table.h"
#include "vector/dot.h"
#include "vector/signature.h"

namespace korvel {
namespace {

using QueryResult = Expected<std::vector<SearchHit>, QueryError>;

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

// The first min(n, limit) records in order, distance 0: the categorical path of an
// unfiltered query.
std::vector<SearchHit> first_hits(uint64_t n, size_t limit) {
  std::vector<SearchHit> hits;
  hits.reserve(static_cast<size_t>(std::min<uint64_t>(n, limit)));
  for (uint64_t r = 0; r < n && hits.size() < limit; ++r) hits.push_back({std::nullopt, r, 0});
  return hits;
}

// Records of sparse words are collected into a fixed-size list and scored in one call of
// the gather kernel, which prefetches ahead so the cache misses of scattered candidates
// overlap. Record indexes fit 32 bits (the reader caps the count).
constexpr size_t kGatherLimit = 512;

// Bit 2i of the result is set when words[i] != 0, for i < count <= 32; odd bits are clear.
// Selective filters leave most words empty in no predictable pattern, so testing them one
// at a time would mispredict on most nonempty words; the caller visits the set bits instead.
// Eight words at a time: SSE2 (baseline x86-64) compares their 32-bit halves with zero
// and packs the sixteen results into one byte mask.
inline uint64_t nonzero_words(const uint64_t* words, size_t count) noexcept {
  const __m128i zero = _mm_setzero_si128();
  uint64_t mask = 0;
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const auto* p = reinterpret_cast<const __m128i*>(words + i);
    const __m128i halves01 = _mm_cmpeq_epi32(_mm_loadu_si128(p), zero);
    const __m128i halves23 = _mm_cmpeq_epi32(_mm_loadu_si128(p + 1), zero);
    const __m128i halves45 = _mm_cmpeq_epi32(_mm_loadu_si128(p + 2), zero);
    const __m128i halves67 = _mm_cmpeq_epi32(_mm_loadu_si128(p + 3), zero);
    const __m128i packed =
        _mm_packs_epi16(_mm_packs_epi32(halves01, halves23), _mm_packs_epi32(halves45, halves67));
    const auto zero_halves = static_cast<uint64_t>(_mm_movemask_epi8(packed));
    // A word is empty when both its halves are.
    mask |= (~(zero_halves & (zero_halves >> 1)) & 0x5555u) << (2 * i);
  }
  for (; i < count; ++i) mask |= uint64_t{words[i] != 0} << (2 * i);
  return mask;
}

// Appends the records of `word` (block base `base`) at `out` and returns the end of the
// list. Most words of a selective filter hold one or two records, so two slots are written
// whatever the word holds and only words with more records loop; branching on each bit
// would mispredict. The sentinel bit makes the bit scans defined without a test for zero;
// with a single record, the second slot lies past the returned end.
// REQUIRES: word != 0; out has room for 64 entries plus one.
inline uint32_t* gather_records(uint64_t word, uint32_t base, uint32_t* out) noexcept {
  constexpr uint64_t kSentinel = uint64_t{1} << 63;
  uint64_t rest = word & (word - 1);
  out[0] = base + static_cast<uint32_t>(std::countr_zero(word | kSentinel));
  out[1] = base + static_cast<uint32_t>(std::countr_zero(rest | kSentinel));
  out += rest != 0 ? 2 : 1;
  for (rest &= rest - 1; rest != 0; rest &= rest - 1) {
    *out++ = base + static_cast<uint32_t>(std::countr_zero(rest));
  }
  return out;
}

// Scores `records` against the query into `pool`.
void score_records(const uint32_t* records, size_t count, const uint8_t* query, const uint8_t* sigs,
                   size_t sig_size, HammingGatherKernel gather, uint32_t* distances,
                   CandidatePool& pool) noexcept {
  gather(query, sigs, sig_size, records, count, distances);
  pool.offer_many(records, 0, distances, count);
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
  const HammingBatchKernel batch = kernels().hamming_batch;
  const HammingGatherKernel gather = kernels().hamming_gather;
  CandidatePool pool(pool_capacity);
  uint32_t distances[kGatherLimit + 65];
  uint32_t gathered[kGatherLimit + 65];
  uint32_t* end = gathered;
  const uint64_t* words = bitmap.data();
  const size_t word_count = bitmap.size();
  for (size_t group = 0; group < word_count; group += 32) {
    const size_t in_group = std::min<size_t>(32, word_count - group);
    for (uint64_t nonzero = nonzero_words(words + group, in_group); nonzero != 0;
         nonzero &= nonzero - 1) {
      const size_t b = group + static_cast<unsigned>(std::countr_zero(nonzero)) / 2;
      const uint64_t word = words[b];
      const auto base = static_cast<uint32_t>(64 * b);  // < 2^32: n <= kMaxRecordCount
      if (word == ~uint64_t{0}) {
        // A full block: 64 contiguous signatures, streamed by the hardware prefetcher.
        batch(q, sigs + uint64_t{base} * sig_size, sig_size, 64, distances);
        pool.offer_many(nullptr, base, distances, 64);
        continue;
      }
      end = gather_records(word, base, end);
      if (end >= gathered + kGatherLimit) {
        score_records(gathered, end - gathered, q, sigs, sig_size, gather, distances, pool);
        end = gathered;
      }
    }
  }
  score_records(gathered, end - gathered, q, sigs, sig_size, gather, distances, pool);
  return pool.take_sorted();
}

// Records per batch-kernel call of the unfiltered scan. The pool's offers between two calls
// issue no loads of the signature section; kept this short, they fit within the hardware
// prefetcher's run-ahead and the stream never stalls.
constexpr size_t kScanChunk = 64;

// The scan of an unfiltered query: every record, front to back, in chunks the batch kernel
// streams through; no bitmap is built or walked.
std::vector<HammingCandidate> scan_all_signatures(const IndexReader& reader,
                                                  std::span<const uint8_t> query,
                                                  size_t pool_capacity) {
  const uint64_t n = reader.record_count();
  const size_t sig_size = query.size();
  const uint8_t* sigs = reader.signature_ptr(0);
  const HammingBatchKernel batch = kernels().hamming_batch;
  CandidatePool pool(pool_capacity);
  uint32_t distances[kScanChunk];
  for (uint64_t first = 0; first < n; first += kScanChunk) {
    const auto count = static_cast<size_t>(std::min<uint64_t>(kScanChunk, n - first));
    batch(query.data(), sigs + first * sig_size, sig_size, count, distances);
    pool.offer_many(nullptr, first, distances, count);
  }
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
  // The readable embeddings are scored together, several rows at a time; the rest score 0.
  std::vector<const uint8_t*> rows;
  std::vector<size_t> row_slots;
  rows.reserve(pool.size());
  row_slots.reserve(pool.size());
  for (const HammingCandidate& c : pool) {
    Expected<std::optional<uint64_t>, StorageError> offset = reader.external_offset(c.record_index);
    if (!offset) return unexpected(QueryError{std::move(offset).error()});
    if (offset->has_value() && embedding_in_view(**offset, byte_len, embeddings.size())) {
      rows.push_back(embeddings.data() + **offset);
      row_slots.push_back(rescored.size());
    }
    rescored.push_back({c.record_index, c.distance, 0.0f});
  }
  std::vector<float> scores(rows.size());
  dot_f32_le_many(query.data(), query.size(), rows.data(), rows.size(), scores.data());
  for (size_t j = 0; j < rows.size(); ++j) rescored[row_slots[j]].score = scores[j];
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
    std::string operator()(const TraitIndexOutOfRange& v) const { return to_string(v); }
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

  // Without a filter every record is a candidate and no bitmap is built: the paths below
  // take the whole range instead.
  const bool filtered = request.filter.has_value();
  CandidateBitmap bitmap;
  if (filtered) {
    KORVEL_ASSIGN_OR_RETURN(
        bitmap, evaluate_filter(*request.filter, reader.code_planes(), reader.trait_count(),
                                reader.bit_width(), reader.layout().blocks, n));
    if (!bitmap.empty()) bitmap.back() &= last_word_mask(n);
  }
  if (filtered ? std::all_of(bitmap.begin(), bitmap.end(), [](uint64_t w) { return w == 0; })
               : n == 0) {
    return std::vector<SearchHit>{};
  }

  const size_t pool_capacity = size_t{kPoolFactor} * request.top_k;
  if (!request.query_vector || dim == 0) {
    return filtered ? categorical_hits(bitmap, pool_capacity) : first_hits(n, pool_capacity);
  }

  const std::vector<float>& query = *request.query_vector;
  if (query.size() != dim) {
    return unexpected(QueryError{VectorDimensionMismatch{query.size(), dim}});
  }
  const std::vector<uint8_t> query_signature = compute_signature(query);
  std::vector<HammingCandidate> pool;
  if (filtered) {
    KORVEL_ASSIGN_OR_RETURN(pool, scan_signatures(reader, bitmap, query_signature, pool_capacity));
  } else {
    pool = scan_all_signatures(reader, query_signature, pool_capacity);
  }

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
