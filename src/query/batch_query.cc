// execute_batch: the filters (each distinct tree evaluated once), then the scan. Queries whose
// filter keeps a small share of the records search a list of those records; all others
// search the whole signature section, masked by their filter. Each list (or the section) is
// cut into ranges of whole blocks, one task per range; a task holds a bounded pool per
// query, no larger than the query's pool or the task's records, and the pools of one query
// (those of its own source's tasks) are merged at the end. In a task, every block is
// prepared once and scanned by all its queries with the block kernel, which reports only
// the records within each pool's bound; those get their exact distance from the stored
// signature. Queries too few to share a prepared block read the section alone through the
// bound kernel instead, which compares each record with the pool's bound as it streams by.
// Pools come out the same whatever the order of offers, so the split changes nothing in the
// result.
#include "query/batch_query.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>

#include "common/check.h"
#include "common/little_endian.h"
#include "simd/hamming_block.h"
#include "simd/kernel_table.h"
#include "vector/dot.h"
#include "vector/signature.h"

namespace korvel {

uint64_t alone_range_bytes = uint64_t{4} << 20;

namespace {

// A filter keeping fewer than one record in kListRatio is searched through the list of its
// records: gathering them costs more per record than a pass over contiguous blocks, but
// skips the rest.
constexpr uint64_t kListRatio = 16;
// Fewer queries than this share no block: each streams its records' distances instead, so
// a block's preparation is not paid for one or two passes over it.
constexpr size_t kMinBlockQueries = 4;
// Records per task, at least: a task's first block fills its pools at full cost.
constexpr uint64_t kMinTaskRecords = 4 * kBlockRecords;
constexpr size_t kMaskWords = kBlockRecords / 64;
// Ranges per thread when several threads share a source: the pool hands them out as threads
// come free, so a thread slowed by other work on the machine (or by a range that prunes
// less) takes fewer and none waits long for the last.
constexpr uint64_t kRangesPerThread = 4;

struct HammingCandidate {
  uint64_t record_index;
  uint32_t distance;
};

// The `capacity` smallest of at most `offers` distinct keys (distance << 32 | record), one
// integer comparison ordering two candidates; a record farther than bound_distance() can no
// longer enter. Room for 2 x capacity keys, or for every offer when there are fewer: when the
// buffer fills, the best `capacity` are kept and the worst of them becomes the bound. A large
// pool counts its keys by distance from its first selection on: its bound then tightens with
// every offer rather than at the next selection, a selection is a linear pass over the buffer
// (a partial one among the keys tied at the bound), and the final order a counting sort.
class BoundedPool {
 public:
  BoundedPool(size_t capacity, uint64_t offers)
      : capacity_(
            static_cast<size_t>(std::clamp<uint64_t>(offers, 1, std::max<size_t>(capacity, 1)))),
        buffer_(std::make_unique_for_overwrite<uint64_t[]>(
            static_cast<size_t>(std::clamp<uint64_t>(offers, 1, 2 * capacity_)))) {}

  void offer(uint64_t record, uint32_t distance) {
    const uint64_t key = (uint64_t{distance} << 32) | record;
    if (key >= bound_) return;
    if (counts_ != nullptr) {
      if (distance > limit_) return;
      ++counts_[distance];
      if (distance < limit_ && ++below_ >= capacity_) tighten();
    }
    buffer_[size_++] = key;
    if (size_ == 2 * capacity_) shrink();
  }
  uint32_t bound_distance() const noexcept {
    if (counts_ != nullptr) return limit_;
    return bound_ == ~uint64_t{0} ? ~uint32_t{0} : static_cast<uint32_t>(bound_ >> 32);
  }
  std::span<const uint64_t> keys() const noexcept { return {buffer_.get(), size_}; }
  std::vector<HammingCandidate> take_sorted() {
    if (size_ > capacity_) shrink();
    std::vector<HammingCandidate> out(size_);
    uint64_t* keys = buffer_.get();
    if (counts_ != nullptr) {
      // Counting sort by distance (every key is within limit_ after a selection, and the
      // counts are exact), then each run of one distance by record, when not in order yet.
      std::vector<size_t> at(size_t{limit_} + 2, 0);
      for (size_t i = 0; i < size_; ++i) ++at[(keys[i] >> 32) + 1];
      for (size_t d = 1; d < at.size(); ++d) at[d] += at[d - 1];
      for (size_t i = 0; i < size_; ++i) {
        out[at[keys[i] >> 32]++] = {keys[i] & 0xFFFFFFFFu, static_cast<uint32_t>(keys[i] >> 32)};
      }
      auto by_record = [](const HammingCandidate& a, const HammingCandidate& b) {
        return a.record_index < b.record_index;
      };
      for (size_t begin = 0, end = 0; begin < size_; begin = end) {
        while (end < size_ && out[end].distance == out[begin].distance) ++end;
        if (!std::is_sorted(out.begin() + begin, out.begin() + end, by_record)) {
          std::sort(out.begin() + begin, out.begin() + end, by_record);
        }
      }
    } else {
      std::sort(keys, keys + size_);
      for (size_t i = 0; i < size_; ++i) {
        out[i] = {keys[i] & 0xFFFFFFFFu, static_cast<uint32_t>(keys[i] >> 32)};
      }
    }
    size_ = 0;
    return out;
  }

 private:
  // Pools this large count their keys by distance; smaller ones gain little from it.
  static constexpr size_t kCountedCapacity = 64;
  // Nor when the bound's distance is this large: the counts would outgrow the keys.
  static constexpr uint32_t kMaxCountedDistance = 4096;

  void shrink() {
    uint64_t* keys = buffer_.get();
    if (counts_ == nullptr && capacity_ >= kCountedCapacity) {
      uint64_t worst = 0;
      for (size_t i = 0; i < size_; ++i) worst = std::max(worst, keys[i] >> 32);
      if (worst <= kMaxCountedDistance) {
        counts_ = std::make_unique<uint32_t[]>(static_cast<size_t>(worst) + 1);
        for (size_t i = 0; i < size_; ++i) ++counts_[keys[i] >> 32];
        limit_ = static_cast<uint32_t>(worst);
        below_ = size_ - counts_[limit_];
      }
    }
    if (counts_ == nullptr) {
      std::nth_element(keys, keys + capacity_ - 1, keys + size_);
      bound_ = keys[capacity_ - 1];
      size_ = capacity_;
      return;
    }
    // The counts are exact up to limit_: every key nearer than it is kept, and of those at
    // it the `capacity - below_` with the least records. Keys beyond limit_ are dropped; the
    // kept ones stay in the order they came.
    tighten();
    const size_t tied_kept = capacity_ - below_;
    uint64_t cut = (uint64_t{limit_} << 32) | 0xFFFFFFFFu;  // the last key kept at limit_
    if (counts_[limit_] > tied_kept) {
      ties_.clear();
      for (size_t i = 0; i < size_; ++i) {
        if ((keys[i] >> 32) == limit_) ties_.push_back(keys[i]);
      }
      std::nth_element(ties_.begin(), ties_.begin() + static_cast<ptrdiff_t>(tied_kept - 1),
                       ties_.end());
      cut = ties_[tied_kept - 1];
    }
    size_t kept = 0;
    const size_t n = size_;
    for (size_t i = 0; i < n; ++i) {  // without a branch: which keys go is unpredictable
      const uint64_t key = keys[i];
      keys[kept] = key;
      kept += key <= cut ? 1 : 0;
    }
    size_ = kept;
    bound_ = cut;
    // Every key nearer than limit_ stayed, so only the count at limit_ changes (there are
    // always at least `capacity` keys up to limit_, hence at least tied_kept at it).
    counts_[limit_] = static_cast<uint32_t>(tied_kept);
  }

