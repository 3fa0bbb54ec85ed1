// The dot product bit-for-bit against an exact emulation of each float32 step, including
// inputs that expose FMA and reordering; the lane-parallel dot products against it row by
// row: every row count around the pass size, lengths around the four-value step, rows at odd
// byte offsets, repeated rows, and values that make the order of the additions visible.
#include "vector/dot.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace korvel {
namespace {

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

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

// The little-endian bytes of `v`.
std::vector<uint8_t> le_bytes(const std::vector<float>& v) {
  std::vector<uint8_t> out(4 * v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    const uint32_t u = bits(v[i]);
    for (size_t k = 0; k < 4; ++k) out[4 * i + k] = static_cast<uint8_t>(u >> (8 * k));
  }
  return out;
}

TEST(DotF32Le, MatchesLeftToRightFloat32Sum) {
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
      ASSERT_EQ(bits(dot_f32_le(a.data(), le_bytes(b).data(), n)), bits(reference_dot(a, b)))
          << "n " << n;
      ASSERT_EQ(bits(dot_f32_le(a.data(), le_bytes(a).data(), n)), bits(reference_dot(a, a)))
          << "n " << n;
    }
  }
}

TEST(DotF32Le, NoFusedMultiplyAddNoReorderNoWiderAccumulator) {
  // Fused: -1 + (1 + 2^-12)^2 keeps the 2^-24 term that the rounded product loses.
  const float e = 1.0f + std::ldexp(1.0f, -12);
  const std::vector<float> fa = {-1.0f, e}, fb = {1.0f, e};
  const float fused = std::fma(e, e, -1.0f);
  const float expected = reference_dot(fa, fb);
  ASSERT_NE(bits(fused), bits(expected));  // the case really tells the two apart
  EXPECT_EQ(bits(dot_f32_le(fa.data(), le_bytes(fb).data(), 2)), bits(expected));
  EXPECT_EQ(expected, std::ldexp(1.0f, -11));

  // 1e8 + 1 rounds back to 1e8 in float32; any other order or a double sum gives 1.
  const std::vector<float> ra = {1e8f, 1.0f, -1e8f}, ones = {1.0f, 1.0f, 1.0f};
  EXPECT_EQ(bits(dot_f32_le(ra.data(), le_bytes(ones).data(), 3)), bits(0.0f));

  // The accumulator starts at +0.0: a sum of negative zeros stays +0.0.
  const std::vector<float> nz = {-0.0f, -0.0f};
  EXPECT_EQ(bits(dot_f32_le(nz.data(), le_bytes(ones).data(), 2)), bits(0.0f));
  EXPECT_EQ(bits(dot_f32_le(nullptr, nullptr, 0)), bits(0.0f));
}

TEST(DotF32Le, LittleEndianInputAtAnyByteOffset) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> dist(-4.0f, 4.0f);
  for (size_t n : {size_t{0}, size_t{1}, size_t{5}, size_t{64}, size_t{768}}) {
    std::vector<float> a(n), b(n);
    for (size_t i = 0; i < n; ++i) {
      a[i] = dist(rng);
      b[i] = dist(rng);
    }
    const float expected = dot_f32_le(a.data(), le_bytes(b).data(), n);
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

TEST(DotF32LeMany, EachRowEqualsItsOwnLeftToRightSum) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-30, 30);
  std::uniform_int_distribution<int> special(0, 40);
  const float specials[] = {0.0f, -0.0f, std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::max()};
  auto value = [&] {
    const int s = special(rng);
    return s < 5 ? specials[s] : std::ldexp(mantissa(rng), exponent(rng));
  };
  for (size_t n : {0, 1, 3, 4, 5, 7, 8, 9, 31, 64, 771}) {
    std::vector<float> query(n);
    for (float& x : query) x = value();
    // A pool of rows stored one byte past each float boundary, so no row is aligned.
    constexpr size_t kPool = 40;
    std::vector<uint8_t> store(kPool * 4 * n + 1);
    for (size_t i = 0; i + 1 < store.size(); i += 4) {
      const float x = value();
      std::memcpy(store.data() + 1 + i, &x, 4);
    }
    for (size_t count = 0; count <= 30; ++count) {
      std::vector<const uint8_t*> rows(count);
      for (size_t r = 0; r < count; ++r) {
        rows[r] = store.data() + 1 + 4 * n * ((r * 7) % (r % 5 == 4 ? 3 : kPool));  // repeats
      }
      std::vector<float> out(count + 1, -1.0f);
      dot_f32_le_many(query.data(), n, rows.data(), count, out.data());
      for (size_t r = 0; r < count; ++r) {
        const float want = dot_f32_le(query.data(), rows[r], n);
        if (std::isnan(want)) {
          EXPECT_TRUE(std::isnan(out[r])) << "n " << n << " count " << count << " row " << r;
        } else {
          EXPECT_EQ(bits(out[r]), bits(want)) << "n " << n << " count " << count << " row " << r;
        }
      }
      EXPECT_EQ(out[count], -1.0f) << "wrote past the last row, count " << count;
    }
  }
}

TEST(DotF32LeMany, AdditionOrderIsVisibleAndKeptPerRow) {
  // 1e8 + 1 - 1e8 in float32 is 0 left to right but 1 in any order that adds the small
  // terms first; each row puts the large terms at a different position.
  const float big = 1e8f;
  const std::vector<float> query(8, 1.0f);
  const std::vector<std::vector<float>> values = {{big, 1, -big, 0, 0, 0, 0, 0},
                                                  {1, big, -big, 0, 0, 0, 0, 0},
                                                  {0, 0, 0, 0, big, 1, -big, 0},
                                                  {1, 1, 1, 0, big, -big, 1, 1},
                                                  {0, 0, 0, big, 1, 1, 1, -big}};
  std::vector<const uint8_t*> rows;
  for (const auto& v : values) rows.push_back(reinterpret_cast<const uint8_t*>(v.data()));
  std::vector<float> out(rows.size());
  dot_f32_le_many(query.data(), 8, rows.data(), rows.size(), out.data());
  const float expected[] = {0.0f, 0.0f, 0.0f, 2.0f, 0.0f};
  for (size_t r = 0; r < rows.size(); ++r) {
    EXPECT_EQ(bits(out[r]), bits(dot_f32_le(query.data(), rows[r], 8))) << r;
    EXPECT_EQ(out[r], expected[r]) << r;
  }
}

}  // namespace
}  // namespace korvel
