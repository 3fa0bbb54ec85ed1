// Batched query execution: many queries against one index in one pass over its signatures,
// split across a ThreadPool, with the same pools, order and re-scoring as execute_query
// gives each query alone. Also the filter-only aggregates: counts and facet counts straight
// from the code planes. Touches no interpreter object; the reader is only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/expected.h"
#include "common/thread_pool.h"
#include "mmap_reader/index_reader.h"
#include "query/query.h"

namespace korvel {

enum class Rerank : uint8_t {
  kNone,
  // The pool ranked by the float query against each record's stored sign bits: the
  // left-to-right float32 sum over i of (bit i set ? q[i] : -q[i]), higher first.
  kSigns,
};

struct BatchRequest {
  size_t query_count = 0;
  // query_count rows of vector_dim float32 values, row-major. When empty, `signatures`
  // (query_count rows of signature_size bytes) are searched instead; when both are empty,
  // every query takes the categorical path (matching records in record order, distance 0).
  std::span<const float> vectors;
  std::span<const uint8_t> signatures;
  // No filter (empty), one filter shared by every query, or one per query (null: none).
  std::span<const FilterExpr* const> filters;
  uint32_t top_k = 10;
  uint32_t oversample = kPoolFactor;  // the pool holds oversample * top_k candidates
  // Exact re-scoring as in execute_query: the pool by float32 dot product against the
  // embeddings at each record's external offset. Takes precedence over `rerank`.
  bool exact_rescore = false;
  std::optional<std::span<const uint8_t>> embeddings;  // caller's raw little-endian float32
  Rerank rerank = Rerank::kNone;
  size_t threads = 0;  // at most this many threads of the pool; 0: all of them
  // The records that exist (a collection's shard with deletions): one bit per record, set
  // for a live one, ceil(record_count / 64) words, bits past the last record clear. Empty:
  // every record is live. Every query, filtered or not, sees only live records: the bitmap
  // is ANDed into each filter's candidates and serves as the filter of unfiltered queries,
  // so pools, lists and counts are those of an index holding only the live records.
  std::span<const uint64_t> live;
  // Empty, or one per query: the farthest distance its caller still wants (inclusive).
  // Records farther than that may be left out of the query's row, which then holds fewer
  // than its pool: a caller merging this index's pools with a full pool from other records
  // passes that pool's worst distance less one, and the scan starts from that bound.
  std::span<const uint32_t> max_distance;
};

struct BatchResult {
  // Query q's hits at [offsets[q], offsets[q] + counts[q]). Each row has room for what its
  // query can return: its pool, at most the records its filter matches (after re-scoring or
  // re-ranking, at most top_k of them).
  std::vector<SearchHit> hits;
  std::vector<size_t> offsets;
  std::vector<uint32_t> counts;  // hits per query
  std::span<const SearchHit> row(size_t q) const { return {hits.data() + offsets[q], counts[q]}; }
};

// Signature bytes per thread, at least, before a query scanning alone is split across
// threads (4 MiB: less is read sooner than another thread joins). Tests lower it to split
// small indexes.
extern uint64_t alone_range_bytes;

// Runs request.query_count queries. Row q equals execute_query of query q with the same
// filter, top_k and pool size oversample * top_k (kPoolFactor: exactly the same request):
// the pool's candidates by (distance, record index), or after exact re-scoring the best
// top_k by score; after the sign re-rank the best top_k by sign score, held in
// SearchHit::exact_score. Errors, for the whole batch: TopKOutOfRange; VectorDimensionMismatch
// when vectors hold other than query_count * vector_dim values or when re-scoring or
// re-ranking without vectors; EmbeddingsRequired; TraitIndexOutOfRange of the first
// failing filter in query order. Unlike execute_query, a wrong dimension fails even when
// a query's filter matches nothing.
// Filters are told apart by structure (same_filter): equal trees are evaluated once.
// REQUIRES: oversample >= 1; filters.size() is 0, 1 or query_count; max_distance.size() is 0
// or query_count; signatures, when used,
// hold query_count * signature_size bytes. Thread-safe; may run tasks on `pool`.
Expected<BatchResult, QueryError> execute_batch(const IndexReader& reader,
                                                const BatchRequest& request, ThreadPool& pool);

// The number of records matching `filter` (every record when null). Errors:
// TraitIndexOutOfRange.
Expected<uint64_t, QueryError> count_matching(const IndexReader& reader, const FilterExpr* filter);

// counts[c] = the number of records matching `filter` (every record when null) whose code of
// trait `trait` is c, for every c < 2^bit_width. Errors: TraitIndexOutOfRange (of `trait` or
// of the filter).
Expected<std::vector<uint64_t>, QueryError> facet_counts(const IndexReader& reader, size_t trait,
                                                         const FilterExpr* filter);

// count_matching and facet_counts on up to `threads` threads of `pool` (0: all of them): the
// blocks are cut into one range per thread, each range's filter evaluated in pieces small
// enough to stay in cache, and the per-range counts added. The same results and errors as
// the one-thread forms. `live`, when given, holds one bit per record (a word per block):
// records whose bit is clear (deleted ones) are counted nowhere.
Expected<uint64_t, QueryError> count_matching(const IndexReader& reader, const FilterExpr* filter,
                                              ThreadPool& pool, size_t threads,
                                              const uint64_t* live = nullptr);
Expected<std::vector<uint64_t>, QueryError> facet_counts(const IndexReader& reader, size_t trait,
                                                         const FilterExpr* filter, ThreadPool& pool,
                                                         size_t threads,
                                                         const uint64_t* live = nullptr);

}  // namespace korvel
