// Opening, filter resolution, counts, facets, and search_batch: the pools of search_pools
// (shard_pool.h), re-ranked. Since every shard's pool is a prefix of its records under
// (distance, record), merging them under (distance, shard, record) keeps exactly the pool one
// index over the concatenated records would keep.
#include "shards/shard_set.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "categorical/typed_value.h"
#include "common/check.h"
#include "common/little_endian.h"
#include "common/thread_pool.h"
#include "query/batch_query.h"
#include "shards/exact_search.h"
#include "shards/shard_pool.h"
#include "vector/dot.h"

namespace korvel {
namespace {

std::string quoted_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += '"' + items[i] + '"';
  }
  return out + "]";
}

Expected<size_t, SearchError> trait_index(const ShardSet& set, const std::string& name) {
  const std::vector<std::string>& schema = set.schema();
  const auto it = std::find(schema.begin(), schema.end(), name);
  if (it == schema.end()) return unexpected(SearchError{UnknownTrait{name, schema}});
  return static_cast<size_t>(it - schema.begin());
}

FilterExpr clone(const FilterExpr& e) {
  struct Copy {
    FilterExpr operator()(const EqNode& n) const { return FilterExpr{n}; }
    FilterExpr operator()(const InSetNode& n) const { return FilterExpr{n}; }
    FilterExpr operator()(const AndNode& n) const {
      AndNode out;
      for (const FilterExpr& c : n.children) out.children.push_back(clone(c));
      return FilterExpr{std::move(out)};
    }
    FilterExpr operator()(const OrNode& n) const {
      OrNode out;
      for (const FilterExpr& c : n.children) out.children.push_back(clone(c));
      return FilterExpr{std::move(out)};
    }
    FilterExpr operator()(const NotNode& n) const {
      return FilterExpr{NotNode{std::make_unique<FilterExpr>(clone(*n.child))}};
    }
  };
  return std::visit(Copy{}, e.node);
}

// Up to this many codes an any-of is an Or of Eq nodes (each reads only the trait's planes);
// more are matched in one pass through a membership table, whose cost does not grow with
// the set.
constexpr size_t kMaxEqCodes = 8;

// Records of trait `t` whose code is one of `codes`.
FilterExpr codes_filter(size_t t, std::vector<uint16_t>& codes) {
  std::sort(codes.begin(), codes.end());
  codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
  if (codes.size() > kMaxEqCodes) {
    InSetNode set{t, std::vector<uint64_t>(size_t{codes.back()} / 64 + 1, 0)};
    for (uint16_t c : codes) set.member[c / 64] |= uint64_t{1} << (c % 64);
    return FilterExpr{std::move(set)};
  }
  OrNode any;
  for (uint16_t c : codes) any.children.emplace_back().node = EqNode{t, c};
  if (any.children.size() == 1) return std::move(any.children[0]);
  return FilterExpr{std::move(any)};
}

// The codes of `dict` whose values lie in `range`, each value parsed by `parse`. Every value
// but the empty one (no value) must parse, so that a range never silently skips records.
template <class Key, class Parse>
Expected<void, SearchError> codes_in_range(const TraitRange& range, const TraitDictionary* dict,
                                           Parse parse, std::vector<uint16_t>& codes) {
  std::optional<Key> lo, hi;
  for (auto [bound, key] : {std::pair{&range.lo, &lo}, std::pair{&range.hi, &hi}}) {
    if (!*bound) continue;
    *key = parse(**bound);
    if (!*key) {
      return unexpected(SearchError{RangeOnUntypedTrait{range.trait, **bound, range.dates, true}});
    }
  }
  if (dict == nullptr) return {};
  std::optional<SearchError> bad;
  dict->for_each([&](const std::string& value, uint16_t code) {
    if (value.empty() || bad) return;
    const std::optional<Key> key = parse(value);
    if (!key) {
      bad = SearchError{RangeOnUntypedTrait{range.trait, value, range.dates, false}};
      return;
    }
    if ((!lo || *lo <= *key) && (!hi || *key <= *hi)) codes.push_back(code);
  });
  if (bad) return unexpected(std::move(*bad));
  return {};
}