  // Lowers the limit while `capacity` keys are nearer than it: of a record at the limit's
  // distance, `capacity` held keys are at least as near, so in a scan by ascending record
  // index it can no longer enter.
  void tighten() {
    while (below_ >= capacity_) {
      --limit_;
      below_ -= counts_[limit_];
    }
  }

  size_t capacity_;
  std::unique_ptr<uint64_t[]> buffer_;
  size_t size_ = 0;
  uint64_t bound_ = ~uint64_t{0};
  // From the first selection on (large pools): held keys by distance up to limit_, and the
  // number of them nearer than limit_. limit_ is the least distance within which at least
  // `capacity` keys are held, so no record farther than it can enter the pool.
  std::unique_ptr<uint32_t[]> counts_;
  uint32_t limit_ = 0;
  size_t below_ = 0;
  std::vector<uint64_t> ties_;  // the keys at limit_ during a selection
};

// A distinct filter of the batch. Its bitmap is kept while queries scan the whole section
// under it; a selective filter keeps only the list of its records.
struct Matching {
  std::optional<TraitIndexOutOfRange> error;
  uint64_t count = 0;
  bool listed = false;
  CandidateBitmap bitmap;         // unlisted filters with matches
  std::vector<uint32_t> records;  // listed filters: ascending
};

// The records one group of queries searches: the whole section, or a list of records.
struct Source {
  std::vector<uint32_t> records;  // ascending; empty: records 0..count - 1
  uint64_t count = 0;
  std::vector<size_t> queries;         // indexes into the batch
  std::vector<const uint64_t*> masks;  // per query: its filter's bitmap (whole section only)
  std::vector<uint8_t> prepared;       // the queries prepared for the block kernel
};

struct Task {
  size_t source;
  uint64_t begin, end;             // positions in the source; begin is a multiple of kBlockRecords
  std::vector<BoundedPool> pools;  // per query of the source
};

struct ScanContext {
  const uint8_t* sigs;
  size_t len;
  const uint64_t* pool_sizes;  // per query of the batch
  const uint8_t* query_sigs;   // len bytes per query of the batch
  const HammingBlockKernel* kernel;
  // Per query of the batch: a distance no record of its final pool exceeds, the least any
  // task has found so far (~0: none yet). A task's full pool holds pool-size records within
  // its bound, so the query's pool over every record cannot reach past it; a record at that
  // distance may still enter (by record index), so the bound counts inclusively. Lets a task
  // that starts late skip the unbounded first blocks.
  std::atomic<uint32_t>* shared_bounds;
};

// Lowers a query's shared bound to `bound` when that is below it.
void lower_shared_bound(std::atomic<uint32_t>& shared, uint32_t bound) noexcept {
  uint32_t seen = shared.load(std::memory_order_relaxed);
  while (bound < seen && !shared.compare_exchange_weak(seen, bound, std::memory_order_relaxed)) {
  }
}

// Records per call of the bound kernel for a query scanning alone, once its pool has a bound:
// the bound is refreshed between calls.
constexpr uint64_t kAloneRecords = 8 * kBlockRecords;

// Queries too few to share a prepared block (fewer than kMinBlockQueries), over the whole
// section: each reads its records once through the bound kernel, which reports only those
// within the pool's bound, and those get their exact distance. Until its pool has a bound, a
// query takes the exact distances of a first block.
void scan_alone(const ScanContext& ctx, const Source& source, Task& task) {
  const KernelTable& table = kernels();
  const size_t len = ctx.len;
  uint64_t masks[kAloneRecords / 64];
  uint32_t distances[kBlockRecords];
  uint64_t first = task.begin;
  while (first < task.end) {
    bool bounded = true;
    for (size_t qi = 0; qi < task.pools.size(); ++qi) {
      bounded =
          bounded && (task.pools[qi].bound_distance() != ~0u ||
                      ctx.shared_bounds[source.queries[qi]].load(std::memory_order_relaxed) != ~0u);
    }
    const size_t count = static_cast<size_t>(
        std::min<uint64_t>(bounded ? kAloneRecords : kBlockRecords, task.end - first));
    const uint8_t* sigs = ctx.sigs + first * len;
    for (size_t qi = 0; qi < source.queries.size(); ++qi) {
      const uint8_t* q = ctx.query_sigs + source.queries[qi] * len;
      const uint64_t* allowed =
          source.masks[qi] == nullptr ? nullptr : source.masks[qi] + first / 64;
      BoundedPool& pool = task.pools[qi];
      const uint32_t bound = pool.bound_distance();
      // Records arrive in ascending order, so one at the bound's distance comes after the
      // bound's record and cannot enter.
      if (bound == 0) continue;
      std::atomic<uint32_t>& shared = ctx.shared_bounds[source.queries[qi]];
      if (bound != ~uint32_t{0}) lower_shared_bound(shared, bound);
      const uint32_t cap = std::min(bound == ~uint32_t{0} ? bound : bound - 1,
                                    shared.load(std::memory_order_relaxed));
      const bool exact = cap == ~uint32_t{0};
      if (exact) {
        table.hamming_batch(q, sigs, len, count, distances);
      } else {
        table.hamming_bound(q, sigs, len, count, cap, masks);
      }
      for (size_t w = 0; w * 64 < count; ++w) {
        uint64_t bits = exact ? ~uint64_t{0} : masks[w];
        if (allowed != nullptr) bits &= allowed[w];
        if (count - 64 * w < 64) bits &= (uint64_t{1} << (count - 64 * w)) - 1;
        for (; bits != 0; bits &= bits - 1) {
          const size_t i = 64 * w + static_cast<unsigned>(std::countr_zero(bits));
          pool.offer(first + i, exact ? distances[i] : table.hamming(q, sigs + i * len, len));
        }
      }
    }
    first += count;
  }
}

// One task: every block of its range against every query of its source.
void run_task(const ScanContext& ctx, const Source& source, Task& task) {
  const size_t nq = source.queries.size();
  const size_t len = ctx.len;
  task.pools.reserve(nq);
  for (size_t i = 0; i < nq; ++i) {
    task.pools.emplace_back(ctx.pool_sizes[source.queries[i]], task.end - task.begin);
  }
  const bool listed = !source.records.empty();
  const bool use_kernel = nq >= kMinBlockQueries;
  if (!listed && !use_kernel) {
    scan_alone(ctx, source, task);
    return;
  }
  const size_t query_bytes = ctx.kernel->query_bytes(len);
  std::vector<uint8_t> block(use_kernel ? ctx.kernel->block_bytes(len) : 0);
  std::vector<uint64_t> masks(kBlockQueries * kMaskWords);
  uint32_t bounds[kBlockQueries];
  uint32_t distances[kBlockRecords];
  const KernelTable& table = kernels();
  const HammingBatchKernel batch = table.hamming_batch;
  const HammingGatherKernel gather = table.hamming_gather;
  const HammingKernel single = table.hamming;
  // When every query of the section shares one bitmap (deleted records, or one filter for
  // the batch), each block takes only the records it keeps: none of the others is read,
  // prepared or scanned.
  const uint64_t* shared_mask = listed || !use_kernel ? nullptr : source.masks[0];
  for (size_t qi = 1; qi < nq && shared_mask != nullptr; ++qi) {
    if (source.masks[qi] != shared_mask) shared_mask = nullptr;
  }
  if (task.end > uint64_t{UINT32_MAX}) shared_mask = nullptr;  // kept records are listed as 32 bits
  uint32_t kept[kBlockRecords];

  for (uint64_t first = task.begin; first < task.end; first += kBlockRecords) {
    size_t count = static_cast<size_t>(std::min<uint64_t>(kBlockRecords, task.end - first));
    const uint32_t* records = listed ? source.records.data() + first : nullptr;
    if (shared_mask != nullptr) {
      size_t k = 0;
      for (size_t w = 0; w * 64 < count; ++w) {
        uint64_t bits = shared_mask[first / 64 + w];
        if (count - 64 * w < 64) bits &= (uint64_t{1} << (count - 64 * w)) - 1;
        for (; bits != 0; bits &= bits - 1) {
          kept[k++] =
              static_cast<uint32_t>(first + 64 * w + static_cast<unsigned>(std::countr_zero(bits)));
        }
      }
      if (k == 0) continue;
      count = k;
      records = kept;
    }
    auto record_at = [&](size_t i) {
      return records != nullptr ? uint64_t{records[i]} : first + i;
    };
    // This block's bits of the query's filter, when it has one and the block holds every
    // record of its range.
    auto mask_of = [&](size_t qi) { return records != nullptr ? nullptr : source.masks[qi]; };
    auto allowed = [&](size_t qi, size_t word) {
      const uint64_t* bitmap = mask_of(qi);
      return bitmap == nullptr ? ~uint64_t{0} : bitmap[first / 64 + word];
    };
    // Exact distances of the whole block for query qi: before its pool has a bound, or
    // when too few queries share the block.
    auto offer_all = [&](size_t qi) {
      const uint8_t* q = ctx.query_sigs + source.queries[qi] * len;
      if (records != nullptr) {
        gather(q, ctx.sigs, len, records, count, distances);
      } else {
        batch(q, ctx.sigs + first * len, len, count, distances);
      }
      BoundedPool& pool = task.pools[qi];
      // Farther than the shared bound (inclusive) is not wanted.
      const uint32_t cap = ctx.shared_bounds[source.queries[qi]].load(std::memory_order_relaxed);
      if (mask_of(qi) == nullptr) {
        // Every record counts: a plain compare against the bound skips the bit walk. Records
        // arrive in ascending order, so one at the bound's distance cannot enter either.
        uint32_t bound = pool.bound_distance();
        for (size_t i = 0; i < count; ++i) {
          if ((distances[i] >= bound && bound != ~uint32_t{0}) || distances[i] > cap) continue;
          pool.offer(record_at(i), distances[i]);
          bound = pool.bound_distance();
        }
        return;
      }
      for (size_t w = 0; w * 64 < count; ++w) {
        for (uint64_t bits = allowed(qi, w); bits != 0; bits &= bits - 1) {
          const size_t i = 64 * w + static_cast<unsigned>(std::countr_zero(bits));
          if (i >= count) break;
          if (distances[i] <= cap) pool.offer(record_at(i), distances[i]);
        }
      }
    };
    bool prepared = false;
    for (size_t q0 = 0; q0 < nq; q0 += kBlockQueries) {
      const size_t chunk = std::min(kBlockQueries, nq - q0);
      bool any_bound = false;
      for (size_t j = 0; j < chunk; ++j) {
        bounds[j] = task.pools[q0 + j].bound_distance();
        // Records arrive in ascending order, so one at the bound's distance comes after the
        // bound's record and cannot enter: only nearer ones need their exact distance.
        if (bounds[j] != ~uint32_t{0} && bounds[j] > 0) --bounds[j];
        bounds[j] = std::min(
            bounds[j], ctx.shared_bounds[source.queries[q0 + j]].load(std::memory_order_relaxed));
        any_bound = any_bound || bounds[j] != ~uint32_t{0};
      }
      if (use_kernel && any_bound) {
        if (!prepared) {
          ctx.kernel->prepare_block(ctx.sigs, len, records, first, count, block.data());
          prepared = true;
        }
        ctx.kernel->scan(block.data(), len, count, source.prepared.data() + q0 * query_bytes, chunk,
                         bounds, masks.data());
      }
      for (size_t j = 0; j < chunk; ++j) {
        const size_t qi = q0 + j;
        if (!use_kernel || bounds[j] == ~uint32_t{0}) {
          offer_all(qi);
          continue;
        }
        const uint8_t* q = ctx.query_sigs + source.queries[qi] * len;
        BoundedPool& pool = task.pools[qi];
        for (size_t w = 0; w * 64 < count; ++w) {
          for (uint64_t bits = masks[j * kMaskWords + w] & allowed(qi, w); bits != 0;
               bits &= bits - 1) {
            const uint64_t record =
                record_at(64 * w + static_cast<unsigned>(std::countr_zero(bits)));
            pool.offer(record, single(q, ctx.sigs + record * len, len));
          }
        }
      }
    }
    for (size_t qi = 0; qi < nq; ++qi) {
      const uint32_t bound = task.pools[qi].bound_distance();
      if (bound != ~uint32_t{0}) lower_shared_bound(ctx.shared_bounds[source.queries[qi]], bound);
    }
  }
}

// A large pool's first bound, estimated from a sample. A scan that tightens a pool of P
// among M records as it goes offers it about P * (1 + ln(M / P)) records, most of them early,
// before its bound nears its final value. The records at every (P / 2)-th position hold
// about 2M / P of the query's; the kSampledRank-th nearest of those lies, on average, at
// rank kSampledRank * P / 2 = 4P among all of them, and a scan capped there from its first
// block offers about P * (1 + ln 4). The cap is a guess, not a bound: where fewer than P of
// the query's records lie within it (a chance of about one in a thousand: the sample then
// holds kSampledRank or more of the nearest P), the query's pool comes out short and it is
// searched again without the cap. Only pools of kEstimatedPool or more gain: a smaller one
// pays more for the sample than it saves.
constexpr uint64_t kEstimatedPool = 512;
constexpr uint64_t kSampledRank = 8;
// Nor when the query's records are fewer than this many times its pool.
constexpr uint64_t kEstimatedSpan = 16;

// Lowers the shared bound of every query of `eligible` (whole-section queries of source 0,
// by their index in it) to its sampled cap; sets estimated[q] where that lowered it.
void estimate_bounds(const ScanContext& ctx, const Source& source, uint64_t n, uint64_t pool,
                     std::span<const size_t> eligible, ThreadPool& threads_pool, size_t threads,
                     std::vector<uint8_t>& estimated) {
  const size_t len = ctx.len;
  const uint64_t stride = std::max<uint64_t>(pool / 2, 1);
  std::vector<uint64_t> records;
  for (uint64_t r = stride / 2; r < n; r += stride) records.push_back(r);
  std::vector<uint8_t> sample(records.size() * len);
  for (size_t i = 0; i < records.size(); ++i) {
    std::memcpy(sample.data() + i * len, ctx.sigs + records[i] * len, len);
  }
  const KernelTable& table = kernels();
  threads_pool.parallel_for(eligible.size(), threads, [&](size_t e) {
    const size_t slot = eligible[e];
    const size_t q = source.queries[slot];
    const uint64_t* mask = source.masks[slot];
    std::vector<uint32_t> distances(records.size());
    table.hamming_batch(ctx.query_sigs + q * len, sample.data(), len, records.size(),
                        distances.data());
    std::vector<uint32_t> at(len * 8 + 1, 0);
    for (size_t i = 0; i < records.size(); ++i) {
      if (mask == nullptr || ((mask[records[i] / 64] >> (records[i] % 64)) & 1) != 0) {
        ++at[distances[i]];
      }
    }
    uint64_t seen = 0;
    for (uint32_t d = 0; d < at.size(); ++d) {
      seen += at[d];
      if (seen < kSampledRank) continue;
      std::atomic<uint32_t>& shared = ctx.shared_bounds[q];
      if (d < shared.load(std::memory_order_relaxed)) {
        shared.store(d, std::memory_order_relaxed);
        estimated[q] = 1;
      }
      break;
    }
  });
}

struct Scored {
  uint64_t record_index;
  uint32_t distance;
  float score;
};

// Higher score first, equal scores by record index, NaN after every number (a strict weak
// order, as execute_query's re-scoring sorts).
bool scored_before(const Scored& a, const Scored& b) noexcept {
  const bool a_nan = std::isnan(a.score);
  const bool b_nan = std::isnan(b.score);
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a.score != b.score) return a.score > b.score;
  return a.record_index < b.record_index;
}

// Exact re-scoring of one pool, as execute_query does it: embeddings outside the view
// score 0.
Expected<std::vector<Scored>, QueryError> exact_scores(const IndexReader& reader,
                                                       const std::vector<HammingCandidate>& pool,
                                                       std::span<const float> query,
                                                       std::span<const uint8_t> embeddings) {
  const uint64_t byte_len = 4 * uint64_t{query.size()};
  std::vector<Scored> scored;
  std::vector<const uint8_t*> rows;
  std::vector<size_t> slots;
  scored.reserve(pool.size());
  for (size_t i = 0; i < pool.size(); ++i) {
    const HammingCandidate& c = pool[i];
    // The offsets are scattered reads: started early.
    if (i + kOffsetsAhead < pool.size()) {
      reader.prefetch_external_offset(pool[i + kOffsetsAhead].record_index);
    }
    Expected<std::optional<uint64_t>, StorageError> offset = reader.external_offset(c.record_index);
    if (!offset) return unexpected(QueryError{std::move(offset).error()});
    if (offset->has_value() && **offset <= embeddings.size() &&
        byte_len <= embeddings.size() - **offset) {
      rows.push_back(embeddings.data() + **offset);
      slots.push_back(scored.size());
    }
    scored.push_back({c.record_index, c.distance, 0.0f});
  }
  std::vector<float> scores(rows.size());
  dot_f32_le_many(query.data(), query.size(), rows.data(), rows.size(), scores.data());
  for (size_t j = 0; j < rows.size(); ++j) scored[slots[j]].score = scores[j];
  return scored;
}

std::vector<Scored> sign_scores(const IndexReader& reader,
                                const std::vector<HammingCandidate>& pool,
                                std::span<const float> query) {
  std::vector<Scored> scored;
  scored.reserve(pool.size());
  for (const HammingCandidate& c : pool) {
    const uint8_t* sig = reader.signature_ptr(c.record_index);
    float sum = 0.0f;
    for (size_t i = 0; i < query.size(); ++i) {
      sum += ((sig[i / 8] >> (i % 8)) & 1u) != 0 ? query[i] : -query[i];
    }
    scored.push_back({c.record_index, c.distance, sum});
  }
  return scored;
}

}  // namespace

