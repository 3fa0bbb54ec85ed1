// Candidate pools of a part of a shard set, for searches spread over several processes: each
// process holds some consecutive shards of the whole set, returns its pools with the global
// shard index of every hit, and the caller merges them under (distance, shard, record) as
// search_batch merges shards; the merged pool is then re-scored by the processes holding its
// records. Same validation and texts as search_batch, judged against the whole set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/expected.h"
#include "shards/shard_set.h"

namespace korvel {

// Where `set` lies in the whole set: its shard 0 is shard `first_shard` of `shard_count`
// shards holding `record_count` records in all.
struct SetScope {
  uint64_t record_count = 0;
  size_t shard_count = 0;
  size_t first_shard = 0;
};

// The scope of a set that is the whole set.
SetScope whole_set(const ShardSet& set) noexcept;

struct PoolHit {
  uint64_t id;  // the record's document id (0 from search_pool_records)
  uint64_t record;
  uint32_t shard;  // global shard index
  uint32_t distance;
};

struct PoolBatch {
  size_t query_count = 0;
  size_t pool_size = 0;          // min(oversample * k, scope.record_count): slots per query
  std::vector<PoolHit> hits;     // query q's hits at [q * pool_size, q * pool_size + counts[q])
  std::vector<uint32_t> counts;  // hits per query
};

// The pool order: (distance, shard, record). A strict weak order.
bool pool_before(const PoolHit& a, const PoolHit& b) noexcept;

// A pool hit with its re-scoring score.
struct ScoredHit {
  uint64_t id;
  uint64_t record;
  uint32_t shard;  // global shard index
  float score;
};

// The order of re-scored hits: higher score first, NaN after every number, then (shard,
// record). A strict weak order.
bool score_before(const ScoredHit& a, const ScoredHit& b) noexcept;

// Sorts re-scored hits by score_before: the one order of every result re-scored in one
// process or merged from several.
void sort_scored(std::span<ScoredHit> hits);

// The pool of a whole set from the pools of its disjoint parts (search_pools of each with the
// same request, each part's scope locating it in the whole set): per query, the first
// pool_size hits of the union under pool order. Slots past a query's count hold zeros.
// REQUIRES: every part has the query count and pool size of parts[0], counts <= pool size.
PoolBatch merge_pools(std::span<const PoolBatch> parts);

// The first pool_size candidates of each query among this set's records under (distance,
// shard, record): the records of the whole set's pool that lie in this set, followed by
// others. request.rerank and request.embeddings are only validated (embeddings.size()
// against scope.shard_count). Errors: those of search_batch, in its order, with pool size
// and shard count taken from `scope`. REQUIRES: scope covers the set. Thread-safe.
Expected<PoolBatch, SearchError> search_pools(const ShardSet& set, const SearchRequest& request,
                                              const SetScope& scope);
// min(oversample * k, record_count), saturating; 0 when k is 0.
uint64_t pool_size_of(const SearchRequest& request, uint64_t record_count) noexcept;
// The checks of search_pools that need no shard's data, in its order (filters are resolved
// later); the pool size.
Expected<uint64_t, SearchError> check_search(const ShardSet& set, const SearchRequest& request,
                                             const SetScope& scope);
// search_pools without the document ids (every hit's id is 0): a caller that keeps only a few
// hits of each pool looks up just theirs (ShardSet::doc_id), rather than one scattered read
// per pooled hit.
Expected<PoolBatch, SearchError> search_pool_records(const ShardSet& set,
                                                     const SearchRequest& request,
                                                     const SetScope& scope);

// Scores entry i (record records[i] of global shard shards[i], for query row rows[i] of
// request.queries) as search_batch re-scores it: kExact by the float32 dot product with the
// embedding at its external offset (request.embeddings: one buffer, or one per shard of the
// whole set), kSigns by the sign bits. Errors: EmbeddingBufferCount, EmbeddingOutOfBounds of
// the first entry in the given order whose embedding lies beyond its buffer, QueryError.
// REQUIRES: rerank is kExact or kSigns, rows[i] < query_count, the shards in this set,
// records in range.
Expected<std::vector<float>, SearchError> score_pool(const ShardSet& set,
                                                     const SearchRequest& request,
                                                     const SetScope& scope,
                                                     std::span<const uint32_t> rows,
                                                     std::span<const uint32_t> shards,
                                                     std::span<const uint64_t> records);
// The same, scored as `how` says (kExact or kSigns) whatever request.rerank is: the two stages
// of kCascade.
Expected<std::vector<float>, SearchError> score_pool(const ShardSet& set,
                                                     const SearchRequest& request,
                                                     const SetScope& scope, Rescoring how,
                                                     std::span<const uint32_t> rows,
                                                     std::span<const uint32_t> shards,
                                                     std::span<const uint64_t> records);

// The first stage of kCascade for one query: the positions of the `keep` best entries of its
// pool, given the sign scores of the pool in pool order, best first under (score descending,
// NaN after every number, then pool position). Fewer when the pool is smaller. With `ordered`
// false the same positions in no particular order (for a caller that ranks them anew).
std::vector<uint32_t> cascade_pick(std::span<const float> sign_scores, size_t keep,
                                   bool ordered = true);

// How many entries of a pool of `pool` kCascade re-scores exactly: min(rescore * k, pool).
uint64_t cascade_keep(uint64_t rescore, uint64_t k, uint64_t pool) noexcept;

}  // namespace korvel
