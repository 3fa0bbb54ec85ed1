// The pools come from the batched engine on each shard, as in search_batch: every shard's pool is
// a prefix of its records under (distance, record), so the merge over this set's shards is a
// prefix of the set's records under (distance, shard, record), and merging such prefixes of
// disjoint parts again gives the whole set's pool. The merge runs shard by shard, so that a
// search holds the result and one shard's pools, whatever the number of shards.
#include "shards/shard_pool.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>

#include "common/check.h"
#include "common/thread_pool.h"
#include "query/batch_query.h"
#include "vector/dot.h"
#include "vector/sign_score.h"

namespace korvel {

SetScope whole_set(const ShardSet& set) noexcept {
  return {set.record_count(), set.shard_count(), 0};
}

bool pool_before(const PoolHit& a, const PoolHit& b) noexcept {
  if (a.distance != b.distance) return a.distance < b.distance;
  if (a.shard != b.shard) return a.shard < b.shard;
  return a.record < b.record;
}

bool score_before(const ScoredHit& a, const ScoredHit& b) noexcept {
  const bool a_nan = std::isnan(a.score);
  const bool b_nan = std::isnan(b.score);
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a.score != b.score) return a.score > b.score;
  if (a.shard != b.shard) return a.shard < b.shard;
  return a.record < b.record;
}

void sort_scored(std::span<ScoredHit> hits) { std::sort(hits.begin(), hits.end(), score_before); }

namespace {

// Keeps the first `size` hits of `pool` in pool order in `out` (pool_size slots); returns how
// many were kept.
uint32_t keep_first(std::vector<PoolHit>& pool, size_t size, PoolHit* out) {
  const size_t keep = std::min(pool.size(), size);
  std::partial_sort(pool.begin(), pool.begin() + keep, pool.end(), pool_before);
  std::copy_n(pool.begin(), keep, out);
  return static_cast<uint32_t>(keep);
}

}  // namespace

PoolBatch merge_pools(std::span<const PoolBatch> parts) {
  PoolBatch out;
  if (parts.empty()) return out;
  out.query_count = parts[0].query_count;
  out.pool_size = parts[0].pool_size;
  out.counts.assign(out.query_count, 0);
  out.hits.assign(out.query_count * out.pool_size, PoolHit{0, 0, 0, 0});
  std::vector<PoolHit> pool;
  for (size_t q = 0; q < out.query_count; ++q) {
    pool.clear();
    for (const PoolBatch& part : parts) {
      KORVEL_CHECK(part.query_count == out.query_count && part.pool_size == out.pool_size &&
                       part.counts[q] <= part.pool_size,
                   "merge_pools: parts of different shapes");
      const PoolHit* first = part.hits.data() + q * part.pool_size;
      pool.insert(pool.end(), first, first + part.counts[q]);
    }
    out.counts[q] = keep_first(pool, out.pool_size, out.hits.data() + q * out.pool_size);
  }
  return out;
}

Expected<PoolBatch, SearchError> search_pools(const ShardSet& set, const SearchRequest& request,
                                              const SetScope& scope) {
  KORVEL_ASSIGN_OR_RETURN(PoolBatch pools, search_pool_records(set, request, scope));
  for (size_t q = 0; q < pools.query_count; ++q) {
    PoolHit* row = pools.hits.data() + q * pools.pool_size;
    for (size_t i = 0; i < pools.counts[q]; ++i) {
      row[i].id = set.doc_id(row[i].shard - scope.first_shard, row[i].record);
    }
  }
  return pools;
}

uint64_t pool_size_of(const SearchRequest& request, uint64_t record_count) noexcept {
  if (request.k == 0) return 0;
  const uint64_t wanted = request.oversample > std::numeric_limits<uint64_t>::max() / request.k
                              ? std::numeric_limits<uint64_t>::max()
                              : request.oversample * request.k;
  return std::min(wanted, record_count);
}

Expected<uint64_t, SearchError> check_search(const ShardSet& set, const SearchRequest& request,
                                             const SetScope& scope) {
  const size_t nq = request.query_count;
  const uint16_t dim = set.dim();
  if (request.k == 0 || request.k > kMaxTopK) {
    return unexpected(SearchError{KOutOfRange{request.k}});
  }
  if (request.oversample == 0) {
    return unexpected(SearchError{OversampleOutOfRange{request.oversample}});
  }
  const uint64_t pool_size = pool_size_of(request, scope.record_count);
  if (pool_size > kMaxPool) {
    return unexpected(SearchError{PoolTooLarge{pool_size_of(request, ~uint64_t{0})}});
  }
  if (request.queries.size() != nq * dim) {
    return unexpected(SearchError{QueryShapeMismatch{request.queries.size(), nq, dim}});
  }
  const size_t filter_count = request.filters.size();
  if (filter_count > 1 && filter_count != nq) {
    return unexpected(SearchError{FilterCountMismatch{filter_count, nq}});
  }
  if ((request.rerank == Rescoring::kExact || request.rerank == Rescoring::kCascade) &&
      request.embeddings.size() != 1 && request.embeddings.size() != scope.shard_count) {
    return unexpected(
        SearchError{EmbeddingBufferCount{request.embeddings.size(), scope.shard_count}});
  }
  for (size_t row = 0; row < nq; ++row) {
    const float* q = request.queries.data() + row * dim;
    if (!std::all_of(q, q + dim, [](float v) { return std::isfinite(v); })) {
      return unexpected(SearchError{NonFiniteQuery{row}});
    }
  }
  return pool_size;
}

