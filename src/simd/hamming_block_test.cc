// Every block kernel against a naive XOR bit count: every signature length 0..80 and some
// long ones, full and partial blocks, records taken in order and picked by number, several
// query counts, bounds across the distance range.
#include "simd/hamming_block.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "simd/hamming.h"
#include "simd/kernel_table.h"
#include "simd/test_bit_count.h"

namespace korvel {
namespace {

struct BlockCase {
  const HammingBlockKernel* kernel;
  bool (*usable)();
};

void PrintTo(const BlockCase& c, std::ostream* os) { *os << c.kernel->name; }

class HammingBlockTest : public testing::TestWithParam<BlockCase> {};

TEST_P(HammingBlockTest, MasksMatchNaiveDistances) {
  const HammingBlockKernel& kernel = *GetParam().kernel;
  if (!GetParam().usable()) GTEST_SKIP() << kernel.name << " not supported on this CPU";
  std::mt19937 rng(7);
  std::vector<size_t> lengths;
  for (size_t len = 0; len <= 80; ++len) lengths.push_back(len);
  for (size_t len : {96, 127, 128, 200, 1000}) lengths.push_back(len);
  constexpr size_t kWords = kBlockRecords / 64;
  for (size_t len : lengths) {
    const size_t stored = 700;  // more than one block, so picked records can be scattered
    std::vector<uint8_t> sigs(stored * len);
    for (uint8_t& b : sigs) b = static_cast<uint8_t>(rng());
    const size_t count = len % 3 == 0 ? kBlockRecords : 1 + rng() % kBlockRecords;
    const bool picked = len % 2 == 1;
    std::vector<uint32_t> records(count);
    const uint64_t first = picked ? 0 : rng() % (stored - count + 1);
    for (size_t i = 0; i < count; ++i) {
      records[i] =
          picked ? static_cast<uint32_t>(rng() % stored) : static_cast<uint32_t>(first + i);
    }
    const size_t query_count = std::vector<size_t>{1, 2, 3, 5, 8, kBlockQueries}[len % 6];
    std::vector<uint8_t> queries(query_count * len);
    for (uint8_t& b : queries) b = static_cast<uint8_t>(rng());
    std::vector<uint32_t> bounds(query_count);
    for (size_t q = 0; q < query_count; ++q) {
      // Mostly near the mean distance 4 * len, where about half the records pass.
      const uint32_t r = rng() % 8;
      bounds[q] = r == 0   ? 0
                  : r == 1 ? ~uint32_t{0}
                           : static_cast<uint32_t>(4 * len - len / 2 + rng() % (len + 1));
    }
    std::vector<uint8_t> block(kernel.block_bytes(len));
    std::vector<uint8_t> prepared(query_count * kernel.query_bytes(len));
    std::vector<uint64_t> masks(query_count * kWords, 0xA5A5A5A5A5A5A5A5u);
    kernel.prepare_block(sigs.data(), len, picked ? records.data() : nullptr, first, count,
                         block.data());
    kernel.prepare_queries(queries.data(), len, query_count, prepared.data());
    kernel.scan(block.data(), len, count, prepared.data(), query_count, bounds.data(),
                masks.data());
    for (size_t q = 0; q < query_count; ++q) {
      for (size_t i = 0; i < kBlockRecords; ++i) {
        const bool expected =
            i < count && naive_hamming(queries.data() + q * len,
                                       sigs.data() + size_t{records[i]} * len, len) <= bounds[q];
        const bool got = (masks[q * kWords + i / 64] >> (i % 64)) & 1u;
        ASSERT_EQ(got, expected) << kernel.name << " len " << len << " count " << count << " query "
                                 << q << " record " << i << " bound " << bounds[q];
      }
    }
  }
}

bool always() { return true; }
bool avx2() { return instruction_set_usable(InstructionSet::kAvx2); }
bool avx512() { return instruction_set_usable(InstructionSet::kAvx512); }

INSTANTIATE_TEST_SUITE_P(Kernels, HammingBlockTest,
                         testing::Values(BlockCase{&kHammingBlockPortable, always},
                                         BlockCase{&kHammingBlockAvx2, avx2},
                                         BlockCase{&kHammingBlockAvx512, avx512}));

}  // namespace
}  // namespace korvel
