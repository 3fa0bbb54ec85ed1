// ShardSet: one or more opened indexes (shards) that agree on schema and dimension, searched,
// counted and faceted as one index over their concatenated records: record r of shard s
// follows every record of the shards before s, and ties are broken in that order. Filters
// are written by trait name and value and resolved to codes in each shard separately, since
// every shard has its own dictionaries. Immutable after open; all operations may run
// concurrently on one set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common/expected.h"
#include "query/open_index.h"
#include "query/query.h"
#include "query/query_state.h"

namespace korvel {

struct Shard {
  std::string path;
  QueryState state;
  // The shard's live records when some are deleted (a collection's deletion bitmap turned
  // over): one bit per record, set when live, bits past the last record clear. Empty: every
  // record is live. Every search, count and facet sees only the live records.
  std::vector<uint64_t> live;
  uint64_t live_count = 0;  // set by from_shards
};

// A filter by names, as the caller writes it.
struct TraitFilter;
struct TraitIn {  // the trait's value is one of `values`; no values: no record
  std::string trait;
  std::vector<std::string> values;
};
// The trait's value lies in [lo, hi] (a missing bound is open), compared as numbers or as
// dates (typed_value.h): the bounds and the trait's values are canonical value strings.
// Records without a value (the empty string) never match.
struct TraitRange {
  std::string trait;
  bool dates = false;
  std::optional<std::string> lo, hi;
};
struct TraitAnd {  // no children: every record
  std::vector<TraitFilter> children;
};
struct TraitOr {  // no children: no record
  std::vector<TraitFilter> children;
};
struct TraitNot {
  std::unique_ptr<TraitFilter> child;
};
struct TraitFilter {
  std::variant<TraitIn, TraitAnd, TraitOr, TraitNot, TraitRange> node;
};

// Opening errors.
struct NoShards {};
struct ShardMismatch {  // shard `shard` disagrees with shard 0 on `field`
  size_t shard;
  std::string path;
  std::string field;  // "schema" or "dim"
  std::string expected;
  std::string found;
};
struct DeletionsMismatch {  // shard `shard`'s deletion bitmap does not fit its records
  size_t shard;
  std::string path;
  uint64_t words;
  uint64_t records;
};
using ShardSetError = std::variant<NoShards, OpenError, ShardMismatch, DeletionsMismatch>;
std::string to_string(const ShardSetError& e);

// Search, count and facet errors.
struct UnknownTrait {
  std::string name;
  std::vector<std::string> schema;
};
struct NonFiniteQuery {
  size_t row;
};
struct RangeOnUntypedTrait {  // a Range bound, or a value of its trait, is not of its kind
  std::string trait;
  std::string value;
  bool dates;
  bool bound;  // the bound is at fault, not a stored value
};
struct QueryShapeMismatch {  // queries.size() != query_count * dim
  size_t values;
  size_t query_count;
  uint16_t dim;
};
struct FilterCountMismatch {
  size_t filters;
  size_t query_count;
};
struct KOutOfRange {
  uint64_t k;
};
struct OversampleOutOfRange {
  uint64_t oversample;
};
struct PoolTooLarge {
  uint64_t pool;
};
struct EmbeddingBufferCount {
  size_t buffers;
  size_t shards;
};
struct EmbeddingOutOfBounds {  // a record's embedding lies (partly) beyond its buffer
  size_t shard;
  uint64_t record;
  uint64_t offset;
  uint64_t bytes;
  uint64_t buffer_size;
};
using SearchError =
    std::variant<UnknownTrait, NonFiniteQuery, QueryShapeMismatch, FilterCountMismatch, KOutOfRange,
                 OversampleOutOfRange, PoolTooLarge, EmbeddingBufferCount, EmbeddingOutOfBounds,
                 QueryError, RangeOnUntypedTrait>;
std::string to_string(const SearchError& e);

// The largest candidate pool (oversample x k, after capping at the record count).
inline constexpr uint64_t kMaxPool = uint64_t{kPoolFactor} * kMaxTopK;

class ShardSet {
 public:
  // Opens every path in order (data file and sidecar, as open_query_state). Errors: NoShards,
  // the first OpenError, ShardMismatch for the first shard whose schema (names in order) or
  // dim differs from shard 0's. Nothing stays open on failure.
  static Expected<ShardSet, ShardSetError> open(const std::vector<std::string>& paths);
  // As open, with a deletion bitmap per shard: deleted[s] empty (nothing deleted) or
  // ceil(records / 64) little-endian words, bit r set when record r of shard s is deleted.
  // Bits past the last record are ignored. Errors: those of open, then DeletionsMismatch.
  // REQUIRES: deleted.size() == paths.size().
  static Expected<ShardSet, ShardSetError> open(const std::vector<std::string>& paths,
                                                const std::vector<std::vector<uint64_t>>& deleted);
  // The same checks over shards already opened (their `live` bitmaps as given).
  static Expected<ShardSet, ShardSetError> from_shards(std::vector<Shard> shards);

  const std::vector<std::string>& schema() const noexcept { return shards_[0].state.schema; }
  uint16_t dim() const noexcept { return shards_[0].state.reader.vector_dim(); }
  // Live records: every record of every shard, less the deleted ones.
  uint64_t record_count() const noexcept { return record_count_; }
  size_t shard_count() const noexcept { return shards_.size(); }
  const Shard& shard(size_t i) const { return shards_[i]; }

