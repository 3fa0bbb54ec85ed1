#include "build/bulk_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "build/compile.h"
#include "common/test_allocation.h"

namespace korvel {
namespace {

struct Record {
  std::vector<std::string> values;
  std::optional<std::vector<float>> embedding;
  uint64_t doc_id;
  uint64_t offset;
};

// The files add_record + save would write: compile_index and the sidecar text.
std::pair<std::vector<uint8_t>, std::string> reference(const std::vector<std::string>& schema,
                                                       uint16_t dim,
                                                       const std::vector<Record>& records,
                                                       uint8_t max_bits = 8) {
  BuildState s;
  s.schema = schema;
  s.trait_count = static_cast<uint16_t>(schema.size());
  s.vector_dim = dim;
  s.dicts.resize(schema.size());
  IndexMetadata meta{schema, {}, {}};
  for (const Record& r : records) {
    std::vector<uint16_t> codes;
    for (size_t t = 0; t < schema.size(); ++t)
      codes.push_back(*s.dicts[t].assign_token(r.values[t], max_bits));
    append_record(s, BufferedRecord{r.values, r.embedding, r.doc_id, r.offset}, codes);
    meta.doc_ids.push_back(r.doc_id);
  }
  for (const TraitDictionary& d : s.dicts) {
    if (d.size() > 256) s.bit_width = 16;  // one width per file, the widest trait's
  }
  meta.dicts = s.dicts;
  return {*compile_index(s), serialize_metadata(meta)};
}

std::pair<std::vector<uint8_t>, std::string> files(const BulkWriter& w) {
  const auto head = w.header();
  std::vector<uint8_t> image(head.begin(), head.end());
  for (auto s : w.sections()) image.insert(image.end(), s.begin(), s.end());
  return {image, w.sidecar_text()};
}

// The records [first, last) as one batch: columns encoded with repeated categories (so
// category indices differ from codes), a trait left out when every row holds "", offsets
// only when some row has one. REQUIRES: all or none of the rows have an embedding.
struct Batch {
  std::vector<uint64_t> ids, offsets;
  std::vector<TraitColumn> columns;
  std::vector<float> matrix;
  BulkBatch view;
};
void make_batch(const std::vector<Record>& rs, size_t first, size_t last, uint16_t dim, Batch& b) {
  const size_t traits = rs.empty() ? 0 : rs[0].values.size();
  b.columns.assign(traits, TraitColumn{});
  bool any_offset = false;
  for (size_t i = first; i < last; ++i) {
    b.ids.push_back(rs[i].doc_id);
    b.offsets.push_back(rs[i].offset);
    any_offset |= rs[i].offset != kNoExternalOffset;
    for (size_t t = 0; t < traits; ++t) {
      b.columns[t].indices.push_back(static_cast<uint32_t>(b.columns[t].categories.size()));
      b.columns[t].categories.push_back(rs[i].values[t]);
    }
    if (rs[i].embedding)
      b.matrix.insert(b.matrix.end(), rs[i].embedding->begin(), rs[i].embedding->end());
  }
  b.view.doc_ids = b.ids;
  for (size_t t = 0; t < traits; ++t) {
    bool all_empty = true;
    for (const auto& v : b.columns[t].categories) all_empty &= v.empty();
    b.view.columns.push_back(all_empty ? nullptr : &b.columns[t]);
  }
  if (!b.matrix.empty() || (first < last && rs[first].embedding)) {
    b.view.embeddings = EmbeddingRows{b.matrix.data(), EmbeddingType::kFloat32, last - first, dim};
  }
  if (any_offset) b.view.offsets = std::span<const uint64_t>(b.offsets);
}

// Odd rounds allow 16-bit codes: traits of up to 700 values widen the file in whichever
// batch first takes one past 256, and the files match those written in one go.
TEST(BulkWriter, SameFilesAsAddRecordOnRandomData) {
  std::mt19937_64 rng(12);
  for (int round = 0; round < 60; ++round) {
    const uint8_t max_bits = round % 2 == 1 ? 16 : 8;
    const size_t traits = 1 + rng() % 4;
    const auto dim = static_cast<uint16_t>(rng() % 3 == 0 ? rng() % 20 : rng() % 200);
    std::vector<std::string> schema;
    for (size_t t = 0; t < traits; ++t) schema.push_back(t == 1 ? "t0" : "t" + std::to_string(t));
    const size_t n = round == 0 ? 0 : rng() % (max_bits == 16 ? 1200 : 400);
    // Value pools of up to 256 values, "" included, so some traits fill their dictionary.
    std::vector<size_t> pool(traits);
    for (auto& p : pool) p = 1 + rng() % (max_bits == 16 ? 700 : 256);
    std::vector<Record> rs;
    std::normal_distribution<float> normal;
    for (size_t i = 0; i < n; ++i) {
      Record r;
      for (size_t t = 0; t < traits; ++t) {
        const size_t v = rng() % pool[t];
        r.values.push_back(v == 0 ? "" : "v" + std::to_string(v));
      }
      r.doc_id = rng();
      r.offset = rng() % 3 == 0 ? kNoExternalOffset : rng();
      rs.push_back(std::move(r));
    }
    // Cut into batches; each batch has embeddings or not.
    std::vector<size_t> cuts = {0};
    while (cuts.back() < n) cuts.push_back(std::min(n, cuts.back() + 1 + rng() % 150));
    for (size_t c = 0; c + 1 < cuts.size(); ++c) {
      const bool with = rng() % 4 != 0;
      for (size_t i = cuts[c]; i < cuts[c + 1]; ++i) {
        if (!with) continue;
        rs[i].embedding.emplace(dim);
        for (float& x : *rs[i].embedding) x = rng() % 9 == 0 ? 0.0f : normal(rng);
      }
    }
    auto w = BulkWriter::create(schema, dim, kMaxRecordCount, max_bits);
    ASSERT_TRUE(w);
    for (size_t c = 0; c + 1 < cuts.size(); ++c) {
      Batch b;
      make_batch(rs, cuts[c], cuts[c + 1], dim, b);
      ASSERT_TRUE(w->add(b.view, 1 + round % 3)) << "round " << round;
    }
    EXPECT_EQ(w->size(), n);
    EXPECT_EQ(files(*w), reference(schema, dim, rs, max_bits)) << "round " << round;
  }
}

// A 16-bit writer holds 65,536 values of a trait; the next one fails whole, naming the
// column and the count, and leaves the files as they were.
TEST(BulkWriter, WideTraitOverflowsPast65536Values) {
  auto w = BulkWriter::create({"a", "tenant"}, 0, kMaxRecordCount, 16);
  TraitColumn col;
  std::vector<uint64_t> ids(65537, 1);
  for (uint32_t i = 0; i < 65537; ++i) {
    col.categories.push_back(std::to_string(i));
    col.indices.push_back(i);
  }
  BulkBatch b;
  b.doc_ids = std::span(ids.data(), 65536);
  b.columns = {nullptr, &col};
  col.indices.pop_back();
  ASSERT_TRUE(w->add(b));
  EXPECT_EQ(w->code_bits(), 16);
  const auto before = files(*w);
  col.indices.assign({5, 65536});
  b.doc_ids = std::span(ids.data(), 2);
  auto added = w->add(b);
  ASSERT_FALSE(added);
  EXPECT_EQ(to_string(added.error()),
            "column 'tenant', row 1: Trait '65536' overflow: 65537 unique values exceeds "
            "65536-value capacity for 16-bit mode");
  EXPECT_EQ(files(*w), before);

  // A batch that would widen the codes but fails later leaves the 8-bit planes as they were.
  auto narrow = BulkWriter::create({"a"}, 1, kMaxRecordCount, 16);
  b.columns = {&col};
  col.indices.assign({0, 1});
  const float ok[2] = {1, 1};
  b.embeddings = EmbeddingRows{ok, EmbeddingType::kFloat32, 2, 1};
  ASSERT_TRUE(narrow->add(b));
  const auto narrow_before = files(*narrow);
  std::vector<float> bad(300, 1.0f);
  bad[299] = std::numeric_limits<float>::quiet_NaN();
  col.indices.resize(300);
  for (uint32_t i = 0; i < 300; ++i) col.indices[i] = i;
  b.doc_ids = std::span(ids.data(), 300);
  b.embeddings = EmbeddingRows{bad.data(), EmbeddingType::kFloat32, 300, 1};
  ASSERT_FALSE(narrow->add(b));
  EXPECT_EQ(narrow->code_bits(), 8);
  EXPECT_EQ(files(*narrow), narrow_before);
}

TEST(BulkWriter, ConvertedEmbeddingsGiveTheSameSignatures) {
  // float64 values narrow exactly when they are float32 values; float16 halves are exact too.
  const std::vector<double> values = {1.5, -0.25, 0.0, -0.0, 3e-8, -65504.0, 65504.0, 6e-8};
  const std::vector<uint16_t> halves = {0x3e00, 0xb400, 0x0000, 0x8000,
                                        0x0001, 0xfbff, 0x7bff, 0x0001};
  std::vector<float> floats;
  for (size_t i = 0; i < values.size(); ++i) floats.push_back(static_cast<float>(values[i]));
  const uint64_t id = 7;
  std::vector<std::array<uint8_t, 1>> sigs;
  for (auto [data, type] :
       {std::pair<const void*, EmbeddingType>{floats.data(), EmbeddingType::kFloat32},
        {values.data(), EmbeddingType::kFloat64},
        {halves.data(), EmbeddingType::kFloat16}}) {
    auto w = BulkWriter::create({"a"}, 8);
    BulkBatch b;
    b.doc_ids = std::span(&id, 1);
    b.columns = {nullptr};
    b.embeddings = EmbeddingRows{data, type, 1, 8};
    ASSERT_TRUE(w->add(b));
    sigs.push_back({w->sections()[1][0]});
  }
  EXPECT_EQ(sigs[0][0], 0b11010001);
  EXPECT_EQ(sigs[1], sigs[0]);
  EXPECT_EQ(sigs[2], sigs[0]);
}

// Each bad batch fails with its text and leaves the writer as it was: adding the good
// records afterwards gives the files of a writer that never saw the bad batch.
TEST(BulkWriter, BadBatchesFailWholeAndNameTheFirstBadRow) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<TraitColumn> full(1);  // 255 values of "a" from an earlier batch
  for (uint32_t i = 0; i < 256; ++i) full[0].categories.push_back("x" + std::to_string(i));
  for (uint32_t i = 0; i < 255; ++i) full[0].indices.push_back(i);

