// The query engine through execute_query, HybridIndex's one-query entry, on data files
// written to disk and opened through IndexReader: validation order, both paths, pool and
// re-scoring order, embedding bounds, 4- and 16-bit code planes, and a seeded comparison
// against a per-record model of the whole query.
#include "query/query.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "build/compile.h"
#include "categorical/plane_packing.h"
#include "common/check.h"
#include "common/little_endian.h"
#include "query/test_filters.h"
#include "vector/signature.h"

namespace korvel {
namespace {

// ---------------------------------------------------------------------------------------
// Building and opening test indexes.

struct Rec {
  std::vector<uint16_t> codes;  // one per trait
  std::optional<std::vector<float>> embedding;
  uint64_t offset = kNoExternalOffset;
};

// The image through compile_index: trait t's dictionary maps "c<k>" to code k.
std::vector<uint8_t> compiled_image(uint16_t traits, uint16_t dim, const std::vector<Rec>& recs) {
  BuildState state;
  state.trait_count = traits;
  state.vector_dim = dim;
  uint16_t max_code = 0;
  for (const Rec& r : recs) {
    for (uint16_t c : r.codes) max_code = std::max(max_code, c);
  }
  for (uint16_t t = 0; t < traits; ++t) {
    state.schema.push_back("t" + std::to_string(t));
    state.dicts.emplace_back();
    for (uint16_t c = 0; c <= max_code; ++c) {
      KORVEL_CHECK(*state.dicts.back().assign_token("c" + std::to_string(c), 8) == c, "code");
    }
  }
  for (const Rec& r : recs) {
    BufferedRecord b;
    for (uint16_t c : r.codes) b.values.push_back("c" + std::to_string(c));
    b.embedding = r.embedding;
    b.external_offset = r.offset;
    append_record(state, std::move(b), r.codes);
  }
  auto image = compile_index(state);
  KORVEL_CHECK(image.has_value(), "compile_index failed");
  return std::move(image).value();
}

// The same layout written by hand, for any bit width (the writer only makes 8-bit files).
std::vector<uint8_t> hand_image(uint16_t traits, uint8_t width, uint16_t dim,
                                const std::vector<Rec>& recs) {
  const uint64_t n = recs.size();
  const Layout layout = compute_layout(n, traits, width, dim);
  std::vector<uint8_t> image(layout.total_size);
  encode_header({kFormatVersion, n, traits, dim, width}, image.data());
  const size_t words = size_t{traits} * width;
  std::vector<uint64_t> block(words);
  for (uint64_t b = 0; b < layout.blocks; ++b) {
    std::fill(block.begin(), block.end(), 0);
    for (unsigned j = 0; j < 64 && 64 * b + j < n; ++j) {
      for (size_t t = 0; t < traits; ++t)
        pack_code(block.data(), t, width, recs[64 * b + j].codes[t], j);
    }
    for (size_t i = 0; i < words; ++i)
      store_u64(&image[kHeaderSize + (b * words + i) * 8], block[i]);
  }
  for (uint64_t i = 0; i < n; ++i) {
    if (recs[i].embedding) {
      compute_signature_into(*recs[i].embedding,
                             &image[layout.signature_start + i * layout.signature_size]);
    }
    store_u64(&image[layout.offsets_start + 8 * i], recs[i].offset);
  }
  return image;
}

// Writes the image to a temporary file, maps it and removes the file (the mapping stays).
QueryState open_image(const std::vector<uint8_t>& image) {
  std::string path = testing::TempDir() + "korvel_query_XXXXXX";
  const int fd = mkstemp(path.data());
  KORVEL_CHECK(fd >= 0, "mkstemp failed");
  close(fd);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    KORVEL_CHECK(out.good(), "write failed");
  }
  auto reader = IndexReader::open(path);
  unlink(path.c_str());
  KORVEL_CHECK(reader.has_value(), "open failed: " + to_string(reader.error()));
  return QueryState{{}, {}, {}, std::move(reader).value()};
}

QueryState make_index(uint16_t traits, uint8_t width, uint16_t dim, const std::vector<Rec>& recs) {
  return open_image(width == 8 ? compiled_image(traits, dim, recs)
                               : hand_image(traits, width, dim, recs));
}

using namespace testing_filters;

// Hits as "record/distance" or "record/distance/score", space-separated.
std::string show(const std::vector<SearchHit>& hits) {
  std::string s;
  for (const SearchHit& h : hits) {
    if (!s.empty()) s += ' ';
    s += std::to_string(h.record_index) + "/" + std::to_string(h.distance);
    if (h.exact_score) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "/%g", static_cast<double>(*h.exact_score));
      s += buf;
    }
  }
  return s;
}

