// The pools come from execute_query on each shard, as in search_batch: every shard's pool is
// a prefix of its records under (distance, record), so the merge over this set's shards is a
// prefix of the set's records under (distance, shard, record), and merging such prefixes of
// disjoint parts again gives the whole set's pool.
#include "pipeline/shard_pool.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "common/check.h"
#include "vector/dot.h"

namespace korvel {

SetScope whole_set(const ShardSet& set) noexcept {
  return {set.record_count(), set.shard_count(), 0};
}

Expected<PoolBatch, SearchError> search_pools(const ShardSet& set, const BatchRequest& request,
                                              const SetScope& scope) {
  const size_t nq = request.query_count;
  const size_t shards = set.shard_count();
  const uint16_t dim = set.dim();
  if (request.k == 0 || request.k > kMaxTopK) {
    return unexpected(SearchError{KOutOfRange{request.k}});
  }
  if (request.oversample == 0) {
    return unexpected(SearchError{OversampleOutOfRange{request.oversample}});
  }
  const uint64_t wanted = request.oversample > std::numeric_limits<uint64_t>::max() / request.k
                              ? std::numeric_limits<uint64_t>::max()
                              : request.oversample * request.k;
  const uint64_t pool_size = std::min(wanted, scope.record_count);
  if (pool_size > kMaxPool) return unexpected(SearchError{PoolTooLarge{wanted}});
  if (request.queries.size() != nq * dim) {
    return unexpected(SearchError{QueryShapeMismatch{request.queries.size(), nq, dim}});
  }
  const size_t filter_count = request.filters.size();
  if (filter_count > 1 && filter_count != nq) {
    return unexpected(SearchError{FilterCountMismatch{filter_count, nq}});
  }
  if (request.rerank == Rerank::kExact && request.embeddings.size() != 1 &&
      request.embeddings.size() != scope.shard_count) {
    return unexpected(
        SearchError{EmbeddingBufferCount{request.embeddings.size(), scope.shard_count}});
  }
  for (size_t row = 0; row < nq; ++row) {
    const float* q = request.queries.data() + row * dim;
    if (!std::all_of(q, q + dim, [](float v) { return std::isfinite(v); })) {
      return unexpected(SearchError{NonFiniteQuery{row}});
    }
  }
  // An unknown trait fails the whole call before any work, as in search_batch.
  for (size_t f = 0; f < filter_count; ++f) {
    if (!request.filters[f]) continue;
    for (size_t s = 0; s < shards; ++s) KORVEL_TRY(resolve_filter(set, s, *request.filters[f]));
  }

  PoolBatch result;
  result.query_count = nq;
  result.pool_size = static_cast<size_t>(pool_size);
  result.counts.assign(nq, 0);
  if (pool_size == 0 || nq == 0) return result;
  result.hits.resize(nq * result.pool_size);

  const auto top_k = static_cast<uint32_t>((pool_size + kPoolFactor - 1) / kPoolFactor);
  std::vector<std::vector<SearchHit>> pools(nq * shards);
  std::vector<std::optional<SearchError>> errors(nq * shards);
  parallel_for(nq * shards, request.threads, [&](size_t item) {
    const size_t q = item / shards;
    const size_t s = item % shards;
    QueryRequest single;
    const size_t f = filter_count == nq ? q : 0;
    if (filter_count > 0 && request.filters[f]) {
      auto resolved = resolve_filter(set, s, *request.filters[f]);
      KORVEL_CHECK(resolved.has_value(), "a filter resolved before failed to resolve");
      single.filter = std::move(*resolved);
    }
    const float* row = request.queries.data() + q * dim;
    single.query_vector.emplace(row, row + dim);
    single.top_k = top_k;
    auto hits = execute_query(set.shard(s).state, single);
    if (!hits) {
      errors[item] = SearchError{std::move(hits).error()};
      return;
    }
    if (hits->size() > pool_size) hits->resize(static_cast<size_t>(pool_size));
    pools[item] = std::move(*hits);
  });
  for (auto& e : errors) {
    if (e) return unexpected(std::move(*e));
  }

  parallel_for(nq, request.threads, [&](size_t q) {
    std::vector<PoolHit> pool;
    for (size_t s = 0; s < shards; ++s) {
      const auto shard = static_cast<uint32_t>(scope.first_shard + s);
      for (const SearchHit& h : pools[q * shards + s]) {
        pool.push_back({set.doc_id(s, h.record_index), h.record_index, shard, h.distance});
      }
      std::vector<SearchHit>().swap(pools[q * shards + s]);
    }
    const size_t keep = std::min(pool.size(), result.pool_size);
    std::partial_sort(pool.begin(), pool.begin() + keep, pool.end(),
                      [](const PoolHit& a, const PoolHit& b) {
                        if (a.distance != b.distance) return a.distance < b.distance;
                        if (a.shard != b.shard) return a.shard < b.shard;
                        return a.record < b.record;
                      });
    std::copy_n(pool.begin(), keep, result.hits.begin() + q * result.pool_size);
    result.counts[q] = static_cast<uint32_t>(keep);
  });
  return result;
}

Expected<std::vector<float>, SearchError> score_pool(const ShardSet& set,
                                                     const BatchRequest& request,
                                                     const SetScope& scope,
                                                     std::span<const uint32_t> rows,
                                                     std::span<const uint32_t> shards,
                                                     std::span<const uint64_t> records) {
  KORVEL_CHECK(rows.size() == shards.size() && rows.size() == records.size(),
               "score_pool: entry arrays of different lengths");
  const uint16_t dim = set.dim();
  std::vector<float> scores(rows.size(), 0.0f);  // no embedding: 0, as search_batch scores it
  if (request.rerank == Rerank::kSigns) {
    for (size_t i = 0; i < rows.size(); ++i) {
      const float* q = request.queries.data() + size_t{rows[i]} * dim;
      const uint8_t* sig =
          set.shard(shards[i] - scope.first_shard).state.reader.signature_ptr(records[i]);
      float acc = 0.0f;
      for (size_t j = 0; j < dim; ++j) acc += ((sig[j / 8] >> (j % 8)) & 1u) != 0 ? q[j] : -q[j];
      scores[i] = acc;
    }
    return scores;
  }
  if (request.embeddings.size() != 1 && request.embeddings.size() != scope.shard_count) {
    return unexpected(
        SearchError{EmbeddingBufferCount{request.embeddings.size(), scope.shard_count}});
  }
  const uint64_t bytes = 4 * uint64_t{dim};
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& buffer = request.embeddings[request.embeddings.size() == 1 ? 0 : shards[i]];
    if (!buffer) continue;
    const size_t local = shards[i] - scope.first_shard;
    auto offset = set.shard(local).state.reader.external_offset(records[i]);
    if (!offset) return unexpected(SearchError{QueryError{std::move(offset).error()}});
    if (!offset->has_value()) continue;
    const uint64_t at = **offset;
    if (at > buffer->size() || bytes > buffer->size() - at) {
      return unexpected(
          SearchError{EmbeddingOutOfBounds{shards[i], records[i], at, bytes, buffer->size()}});
    }
    scores[i] =
        dot_f32_le(request.queries.data() + size_t{rows[i]} * dim, buffer->data() + at, dim);
  }
  return scores;
}

}  // namespace korvel
