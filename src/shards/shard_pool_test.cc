// merge_pools and the order of re-scored hits on hand-made pools: merging the pools of any
// split of a set's shards gives the pool of the whole set; re-scored hits sort by score
// descending, NaN after every number, then (shard, record); the cascade's pick by sign score.
#include "shards/shard_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

namespace korvel {
namespace {

// The pool of `hits` for one query: the first `size` under pool_before, zero-padded.
PoolBatch pool_of(std::vector<PoolHit> hits, size_t size) {
  std::sort(hits.begin(), hits.end(), pool_before);
  PoolBatch b;
  b.query_count = 1;
  b.pool_size = size;
  b.counts = {static_cast<uint32_t>(std::min(hits.size(), size))};
  hits.resize(size, PoolHit{0, 0, 0, 0});
  b.hits = std::move(hits);
  return b;
}

TEST(MergePools, AnySplitIntoConsecutiveShardsGivesThePoolOfTheWhole) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 300; ++round) {
    const size_t shards = 1 + rng() % 5;
    const size_t size = 1 + rng() % 12;
    std::vector<std::vector<PoolHit>> by_shard(shards);
    std::vector<PoolHit> all;
    for (uint32_t s = 0; s < shards; ++s) {
      const uint64_t n = rng() % 8;  // empty shards too; pools full or not
      for (uint64_t r = 0; r < n; ++r) {
        const PoolHit h{rng() % 5, r, s, static_cast<uint32_t>(rng() % 4)};  // many ties
        by_shard[s].push_back(h);
        all.push_back(h);
      }
    }
    std::vector<PoolBatch> parts;
    for (size_t s = 0; s < shards;) {
      const size_t n = 1 + rng() % (shards - s);
      std::vector<PoolHit> hits;
      for (size_t t = s; t < s + n; ++t) {
        hits.insert(hits.end(), by_shard[t].begin(), by_shard[t].end());
      }
      parts.push_back(pool_of(std::move(hits), size));
      s += n;
    }
    const PoolBatch merged = merge_pools(parts);
    const PoolBatch expected = pool_of(all, size);
    ASSERT_EQ(merged.counts, expected.counts) << round;
    for (size_t i = 0; i < size; ++i) {
      const PoolHit& a = merged.hits[i];
      const PoolHit& b = expected.hits[i];
      ASSERT_TRUE(a.id == b.id && a.record == b.record && a.shard == b.shard &&
                  a.distance == b.distance)
          << "round " << round << ", slot " << i;
    }
  }
}

// The cascade's first stage against its definition: the `keep` best positions by score
// (higher first, -0 equal to +0, NaN last, ties by position), in that order.
TEST(CascadePick, KeepsTheBestBySignScoreThenPosition) {
  std::mt19937_64 rng(9);
  const float palette[] = {1.0f, -1.0f, 0.0f, -0.0f, 2.5f, -2.5f, INFINITY, -INFINITY, NAN, 1e-40f};
  for (int round = 0; round < 200; ++round) {
    std::vector<float> scores(rng() % 40);
    for (float& x : scores) x = palette[rng() % std::size(palette)];
    const size_t keep = 1 + rng() % 45;
    std::vector<uint32_t> expected(scores.size());
    for (uint32_t i = 0; i < expected.size(); ++i) expected[i] = i;
    std::stable_sort(expected.begin(), expected.end(), [&](uint32_t a, uint32_t b) {
      const float x = scores[a], y = scores[b];
      if (std::isnan(x) || std::isnan(y)) return !std::isnan(x) && std::isnan(y);
      return x > y;
    });
    expected.resize(std::min(keep, expected.size()));
    ASSERT_EQ(cascade_pick(scores, keep), expected) << "round " << round;
  }
}

TEST(SortScored, NumbersDescendingThenNanThenShardAndRecord) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<ScoredHit> hits = {{1, 4, 0, nan},   {2, 0, 1, 1.0f}, {3, 9, 0, -inf},
                                 {4, 2, 0, inf},   {5, 0, 0, -nan}, {6, 1, 0, 1.0f},
                                 {7, 0, 2, -0.0f}, {8, 3, 0, 0.0f}};
  sort_scored(hits);
  std::vector<uint64_t> ids;
  for (const ScoredHit& h : hits) ids.push_back(h.id);
  EXPECT_EQ(ids, (std::vector<uint64_t>{4, 6, 2, 8, 7, 3, 5, 1}));
}

}  // namespace
}  // namespace korvel