namespace {

Expected<BatchResult, QueryError> run_batch(const IndexReader& reader, const BatchRequest& request,
                                            ThreadPool& pool, bool estimate);

}  // namespace

Expected<BatchResult, QueryError> execute_batch(const IndexReader& reader,
                                                const BatchRequest& request, ThreadPool& pool) {
  return run_batch(reader, request, pool, true);
}

namespace {

// execute_batch; `estimate`: large pools may start from a sampled bound (estimate_bounds).
Expected<BatchResult, QueryError> run_batch(const IndexReader& reader, const BatchRequest& request,
                                            ThreadPool& pool, bool estimate) {
  const uint64_t n = reader.record_count();
  const uint16_t dim = reader.vector_dim();
  const size_t len = reader.layout().signature_size;
  const size_t nq = request.query_count;
  KORVEL_CHECK(n <= kMaxRecordCount, "execute_batch: record count above the ceiling");
  KORVEL_CHECK(request.oversample >= 1, "execute_batch: oversample must be at least 1");
  KORVEL_CHECK(request.filters.size() <= 1 || request.filters.size() == nq,
               "execute_batch: one filter, or one per query");
  if (request.top_k < 1 || request.top_k > kMaxTopK) {
    return unexpected(QueryError{TopKOutOfRange{request.top_k}});
  }
  const bool have_vectors = !request.vectors.empty();
  const bool have_signatures = !have_vectors && !request.signatures.empty();
  const bool rescore = request.exact_rescore;
  const bool rerank = !rescore && request.rerank == Rerank::kSigns;
  if ((rescore || rerank) && !have_vectors) {
    return unexpected(QueryError{VectorDimensionMismatch{0, dim}});
  }
  if (have_vectors && request.vectors.size() != nq * size_t{dim}) {
    return unexpected(QueryError{VectorDimensionMismatch{
        nq == 0 ? request.vectors.size() : request.vectors.size() / nq, dim}});
  }
  KORVEL_CHECK(!have_signatures || request.signatures.size() == nq * len,
               "execute_batch: signatures must hold one signature per query");
  if (rescore && !request.embeddings) return unexpected(QueryError{EmbeddingsRequired{}});

  const uint64_t pool_capacity = uint64_t{request.oversample} * request.top_k;
  const size_t threads =
      request.threads == 0 ? pool.thread_count() : std::min(request.threads, pool.thread_count());
  BatchResult result;
  result.counts.assign(nq, 0);
  result.offsets.assign(nq, 0);
  if (nq == 0 || n == 0) return result;

  // Distinct filters in order of first use: equal trees (a list of equal filters, one per
  // query) are evaluated once and shared by their queries.
  std::vector<const FilterExpr*> distinct;
  std::vector<size_t> filter_of(nq, SIZE_MAX);
  {
    std::unordered_multimap<size_t, size_t> by_hash;
    const FilterExpr* last = nullptr;
    size_t last_index = SIZE_MAX;
    for (size_t q = 0; q < nq; ++q) {
      const FilterExpr* f = request.filters.empty()       ? nullptr
                            : request.filters.size() == 1 ? request.filters[0]
                                                          : request.filters[q];
      if (f == nullptr) continue;
      if (f != last) {
        last = f;
        last_index = SIZE_MAX;
        const size_t hash = filter_hash(*f);
        const auto [first, end] = by_hash.equal_range(hash);
        for (auto it = first; it != end && last_index == SIZE_MAX; ++it) {
          if (same_filter(*distinct[it->second], *f)) last_index = it->second;
        }
        if (last_index == SIZE_MAX) {
          last_index = distinct.size();
          by_hash.emplace(hash, last_index);
          distinct.push_back(f);
        }
      }
      filter_of[q] = last_index;
    }
  }
  // With deletions, unfiltered queries share one more distinct filter (null): the live
  // records themselves.
  const bool masked = !request.live.empty();
  KORVEL_CHECK(!masked || request.live.size() == reader.layout().blocks,
               "execute_batch: the live bitmap needs one word per 64 records");
  if (masked) {
    size_t live_filter = SIZE_MAX;
    for (size_t q = 0; q < nq; ++q) {
      if (filter_of[q] != SIZE_MAX) continue;
      if (live_filter == SIZE_MAX) {
        live_filter = distinct.size();
        distinct.push_back(nullptr);
      }
      filter_of[q] = live_filter;
    }
  }
  std::vector<Matching> matching(distinct.size());
  pool.parallel_for(distinct.size(), threads, [&](size_t f) {
    Matching& m = matching[f];
    Expected<CandidateBitmap, TraitIndexOutOfRange> bitmap =
        distinct[f] == nullptr
            ? Expected<CandidateBitmap, TraitIndexOutOfRange>(
                  CandidateBitmap(request.live.begin(), request.live.end()))
            : evaluate_filter(*distinct[f], reader.code_planes(), reader.trait_count(),
                              reader.bit_width(), reader.layout().blocks, n);
    if (!bitmap) {
      m.error = bitmap.error();
      return;
    }
    if (masked && distinct[f] != nullptr) {
      for (size_t w = 0; w < bitmap->size(); ++w) (*bitmap)[w] &= request.live[w];
    }
    if (!bitmap->empty()) bitmap->back() &= last_word_mask(n);
    for (uint64_t w : *bitmap) m.count += static_cast<uint64_t>(std::popcount(w));
    if (m.count == 0) return;
    if (m.count * kListRatio >= n) {
      m.bitmap = std::move(*bitmap);
      return;
    }
    // Only the list is searched: the bitmap goes as soon as the list exists.
    m.listed = true;
    m.records.reserve(m.count);
    for (size_t b = 0; b < bitmap->size(); ++b) {
      for (uint64_t w = (*bitmap)[b]; w != 0; w &= w - 1) {
        m.records.push_back(
            static_cast<uint32_t>(64 * b + static_cast<unsigned>(std::countr_zero(w))));
      }
    }
  });
  for (Matching& m : matching) {
    if (m.error) return unexpected(QueryError{*m.error});
  }

  // Each query's pool holds at most the records its filter matches; its row holds the pool,
  // or the best top_k of it after re-scoring.
  std::vector<uint64_t> pool_sizes(nq);
  std::vector<uint64_t> matches(nq);
  size_t slots = 0;
  for (size_t q = 0; q < nq; ++q) {
    matches[q] = filter_of[q] == SIZE_MAX ? n : matching[filter_of[q]].count;
    pool_sizes[q] = std::min(pool_capacity, matches[q]);
    result.offsets[q] = slots;
    slots += static_cast<size_t>(
        rescore || rerank ? std::min<uint64_t>(request.top_k, pool_sizes[q]) : pool_sizes[q]);
  }
  result.hits.resize(slots);

  if ((!have_vectors && !have_signatures) || dim == 0) {
    // The categorical path: matching records in record order, distance 0.
    for (size_t q = 0; q < nq; ++q) {
      SearchHit* row = result.hits.data() + result.offsets[q];
      uint32_t& count = result.counts[q];
      const uint64_t size = pool_sizes[q];
      const Matching* m = filter_of[q] == SIZE_MAX ? nullptr : &matching[filter_of[q]];
      if (m == nullptr) {
        for (uint64_t r = 0; r < size; ++r) row[count++] = {std::nullopt, r, 0};
      } else if (m->listed) {
        for (uint64_t i = 0; i < size; ++i) row[count++] = {std::nullopt, m->records[i], 0};
      } else {
        for (size_t b = 0; b < m->bitmap.size() && count < size; ++b) {
          for (uint64_t w = m->bitmap[b]; w != 0 && count < size; w &= w - 1) {
            row[count++] = {std::nullopt, 64 * b + static_cast<unsigned>(std::countr_zero(w)), 0};
          }
        }
      }
    }
    return result;
  }

  std::vector<uint8_t> query_sigs;
  if (have_vectors) {
    query_sigs.resize(nq * len);
    for (size_t q = 0; q < nq; ++q) {
      compute_signature_into(request.vectors.subspan(q * dim, dim), query_sigs.data() + q * len);
    }
  }
  const uint8_t* sigs_of_queries = have_vectors ? query_sigs.data() : request.signatures.data();

  // Sources: the whole section (source 0), then one list per selective filter. A query with
  // an empty filter has none (an empty row).
  std::vector<Source> sources(1);
  std::vector<size_t> list_of(distinct.size(), SIZE_MAX);
  std::vector<size_t> source_of(nq, SIZE_MAX);  // per query: its source
  std::vector<size_t> slot_of(nq);              // per query: its index in its source
  for (size_t q = 0; q < nq; ++q) {
    const size_t f = filter_of[q];
    if (f != SIZE_MAX && matching[f].count == 0) continue;
    size_t s = 0;
    if (f != SIZE_MAX && matching[f].listed) {
      if (list_of[f] == SIZE_MAX) {
        list_of[f] = sources.size();
        Source& list = sources.emplace_back();
        list.records = std::move(matching[f].records);
        list.count = list.records.size();
      }
      s = list_of[f];
    }
    source_of[q] = s;
    slot_of[q] = sources[s].queries.size();
    sources[s].queries.push_back(q);
    sources[s].masks.push_back(f == SIZE_MAX || s != 0 ? nullptr : matching[f].bitmap.data());
  }
  sources[0].count = n;

  const HammingBlockKernel& kernel = *kernels().hamming_block;
  std::vector<Task> tasks;
  // Source s runs tasks [first_task[s], first_task[s + 1]).
  std::vector<size_t> first_task(sources.size() + 1);
  std::vector<uint8_t> gathered;
  for (size_t s = 0; s < sources.size(); ++s) {
    first_task[s] = tasks.size();
    Source& source = sources[s];
    if (source.queries.empty()) continue;
    const size_t qb = kernel.query_bytes(len);
    gathered.resize(source.queries.size() * len);
    for (size_t i = 0; i < source.queries.size(); ++i) {
      std::memcpy(gathered.data() + i * len, sigs_of_queries + source.queries[i] * len, len);
    }
    source.prepared.resize(source.queries.size() * qb);
    kernel.prepare_queries(gathered.data(), len, source.queries.size(), source.prepared.data());
    const uint64_t blocks = (source.count + kBlockRecords - 1) / kBlockRecords;
    // A query scanning the whole section alone runs one range per thread: more ranges only
    // add warm-up blocks to a scan that already reads each record once.
    // Nor does it split signatures of less than alone_range_bytes per range: those are read
    // sooner than another thread wakes up and joins.
    const bool alone = s == 0 && source.queries.size() < kMinBlockQueries;
    const uint64_t per_thread = alone ? 1 : kRangesPerThread;
    const uint64_t most = alone ? source.count * len / std::max<uint64_t>(alone_range_bytes, 1)
                                : source.count / kMinTaskRecords;
    const uint64_t ranges = std::clamp<uint64_t>(std::min(most, source.count / kMinTaskRecords), 1,
                                                 threads == 1 ? 1 : threads * per_thread);
    for (uint64_t r = 0; r < ranges; ++r) {
      const uint64_t begin = blocks * r / ranges * kBlockRecords;
      const uint64_t end = std::min(source.count, blocks * (r + 1) / ranges * kBlockRecords);
      if (begin < end) tasks.push_back({s, begin, end, {}});
    }
  }
  first_task[sources.size()] = tasks.size();
  const auto shared_bounds = std::make_unique<std::atomic<uint32_t>[]>(nq);
  for (size_t q = 0; q < nq; ++q) {
    const uint32_t cap = request.max_distance.empty() ? ~uint32_t{0} : request.max_distance[q];
    shared_bounds[q].store(cap, std::memory_order_relaxed);
  }
  const ScanContext ctx{reader.signature_ptr(0), len,     pool_sizes.data(),
                        sigs_of_queries,         &kernel, shared_bounds.get()};
  std::vector<uint8_t> estimated(nq, 0);
  if (estimate && pool_capacity >= kEstimatedPool) {
    std::vector<size_t> eligible;
    for (size_t slot = 0; slot < sources[0].queries.size(); ++slot) {
      const size_t q = sources[0].queries[slot];
      if (matches[q] / kEstimatedSpan >= pool_capacity) eligible.push_back(slot);
    }
    if (!eligible.empty()) {
      estimate_bounds(ctx, sources[0], n, pool_capacity, eligible, pool, threads, estimated);
    }
  }
  pool.parallel_for(tasks.size(), threads,
                    [&](size_t t) { run_task(ctx, sources[tasks[t].source], tasks[t]); });

  // Each query: the pools of its source's tasks merged, then its row ranked.
  std::vector<std::optional<QueryError>> errors(nq);
  std::vector<uint8_t> short_pools(nq, 0);
  pool.parallel_for(nq, threads, [&](size_t q) {
    if (source_of[q] == SIZE_MAX) return;
    const size_t s = source_of[q];
    // One task: its pool is the query's. Several: their pools merged.
    auto merge = [&] {
      if (first_task[s + 1] - first_task[s] == 1) {
        return tasks[first_task[s]].pools[slot_of[q]].take_sorted();
      }
      uint64_t offered = 0;
      for (size_t t = first_task[s]; t < first_task[s + 1]; ++t) {
        offered += tasks[t].pools[slot_of[q]].keys().size();
      }
      BoundedPool merged(pool_sizes[q], offered);
      for (size_t t = first_task[s]; t < first_task[s + 1]; ++t) {
        for (uint64_t key : tasks[t].pools[slot_of[q]].keys()) {
          merged.offer(key & 0xFFFFFFFFu, static_cast<uint32_t>(key >> 32));
        }
      }
      return merged.take_sorted();
    };
    const std::vector<HammingCandidate> candidates = merge();
    if (estimated[q] != 0 && candidates.size() < pool_sizes[q]) {
      short_pools[q] = 1;  // its sampled cap was too tight: searched again below
      return;
    }
    SearchHit* row = result.hits.data() + result.offsets[q];
    if (!rescore && !rerank) {
      for (const HammingCandidate& c : candidates) {
        row[result.counts[q]++] = {std::nullopt, c.record_index, c.distance};
      }
      return;
    }
    const std::span<const float> query = request.vectors.subspan(q * dim, dim);
    std::vector<Scored> scored;
    if (rescore) {
      auto exact = exact_scores(reader, candidates, query, *request.embeddings);
      if (!exact) {
        errors[q] = std::move(exact).error();
        return;
      }
      scored = std::move(exact).value();
    } else {
      scored = sign_scores(reader, candidates, query);
    }
    std::sort(scored.begin(), scored.end(), scored_before);
    scored.resize(std::min<size_t>(request.top_k, scored.size()));
    for (const Scored& c : scored) row[result.counts[q]++] = {c.score, c.record_index, c.distance};
  });
  for (auto& e : errors) {
    if (e) return unexpected(std::move(*e));
  }
  std::vector<size_t> again;
  for (size_t q = 0; q < nq; ++q) {
    if (short_pools[q] != 0) again.push_back(q);
  }
  if (!again.empty()) {
    // The queries whose sampled cap left their pool short, as a batch of their own without
    // estimates; their rows are copied into place.
    BatchRequest retry = request;
    retry.query_count = again.size();
    std::vector<float> vectors;
    std::vector<uint8_t> signatures;
    std::vector<const FilterExpr*> filters;
    std::vector<uint32_t> max_distance;
    for (const size_t q : again) {
      if (have_vectors) {
        const auto row = request.vectors.subspan(q * dim, dim);
        vectors.insert(vectors.end(), row.begin(), row.end());
      } else {
        const auto row = request.signatures.subspan(q * len, len);
        signatures.insert(signatures.end(), row.begin(), row.end());
      }
      if (request.filters.size() > 1) filters.push_back(request.filters[q]);
      if (!request.max_distance.empty()) max_distance.push_back(request.max_distance[q]);
    }
    retry.vectors = vectors;
    retry.signatures = signatures;
    if (request.filters.size() > 1) retry.filters = filters;
    retry.max_distance = max_distance;
    KORVEL_ASSIGN_OR_RETURN(const BatchResult redone, run_batch(reader, retry, pool, false));
    for (size_t i = 0; i < again.size(); ++i) {
      const std::span<const SearchHit> row = redone.row(i);
      std::copy(row.begin(), row.end(), result.hits.begin() + result.offsets[again[i]]);
      result.counts[again[i]] = static_cast<uint32_t>(row.size());
    }
  }
  return result;
}

}  // namespace

