// The row-signing kernels against the definition: bit i set exactly when value i > 0.0, the
// first row holding a NaN or an infinity reported, for widths around the vector steps and
// values at every edge (both zeros, subnormals, the extremes, infinities, NaN).
#include "simd/sign_rows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "simd/test_kernels.h"

namespace korvel {
namespace {

class SignRowsTest : public testing::TestWithParam<KernelVariant<SignRowsKernel>> {};

TEST_P(SignRowsTest, MatchesDefinition) {
  const SignRowsKernel kernel = GetParam().kernel;
  constexpr float kEdges[] = {0.0f,
                              -0.0f,
                              std::numeric_limits<float>::denorm_min(),
                              -std::numeric_limits<float>::denorm_min(),
                              std::numeric_limits<float>::min(),
                              std::numeric_limits<float>::max(),
                              -std::numeric_limits<float>::max(),
                              1.0f,
                              -1.0f};
  constexpr float kSpecial[] = {
      std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
      std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN()};
  std::mt19937 rng(5);
  for (size_t dim : {1, 7, 8, 9, 31, 32, 33, 64, 100, 768}) {
    const size_t rows = 9;
    const size_t bytes = (dim + 7) / 8;
    std::vector<float> values(rows * dim + 1);  // + 1: rows start at every 4-byte offset
    float* v = values.data() + dim % 2;
    for (size_t i = 0; i < rows * dim; ++i) {
      v[i] = rng() % 3 == 0 ? kEdges[rng() % std::size(kEdges)]
                            : std::ldexp(static_cast<float>(rng() % 2001) - 1000.0f, -8);
    }
    std::vector<uint8_t> want(rows * bytes, 0);
    for (size_t i = 0; i < rows * dim; ++i) {
      if (v[i] > 0.0f) want[i / dim * bytes + i % dim / 8] |= uint8_t(1u << (i % dim % 8));
    }
    std::vector<uint8_t> got(rows * bytes, 0xAB);
    EXPECT_EQ(kernel(v, dim, rows, got.data()), rows) << dim;
    EXPECT_EQ(got, want) << dim;
    // One special value anywhere in a row stops there; earlier rows are signed.
    for (const float special : kSpecial) {
      const size_t row = rng() % rows;
      const size_t at = row * dim + rng() % dim;
      const float kept = v[at];
      v[at] = special;
      std::fill(got.begin(), got.end(), 0xAB);
      EXPECT_EQ(kernel(v, dim, rows, got.data()), row) << dim;
      EXPECT_TRUE(std::equal(got.begin(), got.begin() + row * bytes, want.begin())) << dim;
      v[at] = kept;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, SignRowsTest,
                         testing::ValuesIn(usable_kernels(&KernelTable::sign_rows)), KernelName{});

}  // namespace
}  // namespace korvel
