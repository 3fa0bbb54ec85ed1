#include "build/compile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace korvel {
namespace {

// A build state whose dictionaries were filled the way add_record fills them.
BuildState make_state(uint16_t traits, uint16_t dim) {
  BuildState s;
  s.trait_count = traits;
  s.vector_dim = dim;
  for (uint16_t t = 0; t < traits; ++t) s.schema.push_back("t" + std::to_string(t));
  s.dicts.resize(traits);
  return s;
}

void add(BuildState& s, std::vector<std::string> values,
         std::optional<std::vector<float>> embedding = std::nullopt,
         uint64_t external_offset = kNoExternalOffset) {
  std::vector<uint16_t> codes;
  for (size_t t = 0; t < values.size(); ++t) {
    auto code = s.dicts[t].assign_token(values[t], 8);
    ASSERT_TRUE(code);
    codes.push_back(*code);
  }
  BufferedRecord r;
  r.values = std::move(values);
  r.embedding = std::move(embedding);
  r.doc_id = s.records.size();
  r.external_offset = external_offset;
  append_record(s, std::move(r), codes);
}

uint64_t le64(const std::vector<uint8_t>& b, size_t off) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | b.at(off + static_cast<size_t>(i));
  return v;
}

TEST(CompileIndex, EmptyIndexIsTheHeaderAlone) {
  BuildState s = make_state(3, 20);
  auto image = compile_index(s);
  ASSERT_TRUE(image);
  std::vector<uint8_t> expected(64, 0);
  expected[0] = 'K', expected[1] = 'R', expected[2] = 'V', expected[3] = 'X';
  expected[4] = 1;    // version
  expected[14] = 3;   // trait_count
  expected[16] = 20;  // vector_dim
  expected[18] = 8;   // bit_width
  EXPECT_EQ(*image, expected);
}

TEST(CompileIndex, SectionPositions) {
  struct Case {
    uint16_t traits, dim;
    size_t n, total, signature_start;
  };
  for (Case c : {Case{2, 128, 64, 1728, 192}, Case{2, 128, 65, 1880, 320}, Case{1, 4, 3, 155, 128},
                 Case{1, 0, 3, 152, 128}}) {
    SCOPED_TRACE(testing::Message() << "T=" << c.traits << " D=" << c.dim << " n=" << c.n);
    BuildState s = make_state(c.traits, c.dim);
    for (size_t i = 0; i < c.n; ++i) {
      std::vector<float> e(c.dim, -1.0f);
      if (c.dim > 0) e[0] = 1.0f;  // every signature starts with byte 0x01
      add(s, std::vector<std::string>(c.traits, "v"), e, 1000 + i);
    }
    auto image = compile_index(s);
    ASSERT_TRUE(image);
    ASSERT_EQ(image->size(), c.total);
    const size_t sig_size = (c.dim + 7) / 8;
    if (sig_size > 0) {
      EXPECT_EQ((*image)[c.signature_start - 1], 0) << "last plane byte is code 0";
      EXPECT_EQ((*image)[c.signature_start], 0x01);
    }
    const size_t offsets = c.signature_start + c.n * sig_size;
    EXPECT_EQ(offsets + 8 * c.n, c.total);
    for (size_t i = 0; i < c.n; ++i) EXPECT_EQ(le64(*image, offsets + 8 * i), 1000 + i);
  }
}

TEST(CompileIndex, CodeBitsLandInTheirPlaneWordsOnly) {
  // Trait 1 gets codes 0..5 from records 0..5; record 69 (block 1, position 5) has code 5.
  BuildState s = make_state(2, 0);
  for (int i = 0; i < 70; ++i) {
    add(s, {"a", "v" + std::to_string(i < 6 ? i : (i == 69 ? 5 : 0))});
  }
  auto image = compile_index(s);
  ASSERT_TRUE(image);
  ASSERT_EQ(image->size(), 64u + 2 * 2 * 8 * 8 + 70 * 8);
  auto word = [&](size_t b, size_t t, size_t k) {
    return le64(*image, 64 + 8 * (b * 16 + t * 8 + k));
  };
  // Trait 0 holds code 0 everywhere.
  for (size_t b = 0; b < 2; ++b) {
    for (size_t k = 0; k < 8; ++k) EXPECT_EQ(word(b, 0, k), 0u);
  }
  // Block 0: records 1, 3, 5 set bit 0; 2, 3 set bit 1; 4, 5 set bit 2.
  EXPECT_EQ(word(0, 1, 0), 0b101010u);
  EXPECT_EQ(word(0, 1, 1), 0b001100u);
  EXPECT_EQ(word(0, 1, 2), 0b110000u);
  for (size_t k = 3; k < 8; ++k) EXPECT_EQ(word(0, 1, k), 0u);
  // Block 1: only record 69 (position 5) with code 5 -> words 1*8+0 and 1*8+2, bit 5;
  // the 58 positions past the last record are zero in every word.
  for (size_t k = 0; k < 8; ++k) {
    EXPECT_EQ(word(1, 1, k), (k == 0 || k == 2) ? uint64_t{1} << 5 : 0u) << "k=" << k;
  }
}

