// Every Hamming kernel against a naive bit count on every short length and alignment.
#include "simd/hamming.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "simd/kernel_table.h"
#include "simd/test_bit_count.h"
#include "simd/test_kernels.h"
#include "vector/signature.h"

namespace korvel {
namespace {

class HammingKernelTest : public testing::TestWithParam<KernelVariant<HammingKernel>> {
 protected:
  uint32_t run(const uint8_t* a, const uint8_t* b, size_t len) const {
    return GetParam().kernel(a, b, len);
  }
};

TEST_P(HammingKernelTest, MatchesNaiveCountOnEveryLengthAndAlignment) {
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    std::mt19937 rng(seed);
    // Seed 4 uses sparse differences, the others uniform bytes.
    std::uniform_int_distribution<int> byte(0, 255), rare(0, 15);
    for (size_t len = 0; len <= 96; ++len) {
      for (size_t offset_a : {0, 1, 3, 7, 13}) {
        const size_t offset_b = (offset_a * 5 + 2) % 9;
        // Exactly sized buffers so the sanitizer build catches a read past the end.
        std::vector<uint8_t> a(offset_a + len), b(offset_b + len);
        for (size_t i = 0; i < len; ++i) {
          a[offset_a + i] = static_cast<uint8_t>(byte(rng));
          b[offset_b + i] =
              seed == 4 && rare(rng) != 0 ? a[offset_a + i] : static_cast<uint8_t>(byte(rng));
        }
        const uint8_t* pa = a.data() + offset_a;
        const uint8_t* pb = b.data() + offset_b;
        ASSERT_EQ(run(pa, pb, len), naive_hamming(pa, pb, len))
            << "seed " << seed << " len " << len << " offsets " << offset_a << "," << offset_b;
      }
    }
  }
}

TEST_P(HammingKernelTest, IdenticalIsZeroComplementIsDimension) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> magnitude(0.001f, 2.0f);
  std::bernoulli_distribution negative(0.5);
  for (size_t dim : {1, 7, 8, 9, 63, 64, 65, 255, 256, 257, 300, 768}) {
    std::vector<float> v(dim), flipped(dim);
    for (size_t i = 0; i < dim; ++i) {
      v[i] = negative(rng) ? -magnitude(rng) : magnitude(rng);
      flipped[i] = -v[i];
    }
    const std::vector<uint8_t> s = compute_signature(v), t = compute_signature(flipped);
    EXPECT_EQ(run(s.data(), s.data(), s.size()), 0u) << dim;
    EXPECT_EQ(run(s.data(), t.data(), s.size()), dim) << dim;
    // A record stored without an embedding has an all-zero signature.
    const std::vector<uint8_t> zero(s.size(), 0);
    EXPECT_EQ(run(zero.data(), s.data(), s.size()), naive_hamming(zero.data(), s.data(), s.size()));
  }
  const std::vector<uint8_t> ones(96, 0xFF), zeros(96, 0x00);
  EXPECT_EQ(run(ones.data(), zeros.data(), 96), 768u);
}

INSTANTIATE_TEST_SUITE_P(Kernels, HammingKernelTest,
                         testing::ValuesIn(usable_kernels(&KernelTable::hamming)), KernelName{});

}  // namespace
}  // namespace korvel