Expected<uint64_t, QueryError> count_matching(const IndexReader& reader, const FilterExpr* filter) {
  const uint64_t n = reader.record_count();
  if (filter == nullptr) return n;
  KORVEL_ASSIGN_OR_RETURN(CandidateBitmap bitmap,
                          evaluate_filter(*filter, reader.code_planes(), reader.trait_count(),
                                          reader.bit_width(), reader.layout().blocks, n));
  if (!bitmap.empty()) bitmap.back() &= last_word_mask(n);
  uint64_t total = 0;
  for (uint64_t w : bitmap) total += static_cast<uint64_t>(std::popcount(w));
  return total;
}

namespace {

// Splits the records of `records` by the code planes planes[0..k] of one block, highest
// bit first, and adds each code's count; empty subsets stop early, so a block costs about
// as many steps as it holds distinct codes times the width.
void count_codes(const uint8_t* planes, int k, uint64_t records, uint32_t code,
                 uint64_t* counts) noexcept {
  if (records == 0) return;
  if (k < 0) {
    counts[code] += static_cast<uint64_t>(std::popcount(records));
    return;
  }
  const uint64_t plane = load_u64(planes + 8 * static_cast<size_t>(k));
  count_codes(planes, k - 1, records & plane, code | (uint32_t{1} << k), counts);
  count_codes(planes, k - 1, records & ~plane, code, counts);
}

}  // namespace