TEST(CompileIndex, SixtyFifthRecordStartsAZeroPaddedBlock) {
  BuildState s = make_state(1, 8);
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(s.dicts[0].assign_token(std::to_string(i), 8));
  for (int i = 0; i < 65; ++i) add(s, {"255"});
  auto image = compile_index(s);
  ASSERT_TRUE(image);
  for (size_t k = 0; k < 8; ++k) {
    EXPECT_EQ(le64(*image, 64 + 8 * k), ~uint64_t{0});
    EXPECT_EQ(le64(*image, 128 + 8 * k), 1u) << "only position 0 of block 1 is a record";
  }
}

TEST(CompileIndex, MissingEmbeddingAndOffsetDefaults) {
  BuildState s = make_state(1, 13);
  std::vector<float> e(13, 2.0f);
  add(s, {"x"});        // no embedding, no offset
  add(s, {"x"}, e, 0);  // offset 0 is a real offset
  add(s, {"x"}, std::nullopt, 77);
  auto image = compile_index(s);
  ASSERT_TRUE(image);
  const size_t sig = 64 + 64;
  const size_t offsets = sig + 3 * 2;
  EXPECT_EQ(std::vector<uint8_t>(image->begin() + sig, image->begin() + offsets),
            (std::vector<uint8_t>{0, 0, 0xFF, 0x1F, 0, 0}));
  EXPECT_EQ(le64(*image, offsets), kNoExternalOffset);
  EXPECT_EQ(le64(*image, offsets + 8), 0u);
  EXPECT_EQ(le64(*image, offsets + 16), 77u);
}

// Random builds decoded by a reader written here from the byte table alone.
TEST(CompileIndex, RandomBuildsDecodeToTheirRecords) {
  std::mt19937_64 rng(7);
  for (int iter = 0; iter < 60; ++iter) {
    const auto traits = static_cast<uint16_t>(1 + rng() % 16);
    const auto dim = static_cast<uint16_t>(iter % 5 == 0 ? 0 : rng() % 300);
    const size_t n = rng() % 200;
    SCOPED_TRACE(testing::Message() << "T=" << traits << " D=" << dim << " n=" << n);
    BuildState s = make_state(traits, dim);
    std::vector<std::vector<uint16_t>> codes;
    for (size_t i = 0; i < n; ++i) {
      std::vector<std::string> values;
      for (uint16_t t = 0; t < traits; ++t) {
        // Trait t draws from 2^(t % 9) values, so high code bits get exercised.
        values.push_back("v" + std::to_string(rng() % (uint64_t{1} << (t % 9))));
      }
      std::optional<std::vector<float>> e;
      if (rng() % 4 != 0) {
        e.emplace(dim);
        for (float& f : *e) {
          const uint64_t pick = rng() % 10;
          f = pick == 0   ? NAN
              : pick == 1 ? -0.0f
                          : static_cast<float>(static_cast<int>(rng() % 7) - 3);
        }
      }
      const uint64_t off = rng() % 3 == 0 ? kNoExternalOffset : rng();
      add(s, values, e, off);
      codes.emplace_back();
      for (uint16_t t = 0; t < traits; ++t) codes.back().push_back(*s.dicts[t].lookup(values[t]));
    }
    auto image = compile_index(s);
    ASSERT_TRUE(image);
    const std::vector<uint8_t>& b = *image;

    const size_t blocks = n / 64 + (n % 64 != 0);
    const size_t sig_size = dim / 8 + (dim % 8 != 0);
    const size_t sig_start = 64 + blocks * traits * 64;
    const size_t off_start = sig_start + n * sig_size;
    ASSERT_EQ(b.size(), off_start + 8 * n);
    EXPECT_EQ(le64(b, 6), n);
    EXPECT_EQ(b[14] | b[15] << 8, traits);
    EXPECT_EQ(b[16] | b[17] << 8, dim);
    for (size_t i = 19; i < 64; ++i) ASSERT_EQ(b[i], 0);

    for (size_t r = 0; r < n; ++r) {
      const BufferedRecord& rec = s.records[r];
      for (size_t t = 0; t < traits; ++t) {
        unsigned code = 0;
        for (size_t k = 0; k < 8; ++k) {
          const uint64_t w = le64(b, 64 + 8 * ((r / 64) * traits * 8 + t * 8 + k));
          code |= static_cast<unsigned>((w >> (r % 64)) & 1) << k;
        }
        ASSERT_EQ(code, codes[r][t]) << "record " << r << " trait " << t;
      }
      for (size_t bit = 0; bit < sig_size * 8; ++bit) {
        const bool stored = (b[sig_start + r * sig_size + bit / 8] >> (bit % 8)) & 1;
        const bool expected = rec.embedding && bit < dim && (*rec.embedding)[bit] > 0.0f;
        ASSERT_EQ(stored, expected) << "record " << r << " dimension " << bit;
      }
      ASSERT_EQ(le64(b, off_start + 8 * r), rec.external_offset);
    }
    // Positions past the last record are zero in every plane word of the last block.
    if (n % 64 != 0) {
      for (size_t w = 0; w < traits * 8u; ++w) {
        ASSERT_EQ(le64(b, 64 + 8 * ((blocks - 1) * traits * 8 + w)) >> (n % 64), 0u);
      }
    }
    auto again = compile_index(s);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, b) << "compiling twice gives identical bytes";
  }
}

}  // namespace
}  // namespace korvel