// Hits shown, or "error: <text>".
std::string run(const QueryState& state, const QueryRequest& request) {
  auto r = execute_query(state, request);
  return r ? show(*r) : "error: " + to_string(r.error());
}

// An embedding of D = 8 whose signature differs from the all-positive query in `distance`
// bits.
std::vector<float> at_distance(unsigned distance) {
  std::vector<float> v(8, 1.0f);
  for (unsigned i = 0; i < distance; ++i) v[i] = -1.0f;
  return v;
}
const std::vector<float> kAllPositive(8, 1.0f);

std::vector<Rec> plain_records(size_t n, uint16_t code = 0) {
  return std::vector<Rec>(n, Rec{{code}, std::nullopt, kNoExternalOffset});
}

// ---------------------------------------------------------------------------------------

TEST(QueryErrors, Texts) {
  struct Case {
    QueryError error;
    const char* text;
  };
  const Case cases[] = {
      {TraitIndexOutOfRange{3, 2}, "Trait index 3 out of range (valid: 0..2)"},
      {VectorDimensionMismatch{0, 384}, "Query vector dimension mismatch: expected 384, got 0"},
      {TopKOutOfRange{10001}, "top_k value 10001 out of range (valid: 1..=10000)"},
      {EmbeddingsRequired{}, "Exact rescoring requires embeddings data"},
      {StorageError{RecordIndexOutOfBounds{5, 3}},
       "Record index 5 out of bounds (valid range: 0..3)"},
  };
  for (const Case& c : cases) EXPECT_EQ(to_string(c.error), c.text);
}

// Which check wins, step by step, on indexes with D = 8, D = 0 and no records.
TEST(ExecuteQuery, ValidationOrder) {
  std::vector<Rec> recs = plain_records(5, 1);
  recs[3].embedding = at_distance(2);
  const QueryState d8 = make_index(1, 8, 8, recs);
  const QueryState d0 = make_index(1, 8, 0, plain_records(5, 1));
  const QueryState empty = make_index(2, 8, 8, {});
  const std::vector<float> short_vec(3, 1.0f);
  const std::vector<uint8_t> bytes(64, 0);
  const std::span<const uint8_t> view(bytes);

  struct Case {
    const char* name;
    const QueryState* state;
    std::optional<FilterExpr> filter;
    std::optional<std::vector<float>> vec;
    uint32_t top_k;
    bool rescore;
    std::optional<std::span<const uint8_t>> embeddings;
    std::string want;
  };
  Case cases[] = {
      {"top_k 0",
       &d8,
       std::nullopt,
       std::nullopt,
       0,
       false,
       {},
       "error: top_k value 0 out of range (valid: 1..=10000)"},
      {"top_k 10001",
       &d8,
       std::nullopt,
       std::nullopt,
       10001,
       false,
       {},
       "error: top_k value 10001 out of range (valid: 1..=10000)"},
      {"top_k max u32",
       &d8,
       std::nullopt,
       std::nullopt,
       4294967295u,
       true,
       {},
       "error: top_k value 4294967295 out of range (valid: 1..=10000)"},
      {"top_k before the vector check",
       &empty,
       eq(7, 0),
       std::nullopt,
       0,
       true,
       {},
       "error: top_k value 0 out of range (valid: 1..=10000)"},
      {"top_k 1", &d8, std::nullopt, std::nullopt, 1, false, {}, "0/0 1/0 2/0"},
      {"top_k 10000", &d8, std::nullopt, std::nullopt, 10000, false, {}, "0/0 1/0 2/0 3/0 4/0"},
      {"rescore without vector, filter matches nothing", &d8, eq(0, 9), std::nullopt, 10, true,
       view, "error: Query vector dimension mismatch: expected 8, got 0"},
      {"rescore without vector before the trait check", &d8, eq(4, 0), std::nullopt, 10, true, view,
       "error: Query vector dimension mismatch: expected 8, got 0"},
      {"rescore without vector, D = 0", &d0, std::nullopt, std::nullopt, 10, true, view,
       "error: Query vector dimension mismatch: expected 0, got 0"},
      {"rescore without vector, no records", &empty, std::nullopt, std::nullopt, 10, true, view,
       "error: Query vector dimension mismatch: expected 8, got 0"},
      {"trait index",
       &d8,
       eq(1, 0),
       kAllPositive,
       10,
       false,
       {},
       "error: Trait index 1 out of range (valid: 0..1)"},
      {"wrong length, filter matches nothing", &d8, eq(0, 0), short_vec, 10, true, {}, ""},
      {"wrong length",
       &d8,
       eq(0, 1),
       short_vec,
       10,
       false,
       {},
       "error: Query vector dimension mismatch: expected 8, got 3"},
      {"empty vector",
       &d8,
       std::nullopt,
       std::vector<float>{},
       10,
       false,
       {},
       "error: Query vector dimension mismatch: expected 8, got 0"},
      {"no embeddings view", &d8, std::nullopt, kAllPositive, 10, true, std::nullopt,
       "error: Exact rescoring requires embeddings data"},
      {"no embeddings view, filter matches nothing", &d8, eq(0, 2), kAllPositive, 10, true,
       std::nullopt, ""},
      {"D = 0 ignores the vector and rescoring", &d0, std::nullopt, short_vec, 1, true,
       std::nullopt, "0/0 1/0 2/0"},
      {"no records", &empty, std::nullopt, std::nullopt, 10, false, {}, ""},
      {"no records, vector of the wrong length", &empty, std::nullopt, short_vec, 10, true, {}, ""},
      {"no records, filter with a bad trait",
       &empty,
       eq(5, 0),
       kAllPositive,
       10,
       false,
       {},
       "error: Trait index 5 out of range (valid: 0..2)"},
  };
  for (Case& c : cases) {
    QueryRequest req;
    req.filter = std::move(c.filter);
    req.query_vector = c.vec;
    req.top_k = c.top_k;
    req.exact_rescore = c.rescore;
    req.embeddings = c.embeddings;
    EXPECT_EQ(run(*c.state, req), c.want) << c.name;
  }
}

