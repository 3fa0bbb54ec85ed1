// execute_batch against a plain scan and against execute_query, query by query, on seeded random
// indexes (dimensions that are not multiples of 8, clustered signatures so that distances tie,
// selective, dense and empty filters, shared and per-query filters, several query counts, one and
// two threads, exact re-scoring); the sign re-rank against its definition; count_matching and
// facet_counts against per-record evaluation; and the batch-wide errors.
#include "query/batch_query.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "categorical/plane_packing.h"
#include "common/check.h"
#include "common/little_endian.h"
#include "common/test_allocation.h"
#include "query/test_filters.h"
#include "vector/signature.h"

namespace korvel {
namespace {

using namespace testing_filters;

struct TestIndex {
  QueryState state;
  std::vector<std::vector<uint16_t>> codes;  // per record, per trait
  std::vector<uint8_t> embeddings;           // the records' float32 rows, little-endian
};

// A data file of n records, written by hand for any width: embeddings drawn around a few
// centres (so signatures cluster and distances tie), codes from small alphabets with one
// rare value, external offsets mostly into `embeddings`, some absent or out of its range.
// `shape`, when given, may change each record's embedding before its signature is taken.
TestIndex random_index(std::mt19937& rng, uint64_t n, uint16_t traits, uint8_t width,
                       uint16_t dim,
                       const std::function<void(uint64_t, std::vector<float>&)>& shape = {}) {
  std::vector<std::vector<uint16_t>> codes_of;
  std::vector<uint8_t> embeddings;
  const Layout layout = compute_layout(n, traits, width, dim);
  std::vector<uint8_t> image(layout.total_size);
  encode_header({kFormatVersion, n, traits, dim, width}, image.data());
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<std::vector<float>> centres(4, std::vector<float>(dim));
  for (auto& c : centres) {
    for (float& x : c) x = noise(rng);
  }
  embeddings.resize(n * 4 * size_t{dim});
  std::vector<uint64_t> block(size_t{traits} * width);
  for (uint64_t r = 0; r < n; ++r) {
    std::vector<float> e = centres[rng() % centres.size()];
    for (float& x : e) x += 0.7f * noise(rng);
    if (shape) shape(r, e);
    std::memcpy(embeddings.data() + r * 4 * dim, e.data(), 4 * size_t{dim});
    compute_signature_into(e, &image[layout.signature_start + r * layout.signature_size]);
    const auto pick = rng() % 10;
    const uint64_t offset = pick == 0   ? kNoExternalOffset
                            : pick == 1 ? embeddings.size() - 2  // out of the view
                                        : r * 4 * dim;
    store_u64(&image[layout.offsets_start + 8 * r], offset);
    std::vector<uint16_t> codes(traits);
    for (uint16_t k = 0; k < traits; ++k) {
      // Code 3 is rare (about 1 in 40 records): filters on it take the list path.
      codes[k] = rng() % 40 == 0 ? 3 : static_cast<uint16_t>(rng() % 3);
    }
    codes_of.push_back(codes);
  }
  for (uint64_t b = 0; b < layout.blocks; ++b) {
    std::fill(block.begin(), block.end(), 0);
    for (unsigned j = 0; j < 64 && 64 * b + j < n; ++j) {
      for (uint16_t k = 0; k < traits; ++k)
        pack_code(block.data(), k, width, codes_of[64 * b + j][k], j);
    }
    for (size_t i = 0; i < block.size(); ++i)
      store_u64(&image[kHeaderSize + (b * block.size() + i) * 8], block[i]);
  }
  std::string path = testing::TempDir() + "korvel_batch_XXXXXX";
  const int fd = mkstemp(path.data());
  KORVEL_CHECK(fd >= 0, "mkstemp failed");
  close(fd);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  auto reader = IndexReader::open(path);
  unlink(path.c_str());
  KORVEL_CHECK(reader.has_value(), "open failed");
  return {QueryState{{}, {}, {}, std::move(reader).value()}, std::move(codes_of),
          std::move(embeddings)};
}

FilterExpr random_filter(std::mt19937& rng, uint16_t traits) {
  const auto t = [&] { return static_cast<size_t>(rng() % traits); };
  switch (rng() % 5) {
    case 0:
      return eq(t(), 3);  // rare: the list path
    case 1:
      return eq(t(), 7);  // no record
    case 2:
      return and_(eq(t(), 3), not_(eq(t(), 0)));
    case 3:
      return or_(eq(t(), 1), eq(t(), 2));
    default:
      return not_(eq(t(), 0));
  }
}

bool matches(const FilterExpr& f, const std::vector<uint16_t>& codes) {
  if (const auto* e = std::get_if<EqNode>(&f.node)) return codes[e->trait_index] == e->code;
  if (const auto* a = std::get_if<AndNode>(&f.node)) {
    for (const FilterExpr& c : a->children)
      if (!matches(c, codes)) return false;
    return true;
  }
  if (const auto* o = std::get_if<OrNode>(&f.node)) {
    for (const FilterExpr& c : o->children)
      if (matches(c, codes)) return true;
    return false;
  }
  return !matches(*std::get<NotNode>(f.node).child, codes);
}

FilterExpr clone(const FilterExpr& f) {
  if (const auto* e = std::get_if<EqNode>(&f.node)) return FilterExpr{*e};
  if (const auto* n = std::get_if<NotNode>(&f.node)) return not_(clone(*n->child));
  const bool is_and = std::holds_alternative<AndNode>(f.node);
  const auto& children =
      is_and ? std::get<AndNode>(f.node).children : std::get<OrNode>(f.node).children;
  std::vector<FilterExpr> copies;
  for (const FilterExpr& c : children) copies.push_back(clone(c));
  return is_and ? FilterExpr{AndNode{std::move(copies)}} : FilterExpr{OrNode{std::move(copies)}};
}

bool same_hits(std::span<const SearchHit> a, const std::vector<SearchHit>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].record_index != b[i].record_index || a[i].distance != b[i].distance ||
        a[i].exact_score.has_value() != b[i].exact_score.has_value() ||
        (a[i].exact_score && std::memcmp(&*a[i].exact_score, &*b[i].exact_score, 4) != 0)) {
      return false;
    }
  }
  return true;
}