  // The doc id of record `record` of shard `shard`: its sidecar entry, or the record index
  // when the sidecar lists fewer ids (as HybridIndex.search reports it).
  uint64_t doc_id(size_t shard, uint64_t record) const noexcept;

 private:
  explicit ShardSet(std::vector<Shard> shards, uint64_t record_count) noexcept
      : shards_(std::move(shards)), record_count_(record_count) {}

  std::vector<Shard> shards_;  // at least one
  uint64_t record_count_;
};

// The code-level filter of `filter` in shard `shard`: unknown values (and traits without a
// dictionary there) match nothing; a range is the set of codes whose values lie in it.
// Errors: UnknownTrait, RangeOnUntypedTrait.
Expected<FilterExpr, SearchError> resolve_filter(const ShardSet& set, size_t shard,
                                                 const TraitFilter& filter);

// The live records of shard `shard` matching `filter` (all live records without one): one
// bit per record, bits past the last record clear. Errors: UnknownTrait.
Expected<CandidateBitmap, SearchError> matching_records(const ShardSet& set, size_t shard,
                                                        const std::optional<TraitFilter>& filter);

// How a pool is ranked before its first k are kept. kCascade: the pool ordered by sign score
// (ties in pool order), its first rescore * k re-scored exactly and ranked as kExact ranks.
enum class Rescoring { kNone, kExact, kSigns, kCascade };

struct SearchRequest {
  std::span<const float> queries;  // query_count rows of dim values
  size_t query_count = 0;
  uint64_t k = 10;
  uint64_t oversample = kPoolFactor;
  // None: no filter. One entry: every query. query_count entries: one per query.
  std::vector<std::optional<TraitFilter>> filters;
  Rescoring rerank = Rescoring::kNone;
  // kCascade: how many times k of the sign-ordered pool are re-scored exactly (at least 1).
  uint64_t rescore = 0;
  // kExact and kCascade: raw little-endian float32 rows at each record's external offset; one
  // buffer shared by every shard, or one per shard (nothing: that shard's records have no
  // embeddings). A record without an embedding scores 0.
  std::vector<std::optional<std::span<const uint8_t>>> embeddings;
  unsigned threads = 0;  // 0: every core
  // Exact search (exact_search.h): every matching record scored by kExact, no pool; requires
  // rerank kExact.
  bool exact = false;
};

// The cascade's rescore when the caller names none: 20 * k exact re-scores per query. On the
// quality bench's 256- and 384-d tables, pools of 2,000 to 5,000 reach recall@10 0.96 with it
// against 0.92-0.93 with 10 * k, for a few per cent more time: the exact stage is the cheap one.
inline constexpr uint64_t kDefaultRescore = 20;

inline constexpr uint64_t kPaddingId = ~uint64_t{0};

struct SearchResult {
  size_t query_count = 0;
  size_t k = 0;
  // Row-major query_count x k, best first. Rows with fewer hits are padded with kPaddingId
  // and NaN. Scores: the Hamming distance (lower is better) without re-ranking, otherwise
  // the re-ranking score (higher is better).
  std::vector<uint64_t> ids;
  std::vector<float> scores;
  std::vector<uint32_t> counts;  // real hits per row
};

// Runs the batch. Each query's pool is its min(oversample * k, record_count) nearest records
// by Hamming distance under the order (distance, shard, record), as one index over the
// concatenated records would keep it; without re-ranking the result is the pool's first k.
// kExact re-scores the pool by the float32 dot product with the embeddings, kSigns by the
// query against each record's sign bits (+q where the bit is set, -q where clear); both
// keep the k highest, NaN last, equal scores by (shard, record). kCascade orders the pool by
// sign score (higher first, equal scores in pool order), re-scores its first
// min(rescore * k, pool) exactly and keeps their k highest as kExact does.
// Errors: KOutOfRange (k = 0), OversampleOutOfRange (0), PoolTooLarge, QueryShapeMismatch,
// NonFiniteQuery, FilterCountMismatch, UnknownTrait, EmbeddingBufferCount,
// EmbeddingOutOfBounds, QueryError from a shard (a corrupt file).
Expected<SearchResult, SearchError> search_batch(const ShardSet& set, const SearchRequest& request);

// Records matching `filter` (all records without one). Errors: UnknownTrait.
Expected<uint64_t, SearchError> count(const ShardSet& set,
                                      const std::optional<TraitFilter>& filter);

// Records per value of `trait` among those matching `filter`: values with at least one
// record, in first-seen order (shard 0's values by code, then the new values of each later
// shard). Errors: UnknownTrait (the trait or a filter's).
Expected<std::vector<std::pair<std::string, uint64_t>>, SearchError> facets(
    const ShardSet& set, const std::string& trait, const std::optional<TraitFilter>& filter);

// Runs fn(i) for every i < count on up to `threads` threads (0: every core), the calling
// thread included; returns when all are done. An exception from fn is rethrown here after
// the other threads have stopped. The one place the set's work is spread over threads.
void parallel_for(size_t count, unsigned threads, const std::function<void(size_t)>& fn);

}  // namespace korvel