// The records of shard `shard` matching `filter` (all without one), bits past the last
// record clear.
Expected<CandidateBitmap, SearchError> match_bitmap(const ShardSet& set, size_t shard,
                                                    const std::optional<TraitFilter>& filter) {
  const IndexReader& reader = set.shard(shard).state.reader;
  const uint64_t n = reader.record_count();
  CandidateBitmap bitmap;
  if (!filter) {
    bitmap.assign(reader.layout().blocks, ~uint64_t{0});
  } else {
    KORVEL_ASSIGN_OR_RETURN(FilterExpr expr, resolve_filter(set, shard, *filter));
    auto evaluated = evaluate_filter(expr, reader.code_planes(), reader.trait_count(),
                                     reader.bit_width(), reader.layout().blocks, n);
    if (!evaluated) return unexpected(SearchError{std::move(evaluated).error()});
    bitmap = std::move(*evaluated);
  }
  if (!bitmap.empty()) bitmap.back() &= last_word_mask(n);
  const std::vector<uint64_t>& live = set.shard(shard).live;
  for (size_t w = 0; w < live.size(); ++w) bitmap[w] &= live[w];
  return bitmap;
}

// The shard's live bitmap for the engine's counts, or null when no record is deleted.
const uint64_t* live_words(const Shard& shard) noexcept {
  return shard.live.empty() ? nullptr : shard.live.data();
}

// offset + bytes in decimal, also past 2^64 (an offset near the top of the range).
std::string end_text(uint64_t offset, uint64_t bytes) {
  if (offset <= UINT64_MAX - bytes) return std::to_string(offset + bytes);
  // 2^64 + low, added digit by digit: low < bytes, far below 2^64.
  std::string out = "18446744073709551616";
  uint64_t carry = offset + bytes;  // wrapped: the part past 2^64
  for (size_t i = out.size(); i-- > 0 && carry != 0;) {
    const uint64_t d = uint64_t(out[i] - '0') + carry % 10;
    carry = carry / 10 + d / 10;
    out[i] = static_cast<char>('0' + d % 10);
  }
  return out;
}

// kCascade for query q's pool (in pool order): sign scores of the whole pool, its first
// cascade_keep entries in sign order re-scored exactly, the best k of those ranked by
// score_before. The steps and their order are those of a fanned-out search, which runs each
// on its own.
Expected<std::vector<ScoredHit>, SearchError> cascade_rank(const ShardSet& set,
                                                           const SearchRequest& request, size_t q,
                                                           const std::vector<ScoredHit>& pool) {
  const SetScope scope = whole_set(set);
  std::vector<uint32_t> rows(pool.size(), static_cast<uint32_t>(q));
  std::vector<uint32_t> shards(pool.size());
  std::vector<uint64_t> records(pool.size());
  for (size_t i = 0; i < pool.size(); ++i) {
    shards[i] = pool[i].shard;
    records[i] = pool[i].record;
  }
  const size_t keep = static_cast<size_t>(cascade_keep(request.rescore, request.k, pool.size()));
  std::vector<uint32_t> picked;
  if (keep < pool.size()) {
    KORVEL_ASSIGN_OR_RETURN(
        std::vector<float> signs,
        score_pool(set, request, scope, Rescoring::kSigns, rows, shards, records));
    // Their exact ranking below does not depend on the order they are picked in.
    picked = cascade_pick(signs, keep, false);
  } else {
    // Every entry is re-scored, and the exact ranking does not depend on the order of the
    // entries: no sign scores needed.
    picked.resize(pool.size());
    for (size_t i = 0; i < picked.size(); ++i) picked[i] = static_cast<uint32_t>(i);
  }
  std::vector<ScoredHit> out(picked.size());
  for (size_t i = 0; i < picked.size(); ++i) {
    out[i] = pool[picked[i]];
    shards[i] = out[i].shard;
    records[i] = out[i].record;
  }
  rows.resize(picked.size());
  shards.resize(picked.size());
  records.resize(picked.size());
  KORVEL_ASSIGN_OR_RETURN(
      std::vector<float> exact,
      score_pool(set, request, scope, Rescoring::kExact, rows, shards, records));
  for (size_t i = 0; i < out.size(); ++i) out[i].score = exact[i];
  // Only the first k are kept: selected, then sorted.
  const auto k = static_cast<size_t>(request.k);
  if (out.size() > k) {
    std::nth_element(out.begin(), out.begin() + static_cast<ptrdiff_t>(k), out.end(), score_before);
    out.resize(k);
  }
  sort_scored(out);
  return out;
}

}  // namespace