TEST(ExecuteQuery, CategoricalPathInRecordOrder) {
  // n = 70: the second block holds 6 records; code 0 matches the 58 empty positions too.
  std::vector<Rec> recs = plain_records(70, 1);
  for (size_t r : {2, 40, 64, 69}) recs[r].codes[0] = 0;
  const QueryState state = make_index(1, 8, 8, recs);
  QueryRequest req;
  req.top_k = 10000;
  req.filter = eq(0, 0);
  EXPECT_EQ(run(state, req), "2/0 40/0 64/0 69/0");
  req.filter = and_(eq(0, 0), eq(0, 0));
  EXPECT_EQ(run(state, req), "2/0 40/0 64/0 69/0");
  req.filter = not_(eq(0, 1));
  EXPECT_EQ(run(state, req), "2/0 40/0 64/0 69/0");
  req.filter = and_();
  req.top_k = 1;
  EXPECT_EQ(run(state, req), "0/0 1/0 2/0");
  req.filter = not_(eq(0, 0));
  req.top_k = 2;
  EXPECT_EQ(run(state, req), "0/0 1/0 3/0 4/0 5/0 6/0");
}

TEST(ExecuteQuery, VectorPathPoolOrder) {
  const unsigned distances[] = {5, 1, 3, 1, 8, 0, 3, 3, 2, 1};
  std::vector<Rec> recs = plain_records(10);
  for (size_t r = 0; r < 10; ++r) recs[r].embedding = at_distance(distances[r]);
  recs[4].embedding.reset();  // no embedding: zero signature, 8 bits from the query
  const QueryState state = make_index(1, 8, 8, recs);
  QueryRequest req;
  req.query_vector = kAllPositive;
  req.top_k = 2;
  EXPECT_EQ(run(state, req), "5/0 1/1 3/1 9/1 8/2 2/3");
  req.top_k = 4;
  EXPECT_EQ(run(state, req), "5/0 1/1 3/1 9/1 8/2 2/3 6/3 7/3 0/5 4/8");
  req.top_k = 1;
  req.filter = not_(eq(0, 0));
  EXPECT_EQ(run(state, req), "");
  // An embeddings view without exact_rescore changes nothing.
  const std::vector<uint8_t> bytes(4, 0xFF);
  req.filter.reset();
  req.embeddings = std::span<const uint8_t>(bytes);
  EXPECT_EQ(run(state, req), "5/0 1/1 3/1");
}

