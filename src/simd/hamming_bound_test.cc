// Every bound kernel against a naive XOR bit count: every signature length 0..80 and long ones
// (past the chunk counts held in registers and the byte counters' limit), odd record counts
// around the register and mask-word groupings, bounds across the distance range, signatures at
// unaligned addresses in exactly sized buffers (the sanitizer build catches a read past them).
#include "simd/hamming_bound.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "simd/test_bit_count.h"
#include "simd/test_kernels.h"

namespace korvel {
namespace {

class HammingBoundTest : public testing::TestWithParam<KernelVariant<HammingBoundKernel>> {};

TEST_P(HammingBoundTest, MasksMatchNaiveDistances) {
  std::mt19937 rng(21);
  std::vector<size_t> lengths;
  for (size_t len = 0; len <= 80; ++len) lengths.push_back(len);
  for (size_t len : {96, 127, 128, 192, 200, 256, 257, 1000, 2048 + 40}) lengths.push_back(len);
  for (size_t len : lengths) {
    for (size_t count : {0, 1, 3, 5, 7, 9, 31, 63, 64, 65, 131, 515}) {
      const size_t shift = (len + count) % 7;
      std::vector<uint8_t> query(len + shift), sigs(shift + count * len);
      for (uint8_t& b : query) b = static_cast<uint8_t>(rng());
      for (uint8_t& b : sigs) b = static_cast<uint8_t>(rng());
      const uint8_t* q = query.data() + shift;
      const uint8_t* s = sigs.data() + shift;
      // A signature equal to the query and one its complement: distances 0 and 8 * len.
      if (count > 2 && len > 0) {
        std::copy(q, q + len, sigs.begin() + static_cast<ptrdiff_t>(shift + len));
        for (size_t k = 0; k < len; ++k) sigs[shift + 2 * len + k] = static_cast<uint8_t>(~q[k]);
      }
      const uint32_t r = static_cast<uint32_t>(rng() % 6);
      const uint32_t bound = r == 0   ? 0
                             : r == 1 ? ~uint32_t{0}
                             : r == 2
                                 ? static_cast<uint32_t>(8 * len)
                                 : static_cast<uint32_t>(4 * len - len / 2 + rng() % (len + 1));
      const size_t words = (count + 63) / 64;
      std::vector<uint64_t> masks(words + 1, 0xA5A5A5A5A5A5A5A5u);
      GetParam().kernel(q, s, len, count, bound, masks.data());
      for (size_t i = 0; i < 64 * words; ++i) {
        const bool expected = i < count && naive_hamming(q, s + i * len, len) <= bound;
        ASSERT_EQ((masks[i / 64] >> (i % 64)) & 1u, expected ? 1u : 0u)
            << "len " << len << " count " << count << " record " << i << " bound " << bound;
      }
      ASSERT_EQ(masks[words], 0xA5A5A5A5A5A5A5A5u) << "wrote past the last word, len " << len;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, HammingBoundTest,
                         testing::ValuesIn(usable_kernels(&KernelTable::hamming_bound)),
                         KernelName{});

}  // namespace
}  // namespace korvel
