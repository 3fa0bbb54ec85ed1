// Exact search: every live record that matches a query's filter scored by the float32 dot
// product with its embedding, and the best k kept. No candidate pool and no signature is
// involved, so the result is the exact top k whatever the data; the cost is one dot product
// per record and query, computed for tiles of queries at a time over records held in cache.
#pragma once

#include "common/expected.h"
#include "shards/shard_set.h"

namespace korvel {

// Products (records x queries x dimensions) a task is given at least: fewer are done sooner
// than another thread joins. Tests lower it to split small sets.
extern uint64_t exact_task_work;

// The k best live records of `set` for each query by exact score, under the filter each
// query has (request.filters as search_batch reads them): scores as kExact re-scoring gives
// them (a record without an embedding scores 0), ordered by score_before, so equal scores
// go by (shard, record). Fewer hits in a row when fewer records match. oversample, rerank
// and rescore play no part. Errors: those of search_batch's checks, in their order, then
// UnknownTrait, then EmbeddingOutOfBounds of the first record in (shard, record) order whose
// embedding lies beyond its buffer. Thread-safe.
Expected<SearchResult, SearchError> exact_search(const ShardSet& set,
                                                 const SearchRequest& request);

}  // namespace korvel
