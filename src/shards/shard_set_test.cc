// ShardSet on files written to disk: a set of shards against one index of the concatenated
// records (search, re-ranking, count, facets), against execute_query on one file, against a
// per-record model of the filters, and the opening checks.
#include "shards/shard_set.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "build/compile.h"
#include "common/little_endian.h"
#include "common/test_allocation.h"
#include "shards/compact.h"
#include "shards/exact_search.h"
#include "sidecar/sidecar.h"

namespace korvel {
namespace {

struct Rec {
  std::vector<std::string> values;
  std::vector<float> embedding;  // empty: none
  uint64_t doc_id;
  uint64_t offset = kNoExternalOffset;
};

const std::vector<std::string> kSchema = {"color", "size"};

// Writes `recs` as a data file and sidecar at `path`; dictionaries in first-seen order.
void write_index(const std::string& path, uint16_t dim, const std::vector<Rec>& recs,
                 const std::vector<std::string>& schema = kSchema) {
  BuildState state;
  state.schema = schema;
  state.trait_count = static_cast<uint16_t>(schema.size());
  state.vector_dim = dim;
  state.dicts.resize(schema.size());
  IndexMetadata meta;
  for (const Rec& r : recs) {
    BufferedRecord b;
    std::vector<uint16_t> codes;
    for (size_t t = 0; t < schema.size(); ++t) {
      auto code = state.dicts[t].assign_token(r.values[t], 8);
      ASSERT_TRUE(code.has_value());
      codes.push_back(*code);
      b.values.push_back(r.values[t]);
    }
    if (!r.embedding.empty()) b.embedding = r.embedding;
    b.doc_id = r.doc_id;
    b.external_offset = r.offset;
    append_record(state, std::move(b), codes);
    meta.doc_ids.push_back(r.doc_id);
  }
  auto image = compile_index(state);
  ASSERT_TRUE(image.has_value());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(image->data()),
             static_cast<std::streamsize>(image->size()));
  meta.schema = schema;
  meta.dicts = state.dicts;
  std::ofstream(path + ".meta") << serialize_metadata(meta);
}

class ShardSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/korvel_shard_set_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // Random records: few distinct signatures (many distance ties), values drawn so that each
  // shard sees its own subset in its own order; embeddings laid out in `buffer` at their
  // offsets, in record order.
  std::vector<Rec> random_records(std::mt19937& rng, size_t n, uint16_t dim) {
    std::vector<Rec> recs;
    std::uniform_int_distribution<int> color(0, 5), size(0, 2), coin(0, 9);
    std::normal_distribution<float> normal;
    std::vector<std::vector<float>> prototypes(6, std::vector<float>(dim));
    for (auto& p : prototypes)
      for (float& v : p) v = normal(rng);
    for (size_t i = 0; i < n; ++i) {
      Rec r{{"c" + std::to_string(color(rng)), "s" + std::to_string(size(rng))},
            prototypes[static_cast<size_t>(color(rng))],
            1000 + i};
      for (float& v : r.embedding) v += 0.3f * normal(rng);
      if (coin(rng) != 0) {
        r.offset = buffer.size();
        buffer.resize(buffer.size() + 4 * size_t{dim});
        for (size_t j = 0; j < dim; ++j)
          store_le<uint32_t>(&buffer[r.offset + 4 * j], std::bit_cast<uint32_t>(r.embedding[j]));
      }
      recs.push_back(std::move(r));
    }
    return recs;
  }

  // The records split into consecutive shards of the given sizes, and the single index.
  std::pair<ShardSet, ShardSet> split(const std::vector<Rec>& recs, uint16_t dim,
                                      const std::vector<size_t>& sizes) {
    std::vector<std::string> paths;
    size_t first = 0;
    for (size_t s = 0; s < sizes.size(); ++s) {
      paths.push_back(path("shard" + std::to_string(s)));
      write_index(paths.back(), dim,
                  std::vector<Rec>(recs.begin() + first, recs.begin() + first + sizes[s]));
      first += sizes[s];
    }
    write_index(path("whole"), dim, recs);
    auto sharded = ShardSet::open(paths);
    auto whole = ShardSet::open({path("whole")});
    EXPECT_TRUE(sharded.has_value() && whole.has_value());
    return {std::move(*sharded), std::move(*whole)};
  }

