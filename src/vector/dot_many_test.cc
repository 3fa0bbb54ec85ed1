// The lane-parallel dot products against dot_f32_le, row by row and bit for bit: every row
// count around the pass size, lengths around the four-value step, rows at odd byte offsets,
// repeated rows, and values that make the order of the additions visible.
#include "vector/dot_many.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "vector/signature.h"

namespace korvel {
namespace {

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

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
