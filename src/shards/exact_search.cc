// exact_search: the queries are grouped by the records their filters keep (equal filters
// resolve alike in every shard), and each group's records are cut into ranges, one task per
// range. A task walks its range in chunks of records small enough to stay in the second-level
// cache, finds each record's embedding, and runs every tile of the group's queries over the
// chunk with the tile kernel; a record enters a query's best k only when its score beats the
// k-th best so far, which a vector comparison of sixteen queries at once rules out for almost
// every record. The tasks' best k of each query are merged at the end.
#include "shards/exact_search.h"

#include <emmintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>

#include "common/check.h"
#include "common/thread_pool.h"
#include "mmap_reader/layout.h"
#include "query/filter.h"
#include "shards/shard_pool.h"
#include "simd/kernel_table.h"
#include "vector/dot.h"

namespace korvel {

uint64_t exact_task_work = uint64_t{1} << 22;

namespace {

// Embedding bytes a chunk's rows hold, at most: they are read once per tile of queries.
constexpr uint64_t kChunkBytes = 128 * 1024;
constexpr size_t kMaxChunkRecords = 1024;
// Tasks per thread for one group: the pool hands them out as threads come free.
constexpr size_t kTasksPerThread = 4;
// Best-k entries the tasks of a group hold in all, at most (24 bytes each), unless a single
// task's hold more: many queries with a large k take fewer tasks.
constexpr uint64_t kHeldBest = uint64_t{1} << 20;

constexpr size_t kTile = kDotTileQueries;
// Fewer queries than this are scored one at a time, many records per pass (a tile would
// compute sixteen sums for each one kept).
constexpr size_t kMinTileQueries = 4;

struct Group {
  std::vector<size_t> queries;
  const std::optional<TraitFilter>* filter = nullptr;  // the first query's
  std::vector<CandidateBitmap> bitmaps;                // per shard
  std::vector<float> qt;  // the queries transposed, one tile after another (kernel layout)
};

struct Task {
  size_t group;
  size_t shard;
  size_t word_begin, word_end;               // of the shard's bitmap
  std::vector<std::vector<ScoredHit>> best;  // per query of the group: a heap under score_before
  std::optional<EmbeddingOutOfBounds> out_of_bounds;
};

// Offers `hit`, later in (shard, record) order than every hit offered before, to a best-k
// heap whose worst hit is at its front. Returns the score a later hit must beat (NaN while
// the heap has room).
float offer(std::vector<ScoredHit>& best, size_t k, const ScoredHit& hit) {
  if (best.size() < k) {
    best.push_back(hit);
    std::push_heap(best.begin(), best.end(), score_before);
  } else if (score_before(hit, best.front())) {
    std::pop_heap(best.begin(), best.end(), score_before);
    best.back() = hit;
    std::push_heap(best.begin(), best.end(), score_before);
  }
  return best.size() < k ? std::numeric_limits<float>::quiet_NaN() : best.front().score;
}

// Groups the queries by filter: two queries share a group when their filters resolve to the
// same code-level filter in every shard (no filter: the live records). Errors: UnknownTrait,
// RangeOnUntypedTrait of the first query whose filter fails.
Expected<std::vector<Group>, SearchError> group_queries(const ShardSet& set,
                                                        const SearchRequest& request) {
  static const std::optional<TraitFilter> kNone;
  const size_t nq = request.query_count;
  std::vector<Group> groups;
  std::vector<std::vector<FilterExpr>> resolved;  // per group with a filter: per shard
  std::optional<size_t> unfiltered;
  for (size_t q = 0; q < nq; ++q) {
    const std::optional<TraitFilter>& f = request.filters.empty()       ? kNone
                                          : request.filters.size() == 1 ? request.filters[0]
                                                                        : request.filters[q];
    if (!f) {
      if (!unfiltered) {
        unfiltered = groups.size();
        groups.push_back({{}, &f, {}, {}});
        resolved.emplace_back();
      }
      groups[*unfiltered].queries.push_back(q);
      continue;
    }
    if (request.filters.size() == 1) {  // one filter for all: nothing to compare
      if (groups.empty()) groups.push_back({{}, &f, {}, {}});
      groups.back().queries.push_back(q);
      continue;
    }
    std::vector<FilterExpr> exprs;
    for (size_t s = 0; s < set.shard_count(); ++s) {
      KORVEL_ASSIGN_OR_RETURN(FilterExpr e, resolve_filter(set, s, *f));
      exprs.push_back(std::move(e));
    }
    size_t g = 0;
    for (; g < groups.size(); ++g) {
      if (resolved[g].size() != exprs.size()) continue;
      bool same = true;
      for (size_t s = 0; s < exprs.size() && same; ++s)
        same = same_filter(resolved[g][s], exprs[s]);
      if (same) break;
    }
    if (g == groups.size()) {
      groups.push_back({{}, &f, {}, {}});
      resolved.push_back(std::move(exprs));
    }
    groups[g].queries.push_back(q);
  }
  return groups;
}

// One task's range: its best k per query, or the first record whose embedding is out of
// bounds.
void run_task(const ShardSet& set, const SearchRequest& request, const SetScope& scope,
              const Group& group, Task& task) {
  const size_t dim = set.dim();
  const size_t k = static_cast<size_t>(request.k);
  const size_t nq = group.queries.size();
  const size_t tiles = (nq + kTile - 1) / kTile;
  const IndexReader& reader = set.shard(task.shard).state.reader;
  const auto& buffer =
      request.embeddings[request.embeddings.size() == 1 ? 0 : scope.first_shard + task.shard];
  const uint64_t bytes = 4 * uint64_t{dim};
  const std::vector<float> zeros(dim, 0.0f);  // the embedding of a record without one
  const auto* zero_row = reinterpret_cast<const uint8_t*>(zeros.data());
  const size_t chunk = static_cast<size_t>(
      std::clamp<uint64_t>(kChunkBytes / std::max<uint64_t>(bytes, 1), 4, kMaxChunkRecords));
  std::vector<const uint8_t*> rows(chunk);
  std::vector<uint64_t> records(chunk);
  std::vector<float> scores(chunk * kTile);
  // Per lane: the score a record must beat to enter (NaN: the heap has room, so any does;
  // +inf for the lanes past the last query, which nothing enters).
  std::vector<float> bar(tiles * kTile, std::numeric_limits<float>::infinity());
  for (size_t i = 0; i < nq; ++i) bar[i] = std::numeric_limits<float>::quiet_NaN();
  task.best.assign(nq, {});
  for (auto& b : task.best) b.reserve(std::min<size_t>(k, 64));  // grows only as records enter
  const DotTileKernel kernel = kernels().dot_tile;
  const CandidateBitmap& bitmap = group.bitmaps[task.shard];

  size_t word = task.word_begin;
  uint64_t bits = word < task.word_end ? bitmap[word] : 0;
  while (true) {
    size_t m = 0;
    while (m < chunk) {
      while (bits == 0 && ++word < task.word_end) bits = bitmap[word];
      if (bits == 0) break;
      const uint64_t record = 64 * uint64_t{word} + static_cast<unsigned>(std::countr_zero(bits));
      bits &= bits - 1;
      const uint64_t at = reader.raw_external_offset(record);
      const uint8_t* row = zero_row;
      if (buffer && at != kNoExternalOffset) {
        if (at > buffer->size() || bytes > buffer->size() - at) {
          task.out_of_bounds = EmbeddingOutOfBounds{scope.first_shard + task.shard, record, at,
                                                    bytes, buffer->size()};
          return;
        }
        row = buffer->data() + at;
      }
      rows[m] = row;
      records[m++] = record;
    }
    if (m == 0) return;
    if (nq < kMinTileQueries) {
      for (size_t i = 0; i < nq; ++i) {
        dot_f32_le_many(request.queries.data() + group.queries[i] * dim, dim, rows.data(), m,
                        scores.data());
        for (size_t r = 0; r < m; ++r) {
          if (scores[r] <= bar[i]) continue;
          bar[i] =
              offer(task.best[i], k, {0, records[r], static_cast<uint32_t>(task.shard), scores[r]});
        }
      }
      continue;
    }
    for (size_t t = 0; t < tiles; ++t) {
      kernel(group.qt.data() + t * dim * kTile, dim, rows.data(), m, scores.data());
      float* tile_bar = bar.data() + t * kTile;
      __m128 bar0 = _mm_loadu_ps(tile_bar);
      __m128 bar1 = _mm_loadu_ps(tile_bar + 4);
      __m128 bar2 = _mm_loadu_ps(tile_bar + 8);
      __m128 bar3 = _mm_loadu_ps(tile_bar + 12);
      for (size_t r = 0; r < m; ++r) {
        const float* s = scores.data() + r * kTile;
        // Not at or below the bar: above it, or unordered (a NaN on either side).
        const __m128 above = _mm_or_ps(_mm_or_ps(_mm_cmpnle_ps(_mm_loadu_ps(s), bar0),
                                                 _mm_cmpnle_ps(_mm_loadu_ps(s + 4), bar1)),
                                       _mm_or_ps(_mm_cmpnle_ps(_mm_loadu_ps(s + 8), bar2),
                                                 _mm_cmpnle_ps(_mm_loadu_ps(s + 12), bar3)));
        if (_mm_movemask_ps(above) == 0) continue;
        for (size_t j = 0; j < kTile && t * kTile + j < nq; ++j) {
          if (s[j] <= tile_bar[j]) continue;
          tile_bar[j] = offer(task.best[t * kTile + j], k,
                              {0, records[r], static_cast<uint32_t>(task.shard), s[j]});
        }
        bar0 = _mm_loadu_ps(tile_bar);
        bar1 = _mm_loadu_ps(tile_bar + 4);
        bar2 = _mm_loadu_ps(tile_bar + 8);
        bar3 = _mm_loadu_ps(tile_bar + 12);
      }
    }
  }
}

// Splits each group's records into tasks: per shard, ranges of bitmap words in proportion to
// the work, at most kTasksPerThread per thread, none below exact_task_work, and no more than
// kHeldBest allows.
std::vector<Task> plan_tasks(const ShardSet& set, const std::vector<Group>& groups, size_t threads,
                             uint64_t k) {
  std::vector<Task> tasks;
  for (size_t g = 0; g < groups.size(); ++g) {
    const Group& group = groups[g];
    std::vector<uint64_t> in_shard(group.bitmaps.size(), 0);
    for (size_t s = 0; s < group.bitmaps.size(); ++s) {
      for (uint64_t w : group.bitmaps[s]) in_shard[s] += static_cast<uint64_t>(std::popcount(w));
    }
    const uint64_t records = std::accumulate(in_shard.begin(), in_shard.end(), uint64_t{0});
    if (records == 0) continue;
    const uint64_t work = records * group.queries.size() * std::max<size_t>(set.dim(), 1);
    const uint64_t held = kHeldBest / (group.queries.size() * std::max<uint64_t>(k, 1));
    const uint64_t pieces = std::clamp<uint64_t>(
        work / std::max<uint64_t>(exact_task_work, 1), 1,
        std::max<uint64_t>(std::min<uint64_t>(threads <= 1 ? 1 : threads * kTasksPerThread, held),
                           1));
    for (size_t s = 0; s < group.bitmaps.size(); ++s) {
      const size_t words = group.bitmaps[s].size();
      if (in_shard[s] == 0) continue;
      const uint64_t parts = std::clamp<uint64_t>(pieces * in_shard[s] / records, 1, words);
      for (uint64_t p = 0; p < parts; ++p) {
        const size_t begin = static_cast<size_t>(words * p / parts);
        const size_t end = static_cast<size_t>(words * (p + 1) / parts);
        if (begin < end) tasks.push_back({g, s, begin, end, {}, std::nullopt});
      }
    }
  }
  return tasks;
}

}  // namespace

Expected<ExactHits, SearchError> exact_hits(const ShardSet& set, const SearchRequest& request,
                                            const SetScope& scope) {
  KORVEL_CHECK(request.rerank == Rescoring::kExact, "exact_hits: scored exactly");
  KORVEL_TRY(check_search(set, request, scope));
  const size_t nq = request.query_count;
  const size_t dim = set.dim();
  const auto k = static_cast<size_t>(request.k);
  ExactHits result;
  result.query_count = nq;
  result.k = k;
  result.hits.assign(nq * k, ScoredHit{0, 0, 0, 0.0f});
  result.counts.assign(nq, 0);
  KORVEL_ASSIGN_OR_RETURN(std::vector<Group> groups, group_queries(set, request));
  for (Group& group : groups) {
    for (size_t s = 0; s < set.shard_count(); ++s) {
      KORVEL_ASSIGN_OR_RETURN(CandidateBitmap b, matching_records(set, s, *group.filter));
      group.bitmaps.push_back(std::move(b));
    }
    const size_t tiles = (group.queries.size() + kTile - 1) / kTile;
    group.qt.assign(tiles * dim * kTile, 0.0f);
    for (size_t i = 0; i < group.queries.size(); ++i) {
      const float* q = request.queries.data() + group.queries[i] * dim;
      float* tile = group.qt.data() + (i / kTile) * dim * kTile;
      for (size_t d = 0; d < dim; ++d) tile[d * kTile + i % kTile] = q[d];
    }
  }
  const size_t pool_threads = default_thread_pool().thread_count();
  std::vector<Task> tasks = plan_tasks(
      set, groups,
      request.threads == 0 ? pool_threads : std::min<size_t>(request.threads, pool_threads), k);
  parallel_for(tasks.size(), request.threads,
               [&](size_t t) { run_task(set, request, scope, groups[tasks[t].group], tasks[t]); });
  const EmbeddingOutOfBounds* first_bad = nullptr;
  for (const Task& task : tasks) {
    const auto& e = task.out_of_bounds;
    if (e && (first_bad == nullptr ||
              std::pair(e->shard, e->record) < std::pair(first_bad->shard, first_bad->record))) {
      first_bad = &*e;
    }
  }
  if (first_bad != nullptr) return unexpected(SearchError{*first_bad});

  // Each query: the best k of its group's tasks.
  std::vector<std::vector<size_t>> tasks_of(groups.size());
  for (size_t t = 0; t < tasks.size(); ++t) tasks_of[tasks[t].group].push_back(t);
  parallel_for(nq == 0 ? 0 : groups.size(), request.threads, [&](size_t g) {
    std::vector<ScoredHit> best;
    for (size_t i = 0; i < groups[g].queries.size(); ++i) {
      best.clear();
      for (const size_t t : tasks_of[g]) {
        best.insert(best.end(), tasks[t].best[i].begin(), tasks[t].best[i].end());
      }
      const size_t hits = std::min(best.size(), k);
      std::partial_sort(best.begin(), best.begin() + static_cast<ptrdiff_t>(hits), best.end(),
                        score_before);
      const size_t q = groups[g].queries[i];
      for (size_t j = 0; j < hits; ++j) {
        ScoredHit& hit = result.hits[q * k + j];
        hit = best[j];
        hit.id = set.doc_id(hit.shard, hit.record);
        hit.shard += static_cast<uint32_t>(scope.first_shard);
      }
      result.counts[q] = static_cast<uint32_t>(hits);
    }
  });
  return result;
}

Expected<SearchResult, SearchError> exact_search(const ShardSet& set,
                                                 const SearchRequest& request) {
  KORVEL_ASSIGN_OR_RETURN(const ExactHits found, exact_hits(set, request, whole_set(set)));
  SearchResult result;
  result.query_count = found.query_count;
  result.k = found.k;
  result.ids.assign(found.hits.size(), kPaddingId);
  result.scores.assign(found.hits.size(), std::numeric_limits<float>::quiet_NaN());
  result.counts = found.counts;
  for (size_t q = 0; q < found.query_count; ++q) {
    for (size_t j = 0; j < found.counts[q]; ++j) {
      result.ids[q * found.k + j] = found.hits[q * found.k + j].id;
      result.scores[q * found.k + j] = found.hits[q * found.k + j].score;
    }
  }
  return result;
}

}  // namespace korvel