  std::string dir_;
  std::vector<uint8_t> buffer;
};

TraitFilter in(std::string trait, std::vector<std::string> values) {
  return TraitFilter{TraitIn{std::move(trait), std::move(values)}};
}
TraitFilter not_(TraitFilter f) {
  return TraitFilter{TraitNot{std::make_unique<TraitFilter>(std::move(f))}};
}
template <class Node, class... F>
TraitFilter node(F... f) {
  Node n;
  (n.children.push_back(std::move(f)), ...);
  return TraitFilter{std::move(n)};
}

// The filters of the differential tests, with their per-record meaning.
struct NamedFilter {
  std::function<std::optional<TraitFilter>()> make;
  std::function<bool(const Rec&)> matches;
};
std::vector<NamedFilter> filters() {
  return {
      {[] { return std::nullopt; }, [](const Rec&) { return true; }},
      {[] {
         return in("color", {"c1", "c4", "unknown"});
       },
       [](const Rec& r) { return r.values[0] == "c1" || r.values[0] == "c4"; }},
      {[] { return node<TraitAnd>(in("color", {"c2"}), not_(in("size", {"s0"}))); },
       [](const Rec& r) { return r.values[0] == "c2" && r.values[1] != "s0"; }},
      {[] { return node<TraitOr>(in("size", {"s2"}), in("color", {"c0"})); },
       [](const Rec& r) { return r.values[1] == "s2" || r.values[0] == "c0"; }},
      {[] { return in("color", {"nowhere"}); }, [](const Rec&) { return false; }},
      {[] { return not_(node<TraitOr>()); }, [](const Rec&) { return true; }},
  };
}

void expect_same(const SearchResult& a, const SearchResult& b) {
  EXPECT_EQ(a.ids, b.ids);
  EXPECT_EQ(a.counts, b.counts);
  ASSERT_EQ(a.scores.size(), b.scores.size());
  for (size_t i = 0; i < a.scores.size(); ++i) {
    EXPECT_TRUE(std::bit_cast<uint32_t>(a.scores[i]) == std::bit_cast<uint32_t>(b.scores[i]))
        << i << ": " << a.scores[i] << " vs " << b.scores[i];
  }
}

TEST_F(ShardSetTest, ShardsEqualOneIndexOfTheConcatenatedRecords) {
  std::mt19937 rng(7);
  constexpr uint16_t kDim = 20;
  const std::vector<Rec> recs = random_records(rng, 700, kDim);
  auto [sharded, whole] = split(recs, kDim, {130, 0, 64, 506});
  ASSERT_EQ(sharded.record_count(), 700u);
  std::normal_distribution<float> normal;
  std::vector<float> queries(9 * kDim);
  for (float& v : queries) v = normal(rng);

  // Nine queries share prepared blocks; two scan alone. Either way a later shard starts from
  // the bound of the pools held so far.
  for (const size_t nq : {9u, 2u})
  for (const NamedFilter& f : filters()) {
    for (Rescoring rerank : {Rescoring::kNone, Rescoring::kExact, Rescoring::kSigns}) {
      for (uint64_t k : {1u, 7u, 40u}) {
        SearchRequest request;
        request.queries = std::span<const float>(queries).first(nq * kDim);
        request.query_count = nq;
        request.k = k;
        request.oversample = rerank == Rescoring::kNone ? 3 : 2;
        if (auto filter = f.make()) request.filters.push_back(std::move(filter));
        request.rerank = rerank;
        request.embeddings = {std::span<const uint8_t>(buffer)};
        request.threads = static_cast<unsigned>(k % 3);
        auto a = search_batch(sharded, request);
        auto b = search_batch(whole, request);
        ASSERT_TRUE(a.has_value() && b.has_value());
        expect_same(*a, *b);
        request.embeddings.assign(4, std::span<const uint8_t>(buffer));  // one per shard
        auto c = search_batch(sharded, request);
        ASSERT_TRUE(c.has_value());
        expect_same(*a, *c);

        // Without re-ranking and with the default pool, each row is the single-index query.
        if (rerank != Rescoring::kNone) continue;
        for (size_t q = 0; q < nq; ++q) {
          QueryRequest single;
          if (auto filter = f.make()) {
            single.filter = std::move(*resolve_filter(whole, 0, *filter));
          }
          single.query_vector.emplace(queries.begin() + q * kDim, queries.begin() + (q + 1) * kDim);
          single.top_k = static_cast<uint32_t>(k);
          auto hits = execute_query(whole.shard(0).state, single);
          ASSERT_TRUE(hits.has_value());
          const size_t real = std::min<size_t>(hits->size(), k);
          ASSERT_EQ(a->counts[q], real);
          for (size_t i = 0; i < real; ++i) {
            EXPECT_EQ(a->ids[q * k + i], recs[(*hits)[i].record_index].doc_id);
            EXPECT_EQ(a->scores[q * k + i], static_cast<float>((*hits)[i].distance));
          }
          for (size_t i = real; i < k; ++i) {
            EXPECT_EQ(a->ids[q * k + i], kPaddingId);
            EXPECT_TRUE(std::isnan(a->scores[q * k + i]));
          }
        }
      }
    }
  }
}