std::string to_string(const ShardSetError& e) {
  struct Render {
    std::string operator()(const NoShards&) const { return "No index files given"; }
    std::string operator()(const OpenError& v) const { return to_string(v); }
    std::string operator()(const DeletionsMismatch& v) const {
      return "Shard " + std::to_string(v.shard) + " ('" + v.path + "'): a deletion bitmap of " +
             std::to_string(v.words) + " words for " + std::to_string(v.records) + " records";
    }
    std::string operator()(const ShardMismatch& v) const {
      return "Shard " + std::to_string(v.shard) + " ('" + v.path +
             "') does not match shard 0: " + v.field + " is " + v.found + ", expected " +
             v.expected;
    }
  };
  return std::visit(Render{}, e);
}

std::string to_string(const SearchError& e) {
  struct Render {
    std::string operator()(const UnknownTrait& v) const {
      return "Unknown trait name '" + v.name + "'. Valid traits: " + quoted_list(v.schema);
    }
    std::string operator()(const NonFiniteQuery& v) const {
      return "Q row " + std::to_string(v.row) + " contains NaN or infinity";
    }
    std::string operator()(const QueryShapeMismatch& v) const {
      return "Q holds " + std::to_string(v.values) + " values, expected " +
             std::to_string(v.query_count) + " rows of " + std::to_string(v.dim);
    }
    std::string operator()(const FilterCountMismatch& v) const {
      return "where: a list of filters needs one per query: got " + std::to_string(v.filters) +
             " for " + std::to_string(v.query_count) + " queries";
    }
    std::string operator()(const KOutOfRange& v) const {
      return "k must be in 1..=" + std::to_string(kMaxTopK) + ", got " + std::to_string(v.k);
    }
    std::string operator()(const OversampleOutOfRange& v) const {
      return "oversample must be at least 1, got " + std::to_string(v.oversample);
    }
    std::string operator()(const PoolTooLarge& v) const {
      return "oversample * k must be at most " + std::to_string(kMaxPool) + ", got " +
             std::to_string(v.pool);
    }
    std::string operator()(const EmbeddingBufferCount& v) const {
      return "embeddings: expected one buffer or one per shard (" + std::to_string(v.shards) +
             "), got " + std::to_string(v.buffers);
    }
    std::string operator()(const EmbeddingOutOfBounds& v) const {
      return "embeddings: record " + std::to_string(v.record) + " of shard " +
             std::to_string(v.shard) + " has its embedding at bytes " + std::to_string(v.offset) +
             ".." + end_text(v.offset, v.bytes) + ", beyond the buffer of " +
             std::to_string(v.buffer_size) + " bytes";
    }
    std::string operator()(const QueryError& v) const { return to_string(v); }
    std::string operator()(const RangeOnUntypedTrait& v) const {
      const std::string kind = v.dates ? "a date" : "a number";
      if (v.bound) return "Range('" + v.trait + "'): bound '" + v.value + "' is not " + kind;
      return "Range('" + v.trait + "'): the trait holds '" + v.value + "', which is not " + kind;
    }
  };
  return std::visit(Render{}, e);
}

Expected<ShardSet, ShardSetError> ShardSet::open(const std::vector<std::string>& paths) {
  std::vector<Shard> shards;
  shards.reserve(paths.size());
  for (const std::string& path : paths) {
    auto state = open_query_state(path);
    if (!state) return unexpected(ShardSetError{std::move(state).error()});
    shards.push_back({path, std::move(*state), {}, 0});
  }
  return from_shards(std::move(shards));
}

Expected<ShardSet, ShardSetError> ShardSet::open(
    const std::vector<std::string>& paths, const std::vector<std::vector<uint64_t>>& deleted) {
  KORVEL_CHECK(deleted.size() == paths.size(), "ShardSet::open: one deletion bitmap per path");
  std::vector<Shard> shards;
  shards.reserve(paths.size());
  for (size_t s = 0; s < paths.size(); ++s) {
    auto state = open_query_state(paths[s]);
    if (!state) return unexpected(ShardSetError{std::move(state).error()});
    Shard& shard = shards.emplace_back(Shard{paths[s], std::move(*state), {}, 0});
    if (deleted[s].empty()) continue;
    const uint64_t n = shard.state.reader.record_count();
    if (deleted[s].size() != shard.state.reader.layout().blocks) {
      return unexpected(ShardSetError{DeletionsMismatch{s, paths[s], deleted[s].size(), n}});
    }
    shard.live.resize(deleted[s].size());
    for (size_t w = 0; w < deleted[s].size(); ++w) shard.live[w] = ~deleted[s][w];
    shard.live.back() &= last_word_mask(n);
  }
  return from_shards(std::move(shards));
}

