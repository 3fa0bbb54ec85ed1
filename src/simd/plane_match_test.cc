// Both plane-matching kernels against a word-at-a-time reference: every width, combine
// operation and block count around the pairing, strides with other traits' planes in
// between, unaligned planes, and no write past the last block.
#include "simd/plane_match.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "common/little_endian.h"
#include "simd/test_kernels.h"

namespace korvel {
namespace {

uint64_t reference_word(const uint8_t* block, const uint64_t* flip, unsigned width) {
  uint64_t match = ~uint64_t{0};
  for (unsigned k = 0; k < width; ++k) match &= load_u64(block + 8 * k) ^ flip[k];
  return match;
}

class MatchPlanesTest : public testing::TestWithParam<KernelVariant<MatchPlanesKernel>> {
 protected:
};

TEST_P(MatchPlanesTest, MatchesReferenceForEveryShape) {
  std::mt19937_64 rng(7);
  const PlaneCombine combines[] = {PlaneCombine::kAssign, PlaneCombine::kAnd, PlaneCombine::kOr};
  for (unsigned width : {4u, 8u, 16u}) {
    for (unsigned traits : {1u, 3u}) {
      for (size_t blocks : {0, 1, 2, 3, 4, 5, 8, 9, 33}) {
        for (PlaneCombine combine : combines) {
          const size_t stride = size_t{traits} * width * 8;
          const size_t trait = traits - 1;
          const size_t shift = blocks % 8;  // any alignment
          // The matched trait is the last one, so the buffer ends with the last plane word
          // read and the sanitizer build catches any read past it.
          std::vector<uint8_t> planes(shift + std::max<size_t>(blocks, 1) * stride);
          // Mostly equal bits, so that matches are neither all nor none.
          for (size_t i = 0; i < planes.size(); ++i) {
            planes[i] = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : (rng() & 1) * 0xFF);
          }
          std::vector<uint64_t> flip(width);
          for (uint64_t& f : flip) f = rng() % 2 == 0 ? 0 : ~uint64_t{0};
          std::vector<uint64_t> out(blocks + 1), want(blocks + 1);
          for (size_t b = 0; b <= blocks; ++b) out[b] = want[b] = rng();
          const uint8_t* first = planes.data() + shift + trait * width * 8;
          for (size_t b = 0; b < blocks; ++b) {
            const uint64_t match = reference_word(first + b * stride, flip.data(), width);
            want[b] = combine == PlaneCombine::kAssign ? match
                      : combine == PlaneCombine::kAnd  ? want[b] & match
                                                       : want[b] | match;
          }
          GetParam().kernel(first, stride, flip.data(), width, combine, out.data(), blocks);
          ASSERT_EQ(out, want) << "width " << width << " traits " << traits << " blocks " << blocks
                               << " combine " << static_cast<int>(combine);
        }
      }
    }
  }
}

// The flip words decide, per code bit, whether a record's bit must be 1 or 0.
TEST_P(MatchPlanesTest, SelectsRecordsByCode) {
  // Records 0..63 of one block with 4-bit code r % 16: plane k holds bit k of every code.
  std::vector<uint8_t> planes(32);
  for (unsigned k = 0; k < 4; ++k) {
    uint64_t plane = 0;
    for (unsigned r = 0; r < 64; ++r) plane |= uint64_t{((r % 16) >> k) & 1u} << r;
    store_u64(&planes[8 * k], plane);
  }
  for (unsigned code = 0; code < 16; ++code) {
    uint64_t flip[4];
    for (unsigned k = 0; k < 4; ++k) flip[k] = ((code >> k) & 1u) != 0 ? 0 : ~uint64_t{0};
    uint64_t out = 0;
    GetParam().kernel(planes.data(), 32, flip, 4, PlaneCombine::kAssign, &out, 1);
    EXPECT_EQ(out, uint64_t{0x0001000100010001} << code) << code;
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, MatchPlanesTest,
                         testing::ValuesIn(usable_kernels(&KernelTable::match_planes)),
                         KernelName{});

}  // namespace
}  // namespace korvel