// Little-endian float32 values written at byte `at` of `buf`.
void put_floats(std::vector<uint8_t>& buf, size_t at, const std::vector<float>& v) {
  if (buf.size() < at + 4 * v.size()) buf.resize(at + 4 * v.size());
  for (size_t i = 0; i < v.size(); ++i) store_u32(&buf[at + 4 * i], std::bit_cast<uint32_t>(v[i]));
}

TEST(ExecuteQuery, RescoreOrderAndOffsets) {
  // Every record is at distance 0 from the query, so the pool is in record order.
  std::vector<Rec> recs = plain_records(8);
  for (Rec& r : recs) r.embedding = kAllPositive;
  std::vector<uint8_t> buf;
  put_floats(buf, 0, std::vector<float>(8, -1.0f));   // score -8
  put_floats(buf, 32, std::vector<float>(8, 0.5f));   // score 4
  put_floats(buf, 64, std::vector<float>(8, 0.25f));  // score 2
  recs[0].offset = 0;
  recs[1].offset = 32;
  recs[2].offset = 64;
  recs[3].offset = 32;  // equal to record 1
  // recs[4]: no offset, score 0 above the negative record 0
  recs[5].offset = 65;                     // runs one byte past the view
  recs[6].offset = kNoExternalOffset - 1;  // offset + 32 overflows 64 bits
  recs[7].offset = 96;                     // starts exactly at the end of the view
  const QueryState state = make_index(1, 8, 8, recs);
  QueryRequest req;
  req.query_vector = kAllPositive;
  req.exact_rescore = true;
  req.embeddings = std::span<const uint8_t>(buf);
  req.top_k = 10;
  EXPECT_EQ(run(state, req), "1/0/4 3/0/4 2/0/2 4/0/0 5/0/0 6/0/0 7/0/0 0/0/-8");
  req.top_k = 3;  // the pool holds all 8; keep 3
  EXPECT_EQ(run(state, req), "1/0/4 3/0/4 2/0/2");

  // No readable embedding: every score 0, lowest records of the pool first.
  std::vector<uint8_t> tiny(31, 0);
  req.embeddings = std::span<const uint8_t>(tiny);
  req.top_k = 2;
  EXPECT_EQ(run(state, req), "0/0/0 1/0/0");
}

TEST(ExecuteQuery, RescoreReadsAtAnyAlignmentUpToTheViewEnd) {
  const std::vector<float> emb = {1.5f, -2.0f, 0.25f, 3.0f, -0.5f, 1.0f, 2.0f, -1.0f};
  const std::vector<float> query = {0.5f, 1.0f, -1.0f, 2.0f, 1.0f, 0.0f, 1.0f, 3.0f};
  float want = 0.0f;
  for (size_t i = 0; i < 8; ++i) want = want + query[i] * emb[i];
  for (size_t at : {0, 1, 2, 3, 5, 7}) {
    std::vector<uint8_t> buf(at, 0xAB);
    put_floats(buf, at, emb);
    std::vector<Rec> recs = plain_records(2);
    recs[0].offset = at;
    recs[1].offset = at + 1;  // one byte past the end
    const QueryState state = make_index(1, 8, 8, recs);
    QueryRequest req;
    req.query_vector = query;
    req.exact_rescore = true;
    // An exactly sized heap copy, so the sanitizer build catches a read past the end.
    std::vector<uint8_t> exact(buf);
    req.embeddings = std::span<const uint8_t>(exact);
    auto hits = execute_query(state, req);
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), 2u);
    EXPECT_EQ((*hits)[0].record_index, 0u) << "offset " << at;
    EXPECT_EQ(*(*hits)[0].exact_score, want) << "offset " << at;
    EXPECT_EQ(*(*hits)[1].exact_score, 0.0f) << "offset " << at;
  }
}