Expected<ShardSet, ShardSetError> ShardSet::from_shards(std::vector<Shard> shards) {
  if (shards.empty()) return unexpected(ShardSetError{NoShards{}});
  const QueryState& first = shards[0].state;
  uint64_t total = 0;
  for (size_t s = 0; s < shards.size(); ++s) {
    const QueryState& q = shards[s].state;
    if (q.schema != first.schema) {
      return unexpected(ShardSetError{ShardMismatch{
          s, shards[s].path, "schema", quoted_list(first.schema), quoted_list(q.schema)}});
    }
    if (q.reader.vector_dim() != first.reader.vector_dim()) {
      return unexpected(ShardSetError{ShardMismatch{s, shards[s].path, "dim",
                                                    std::to_string(first.reader.vector_dim()),
                                                    std::to_string(q.reader.vector_dim())}});
    }
    Shard& shard = shards[s];
    KORVEL_CHECK(shard.live.empty() || shard.live.size() == q.reader.layout().blocks,
                 "ShardSet: a live bitmap of the wrong size");
    shard.live_count = q.reader.record_count();
    if (!shard.live.empty()) {
      shard.live.back() &= last_word_mask(q.reader.record_count());
      shard.live_count = 0;
      for (uint64_t w : shard.live) shard.live_count += static_cast<uint64_t>(std::popcount(w));
    }
    total += shard.live_count;
  }
  return ShardSet(std::move(shards), total);
}

uint64_t ShardSet::doc_id(size_t shard, uint64_t record) const noexcept {
  const std::vector<uint64_t>& ids = shards_[shard].state.doc_ids;
  return record < ids.size() ? ids[record] : record;
}

Expected<FilterExpr, SearchError> resolve_filter(const ShardSet& set, size_t shard,
                                                 const TraitFilter& filter) {
  const QueryState& q = set.shard(shard).state;
  if (const auto* in = std::get_if<TraitIn>(&filter.node)) {
    KORVEL_ASSIGN_OR_RETURN(const size_t t, trait_index(set, in->trait));
    std::vector<uint16_t> codes;
    if (t < q.dicts.size()) {
      for (const std::string& value : in->values) {
        if (auto code = q.dicts[t].lookup(value)) codes.push_back(*code);
      }
    }
    return codes_filter(t, codes);
  }
  if (const auto* range = std::get_if<TraitRange>(&filter.node)) {
    KORVEL_ASSIGN_OR_RETURN(const size_t t, trait_index(set, range->trait));
    std::vector<uint16_t> codes;
    if (range->dates) {
      KORVEL_TRY(codes_in_range<DateKey>(*range, t < q.dicts.size() ? &q.dicts[t] : nullptr,
                                         parse_date, codes));
    } else {
      KORVEL_TRY(codes_in_range<long double>(*range, t < q.dicts.size() ? &q.dicts[t] : nullptr,
                                             parse_number, codes));
    }
    return codes_filter(t, codes);
  }
  if (const auto* node = std::get_if<TraitNot>(&filter.node)) {
    KORVEL_CHECK(node->child != nullptr, "Not filter without a child");
    KORVEL_ASSIGN_OR_RETURN(FilterExpr child, resolve_filter(set, shard, *node->child));
    return FilterExpr{NotNode{std::make_unique<FilterExpr>(std::move(child))}};
  }
  const bool is_and = std::holds_alternative<TraitAnd>(filter.node);
  const std::vector<TraitFilter>& children =
      is_and ? std::get<TraitAnd>(filter.node).children : std::get<TraitOr>(filter.node).children;
  std::vector<FilterExpr> resolved;
  resolved.reserve(children.size());
  for (const TraitFilter& c : children) {
    KORVEL_ASSIGN_OR_RETURN(FilterExpr r, resolve_filter(set, shard, c));
    resolved.push_back(std::move(r));
  }
  if (resolved.size() == 1) return std::move(resolved[0]);
  if (is_and) return FilterExpr{AndNode{std::move(resolved)}};
  return FilterExpr{OrNode{std::move(resolved)}};
}

Expected<CandidateBitmap, SearchError> matching_records(const ShardSet& set, size_t shard,
                                                        const std::optional<TraitFilter>& filter) {
  return match_bitmap(set, shard, filter);
}

void parallel_for(size_t count, unsigned threads, const std::function<void(size_t)>& fn) {
  default_thread_pool().parallel_for(count, threads, [&fn](size_t i) { fn(i); });
}