// Twenty small shards hold about what one index of their records holds: each shard's pools
// fit its records and are folded into the result before the next shard runs.
TEST_F(ShardSetTest, ManyShardsHoldWhatOneIndexHolds) {
  std::mt19937 rng(17);
  constexpr uint16_t kDim = 16;
  constexpr size_t kQueries = 16;
  const std::vector<Rec> recs = random_records(rng, 2000, kDim);
  auto [sharded, whole] = split(recs, kDim, std::vector<size_t>(20, 100));
  std::normal_distribution<float> normal;
  std::vector<float> queries(kQueries * kDim);
  for (float& v : queries) v = normal(rng);
  SearchRequest request;
  request.queries = queries;
  request.query_count = kQueries;
  request.k = 100;  // a pool of 300: three shards of records
  request.threads = 2;
  std::optional<Expected<SearchResult, SearchError>> a, b;
  const size_t sharded_peak =
      testing_memory::peak_during([&] { a = search_batch(sharded, request); });
  const size_t whole_peak = testing_memory::peak_during([&] { b = search_batch(whole, request); });
  ASSERT_TRUE(a->has_value() && b->has_value());
  expect_same(**a, **b);
  EXPECT_LT(sharded_peak, whole_peak + whole_peak / 2);
}

// A list of filters, one per query (equal ones among them), gives each row of its filter
// alone, over shards as over one index.
TEST_F(ShardSetTest, FilterPerQueryEqualsEachFilterAlone) {
  std::mt19937 rng(19);
  constexpr uint16_t kDim = 12;
  const std::vector<Rec> recs = random_records(rng, 500, kDim);
  auto [sharded, whole] = split(recs, kDim, {200, 0, 300});
  const std::vector<NamedFilter> named = filters();
  const size_t nq = 3 * named.size();
  std::normal_distribution<float> normal;
  std::vector<float> queries(nq * kDim);
  for (float& v : queries) v = normal(rng);
  SearchRequest request;
  request.queries = queries;
  request.query_count = nq;
  request.k = 9;
  for (size_t q = 0; q < nq; ++q) request.filters.push_back(named[q % named.size()].make());
  auto listed = search_batch(sharded, request);
  auto listed_whole = search_batch(whole, request);
  ASSERT_TRUE(listed.has_value() && listed_whole.has_value());
  expect_same(*listed, *listed_whole);
  for (size_t q = 0; q < nq; ++q) {
    SearchRequest alone;
    alone.queries = std::span<const float>(queries).subspan(q * kDim, kDim);
    alone.query_count = 1;
    alone.k = 9;
    if (auto f = named[q % named.size()].make()) alone.filters.push_back(std::move(f));
    auto row = search_batch(sharded, alone);
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->counts[0], listed->counts[q]) << q;
    EXPECT_TRUE(std::equal(row->ids.begin(), row->ids.end(), listed->ids.begin() + q * 9)) << q;
  }
}