// NaN scores rank after every number; the numbers stay sorted around them. Enough entries
// that std::sort leaves its insertion-sort path.
TEST(ExecuteQuery, RescoreOrdersNaNScoresAfterNumbers) {
  const size_t n = 3000;
  std::mt19937 rng(5);
  std::vector<uint8_t> buf;
  std::vector<Rec> recs = plain_records(n);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (size_t r = 0; r < n; ++r) {
    recs[r].embedding = kAllPositive;
    const auto kind = rng() % 4;
    if (kind == 3) continue;  // no offset: score 0
    recs[r].offset = 32 * r;
    std::vector<float> v(8, 0.0f);
    v[0] = kind <= 1 ? nan : static_cast<float>(static_cast<int>(rng() % 41) - 20);
    put_floats(buf, 32 * r, v);
  }
  buf.resize(32 * n);
  const QueryState state = make_index(1, 8, 8, recs);
  QueryRequest req;
  req.query_vector = std::vector<float>(8, 1.0f);
  req.exact_rescore = true;
  req.embeddings = std::span<const uint8_t>(buf);
  req.top_k = 10000;
  auto hits = execute_query(state, req);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), n);
  size_t nans = 0;
  for (size_t i = 1; i < n; ++i) {
    const SearchHit& a = (*hits)[i - 1];
    const SearchHit& b = (*hits)[i];
    const bool a_nan = std::isnan(*a.exact_score);
    const bool b_nan = std::isnan(*b.exact_score);
    ASSERT_FALSE(a_nan && !b_nan) << "number after NaN at " << i;
    if (a_nan == b_nan && (a_nan || *a.exact_score == *b.exact_score)) {
      ASSERT_LT(a.record_index, b.record_index) << i;
    } else if (!a_nan && !b_nan) {
      ASSERT_GT(*a.exact_score, *b.exact_score) << i;
    }
    nans += b_nan;
  }
  EXPECT_GT(nans, n / 3);
}

// 4- and 16-bit code planes (files the writer never makes) are read with their own width.
TEST(ExecuteQuery, FourAndSixteenBitCodes) {
  for (uint8_t w : {uint8_t{4}, uint8_t{16}}) {
    std::vector<Rec> recs;
    const uint16_t high = w == 4 ? 15 : 0xBEEF;
    for (uint16_t r = 0; r < 130; ++r) {
      recs.push_back(
          {{static_cast<uint16_t>(r % 3), r % 7 == 0 ? high : static_cast<uint16_t>(r % 2)},
           std::nullopt,
           kNoExternalOffset});
    }
    const QueryState state = make_index(2, w, 8, recs);
    ASSERT_EQ(state.reader.bit_width(), w);
    QueryRequest req;
    req.top_k = 10000;
    req.filter = and_(eq(1, high), not_(eq(0, 0)));
    std::string want;
    for (uint16_t r = 0; r < 130; ++r) {
      if (r % 7 == 0 && r % 3 != 0) want += (want.empty() ? "" : " ") + std::to_string(r) + "/0";
    }
    EXPECT_EQ(run(state, req), want) << "w=" << int{w};
    // A code wider than w bits matches no record, not those holding its low bits.
    req.filter = eq(1, static_cast<uint16_t>(w == 4 ? 0x10 | 1 : 1));
    auto hits = execute_query(state, req);
    ASSERT_TRUE(hits);
    size_t ones = 0;
    for (uint16_t r = 0; r < 130; ++r) ones += r % 7 != 0 && r % 2 == 1;
    EXPECT_EQ(hits->size(), w == 4 ? 0 : ones) << "w=" << int{w};
  }
}

TEST(ExecuteQuery, HandBuiltImageMatchesCompiledImage) {
  std::vector<Rec> recs;
  for (uint16_t r = 0; r < 70; ++r) {
    Rec rec{{static_cast<uint16_t>(r % 5), static_cast<uint16_t>(r % 3)},
            std::nullopt,
            r % 4 == 0 ? kNoExternalOffset : 4u * r};
    if (r % 3 != 0)
      rec.embedding = std::vector<float>{
          float(r % 2) - 0.5f, 1.0f, -1.0f, float(r % 5) - 2.0f, 0.0f, 1.0f, 2.0f, -3.0f, 4.0f};
    recs.push_back(rec);
  }
  EXPECT_EQ(hand_image(2, 8, 9, recs), compiled_image(2, 9, recs));
}

// ---------------------------------------------------------------------------------------
// The per-record model: decode every code from the planes, naive popcount, full sort.

struct Model {
  uint64_t n;
  uint16_t traits;
  uint16_t dim;
  uint8_t width;
  uint64_t positions;                        // blocks * 64
  std::vector<std::vector<uint16_t>> codes;  // per position, 0 past the last record
  std::vector<std::vector<uint8_t>> sigs;
  std::vector<std::optional<uint64_t>> offsets;

