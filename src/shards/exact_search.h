// Exact search: every live record that matches a query's filter scored by the float32 dot
// product with its embedding, and the best k kept. No candidate pool and no signature is
// involved, so the result is the exact top k whatever the data; the cost is one dot product
// per record and query, computed for tiles of queries at a time over records held in cache.
#pragma once

#include <vector>

#include "common/expected.h"
#include "shards/shard_pool.h"
#include "shards/shard_set.h"

namespace korvel {

// Products (records x queries x dimensions) a task is given at least: fewer are done sooner
// than another thread joins. Tests lower it to split small sets.
extern uint64_t exact_task_work;

// The k best live records of `set` for each query by exact score, under the filter each
// query has (request.filters as search_batch reads them): scores as kExact re-scoring gives
// them (a record without an embedding scores 0), ordered by score_before, so equal scores
// go by (shard, record). Fewer hits in a row when fewer records match. oversample and
// rescore play no part. Errors: those of search_batch's checks, in their order, then
// UnknownTrait, then EmbeddingOutOfBounds of the first record in (shard, record) order whose
// embedding lies beyond its buffer. REQUIRES: request.rerank is kExact. Thread-safe.
Expected<SearchResult, SearchError> exact_search(const ShardSet& set, const SearchRequest& request);

// The same hits with their document ids, global shard numbers and records, for a set that is
// part of a larger one (`scope`, as search_pools takes it; request.embeddings indexed by
// global shard): a caller holding the parts' hits ranks their union by score_before.
struct ExactHits {
  size_t query_count = 0;
  size_t k = 0;
  std::vector<ScoredHit> hits;  // query q's at [q * k, q * k + counts[q]), best first
  std::vector<uint32_t> counts;
};
Expected<ExactHits, SearchError> exact_hits(const ShardSet& set, const SearchRequest& request,
                                            const SetScope& scope);

}  // namespace korvel
