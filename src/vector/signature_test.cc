// Signature bits against a naive loop and edge values; the dot product bit-for-bit against an
// exact emulation of each float32 step, including inputs that expose FMA and reordering.
#include "vector/signature.h"

#include <gtest/gtest.h>

#include <bit>
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

// Each float32 operation done in double and rounded back: exact, because a product of two
// floats fits in a double and a double sum of two floats rounds to float correctly.
float reference_dot(const std::vector<float>& a, const std::vector<float>& b) {
  float acc = 0.0f;
  for (size_t i = 0; i < a.size(); ++i) {
    const float product = static_cast<float>(static_cast<double>(a[i]) * b[i]);
    acc = static_cast<float>(static_cast<double>(acc) + product);
  }
  return acc;
}

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

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

TEST(DotF32, MatchesLeftToRightFloat32Sum) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-20, 20);
  for (size_t n = 0; n <= 300; n += (n < 40 ? 1 : 37)) {
    for (int round = 0; round < 5; ++round) {
      std::vector<float> a(n), b(n);
      for (size_t i = 0; i < n; ++i) {
        a[i] = std::ldexp(mantissa(rng), exponent(rng));
        b[i] = std::ldexp(mantissa(rng), exponent(rng));
      }
      ASSERT_EQ(bits(dot_f32(a.data(), b.data(), n)), bits(reference_dot(a, b))) << "n " << n;
      ASSERT_EQ(bits(dot_f32(a.data(), a.data(), n)), bits(reference_dot(a, a))) << "n " << n;
    }
  }
}

TEST(DotF32, NoFusedMultiplyAddNoReorderNoWiderAccumulator) {
  // Fused: -1 + (1 + 2^-12)^2 keeps the 2^-24 term that the rounded product loses.
  const float e = 1.0f + std::ldexp(1.0f, -12);
  const std::vector<float> fa = {-1.0f, e}, fb = {1.0f, e};
  const float fused = std::fma(e, e, -1.0f);
  const float expected = reference_dot(fa, fb);
  ASSERT_NE(bits(fused), bits(expected));  // the case really tells the two apart
  EXPECT_EQ(bits(dot_f32(fa.data(), fb.data(), 2)), bits(expected));
  EXPECT_EQ(expected, std::ldexp(1.0f, -11));

  // 1e8 + 1 rounds back to 1e8 in float32; any other order or a double sum gives 1.
  const std::vector<float> ra = {1e8f, 1.0f, -1e8f}, ones = {1.0f, 1.0f, 1.0f};
  EXPECT_EQ(bits(dot_f32(ra.data(), ones.data(), 3)), bits(0.0f));

  // The accumulator starts at +0.0: a sum of negative zeros stays +0.0.
  const std::vector<float> nz = {-0.0f, -0.0f};
  EXPECT_EQ(bits(dot_f32(nz.data(), ones.data(), 2)), bits(0.0f));
  EXPECT_EQ(bits(dot_f32(nullptr, nullptr, 0)), bits(0.0f));
}

TEST(DotF32, LittleEndianInputAtAnyByteOffset) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> dist(-4.0f, 4.0f);
  for (size_t n : {size_t{0}, size_t{1}, size_t{5}, size_t{64}, size_t{768}}) {
    std::vector<float> a(n), b(n);
    for (size_t i = 0; i < n; ++i) {
      a[i] = dist(rng);
      b[i] = dist(rng);
    }
    const float expected = dot_f32(a.data(), b.data(), n);
    for (size_t offset = 0; offset < 4; ++offset) {
      std::vector<uint8_t> raw(offset + 4 * n);
      for (size_t i = 0; i < n; ++i) {
        const uint32_t u = bits(b[i]);
        for (size_t k = 0; k < 4; ++k) raw[offset + 4 * i + k] = static_cast<uint8_t>(u >> (8 * k));
      }
      EXPECT_EQ(bits(dot_f32_le(a.data(), raw.data() + offset, n)), bits(expected))
          << "n " << n << " offset " << offset;
    }
  }
}

}  // namespace
}  // namespace korvel
