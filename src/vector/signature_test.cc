// Signature bits against a naive loop and edge values.
#include "vector/signature.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace korvel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<uint8_t> naive_signature(const std::vector<float>& v) {
  std::vector<uint8_t> out(signature_bytes(v.size()), 0);
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] > 0.0f) out[i / 8] = static_cast<uint8_t>(out[i / 8] | (1u << (i % 8)));
  }
  return out;
}

TEST(Signature, EachValueSetsItsBitOnlyWhenGreaterThanZero) {
  struct Case {
    float value;
    uint8_t bit;
  };
  const Case cases[] = {
      {0.0f, 0},
      {-0.0f, 0},
      {kNaN, 0},
      {-kNaN, 0},
      {-kInf, 0},
      {-1.0f, 0},
      {-std::numeric_limits<float>::denorm_min(), 0},
      {std::numeric_limits<float>::denorm_min(), 1},
      {std::numeric_limits<float>::min(), 1},
      {1.0f, 1},
      {kInf, 1},
      {std::numeric_limits<float>::max(), 1},
  };
  for (const Case& c : cases) {
    // At every position of a 16-value vector (both the vector path and the tail), with
    // neighbours of the opposite answer so a leaked bit shows.
    for (size_t len : {size_t{1}, size_t{8}, size_t{13}, size_t{16}}) {
      for (size_t pos = 0; pos < len; ++pos) {
        std::vector<float> v(len, c.bit ? -1.0f : 1.0f);
        v[pos] = c.value;
        std::vector<uint8_t> expected(signature_bytes(len), 0);
        for (size_t i = 0; i < len; ++i) {
          if (i != pos ? !c.bit : c.bit) expected[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        }
        EXPECT_EQ(compute_signature(v), expected)
            << "value " << c.value << " at " << pos << " of " << len;
      }
    }
  }
}

TEST(Signature, SizesAndSpareBits) {
  EXPECT_TRUE(compute_signature({}).empty());
  const std::vector<float> nine(9, 1.0f);
  EXPECT_EQ(compute_signature(nine), (std::vector<uint8_t>{0xFF, 0x01}));
  const std::vector<float> fifteen(15, kInf);
  EXPECT_EQ(compute_signature(fifteen), (std::vector<uint8_t>{0xFF, 0x7F}));
}

TEST(Signature, MatchesNaiveAndWritesNoFurther) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> pick(0, 5);
  const float specials[] = {0.0f, -0.0f, kNaN, kInf, -kInf};
  for (size_t len = 0; len <= 100; ++len) {
    for (int round = 0; round < 4; ++round) {
      std::vector<float> v(len);
      for (float& x : v) {
        const int k = pick(rng);
        x = k < 5 ? specials[k] : std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
      }
      const std::vector<uint8_t> expected = naive_signature(v);
      std::vector<uint8_t> out(expected.size() + 8, 0xAB);
      compute_signature_into(v, out.data());
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin())) << "len " << len;
      for (size_t i = expected.size(); i < out.size(); ++i) ASSERT_EQ(out[i], 0xAB) << len;
      EXPECT_EQ(compute_signature(v), expected);
    }
  }
}

}  // namespace
}  // namespace korvel