  struct Case {
    std::vector<std::string> a;  // column "a" of three rows (b is left out)
    std::vector<uint32_t> a_indices;
    std::vector<float> matrix;  // 3 x 2, empty: none
    size_t ids = 3;
    size_t offsets = 3;
    std::string text;
  };
  const std::vector<float> good = {1, -1, 0, 2, -3, 4};
  const Case cases[] = {
      {{"p", "q"}, {0, 1}, good, 3, 3, "column 'a': expected 3 rows (one per doc id), got 2"},
      {{"p"},
       {0, 0, 1},
       good,
       3,
       3,
       "column 'a', row 2: category code 1 is out of range for 1 categories"},
      {{"p", "x3", "new1", "new2"},
       {0, 1, 2},
       good,
       3,
       3,
       "column 'a', row 2: Trait 'new1' overflow: 257 unique values exceeds 256-value capacity for "
       "8-bit mode"},
      {{"p"},
       {0, 0, 0},
       {1, -1, 0, nan, -inf, 4},
       3,
       3,
       "embeddings, row 1: non-finite value at position 1"},
      {{"p"}, {0, 0, 0}, {1, -1}, 3, 3, "embeddings: expected 3 rows (one per doc id), got 1"},
      {{"p"}, {0, 0, 0}, good, 3, 2, "offsets: expected 3 rows (one per doc id), got 2"},
      {{"p"},
       std::vector<uint32_t>(8, 0),
       std::vector<float>(16, 1.0f),
       8,
       8,
       "the index would hold 263 records, more than the 260 a data file can hold"},
  };
  std::vector<uint64_t> ids(256, 5), offsets(8, 9);
  auto fresh = [&] {
    auto w = BulkWriter::create({"a", "b"}, 2, 260);
    BulkBatch b;
    b.doc_ids = std::span(ids.data(), 255);  // 255 distinct values of "a"
    b.columns = {&full[0], nullptr};
    EXPECT_TRUE(w->add(b));
    return std::move(*w);
  };
  for (const Case& c : cases) {
    BulkWriter w = fresh();
    const auto before = files(w);
    TraitColumn a{c.a, c.a_indices};
    BulkBatch b;
    b.doc_ids = std::span(ids.data(), c.ids);
    b.columns = {&a, nullptr};
    b.embeddings = EmbeddingRows{c.matrix.data(), EmbeddingType::kFloat32, c.matrix.size() / 2, 2};
    b.offsets = std::span(offsets.data(), c.offsets);
    auto r = w.add(b, 3);
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(to_string(r.error()), c.text);
    EXPECT_EQ(files(w), before) << c.text;
  }
  // A dimension of the wrong width, and the limits of create().
  BulkWriter w = fresh();
  BulkBatch b;
  b.doc_ids = std::span(ids.data(), 1);
  b.columns = {nullptr, nullptr};
  b.embeddings = EmbeddingRows{good.data(), EmbeddingType::kFloat32, 1, 3};
  EXPECT_EQ(to_string(w.add(b).error()), "embeddings: expected 2 values per row (dim), got 3");
  EXPECT_EQ(to_string(BulkWriter::create({}, 1).error()), "schema length must be 1..=16, got 0");
  EXPECT_EQ(to_string(BulkWriter::create({"a"}, 65536).error()),
            "dim must be at most 65535, got 65536");
}

// Every allocation add() makes is failed in turn, on one thread and on four, for float32 rows
// (signed in place) and float64 rows (converted through scratch): a failed add() must leave the
// writer as it was, and one whose failure was absorbed must give the files of a plain add().
TEST(BulkWriter, AllOrNothingWhenAnAllocationFails) {
  const size_t n = 40, dim = 16;
  std::vector<uint64_t> ids(n);
  std::vector<float> f32(n * dim);
  std::vector<double> f64(n * dim);
  TraitColumn fresh{{"new", "old", "newer"}, {}};
  for (size_t i = 0; i < n; ++i) {
    ids[i] = i;
    fresh.indices.push_back(static_cast<uint32_t>(i % 3));
  }
  for (size_t i = 0; i < n * dim; ++i) f64[i] = f32[i] = static_cast<float>(i % 7) - 3.0f;
  TraitColumn first{{"old"}, {0}};
  for (unsigned threads : {1u, 4u}) {
    for (bool wide : {false, true}) {
      auto base = BulkWriter::create({"a"}, dim);
      BulkBatch b;
      b.doc_ids = std::span(ids.data(), 1);
      b.columns = {&first};
      b.embeddings = EmbeddingRows{f32.data(), EmbeddingType::kFloat32, 1, dim};
      ASSERT_TRUE(base->add(b));
      b.doc_ids = ids;
      b.columns = {&fresh};
      b.embeddings = wide ? EmbeddingRows{f64.data(), EmbeddingType::kFloat64, n, dim}
                          : EmbeddingRows{f32.data(), EmbeddingType::kFloat32, n, dim};
      BulkWriter plain = *base;
      ASSERT_TRUE(plain.add(b, threads));
      const auto before = files(*base), after = files(plain);
      long k = 0;
      for (bool fired = true; fired; ++k) {
        BulkWriter w = *base;
        bool threw = false;
        fault::arm_allocation_failure(k);
        try {
          const auto r = w.add(b, threads);
          fired = fault::disarm_allocation_failure();
          ASSERT_TRUE(r);
        } catch (const std::bad_alloc&) {
          fired = fault::disarm_allocation_failure();
          threw = true;
        }
        ASSERT_EQ(files(w), threw ? before : after) << threads << " " << wide << " " << k;
      }
      EXPECT_GT(k, 5) << "the codes, the dictionary and the storage each allocate";
    }
  }
}

TEST(ColumnEncoder, EqualKeysShareACategory) {
  ColumnEncoder e(6);
  for (const char* v : {"b", "a", "b", "b", "", "a"}) e.push(v);
  const TraitColumn c = std::move(e).finish();
  EXPECT_EQ(c.categories, (std::vector<std::string>{"b", "a", ""}));
  EXPECT_EQ(c.indices, (std::vector<uint32_t>{0, 1, 0, 0, 2, 1}));
}

TEST(Utf8FromUcs4, EncodesAndRefusesWhatUtf8Cannot) {
  struct Case {
    std::vector<uint32_t> chars;
    std::optional<std::string> utf8;
  };
  const Case cases[] = {
      {{'a', 'b', 0, 0}, "ab"},
      {{0, 'a', 0}, std::string("\0a", 2)},  // only trailing NULs are padding
      {{0xe9, 0x20ac, 0x1f600}, "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      {{0x7ff, 0x800, 0xffff, 0x10ffff}, "\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf4\x8f\xbf\xbf"},
      {{'a', 0xd800}, std::nullopt},
      {{0x110000}, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(utf8_from_ucs4(reinterpret_cast<const uint8_t*>(c.chars.data()), c.chars.size()),
              c.utf8);
  }
}

}  // namespace
}  // namespace korvel