Expected<std::vector<uint64_t>, QueryError> facet_counts(const IndexReader& reader, size_t trait,
                                                         const FilterExpr* filter) {
  const uint64_t n = reader.record_count();
  const uint16_t traits = reader.trait_count();
  const uint8_t width = reader.bit_width();
  if (trait >= traits) return unexpected(QueryError{TraitIndexOutOfRange{trait, traits}});
  CandidateBitmap bitmap;
  if (filter != nullptr) {
    KORVEL_ASSIGN_OR_RETURN(bitmap, evaluate_filter(*filter, reader.code_planes(), traits, width,
                                                    reader.layout().blocks, n));
  }
  std::vector<uint64_t> counts(size_t{1} << width, 0);
  const uint8_t* planes = reader.code_planes().data();
  const uint64_t block_stride = uint64_t{traits} * width * 8;
  for (uint64_t b = 0; b < reader.layout().blocks; ++b) {
    uint64_t records = b + 1 == reader.layout().blocks ? last_word_mask(n) : ~uint64_t{0};
    if (filter != nullptr) records &= bitmap[b];
    count_codes(planes + b * block_stride + trait * width * 8, width - 1, records, 0,
                counts.data());
  }
  return counts;
}

namespace {

// Blocks whose filter bits one evaluation yields at a time: the piece's bitmap (16 KiB) stays
// in the first-level cache across the filter's nodes.
constexpr uint64_t kCountPieceBlocks = 2048;

// Work (blocks times Eq nodes, about 2 ns each) below which a range is not worth handing to
// another thread: waking one costs tens of microseconds.
constexpr uint64_t kMinRangeWork = 32768;
// The decoding of one block's codes for facet counts, in the same units.
constexpr uint64_t kFacetBlockWork = 16;

// Eq nodes of the tree: the plane passes its evaluation makes per block.
uint64_t eq_nodes(const FilterExpr& f) noexcept {
  if (std::holds_alternative<EqNode>(f.node)) return 1;
  // A set decodes the trait's codes once per block: about the work of a few equalities.
  if (std::holds_alternative<InSetNode>(f.node)) return 4;
  if (const auto* n = std::get_if<NotNode>(&f.node)) return eq_nodes(*n->child);
  const auto& children = std::holds_alternative<AndNode>(f.node)
                             ? std::get<AndNode>(f.node).children
                             : std::get<OrNode>(f.node).children;
  uint64_t total = 0;
  for (const FilterExpr& c : children) total += eq_nodes(c);
  return total;
}

// Runs fn(range, begin, end) on blocks [begin, end) of the reader: at most one range per
// thread, none for less than kMinRangeWork at `work_per_block`, each walked in pieces of at
// most kCountPieceBlocks blocks.
template <class Fn>
size_t for_block_pieces(const IndexReader& reader, ThreadPool& pool, size_t threads,
                        uint64_t work_per_block, Fn&& fn) {
  const uint64_t blocks = reader.layout().blocks;
  const size_t wanted = threads == 0 ? pool.thread_count() : std::min(threads, pool.thread_count());
  const auto ranges = static_cast<size_t>(
      std::clamp<uint64_t>(blocks * std::max<uint64_t>(work_per_block, 1) / kMinRangeWork, 1,
                           std::max<size_t>(wanted, 1)));
  pool.parallel_for(ranges, ranges, [&](size_t r) {
    const uint64_t end = blocks * (r + 1) / ranges;
    for (uint64_t b = blocks * r / ranges; b < end; b += kCountPieceBlocks) {
      fn(r, b, std::min(end, b + kCountPieceBlocks));
    }
  });
  return ranges;
}

// Adds the code of trait planes `base` (kWidth planes of one block) of every record in `word`
// to per_code. A full block decodes its 64 codes in fixed-length loops the compiler
// vectorises; a partial one record by record. The width is fixed at compile time so that the
// plane words stay in registers (a copy of a run-time count of them becomes a slow string
// move).
template <unsigned kWidth>
void add_block_codes(const uint8_t* base, uint64_t word, uint64_t* per_code) noexcept {
  uint64_t plane[kWidth];
  for (unsigned k = 0; k < kWidth; ++k) plane[k] = load_u64(base + 8 * k);
  if (word == ~uint64_t{0}) {
    uint16_t codes[64] = {};
    for (unsigned k = 0; k < kWidth; ++k) {
      for (unsigned j = 0; j < 64; ++j) {
        codes[j] = static_cast<uint16_t>(codes[j] | (((plane[k] >> j) & 1u) << k));
      }
    }
    for (uint16_t code : codes) ++per_code[code];
    return;
  }
  for (; word != 0; word &= word - 1) {
    const unsigned j = static_cast<unsigned>(std::countr_zero(word));
    unsigned code = 0;
    for (unsigned k = 0; k < kWidth; ++k) code |= static_cast<unsigned>((plane[k] >> j) & 1) << k;
    ++per_code[code];
  }
}

// add_block_codes for any width a data file has (4, 8 or 16), others through count_codes.
void add_block_codes(const uint8_t* base, unsigned width, uint64_t word,
                     uint64_t* per_code) noexcept {
  if (word == 0) return;
  switch (width) {
    case 4:
      return add_block_codes<4>(base, word, per_code);
    case 8:
      return add_block_codes<8>(base, word, per_code);
    case 16:
      return add_block_codes<16>(base, word, per_code);
    default:
      return count_codes(base, static_cast<int>(width) - 1, word, 0, per_code);
  }
}

// The filter bits of blocks [begin, end), bits past the last record clear.
Expected<CandidateBitmap, TraitIndexOutOfRange> evaluate_piece(const IndexReader& reader,
                                                               const FilterExpr& filter,
                                                               uint64_t begin, uint64_t end) {
  const uint64_t n = reader.record_count();
  const uint64_t stride = uint64_t{reader.trait_count()} * reader.bit_width() * 8;
  const uint64_t records = std::min(n, 64 * end) - 64 * begin;
  auto bitmap =
      evaluate_filter(filter,
                      reader.code_planes().subspan(static_cast<size_t>(begin * stride),
                                                   static_cast<size_t>((end - begin) * stride)),
                      reader.trait_count(), reader.bit_width(), end - begin, records);
  if (bitmap && !bitmap->empty()) bitmap->back() &= last_word_mask(records);
  return bitmap;
}

}  // namespace

