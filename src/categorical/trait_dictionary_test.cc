#include "categorical/trait_dictionary.h"

#include <gtest/gtest.h>

#include "categorical/plane_packing.h"
#include "categorical/test_plane_codes.h"

namespace korvel {
namespace {

TEST(TraitDictionary, CodesInFirstSeenOrderAndStable) {
  TraitDictionary d;
  EXPECT_EQ(*d.assign_token("x", 8), 0);
  EXPECT_EQ(*d.assign_token("y", 8), 1);
  EXPECT_EQ(*d.assign_token("x", 8), 0);
  EXPECT_EQ(*d.assign_token("", 8), 2);
  EXPECT_EQ(*d.assign_token("X", 8), 3);  // case-sensitive
  EXPECT_EQ(*d.assign_token("z", 8), 4);
  auto entries = d.entries_by_code();
  ASSERT_EQ(entries.size(), 5u);
  const char* expected[] = {"x", "y", "", "X", "z"};
  for (uint16_t c = 0; c < 5; ++c) {
    EXPECT_EQ(entries[c].first, expected[c]);
    EXPECT_EQ(entries[c].second, c);
  }
  EXPECT_EQ(d.lookup("y"), std::optional<uint16_t>(1));
  EXPECT_EQ(d.lookup("w"), std::nullopt);
  EXPECT_GE(d.entry_capacity(), d.size());
}

TEST(TraitDictionary, OverflowAtCapacityKeepsKnownValues) {
  struct Case {
    uint8_t bits;
    uint32_t capacity;
  };
  for (Case c : {Case{4, 16}, Case{8, 256}, Case{16, 65536}, Case{12, 65536}}) {
    TraitDictionary d;
    for (uint32_t i = 0; i < c.capacity; ++i)
      ASSERT_TRUE(d.assign_token(std::to_string(i), c.bits));
    EXPECT_EQ(*d.assign_token("0", c.bits), 0) << "known values pass even when full";
    auto r = d.assign_token("new", c.bits);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().count, c.capacity + 1);
    EXPECT_EQ(d.size(), c.capacity);
    if (c.bits == 8) {
      EXPECT_EQ(
          to_string(r.error()),
          "Trait 'new' overflow: 257 unique values exceeds 256-value capacity for 8-bit mode");
    }
  }
}

TEST(TraitDictionary, InsertWithCodeLastWins) {
  TraitDictionary d;
  d.insert_with_code("k", 1);
  d.insert_with_code("k", 2);
  EXPECT_EQ(d.lookup("k"), std::optional<uint16_t>(2));
  EXPECT_EQ(d.size(), 1u);
}

TEST(CompileError, UnknownTraitValueText) {
  CompileError e = UnknownTraitValue{"v", 2, 7};
  EXPECT_EQ(
      to_string(e),
      "Unknown trait value 'v' for trait index 2 at record 7 (not assigned via assign_token)");
}

TEST(PlanePacking, PackThenUnpackEveryCode) {
  for (uint8_t w : {uint8_t{4}, uint8_t{8}, uint8_t{16}}) {
    for (uint32_t code = 0; code < (1u << w); code += (w == 16 ? 257 : 1)) {
      uint64_t words[3 * 16] = {};
      pack_code(words, 1, w, static_cast<uint16_t>(code), 37);
      EXPECT_EQ(unpack_code(words, 1, w, 37), code);
      EXPECT_EQ(unpack_code(words, 0, w, 37), 0);
      EXPECT_EQ(unpack_code(words, 1, w, 36), 0);
    }
  }
  // Code 5 in an 8-bit index sets exactly plane words t*8+0 and t*8+2.
  uint64_t words[16] = {};
  pack_code(words, 1, 8, 5, 3);
  for (int k = 0; k < 16; ++k) EXPECT_EQ(words[k], (k == 8 || k == 10) ? (1ull << 3) : 0ull);
}

}  // namespace
}  // namespace korvel