TEST_F(ShardSetTest, CountAndFacetsMatchEveryRecord) {
  std::mt19937 rng(11);
  const std::vector<Rec> recs = random_records(rng, 333, 3);
  auto [sharded, whole] = split(recs, 3, {100, 64, 169});
  for (const NamedFilter& f : filters()) {
    uint64_t expected_count = 0;
    std::map<std::string, uint64_t> expected_facets;
    for (const Rec& r : recs) {
      if (!f.matches(r)) continue;
      ++expected_count;
      ++expected_facets[r.values[0]];
    }
    for (const ShardSet* set : {&sharded, &whole}) {
      EXPECT_EQ(*count(*set, f.make()), expected_count);
      auto got = facets(*set, "color", f.make());
      ASSERT_TRUE(got.has_value());
      const std::map<std::string, uint64_t> got_map(got->begin(), got->end());
      EXPECT_EQ(got_map, expected_facets);
    }
  }
}

TEST_F(ShardSetTest, RejectsBadRequests) {
  std::mt19937 rng(3);
  const std::vector<Rec> recs = random_records(rng, 50, 4);
  auto [sharded, whole] = split(recs, 4, {20, 30});
  std::vector<float> queries(8, 0.5f);
  auto run = [&](auto edit) {
    SearchRequest request;
    request.queries = queries;
    request.query_count = 2;
    edit(request);
    auto r = search_batch(sharded, request);
    return r ? std::string("ok") : to_string(r.error());
  };
  EXPECT_EQ(run([](SearchRequest& r) { r.k = 0; }), "k must be in 1..=10000, got 0");
  EXPECT_EQ(run([](SearchRequest& r) { r.oversample = 0; }),
            "oversample must be at least 1, got 0");
  // A pool beyond the limit is fine while the index is smaller.
  EXPECT_EQ(run([](SearchRequest& r) { r.oversample = 1u << 20; }), "ok");
  EXPECT_EQ(run([](SearchRequest& r) { r.query_count = 3; }),
            "Q holds 8 values, expected 3 rows of 4");
  EXPECT_EQ(run([&](SearchRequest&) { queries[5] = NAN; }), "Q row 1 contains NaN or infinity");
  queries[5] = 0.5f;
  EXPECT_EQ(run([](SearchRequest& r) { r.filters.resize(3); }),
            "where: a list of filters needs one per query: got 3 for 2 queries");
  EXPECT_EQ(run([](SearchRequest& r) { r.filters.push_back(not_(in("shape", {"x"}))); }),
            "Unknown trait name 'shape'. Valid traits: [\"color\", \"size\"]");
  EXPECT_EQ(run([](SearchRequest& r) { r.rerank = Rescoring::kExact; }),
            "embeddings: expected one buffer or one per shard (2), got 0");
  EXPECT_NE(run([&](SearchRequest& r) {
              r.rerank = Rescoring::kExact;
              r.k = 50;
              r.embeddings = {std::span<const uint8_t>(buffer).first(buffer.size() - 1)};
            }).find(", beyond the buffer of " + std::to_string(buffer.size() - 1) + " bytes"),
            std::string::npos);
  // A shard without a buffer: its records score 0, as records without an offset do.
  SearchRequest request;
  request.queries = queries;
  request.query_count = 2;
  request.k = 50;
  request.rerank = Rescoring::kExact;
  request.embeddings = {std::nullopt, std::span<const uint8_t>(buffer)};
  auto r = search_batch(sharded, request);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->counts[0], 50u);
  for (size_t i = 0; i < 50; ++i) {
    const bool first_shard = r->ids[i] < 1020;
    const bool no_offset = recs[r->ids[i] - 1000].offset == kNoExternalOffset;
    EXPECT_EQ(r->scores[i] == 0.0f, first_shard || no_offset) << i;
  }
  EXPECT_EQ(to_string(facets(sharded, "weight", std::nullopt).error()),
            "Unknown trait name 'weight'. Valid traits: [\"color\", \"size\"]");
}

TEST_F(ShardSetTest, OpeningChecksEveryShard) {
  write_index(path("a"), 4, {{{"x", "y"}, {1, 2, 3, 4}, 1}});
  write_index(path("b"), 5, {{{"x", "y"}, {1, 2, 3, 4, 5}, 2}});
  write_index(path("c"), 4, {{{"x", "y"}, {}, 3}}, {"color", "shape"});
  write_index(path("empty"), 4, {});
  auto open = [&](std::vector<std::string> names) {
    for (auto& n : names) n = path(n);
    auto r = ShardSet::open(names);
    return r ? std::string("ok") : to_string(r.error());
  };
  EXPECT_EQ(open({"a", "empty", "a"}), "ok");
  EXPECT_EQ(open({}), "No index files given");
  EXPECT_EQ(open({"a", "b"}),
            "Shard 1 ('" + path("b") + "') does not match shard 0: dim is 5, expected 4");
  EXPECT_EQ(open({"a", "a", "c"}), "Shard 2 ('" + path("c") +
                                       "') does not match shard 0: schema is [\"color\", "
                                       "\"shape\"], expected [\"color\", \"size\"]");
  EXPECT_EQ(open({"a", "missing"}),
            "Failed to open '" + path("missing") +
                "': File access failed: No such file or directory (os error 2)");
  std::remove((path("a") + ".meta").c_str());
  EXPECT_EQ(open({"a"}).substr(0, 25), "Failed to read metadata '");
}

}  // namespace
}  // namespace korvel