TEST(ExecuteBatch, EveryRowEqualsExecuteQuery) {
  ThreadPool pool(2);
  // Lone queries split even these small indexes across threads, for this test.
  struct SplitSmall {
    uint64_t saved = std::exchange(alone_range_bytes, 1);
    ~SplitSmall() { alone_range_bytes = saved; }
  } split_small;
  std::mt19937 rng(12);
  const uint64_t sizes[] = {1, 63, 64, 65, 700, 5000, 9000};
  const uint16_t dims[] = {1, 7, 8, 13, 64, 100, 200};
  for (int round = 0; round < 28; ++round) {
    const uint64_t n = sizes[round % 7];
    const uint16_t dim = dims[(round / 2) % 7];
    const uint16_t traits = static_cast<uint16_t>(1 + rng() % 3);
    const uint8_t width = std::vector<uint8_t>{4, 8, 16}[rng() % 3];
    TestIndex index = random_index(rng, n, traits, width, dim);
    const size_t nq = std::vector<size_t>{1, 3, 5, 40}[round % 4];
    std::vector<float> vectors(nq * dim);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    for (float& x : vectors) x = noise(rng);
    std::vector<FilterExpr> filters;
    for (size_t q = 0; q < nq; ++q) filters.push_back(random_filter(rng, traits));
    std::vector<const FilterExpr*> filter_ptrs;
    const int mode = round % 3;  // none, shared, per query (some without)
    if (mode == 1) filter_ptrs.push_back(&filters[0]);
    if (mode == 2) {
      for (size_t q = 0; q < nq; ++q) filter_ptrs.push_back(q % 4 == 3 ? nullptr : &filters[q]);
    }
    BatchRequest request;
    request.query_count = nq;
    request.vectors = vectors;
    request.filters = filter_ptrs;
    request.top_k = static_cast<uint32_t>(1 + rng() % 20);
    request.exact_rescore = round % 5 == 4;
    request.embeddings = std::span<const uint8_t>(index.embeddings);
    // Every other round a large pool (up to 1,200), whose bound tightens as it counts.
    request.oversample = round % 2 == 0 ? kPoolFactor : static_cast<uint32_t>(1 + rng() % 60);
    // Rounds 3 and 4 of every 7 delete records: a word in four wholly, about a fifth of the rest.
    std::vector<uint64_t> live;
    if (round % 7 == 3 || round % 7 == 4) {
      live.resize(index.state.reader.layout().blocks);
      for (size_t w = 0; w < live.size(); ++w) {
        live[w] = w % 4 == 1 ? 0
                             : (uint64_t{rng()} << 32 | rng()) | (uint64_t{rng()} << 32 | rng()) |
                                   (uint64_t{rng()} << 32 | rng());
      }
      if (n % 64 != 0) live.back() &= (uint64_t{1} << (n % 64)) - 1;
      request.live = live;
    }
    auto is_live = [&](uint64_t r) { return live.empty() || ((live[r / 64] >> (r % 64)) & 1); };
    const size_t sig_size = (size_t{dim} + 7) / 8;
    for (size_t threads : {1, 2}) {
      request.threads = threads;
      auto batch = execute_batch(index.state.reader, request, pool);
      ASSERT_TRUE(batch.has_value()) << to_string(batch.error());
      for (size_t q = 0; q < nq; ++q) {
        const FilterExpr* f = mode == 0 ? nullptr : mode == 1 ? filter_ptrs[0] : filter_ptrs[q];
        if (!request.exact_rescore) {
          // A plain scan: the matching records by (distance, record index), the pool's first.
          const std::vector<uint8_t> qsig =
              compute_signature({vectors.begin() + q * dim, vectors.begin() + (q + 1) * dim});
          std::vector<std::pair<uint32_t, uint64_t>> all;
          for (uint64_t r = 0; r < n; ++r) {
            if (!is_live(r) || (f != nullptr && !matches(*f, index.codes[r]))) continue;
            const uint8_t* sig = index.state.reader.signature_ptr(r);
            uint32_t d = 0;
            for (size_t i = 0; i < sig_size; ++i)
              d += std::popcount(static_cast<unsigned>(qsig[i] ^ sig[i]));
            all.emplace_back(d, r);
          }
          std::sort(all.begin(), all.end());
          all.resize(std::min<size_t>(all.size(), size_t{request.top_k} * request.oversample));
          const auto row = batch->row(q);
          ASSERT_EQ(row.size(), all.size()) << "round " << round << " query " << q;
          for (size_t i = 0; i < all.size(); ++i) {
            ASSERT_TRUE(row[i].distance == all[i].first && row[i].record_index == all[i].second)
                << "round " << round << " query " << q << " hit " << i;
          }
        }
        if (request.oversample != kPoolFactor || !live.empty()) continue;
        QueryRequest single;
        if (f != nullptr) single.filter = clone(*f);
        single.query_vector =
            std::vector<float>(vectors.begin() + q * dim, vectors.begin() + (q + 1) * dim);
        single.top_k = request.top_k;
        single.exact_rescore = request.exact_rescore;
        single.embeddings = request.embeddings;
        auto expected = execute_query(index.state, single);
        ASSERT_TRUE(expected.has_value());
        ASSERT_TRUE(same_hits(batch->row(q), *expected))
            << "round " << round << " n " << n << " dim " << dim << " query " << q << " threads "
            << threads;
      }
    }
  }
}