namespace {

TraitFilter copy_of(const TraitFilter& filter) {
  return std::visit(
      [](const auto& node) -> TraitFilter {
        using Node = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<Node, TraitNot>) {
          return {TraitNot{node.child ? std::make_unique<TraitFilter>(copy_of(*node.child))
                                      : nullptr}};
        } else if constexpr (std::is_same_v<Node, TraitAnd> || std::is_same_v<Node, TraitOr>) {
          Node out;
          for (const TraitFilter& child : node.children) out.children.push_back(copy_of(child));
          return {std::move(out)};
        } else {
          return {node};
        }
      },
      filter.node);
}

std::optional<TraitFilter> copy_of(const std::optional<TraitFilter>& filter) {
  if (!filter) return std::nullopt;
  return copy_of(*filter);
}

// search_batch of a batch whose pools may all be held at once.
Expected<SearchResult, SearchError> search_chunk(const ShardSet& set,
                                                 const SearchRequest& request) {
  // Phase 1: every query's pool over the whole set, merged across shards (search_pools does the
  // checks, in their order, and runs each shard's batch on the batched engine).
  KORVEL_ASSIGN_OR_RETURN(PoolBatch pools,
                          search_pool_records(set, request, whole_set(set)));
  const size_t nq = request.query_count;
  SearchResult result;
  result.query_count = nq;
  result.k = static_cast<size_t>(request.k);
  result.ids.assign(nq * result.k, kPaddingId);
  result.scores.assign(nq * result.k, std::numeric_limits<float>::quiet_NaN());
  result.counts.assign(nq, 0);
  if (pools.pool_size == 0 || nq == 0) return result;

  // Phase 2: re-rank and write each query's row.
  KORVEL_CHECK(request.rerank != Rescoring::kCascade || request.rescore >= 1,
               "search_batch: the cascade re-scores at least k per query");
  std::vector<std::optional<SearchError>> errors(nq);
  parallel_for(nq, request.threads, [&](size_t q) {
    std::vector<ScoredHit> pool;
    pool.reserve(pools.counts[q]);
    for (size_t i = 0; i < pools.counts[q]; ++i) {
      const PoolHit& h = pools.hits[q * pools.pool_size + i];
      // Without re-scoring the score is the distance, in pool order already. The id is
      // looked up for the hits kept.
      pool.push_back({0, h.record, h.shard, static_cast<float>(h.distance)});
    }
    if (request.rerank == Rescoring::kCascade) {
      auto ranked = cascade_rank(set, request, q, pool);
      if (!ranked) {
        errors[q] = std::move(ranked).error();
        return;
      }
      pool = std::move(*ranked);
    } else if (request.rerank != Rescoring::kNone) {
      std::vector<uint32_t> rows(pool.size(), static_cast<uint32_t>(q));
      std::vector<uint32_t> shards(pool.size());
      std::vector<uint64_t> records(pool.size());
      for (size_t i = 0; i < pool.size(); ++i) {
        shards[i] = pool[i].shard;
        records[i] = pool[i].record;
      }
      auto scored = score_pool(set, request, whole_set(set), rows, shards, records);
      if (!scored) {
        errors[q] = std::move(scored).error();
        return;
      }
      for (size_t i = 0; i < pool.size(); ++i) pool[i].score = (*scored)[i];
    }
    if (request.rerank == Rescoring::kExact || request.rerank == Rescoring::kSigns) {
      // Only the first k are kept: selected, then sorted.
      if (pool.size() > result.k) {
        std::nth_element(pool.begin(), pool.begin() + static_cast<ptrdiff_t>(result.k),
                         pool.end(), score_before);
        pool.resize(result.k);
      }
      sort_scored(pool);
    }
    const size_t hits = std::min(pool.size(), result.k);
    for (size_t i = 0; i < hits; ++i) {
      result.ids[q * result.k + i] = set.doc_id(pool[i].shard, pool[i].record);
      result.scores[q * result.k + i] = pool[i].score;
    }
    result.counts[q] = static_cast<uint32_t>(hits);
  });
  for (auto& e : errors) {
    if (e) return unexpected(std::move(*e));
  }
  return result;
}

// Pool hits a batch holds at once, at most (about 40 bytes each across the engine's stages): a
// batch whose pools would hold more runs as chunks of queries, each with its own pass over
// the signatures. Holding them all cost more in fresh pages than the extra passes do.
constexpr uint64_t kHeldHits = uint64_t{1} << 18;

}  // namespace