namespace korvel {
namespace {

std::vector<uint8_t> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Shards with deletion bitmaps answer as one file of their live records in order, and
// rewriting them writes exactly that file.
// Exact search equals exact re-scoring of a pool of every record: over shards with deleted
// records, shared and per-query filters, records without embeddings, queries scored one at a
// time (2) and in tiles (20, the second one partial), on one thread and two. A buffer too
// short fails on the first record beyond it.
TEST_F(ShardSetTest, ExactSearchEqualsRescoringEveryRecord) {
  std::mt19937 rng(23);
  constexpr uint16_t kDim = 13;
  const std::vector<Rec> recs = random_records(rng, 600, kDim);
  const std::vector<size_t> sizes = {250, 0, 350};
  std::vector<std::string> paths;
  std::vector<std::vector<uint64_t>> deleted;
  for (size_t s = 0, first = 0; s < sizes.size(); first += sizes[s++]) {
    paths.push_back(path("shard" + std::to_string(s)));
    write_index(paths.back(), kDim,
                std::vector<Rec>(recs.begin() + first, recs.begin() + first + sizes[s]));
    deleted.emplace_back((sizes[s] + 63) / 64);
    for (size_t r = 0; r < sizes[s]; ++r) {
      if (rng() % 4 == 0) deleted.back()[r / 64] |= uint64_t{1} << (r % 64);
    }
  }
  auto set = ShardSet::open(paths, deleted);
  ASSERT_TRUE(set.has_value());
  const std::vector<NamedFilter> named = filters();
  std::normal_distribution<float> normal;
  std::vector<float> queries(20 * kDim);
  for (float& v : queries) v = normal(rng);
  std::copy_n(recs[3].embedding.begin(), kDim, queries.begin());  // ties with its copies
  for (const size_t nq : {2u, 20u}) {
    for (size_t f = 0; f <= named.size(); ++f) {  // named.size(): one filter per query
      for (const uint64_t k : {1u, 7u, 200u}) {
        SearchRequest request;
        request.queries = std::span<const float>(queries).first(nq * kDim);
        request.query_count = nq;
        request.k = k;
        request.oversample = (600 + k - 1) / k;
        request.rerank = Rescoring::kExact;
        request.embeddings = {std::span<const uint8_t>(buffer)};
        request.threads = static_cast<unsigned>(1 + k % 2);
        exact_task_work = k == 7 ? 1 : uint64_t{1} << 22;  // k = 7: a task per few records
        for (size_t q = 0; q < (f < named.size() ? 1 : nq); ++q) {
          request.filters.push_back(named[f < named.size() ? f : q % 3].make());
        }
        auto pooled = search_batch(*set, request);
        request.exact = true;
        auto exact = search_batch(*set, request);
        ASSERT_TRUE(pooled.has_value() && exact.has_value());
        expect_same(*exact, *pooled);
      }
    }
  }
  exact_task_work = uint64_t{1} << 22;
  SearchRequest request;
  request.queries = std::span<const float>(queries).first(kDim);
  request.query_count = 1;
  request.rerank = Rescoring::kExact;
  request.exact = true;
  const auto cut = std::span<const uint8_t>(buffer).first(buffer.size() / 2);
  request.embeddings = {cut};
  auto failed = exact_search(*set, request);
  ASSERT_FALSE(failed.has_value());
  const auto* e = std::get_if<EmbeddingOutOfBounds>(&failed.error());
  ASSERT_NE(e, nullptr);
  size_t shard = 0, record = 0;
  for (size_t i = 0, first = 0; i < recs.size(); ++i) {
    while (i >= first + sizes[shard]) first += sizes[shard++];
    record = i - first;
    const bool live = ((deleted[shard][record / 64] >> (record % 64)) & 1) == 0;
    if (live && recs[i].offset != kNoExternalOffset && recs[i].offset + 4 * kDim > cut.size()) break;
  }
  EXPECT_EQ(std::pair(e->shard, e->record), std::pair(shard, uint64_t{record}));
}

TEST_F(ShardSetTest, DeletedRecordsAreInvisibleAndRewritingDropsThem) {
  std::mt19937 rng(11);
  constexpr uint16_t kDim = 20;
  const std::vector<Rec> recs = random_records(rng, 900, kDim);
  const std::vector<size_t> sizes = {130, 64, 0, 70, 636};
  std::vector<std::string> paths;
  std::vector<std::vector<uint64_t>> deleted;
  std::vector<Rec> live;
  size_t first = 0;
  for (size_t s = 0; s < sizes.size(); ++s) {
    paths.push_back(path("shard" + std::to_string(s)));
    write_index(paths.back(), kDim,
                std::vector<Rec>(recs.begin() + first, recs.begin() + first + sizes[s]));
    // Shard 0 keeps everything (no bitmap), shard 1 loses everything, the others a random
    // share; bits past the last record are set to show they are ignored.
    std::vector<uint64_t> words(s == 0 ? 0 : (sizes[s] + 63) / 64, s == 1 ? ~uint64_t{0} : 0);
    std::bernoulli_distribution gone(s == 3 ? 0.9 : 0.3);
    for (size_t r = 0; r < sizes[s]; ++r) {
      if (s > 1 && gone(rng)) words[r / 64] |= uint64_t{1} << (r % 64);
      if (words.empty() || ((words[r / 64] >> (r % 64)) & 1) == 0) live.push_back(recs[first + r]);
    }
    if (!words.empty()) words.back() |= ~last_word_mask(sizes[s]);
    deleted.push_back(std::move(words));
    first += sizes[s];
  }
  write_index(path("live"), kDim, live);
  auto set = ShardSet::open(paths, deleted);
  auto whole = ShardSet::open({path("live")});
  ASSERT_TRUE(set.has_value() && whole.has_value());
  EXPECT_EQ(set->record_count(), live.size());

  std::normal_distribution<float> normal;
  std::vector<float> queries(9 * kDim);
  for (float& v : queries) v = normal(rng);
  for (const NamedFilter& f : filters()) {
    EXPECT_EQ(*count(*set, f.make()), *count(*whole, f.make()));
    auto a = facets(*set, "size", f.make());
    auto b = facets(*whole, "size", f.make());
    ASSERT_TRUE(a.has_value() && b.has_value());
    using Counts = std::map<std::string, uint64_t>;
    EXPECT_EQ(Counts(a->begin(), a->end()), Counts(b->begin(), b->end()));
    for (Rescoring rerank : {Rescoring::kNone, Rescoring::kExact, Rescoring::kSigns}) {
      for (uint64_t k : {1u, 7u, 200u}) {
        SearchRequest request;
        request.queries = queries;
        request.query_count = k == 7 ? 2 : 9;  // 2: each query streams its records
        request.queries = request.queries.subspan(0, request.query_count * kDim);
        request.k = k;
        if (auto filter = f.make()) request.filters.push_back(std::move(filter));
        request.rerank = rerank;
        request.embeddings = {std::span<const uint8_t>(buffer)};
        auto x = search_batch(*set, request);
        auto y = search_batch(*whole, request);
        ASSERT_TRUE(x.has_value() && y.has_value());
        expect_same(*x, *y);
      }
    }
  }
  ASSERT_TRUE(write_live_records(*set, 0, sizes.size(), path("rewritten")).has_value());
  EXPECT_EQ(file_bytes(path("rewritten")), file_bytes(path("live")));
  EXPECT_EQ(file_bytes(path("rewritten.meta")), file_bytes(path("live.meta")));

  deleted[3].pop_back();
  auto bad = ShardSet::open(paths, deleted);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(to_string(bad.error()),
            "Shard 3 ('" + paths[3] + "'): a deletion bitmap of 1 words for 70 records");
}

}  // namespace
}  // namespace korvel