Expected<uint64_t, QueryError> count_matching(const IndexReader& reader, const FilterExpr* filter,
                                              ThreadPool& pool, size_t threads,
                                              const uint64_t* live) {
  const uint64_t n = reader.record_count();
  if (filter == nullptr && live == nullptr) return n;
  if (n == 0) return count_matching(reader, filter);  // no block: only the filter's check
  std::vector<uint64_t> totals(pool.thread_count() + 1, 0);
  std::vector<std::optional<TraitIndexOutOfRange>> errors(totals.size());
  auto count_piece = [&](size_t r, uint64_t b, uint64_t e) {
    if (errors[r]) return;
    uint64_t total = 0;
    if (filter == nullptr) {
      for (uint64_t i = b; i < e; ++i) total += static_cast<uint64_t>(std::popcount(live[i]));
      totals[r] += total;
      return;
    }
    auto bitmap = evaluate_piece(reader, *filter, b, e);
    if (!bitmap) {
      errors[r] = bitmap.error();
      return;
    }
    for (size_t i = 0; i < bitmap->size(); ++i) {
      const uint64_t w = live == nullptr ? (*bitmap)[i] : (*bitmap)[i] & live[b + i];
      total += static_cast<uint64_t>(std::popcount(w));
    }
    totals[r] += total;
  };
  const size_t ranges = for_block_pieces(reader, pool, threads,
                                         filter == nullptr ? 1 : eq_nodes(*filter), count_piece);
  uint64_t total = 0;
  for (size_t r = 0; r < ranges; ++r) {
    if (errors[r]) return unexpected(QueryError{*errors[r]});
    total += totals[r];
  }
  return total;
}