// Pools of 512 or more over many records start from a bound sampled at every 256th record.
// Rows equal a plain scan whether the sample guesses well (random queries) or far too tight
// (query 0: the sampled records are copies of it, so its pool comes up short and is searched
// again), alone and batched, on one thread and two, with and without deleted records.
TEST(ExecuteBatch, SampledBoundsKeepEveryPool) {
  ThreadPool pool(2);
  std::mt19937 rng(31);
  const uint64_t n = 20000;
  const uint16_t dim = 64;
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<float> planted(dim);
  for (float& x : planted) x = noise(rng);
  TestIndex index = random_index(rng, n, 1, 4, dim, [&](uint64_t r, std::vector<float>& e) {
    if (r % 256 == 128) e = planted;
  });
  std::vector<uint64_t> live(index.state.reader.layout().blocks);
  for (uint64_t& w : live) w = ~(uint64_t{1} << (rng() % 64));
  live.back() &= (uint64_t{1} << (n % 64)) - 1;
  for (size_t nq : {1, 6}) {
    std::vector<float> vectors = planted;
    for (size_t i = dim; i < nq * dim; ++i) vectors.push_back(noise(rng));
    for (bool deleted : {false, true}) {
      BatchRequest request;
      request.query_count = nq;
      request.vectors = vectors;
      request.top_k = 16;
      request.oversample = 32;
      if (deleted) request.live = live;
      for (size_t threads : {1, 2}) {
        request.threads = threads;
        auto batch = execute_batch(index.state.reader, request, pool);
        ASSERT_TRUE(batch.has_value());
        for (size_t q = 0; q < nq; ++q) {
          const std::vector<uint8_t> qsig =
              compute_signature({vectors.begin() + q * dim, vectors.begin() + (q + 1) * dim});
          std::vector<std::pair<uint32_t, uint64_t>> all;
          for (uint64_t r = 0; r < n; ++r) {
            if (deleted && ((live[r / 64] >> (r % 64)) & 1) == 0) continue;
            const uint8_t* sig = index.state.reader.signature_ptr(r);
            uint32_t d = 0;
            for (size_t i = 0; i < qsig.size(); ++i) d += std::popcount(unsigned(qsig[i] ^ sig[i]));
            all.emplace_back(d, r);
          }
          std::sort(all.begin(), all.end());
          all.resize(512);
          const auto row = batch->row(q);
          ASSERT_EQ(row.size(), all.size()) << nq << " " << deleted << " " << threads << " " << q;
          for (size_t i = 0; i < all.size(); ++i) {
            ASSERT_TRUE(row[i].distance == all[i].first && row[i].record_index == all[i].second)
                << nq << " " << deleted << " " << threads << " query " << q << " hit " << i;
          }
        }
      }
    }
  }
}