  explicit Model(const IndexReader& reader)
      : n(reader.record_count()),
        traits(reader.trait_count()),
        dim(reader.vector_dim()),
        width(reader.bit_width()),
        positions((n + 63) / 64 * 64) {
    const uint8_t* planes = reader.code_planes().data();
    for (uint64_t p = 0; p < positions; ++p) {
      std::vector<uint16_t> c(traits, 0);
      for (size_t t = 0; t < traits; ++t) {
        for (unsigned k = 0; k < width; ++k) {
          const uint64_t word = load_u64(planes + 8 * ((p / 64) * traits * width + t * width + k));
          c[t] = static_cast<uint16_t>(c[t] | (((word >> (p % 64)) & 1) << k));
        }
      }
      codes.push_back(c);
    }
    for (uint64_t r = 0; r < n; ++r) {
      auto s = reader.signature(r);
      sigs.emplace_back(s->begin(), s->end());
      offsets.push_back(*reader.external_offset(r));
    }
  }

  Expected<std::vector<bool>, QueryError> filter(const FilterExpr& e) const {
    std::vector<bool> out(positions, false);
    if (const auto* q = std::get_if<EqNode>(&e.node)) {
      if (q->trait_index >= traits)
        return unexpected(QueryError{TraitIndexOutOfRange{q->trait_index, traits}});
      // A code wider than the file's codes matches nothing.
      const bool fits = width >= 16 || (q->code >> width) == 0;
      for (uint64_t p = 0; p < positions; ++p) out[p] = fits && codes[p][q->trait_index] == q->code;
    } else if (const auto* a = std::get_if<AndNode>(&e.node)) {
      for (uint64_t p = 0; p < positions; ++p) out[p] = p < n;
      for (size_t i = 0; i < a->children.size(); ++i) {
        if (i > 0 && std::find(out.begin(), out.end(), true) == out.end()) break;
        KORVEL_ASSIGN_OR_RETURN(std::vector<bool> c, filter(a->children[i]));
        for (uint64_t p = 0; p < positions; ++p) out[p] = (i == 0 || out[p]) && c[p];
      }
    } else if (const auto* o = std::get_if<OrNode>(&e.node)) {
      for (const FilterExpr& child : o->children) {
        KORVEL_ASSIGN_OR_RETURN(std::vector<bool> c, filter(child));
        for (uint64_t p = 0; p < positions; ++p) out[p] = out[p] || c[p];
      }
    } else {
      KORVEL_ASSIGN_OR_RETURN(std::vector<bool> c, filter(*std::get<NotNode>(e.node).child));
      for (uint64_t p = 0; p < positions; ++p) out[p] = p < n && !c[p];
    }
    return out;
  }

  Expected<std::vector<SearchHit>, QueryError> query(const QueryRequest& req) const {
    if (req.top_k < 1 || req.top_k > 10000)
      return unexpected(QueryError{TopKOutOfRange{req.top_k}});
    if (req.exact_rescore && !req.query_vector)
      return unexpected(QueryError{VectorDimensionMismatch{0, dim}});
    std::vector<uint64_t> matching;
    if (req.filter) {
      KORVEL_ASSIGN_OR_RETURN(std::vector<bool> m, filter(*req.filter));
      for (uint64_t r = 0; r < n; ++r) {
        if (m[r]) matching.push_back(r);
      }
    } else {
      for (uint64_t r = 0; r < n; ++r) matching.push_back(r);
    }
    std::vector<SearchHit> hits;
    if (matching.empty()) return hits;
    const size_t pool_size = 3 * size_t{req.top_k};
    if (!req.query_vector || dim == 0) {
      for (size_t i = 0; i < matching.size() && i < pool_size; ++i)
        hits.push_back({std::nullopt, matching[i], 0});
      return hits;
    }
    const std::vector<float>& q = *req.query_vector;
    if (q.size() != dim) return unexpected(QueryError{VectorDimensionMismatch{q.size(), dim}});
    std::vector<uint8_t> qsig((dim + 7) / 8, 0);
    for (size_t i = 0; i < dim; ++i) {
      if (q[i] > 0.0f) qsig[i / 8] = static_cast<uint8_t>(qsig[i / 8] | (1u << (i % 8)));
    }
    std::vector<std::pair<uint32_t, uint64_t>> cands;
    for (uint64_t r : matching) {
      uint32_t d = 0;
      for (size_t i = 0; i < qsig.size(); ++i) {
        for (unsigned x = qsig[i] ^ sigs[r][i]; x != 0; x >>= 1) d += x & 1;
      }
      cands.push_back({d, r});
    }
    std::sort(cands.begin(), cands.end());
    if (cands.size() > pool_size) cands.resize(pool_size);
    if (!req.exact_rescore) {
      for (auto [d, r] : cands) hits.push_back({std::nullopt, r, d});
      return hits;
    }
    if (!req.embeddings) return unexpected(QueryError{EmbeddingsRequired{}});
    const std::span<const uint8_t> view = *req.embeddings;
    for (auto [d, r] : cands) {
      float score = 0.0f;
      if (offsets[r] && *offsets[r] <= view.size() && *offsets[r] + 4 * dim <= view.size()) {
        for (size_t i = 0; i < dim; ++i) {
          float e;
          std::memcpy(&e, view.data() + *offsets[r] + 4 * i, 4);
          score = score + q[i] * e;
        }
      }
      hits.push_back({score, r, d});
    }
    std::sort(hits.begin(), hits.end(), [](const SearchHit& a, const SearchHit& b) {
      const float x = *a.exact_score, y = *b.exact_score;
      if (std::isnan(x) || std::isnan(y)) {
        if (std::isnan(x) != std::isnan(y)) return std::isnan(y);
      } else if (x != y) {
        return x > y;
      }
      return a.record_index < b.record_index;
    });
    if (hits.size() > req.top_k) hits.resize(req.top_k);
    return hits;
  }
};