Expected<std::vector<uint64_t>, QueryError> facet_counts(const IndexReader& reader, size_t trait,
                                                         const FilterExpr* filter, ThreadPool& pool,
                                                         size_t threads, const uint64_t* live) {
  const uint64_t n = reader.record_count();
  const uint16_t traits = reader.trait_count();
  const uint8_t width = reader.bit_width();
  if (trait >= traits) return unexpected(QueryError{TraitIndexOutOfRange{trait, traits}});
  if (n == 0) return facet_counts(reader, trait, filter);
  const size_t codes = size_t{1} << width;
  // Range r counts into counts[r]; range 0's array is the result.
  std::vector<std::vector<uint64_t>> counts(pool.thread_count() + 1);
  std::vector<std::optional<TraitIndexOutOfRange>> errors(counts.size());
  const uint8_t* planes = reader.code_planes().data();
  const uint64_t block_stride = uint64_t{traits} * width * 8;
  const uint64_t blocks = reader.layout().blocks;
  const size_t ranges = for_block_pieces(
      reader, pool, threads, (filter == nullptr ? 0 : eq_nodes(*filter)) + kFacetBlockWork,
      [&](size_t r, uint64_t b, uint64_t e) {
        if (errors[r]) return;
        if (counts[r].empty()) counts[r].assign(codes, 0);
        CandidateBitmap bitmap;
        if (filter != nullptr) {
          auto piece = evaluate_piece(reader, *filter, b, e);
          if (!piece) {
            errors[r] = piece.error();
            return;
          }
          bitmap = std::move(*piece);
        }
        for (uint64_t i = b; i < e; ++i) {
          uint64_t records = i + 1 == blocks ? last_word_mask(n) : ~uint64_t{0};
          if (filter != nullptr) records &= bitmap[i - b];
          if (live != nullptr) records &= live[i];
          add_block_codes(planes + i * block_stride + trait * width * 8, width, records,
                          counts[r].data());
        }
      });
  for (size_t r = 0; r < ranges; ++r) {
    if (errors[r]) return unexpected(QueryError{*errors[r]});
  }
  for (size_t r = 1; r < ranges; ++r) {
    for (size_t c = 0; c < codes; ++c) counts[0][c] += counts[r][c];
  }
  return std::move(counts[0]);
}

}  // namespace korvel