TEST(ExecuteBatch, SignRerankOrdersThePoolBySignScore) {
  ThreadPool pool(2);
  std::mt19937 rng(5);
  for (const uint16_t dim : std::vector<uint16_t>{5, 64, 77}) {
    TestIndex index = random_index(rng, 900, 1, 8, dim);
    const size_t nq = 6;
    std::vector<float> vectors(nq * dim);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    for (float& x : vectors) x = noise(rng);
    BatchRequest request;
    request.query_count = nq;
    request.vectors = vectors;
    request.top_k = 7;
    request.rerank = Rerank::kSigns;
    auto batch = execute_batch(index.state.reader, request, pool);
    ASSERT_TRUE(batch.has_value());
    request.rerank = Rerank::kNone;
    auto plain = execute_batch(index.state.reader, request, pool);
    for (size_t q = 0; q < nq; ++q) {
      // The best 7 of the unranked pool under (score descending, record ascending).
      std::vector<std::pair<float, uint64_t>> want;
      for (const SearchHit& h : plain->row(q)) {
        const uint8_t* sig = index.state.reader.signature_ptr(h.record_index);
        float score = 0.0f;
        for (size_t i = 0; i < dim; ++i) {
          const float v = vectors[q * dim + i];
          score += (sig[i / 8] >> (i % 8)) & 1u ? v : -v;
        }
        want.push_back({-score, h.record_index});
      }
      std::sort(want.begin(), want.end());
      want.resize(std::min<size_t>(7, want.size()));
      ASSERT_EQ(batch->row(q).size(), want.size());
      for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(batch->row(q)[i].record_index, want[i].second);
        EXPECT_EQ(*batch->row(q)[i].exact_score, -want[i].first);
      }
    }
  }
}