Expected<PoolBatch, SearchError> search_pool_records(const ShardSet& set,
                                                     const SearchRequest& request,
                                                     const SetScope& scope) {
  const size_t nq = request.query_count;
  const size_t shards = set.shard_count();
  KORVEL_ASSIGN_OR_RETURN(const uint64_t pool_size, check_search(set, request, scope));
  const size_t filter_count = request.filters.size();
  // Filters resolved before any work, so that an unknown trait fails the whole call as in
  // search_batch. Names resolve against the schema every shard shares, so shard 0 finds
  // every such error; the other shards' filters are resolved as their turn comes.
  std::vector<std::optional<FilterExpr>> resolved(filter_count);
  auto resolve = [&](size_t s) -> Expected<void, SearchError> {
    for (size_t f = 0; f < filter_count; ++f) {
      if (!request.filters[f]) continue;
      KORVEL_ASSIGN_OR_RETURN(resolved[f], resolve_filter(set, s, *request.filters[f]));
    }
    return {};
  };
  KORVEL_TRY(resolve(0));

  PoolBatch result;
  result.query_count = nq;
  result.pool_size = static_cast<size_t>(pool_size);
  result.counts.assign(nq, 0);
  if (pool_size == 0 || nq == 0) return result;
  result.hits.resize(nq * result.pool_size);

  // Every query's pool in each shard, one batch per shard on the batched engine, folded into
  // the running pools before the next shard runs: only one shard's pools are held at a time.
  // A shard's scan starts from the running pool's bound: once a query's pool is full, a
  // later shard's record enters only when nearer than the pool's worst hit (ties keep the
  // earlier shard's hit).
  std::vector<const FilterExpr*> filters(filter_count);
  std::vector<uint32_t> max_distance(nq, ~uint32_t{0});
  for (size_t s = 0; s < shards; ++s) {
    if (s > 0) KORVEL_TRY(resolve(s));
    for (size_t f = 0; f < filter_count; ++f) {
      filters[f] = resolved[f] ? &*resolved[f] : nullptr;
    }
    BatchRequest batch;
    batch.query_count = nq;
    batch.live = set.shard(s).live;
    batch.vectors = request.queries;
    batch.filters = filters;
    batch.top_k = static_cast<uint32_t>(request.k);
    batch.oversample = static_cast<uint32_t>((pool_size + request.k - 1) / request.k);
    batch.threads = request.threads;
    if (s > 0) {
      for (size_t q = 0; q < nq; ++q) {
        if (result.counts[q] < result.pool_size) continue;
        const uint32_t worst = result.hits[(q + 1) * result.pool_size - 1].distance;
        max_distance[q] = worst == 0 ? 0 : worst - 1;
      }
      batch.max_distance = max_distance;
    }
    auto shard_pools = execute_batch(set.shard(s).state.reader, batch, default_thread_pool());
    if (!shard_pools) return unexpected(SearchError{std::move(shard_pools).error()});
    const auto shard = static_cast<uint32_t>(scope.first_shard + s);
    parallel_for(nq, request.threads, [&](size_t q) {
      // Both runs are sorted, and this shard follows every shard already merged: of equal
      // distances, the held hits come first. Merged from the back, in place, dropping the
      // worst hits beyond the pool size.
      const std::span<const SearchHit> add = shard_pools->row(q);
      PoolHit* row = result.hits.data() + q * result.pool_size;
      const size_t held = result.counts[q];
      const size_t keep = std::min(held + add.size(), result.pool_size);
      size_t drop = held + add.size() - keep;
      size_t i = held, j = add.size(), w = keep;
      while (j > 0) {
        const SearchHit& h = add[j - 1];
        const PoolHit next{0, h.record_index, shard, h.distance};
        if (i > 0 && pool_before(next, row[i - 1])) {
          --i;
          if (drop > 0) {
            --drop;
          } else {
            row[--w] = row[i];
          }
          continue;
        }
        --j;
        if (drop > 0) {
          --drop;
          continue;
        }
        row[--w] = next;
      }
      result.counts[q] = static_cast<uint32_t>(keep);
    });
  }
  return result;
}