FilterExpr random_filter(std::mt19937& rng, uint16_t traits, uint16_t distinct, int depth) {
  const auto kind = depth >= 3 ? 0 : rng() % 6;
  if (kind <= 2) {
    size_t t = rng() % traits;
    if (rng() % 25 == 0) t = traits + rng() % 3;
    uint16_t c = static_cast<uint16_t>(rng() % (distinct + 1));
    if (rng() % 10 == 0) c = static_cast<uint16_t>(c | 0x100);
    return eq(t, c);
  }
  if (kind == 5) return not_(random_filter(rng, traits, distinct, depth + 1));
  std::vector<FilterExpr> children;
  for (unsigned i = rng() % 4; i > 0; --i)
    children.push_back(random_filter(rng, traits, distinct, depth + 1));
  if (kind == 3) return FilterExpr{AndNode{std::move(children)}};
  return FilterExpr{OrNode{std::move(children)}};
}

bool same_hits(const std::vector<SearchHit>& a, const std::vector<SearchHit>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].record_index != b[i].record_index || a[i].distance != b[i].distance ||
        a[i].exact_score.has_value() != b[i].exact_score.has_value()) {
      return false;
    }
    if (a[i].exact_score &&
        std::bit_cast<uint32_t>(*a[i].exact_score) != std::bit_cast<uint32_t>(*b[i].exact_score)) {
      return false;
    }
  }
  return true;
}