// What a batch holds follows what its queries can hold: rows and pools no larger than the
// records there are, equal filters given once per query evaluated once, and a selective
// filter's bitmap dropped once its record list exists. Rows stay those of a shared filter.
TEST(ExecuteBatch, MemoryFollowsWhatTheQueriesCanHold) {
  using testing_memory::peak_during;
  ThreadPool pool(2);
  std::mt19937 rng(21);
  constexpr size_t kQueries = 64;
  constexpr uint16_t kDim = 8;
  std::vector<float> vectors(kQueries * kDim);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  for (float& x : vectors) x = noise(rng);
  BatchRequest request;
  request.query_count = kQueries;
  request.vectors = vectors;
  request.threads = 2;
  auto run = [&](const TestIndex& index, std::vector<const FilterExpr*> filters, size_t& peak) {
    request.filters = filters;
    std::optional<Expected<BatchResult, QueryError>> out;
    peak = peak_during([&] { out = execute_batch(index.state.reader, request, pool); });
    EXPECT_TRUE(out->has_value());
    return std::move(*out).value();
  };
  auto expect_same_rows = [&](const BatchResult& a, const BatchResult& b) {
    for (size_t q = 0; q < kQueries; ++q) {
      EXPECT_TRUE(same_hits(a.row(q), std::vector<SearchHit>(b.row(q).begin(), b.row(q).end())));
    }
  };

  // A pool of 30,000 over 100 records holds 100.
  const TestIndex small = random_index(rng, 100, 1, 8, kDim);
  request.top_k = 10000;
  size_t peak = 0;
  const BatchResult all = run(small, {}, peak);
  EXPECT_EQ(all.row(5).size(), 100u);
  EXPECT_LT(peak, kQueries * 100 * 64);

  request.top_k = 10;
  const uint64_t n = 65536;
  const size_t bitmap_bytes = n / 8;
  const TestIndex index = random_index(rng, n, 2, 8, kDim);
  // Equal dense filters, one allocation each: one bitmap, as for one shared filter.
  const FilterExpr dense = not_(eq(0, 0));
  std::vector<FilterExpr> copies;
  for (size_t q = 0; q < kQueries; ++q) copies.push_back(clone(dense));
  std::vector<const FilterExpr*> listed;
  for (const FilterExpr& f : copies) listed.push_back(&f);
  size_t shared_peak = 0, listed_peak = 0;
  const BatchResult shared_rows = run(index, {&dense}, shared_peak);
  expect_same_rows(run(index, listed, listed_peak), shared_rows);
  EXPECT_LT(listed_peak, shared_peak + 4 * bitmap_bytes);

  // Distinct trees that match the same few records (about 1 in 1600): each is its own list,
  // and no bitmap outlives its list's making.
  const FilterExpr rare = and_(eq(0, 3), eq(1, 3));
  std::vector<FilterExpr> distinct;
  for (size_t q = 0; q < kQueries; ++q) {
    OrNode node;
    for (size_t i = 0; i <= q; ++i) node.children.push_back(clone(rare));
    distinct.push_back(FilterExpr{std::move(node)});
  }
  listed.clear();
  for (const FilterExpr& f : distinct) listed.push_back(&f);
  const BatchResult rare_rows = run(index, {&rare}, shared_peak);
  expect_same_rows(run(index, listed, listed_peak), rare_rows);
  EXPECT_LT(listed_peak, shared_peak + kQueries * bitmap_bytes / 4);
}