Expected<std::vector<float>, SearchError> score_pool(const ShardSet& set,
                                                     const SearchRequest& request,
                                                     const SetScope& scope,
                                                     std::span<const uint32_t> rows,
                                                     std::span<const uint32_t> shards,
                                                     std::span<const uint64_t> records) {
  return score_pool(set, request, scope, request.rerank, rows, shards, records);
}

std::vector<uint32_t> cascade_pick(std::span<const float> sign_scores, size_t keep,
                                   bool ordered) {
  // One integer key per entry ordering as the definition does: higher score first (-0 and +0
  // equal), NaN after every number, equal scores by position.
  std::vector<uint64_t> keys(sign_scores.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    const float x = sign_scores[i] == 0.0f ? 0.0f : sign_scores[i];
    uint32_t rank = 0xFFFFFFFFu;  // NaN
    if (!std::isnan(x)) {
      const auto bits = std::bit_cast<uint32_t>(x);
      const uint32_t ascending = (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
      rank = ~ascending;
    }
    keys[i] = (uint64_t{rank} << 32) | i;
  }
  keep = std::min(keep, keys.size());
  // Selection first: only the kept part is sorted, however large the pool.
  if (keep < keys.size()) {
    std::nth_element(keys.begin(), keys.begin() + static_cast<ptrdiff_t>(keep), keys.end());
    keys.resize(keep);
  }
  if (ordered) std::sort(keys.begin(), keys.end());
  std::vector<uint32_t> order(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) order[i] = static_cast<uint32_t>(keys[i]);
  return order;
}

uint64_t cascade_keep(uint64_t rescore, uint64_t k, uint64_t pool) noexcept {
  return rescore >= (pool + k - 1) / k ? pool : std::min(rescore * k, pool);
}

Expected<std::vector<float>, SearchError> score_pool(const ShardSet& set,
                                                     const SearchRequest& request,
                                                     const SetScope& scope, Rescoring how,
                                                     std::span<const uint32_t> rows,
                                                     std::span<const uint32_t> shards,
                                                     std::span<const uint64_t> records) {
  KORVEL_CHECK(rows.size() == shards.size() && rows.size() == records.size(),
               "score_pool: entry arrays of different lengths");
  KORVEL_CHECK(how == Rescoring::kExact || how == Rescoring::kSigns,
               "score_pool: scored by the dot product or the sign bits");
  const uint16_t dim = set.dim();
  std::vector<float> scores(rows.size(), 0.0f);  // no embedding: 0, as search_batch scores it
  if (how == Rescoring::kSigns) {
    // Each run of entries of one query row scored together, many records at a time.
    std::vector<const uint8_t*> sigs(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      sigs[i] = set.shard(shards[i] - scope.first_shard).state.reader.signature_ptr(records[i]);
    }
    for (size_t begin = 0, end = 0; begin < rows.size(); begin = end) {
      while (end < rows.size() && rows[end] == rows[begin]) ++end;
      sign_score_many(request.queries.data() + size_t{rows[begin]} * dim, dim, sigs.data() + begin,
                      end - begin, scores.data() + begin);
    }
    return scores;
  }
  if (request.embeddings.size() != 1 && request.embeddings.size() != scope.shard_count) {
    return unexpected(
        SearchError{EmbeddingBufferCount{request.embeddings.size(), scope.shard_count}});
  }
  // Each query row's embeddings are gathered, then scored in one pass of the lane-parallel dot
  // product (the same left-to-right sums as one at a time).
  const uint64_t bytes = 4 * uint64_t{dim};
  std::vector<const uint8_t*> gathered;
  std::vector<size_t> slots;
  std::vector<float> out;
  auto flush = [&](uint32_t row) {
    out.resize(gathered.size());
    dot_f32_le_many(request.queries.data() + size_t{row} * dim, dim, gathered.data(),
                    gathered.size(), out.data());
    for (size_t j = 0; j < slots.size(); ++j) scores[slots[j]] = out[j];
    gathered.clear();
    slots.clear();
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i + kOffsetsAhead < rows.size()) {  // the offsets are scattered reads: started early
      const size_t ahead = i + kOffsetsAhead;
      set.shard(shards[ahead] - scope.first_shard)
          .state.reader.prefetch_external_offset(records[ahead]);
    }
    if (i > 0 && rows[i] != rows[i - 1] && !gathered.empty()) flush(rows[i - 1]);
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
    gathered.push_back(buffer->data() + at);
    slots.push_back(i);
  }
  if (!gathered.empty()) flush(rows.back());
  return scores;
}

}  // namespace korvel