TEST(ExecuteQuery, MatchesPerRecordModel) {
  std::mt19937 rng(20240611);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const uint32_t top_ks[] = {0, 1, 1, 2, 3, 7, 50, 400, 10000, 10001};
  for (uint64_t n : {0, 1, 63, 64, 65, 1000}) {
    for (uint16_t dim : {uint16_t{0}, uint16_t{1}, uint16_t{9}, uint16_t{64}, uint16_t{300}}) {
      for (uint8_t width : {uint8_t{8}, uint8_t{4}, uint8_t{16}}) {
        if (width != 8 && n == 1000 && dim == 300) continue;
        const uint16_t traits = static_cast<uint16_t>(1 + rng() % 3);
        const uint16_t distinct = static_cast<uint16_t>(1 + rng() % 4);
        // Embeddings buffer: about half the records have one inside it.
        std::vector<uint8_t> buf((n / 2) * 4 * dim + rng() % 16);
        for (size_t i = 0; i + 4 <= buf.size(); i += 4) {
          const float v = rng() % 50 == 0 ? std::numeric_limits<float>::quiet_NaN() : normal(rng);
          store_u32(&buf[i], std::bit_cast<uint32_t>(v));
        }
        std::vector<Rec> recs;
        for (uint64_t r = 0; r < n; ++r) {
          Rec rec;
          for (uint16_t t = 0; t < traits; ++t)
            rec.codes.push_back(static_cast<uint16_t>(rng() % distinct));
          if (rng() % 5 != 0) {
            rec.embedding.emplace();
            for (uint16_t i = 0; i < dim; ++i)
              rec.embedding->push_back(rng() % 20 == 0 ? 0.0f : normal(rng));
          }
          const auto o = rng() % 10;
          if (o < 6) {
            rec.offset = rng() % (buf.size() + 8);
          } else if (o == 6) {
            rec.offset = kNoExternalOffset - rng() % 64;
          }
          recs.push_back(std::move(rec));
        }
        const QueryState state = make_index(traits, width, dim, recs);
        const Model model(state.reader);
        for (int q = 0; q < 40; ++q) {
          QueryRequest req;
          if (rng() % 4 != 0) req.filter = random_filter(rng, traits, distinct, 0);
          if (rng() % 4 != 0) {
            const size_t len = rng() % 6 == 0 ? rng() % 12 : dim;
            req.query_vector.emplace();
            for (size_t i = 0; i < len; ++i) req.query_vector->push_back(normal(rng));
          }
          req.top_k = top_ks[rng() % std::size(top_ks)];
          req.exact_rescore = rng() % 2 == 0;
          if (rng() % 5 != 0) req.embeddings = std::span<const uint8_t>(buf);
          const auto got = execute_query(state, req);
          const auto want = model.query(req);
          const std::string where = "n=" + std::to_string(n) + " D=" + std::to_string(dim) +
                                    " w=" + std::to_string(width) + " query " + std::to_string(q);
          ASSERT_EQ(got.has_value(), want.has_value())
              << where << ": " << (got ? show(*got) : to_string(got.error())) << " vs "
              << (want ? show(*want) : to_string(want.error()));
          if (got) {
            ASSERT_TRUE(same_hits(*got, *want)) << where << "\n"
                                                << show(*got) << "\n"
                                                << show(*want);
          } else {
            ASSERT_EQ(to_string(got.error()), to_string(want.error())) << where;
          }
        }
      }
    }
  }
}

// The scan of a filtered query walks its bitmap word by word within blocks of records.
// Every shape of word (empty, one record at either end, a few, all but one, full) across
// many blocks and a short last one, for signatures the kernels handle in different ways:
// every match must come back once, with its distance.
TEST(ExecuteQuery, ScanVisitsEveryPatternOfSetBits) {
  const uint64_t patterns[] = {0,
                               1,
                               uint64_t{1} << 63,
                               (uint64_t{1} << 63) | 1,
                               uint64_t{3} << 62,
                               0x15,
                               0x8000000000000101,
                               0x00FF00FF00FF00FF,
                               ~uint64_t{0},
                               ~uint64_t{0} >> 1,
                               ~uint64_t{1},
                               0,
                               0x0000000100000000};
  // Past several calls of the bound kernel of a lone query, on each of two threads.
  const uint64_t n = 64 * 150 + 37;
  std::mt19937 rng(8);
  for (uint16_t dim : {uint16_t{20}, uint16_t{64}, uint16_t{128}, uint16_t{256}, uint16_t{300},
                       uint16_t{768}, uint16_t{1300}}) {
    std::vector<Rec> recs;
    for (uint64_t r = 0; r < n; ++r) {
      const uint64_t pattern = patterns[(r / 64) % std::size(patterns)];
      Rec rec{{static_cast<uint16_t>((pattern >> (r % 64)) & 1)}, std::vector<float>(dim)};
      for (float& v : *rec.embedding) v = rng() % 2 == 0 ? 1.0f : -1.0f;
      recs.push_back(std::move(rec));
    }
    const QueryState state = make_index(1, 8, dim, recs);
    const Model model(state.reader);
    for (int q = 0; q < 6; ++q) {
      QueryRequest req;
      if (q % 3 != 2) req.filter = eq(0, static_cast<uint16_t>(q % 3));
      req.query_vector.emplace(dim);
      for (float& v : *req.query_vector) v = rng() % 2 == 0 ? 1.0f : -1.0f;
      req.top_k = q < 3 ? 10000 : 5;
      const auto got = execute_query(state, req);
      const auto want = model.query(req);
      ASSERT_TRUE(got.has_value() && want.has_value());
      ASSERT_TRUE(same_hits(*got, *want)) << "D=" << dim << " query " << q << "\n"
                                          << show(*got) << "\n"
                                          << show(*want);
    }
  }
}

}  // namespace
}  // namespace korvel