TEST(CountAndFacets, MatchPerRecordEvaluation) {
  std::mt19937 rng(9);
  ThreadPool pool(3);
  for (const uint8_t width : std::vector<uint8_t>{4, 8, 16}) {
    // 200,000 records: several ranges on the pool, and ranges of several pieces.
    for (uint64_t n : {0, 1, 64, 130, 3000, 200'000}) {
      TestIndex index = random_index(rng, n, 3, width, 8);
      std::vector<FilterExpr> filters;
      for (int i = 0; i < 6; ++i) filters.push_back(random_filter(rng, 3));
      // Enough nodes that 200,000 records are worth splitting over threads.
      OrNode wide;
      for (uint16_t i = 0; i < 30; ++i) wide.children.push_back(eq(i % 3, i % 4));
      filters.push_back(FilterExpr{std::move(wide)});
      std::vector<const FilterExpr*> cases = {nullptr};
      for (const FilterExpr& f : filters) cases.push_back(&f);
      for (const FilterExpr* f : cases) {
        uint64_t want = 0;
        std::vector<uint64_t> facets(size_t{1} << width, 0);
        for (uint64_t r = 0; r < n; ++r) {
          if (f != nullptr && !matches(*f, index.codes[r])) continue;
          ++want;
          ++facets[index.codes[r][1]];
        }
        EXPECT_EQ(*count_matching(index.state.reader, f), want);
        EXPECT_EQ(*facet_counts(index.state.reader, 1, f), facets);
        for (size_t threads : {0, 1, 2}) {
          EXPECT_EQ(*count_matching(index.state.reader, f, pool, threads), want);
          EXPECT_EQ(*facet_counts(index.state.reader, 1, f, pool, threads), facets);
        }
      }
    }
  }
}

TEST(ExecuteBatch, BatchWideErrors) {
  ThreadPool pool(1);
  std::mt19937 rng(3);
  TestIndex index = random_index(rng, 100, 2, 8, 16);
  const std::vector<float> vectors(2 * 16, 1.0f);
  const FilterExpr bad_trait = eq(5, 1);
  const FilterExpr good = eq(0, 1);
  const FilterExpr* per_query[] = {&good, &bad_trait};
  auto error_of = [&](BatchRequest r) {
    auto result = execute_batch(index.state.reader, r, pool);
    return result ? std::string("ok") : to_string(result.error());
  };
  BatchRequest base;
  base.query_count = 2;
  base.vectors = vectors;
  BatchRequest r = base;
  r.top_k = 0;
  EXPECT_EQ(error_of(r), "top_k value 0 out of range (valid: 1..=10000)");
  r = base;
  r.vectors = std::span<const float>(vectors).first(31);
  EXPECT_EQ(error_of(r), "Query vector dimension mismatch: expected 16, got 15");
  r = base;
  r.exact_rescore = true;
  EXPECT_EQ(error_of(r), "Exact rescoring requires embeddings data");
  r.vectors = {};
  EXPECT_EQ(error_of(r), "Query vector dimension mismatch: expected 16, got 0");
  r = base;
  r.filters = per_query;
  EXPECT_EQ(error_of(r), "Trait index 5 out of range (valid: 0..2)");
  EXPECT_EQ(to_string(facet_counts(index.state.reader, 2, nullptr).error()),
            "Trait index 2 out of range (valid: 0..2)");
  EXPECT_EQ(to_string(facet_counts(index.state.reader, 2, nullptr, pool, 0).error()),
            "Trait index 2 out of range (valid: 0..2)");
  EXPECT_EQ(to_string(count_matching(index.state.reader, &bad_trait, pool, 0).error()),
            "Trait index 5 out of range (valid: 0..2)");
  EXPECT_EQ(to_string(facet_counts(index.state.reader, 0, &bad_trait, pool, 0).error()),
            "Trait index 5 out of range (valid: 0..2)");
}

}  // namespace
}  // namespace korvel