Expected<SearchResult, SearchError> search_batch(const ShardSet& set,
                                                 const SearchRequest& request) {
  if (request.exact) return exact_search(set, request);
  const size_t nq = request.query_count;
  const uint64_t pool_size = pool_size_of(request, set.record_count());
  const size_t chunk = static_cast<size_t>(kHeldHits / std::max<uint64_t>(pool_size, 1));
  if (nq <= std::max<size_t>(chunk, 1)) return search_chunk(set, request);  // checks there
  // Every check of the whole batch, and every filter's resolution, before any chunk runs, so
  // that the batch fails as one would.
  KORVEL_TRY(check_search(set, request, whole_set(set)));
  for (const std::optional<TraitFilter>& f : request.filters) {
    if (f) KORVEL_TRY(resolve_filter(set, 0, *f));
  }
  const size_t dim = set.dim();
  SearchResult result;
  result.query_count = nq;
  result.k = static_cast<size_t>(request.k);
  result.ids.reserve(nq * result.k);
  result.scores.reserve(nq * result.k);
  result.counts.reserve(nq);
  SearchRequest part;
  part.k = request.k;
  part.oversample = request.oversample;
  part.rerank = request.rerank;
  part.rescore = request.rescore;
  part.embeddings = request.embeddings;
  part.threads = request.threads;
  if (request.filters.size() == 1) part.filters.push_back(copy_of(request.filters[0]));
  for (size_t first = 0; first < nq; first += chunk) {
    const size_t count = std::min(chunk, nq - first);
    part.query_count = count;
    part.queries = request.queries.subspan(first * dim, count * dim);
    if (request.filters.size() > 1) {
      part.filters.clear();
      for (size_t q = first; q < first + count; ++q) part.filters.push_back(copy_of(request.filters[q]));
    }
    KORVEL_ASSIGN_OR_RETURN(const SearchResult got, search_chunk(set, part));
    result.ids.insert(result.ids.end(), got.ids.begin(), got.ids.end());
    result.scores.insert(result.scores.end(), got.scores.begin(), got.scores.end());
    result.counts.insert(result.counts.end(), got.counts.begin(), got.counts.end());
  }
  return result;
}

Expected<uint64_t, SearchError> count(const ShardSet& set,
                                      const std::optional<TraitFilter>& filter) {
  if (!filter) return set.record_count();
  uint64_t total = 0;
  for (size_t s = 0; s < set.shard_count(); ++s) {
    KORVEL_ASSIGN_OR_RETURN(FilterExpr expr, resolve_filter(set, s, *filter));
    auto n = count_matching(set.shard(s).state.reader, &expr, default_thread_pool(), 0,
                            live_words(set.shard(s)));
    if (!n) return unexpected(SearchError{std::move(n).error()});
    total += *n;
  }
  return total;
}

Expected<std::vector<std::pair<std::string, uint64_t>>, SearchError> facets(
    const ShardSet& set, const std::string& trait, const std::optional<TraitFilter>& filter) {
  KORVEL_ASSIGN_OR_RETURN(const size_t t, trait_index(set, trait));
  std::vector<std::pair<std::string, uint64_t>> out;
  std::unordered_map<std::string, size_t> slot;  // value -> its entry in `out`
  for (size_t s = 0; s < set.shard_count(); ++s) {
    const QueryState& q = set.shard(s).state;
    const IndexReader& reader = q.reader;
    std::optional<FilterExpr> expr;
    if (filter) {
      KORVEL_ASSIGN_OR_RETURN(FilterExpr resolved, resolve_filter(set, s, *filter));
      expr = std::move(resolved);
    }
    // Records without a value dictionary for the trait have no value to name.
    if (t >= q.dicts.size() || t >= reader.trait_count()) {
      // The filter is still checked, as for any other shard.
      if (expr) {
        auto n = count_matching(reader, &*expr, default_thread_pool(), 0);
        if (!n) return unexpected(SearchError{std::move(n).error()});
      }
      continue;
    }
    auto counted = facet_counts(reader, t, expr ? &*expr : nullptr, default_thread_pool(), 0,
                                live_words(set.shard(s)));
    if (!counted) return unexpected(SearchError{std::move(counted).error()});
    const std::vector<uint64_t>& per_code = *counted;
    for (auto& [value, code] : q.dicts[t].entries_by_code()) {
      if (code >= per_code.size() || per_code[code] == 0) continue;
      auto [it, added] = slot.try_emplace(value, out.size());
      if (added) out.emplace_back(value, 0);
      out[it->second].second += per_code[code];
    }
  }
  return out;
}

}  // namespace korvel
