// The batch and gather kernels against a naive XOR bit count, on every length up to past
// the ones whose query stays in registers, on the lengths where the AVX2 kernel widens its
// byte counters, at unaligned addresses, and (gather) on random record lists.
#include "simd/hamming_batch.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "simd/test_bit_count.h"
#include "simd/test_kernels.h"

namespace korvel {
namespace {

class HammingBatchTest : public testing::TestWithParam<KernelVariant<HammingBatchKernel>> {
 protected:
  // Checks `count` random signatures of `len` bytes placed `shift` bytes into exactly sized
  // buffers (so the sanitizer build catches a read past the end).
  void check(std::mt19937& rng, size_t len, size_t count, size_t shift, bool all_differ) {
    std::vector<uint8_t> query(len + shift), sigs(len * count + shift);
    for (auto& byte : query) byte = static_cast<uint8_t>(rng());
    for (size_t i = 0; i < sigs.size(); ++i) {
      sigs[i] = all_differ && i >= shift ? static_cast<uint8_t>(~query[shift + (i - shift) % len])
                                         : static_cast<uint8_t>(rng());
    }
    std::vector<uint32_t> out(count + 1, 0xDEADBEEF);
    GetParam().kernel(query.data() + shift, sigs.data() + shift, len, count, out.data());
    for (size_t r = 0; r < count; ++r) {
      ASSERT_EQ(out[r], naive_hamming(query.data() + shift, sigs.data() + shift + r * len, len))
          << "len " << len << " record " << r << " shift " << shift;
    }
    EXPECT_EQ(out[count], 0xDEADBEEFu) << "wrote past the last record";
  }
};

TEST_P(HammingBatchTest, ShortLengthsAndCounts) {
  std::mt19937 rng(3);
  for (size_t len = 0; len <= 170; ++len) {
    for (size_t count : {0, 1, 2, 5, 12}) check(rng, len, count, len % 7, false);
  }
}

// 31 chunks of 32 bytes fit the byte counters; longer signatures widen in between. A
// signature against its complement makes every byte count 8, the worst case.
TEST_P(HammingBatchTest, LongSignaturesAtTheCounterLimits) {
  std::mt19937 rng(4);
  for (size_t len : {96, 992, 993, 1000, 1024, 2048 + 40, 8192}) {
    check(rng, len, 3, 1, true);
    check(rng, len, 3, 0, false);
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, HammingBatchTest,
                         testing::ValuesIn(usable_kernels(&KernelTable::hamming_batch)),
                         KernelName{});

class HammingGatherTest : public testing::TestWithParam<KernelVariant<HammingGatherKernel>> {
 protected:
  // Scores `count` random record indexes (repeats and any order allowed) out of `records`
  // signatures of `len` bytes in an exactly sized section starting `shift` bytes in.
  void check(std::mt19937& rng, size_t len, size_t records, size_t count, size_t shift) {
    std::vector<uint8_t> query(len), section(shift + records * len);
    for (auto& byte : query) byte = static_cast<uint8_t>(rng());
    for (auto& byte : section) byte = static_cast<uint8_t>(rng());
    std::vector<uint32_t> list(count);
    for (size_t i = 0; i < count; ++i) {
      // The first and the last record often, so reads at both ends of the section are seen.
      const size_t pick = rng() % 4;
      list[i] = static_cast<uint32_t>(pick == 0 ? 0 : pick == 1 ? records - 1 : rng() % records);
    }
    std::vector<uint32_t> out(count + 1, 0xDEADBEEF);
    const uint8_t* sigs = section.data() + shift;
    GetParam().kernel(query.data(), sigs, len, list.data(), count, out.data());
    for (size_t i = 0; i < count; ++i) {
      ASSERT_EQ(out[i], naive_hamming(query.data(), sigs + size_t{list[i]} * len, len))
          << "len " << len << " entry " << i << " record " << list[i] << " shift " << shift;
    }
    EXPECT_EQ(out[count], 0xDEADBEEFu) << "wrote past the last entry";
  }
};

// Counts below, at and above the prefetch distance; lengths through every whole-block
// count the kernel keeps in registers and into the general loop.
TEST_P(HammingGatherTest, EveryLengthAndCount) {
  std::mt19937 rng(11);
  for (size_t len = 0; len <= 170; ++len) {
    for (size_t count : {0, 1, 15, 16, 17, 40}) check(rng, len, 1 + rng() % 50, count, len % 5);
  }
}

TEST_P(HammingGatherTest, LongSignatures) {
  std::mt19937 rng(12);
  for (size_t len : {992, 993, 1000, 2048 + 40}) check(rng, len, 7, 20, 3);
}

INSTANTIATE_TEST_SUITE_P(Kernels, HammingGatherTest,
                         testing::ValuesIn(usable_kernels(&KernelTable::hamming_gather)),
                         KernelName{});

}  // namespace
}  // namespace korvel
