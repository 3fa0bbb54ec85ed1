// The set-membership kernels against codes decoded one record at a time: every width,
// combine operation, a range of set densities, strides with other traits' planes between,
// unaligned planes, and no write past the last block.
#include "simd/plane_set.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "categorical/test_plane_codes.h"
#include "simd/test_kernels.h"

namespace korvel {
namespace {

class MatchSetTest : public testing::TestWithParam<KernelVariant<MatchSetKernel>> {};

TEST_P(MatchSetTest, MatchesDecodedCodes) {
  std::mt19937_64 rng(11);
  const PlaneCombine combines[] = {PlaneCombine::kAssign, PlaneCombine::kAnd, PlaneCombine::kOr};
  for (unsigned width : {4u, 8u, 16u}) {
    for (unsigned traits : {1u, 2u}) {
      for (size_t blocks : {0, 1, 2, 7}) {
        for (unsigned density : {0u, 1u, 8u, 64u}) {  // members per 64 codes
          for (PlaneCombine combine : combines) {
            const size_t stride = size_t{traits} * width * 8;
            const size_t shift = blocks % 8;
            std::vector<uint8_t> planes(shift + std::max<size_t>(blocks, 1) * stride);
            for (uint8_t& byte : planes) byte = static_cast<uint8_t>(rng());
            std::vector<uint64_t> member(std::max<size_t>(1, (size_t{1} << width) / 64));
            for (uint64_t& w : member) {
              for (unsigned i = 0; i < density; ++i) w |= uint64_t{1} << (rng() % 64);
            }
            if (width == 4) member[0] &= 0xFFFF;
            std::vector<uint64_t> out(blocks + 1), want(blocks + 1);
            for (size_t b = 0; b <= blocks; ++b) {
              // Some words all zero or all ones, which kAnd / kOr may leave unread.
              out[b] = want[b] = b % 3 == 0 ? 0 : b % 3 == 1 ? ~uint64_t{0} : rng();
            }
            const size_t trait = traits - 1;
            const uint8_t* base = planes.data() + shift;
            for (size_t b = 0; b < blocks; ++b) {
              std::vector<uint64_t> words(stride / 8);
              for (size_t i = 0; i < words.size(); ++i) {
                for (unsigned byte = 0; byte < 8; ++byte)
                  words[i] |= uint64_t{base[b * stride + 8 * i + byte]} << (8 * byte);
              }
              uint64_t match = 0;
              for (unsigned j = 0; j < 64; ++j) {
                const uint16_t c = unpack_code(words.data(), trait, static_cast<uint8_t>(width), j);
                match |= ((member[c / 64] >> (c % 64)) & 1) << j;
              }
              want[b] = combine == PlaneCombine::kAssign ? match
                        : combine == PlaneCombine::kAnd  ? want[b] & match
                                                         : want[b] | match;
            }
            GetParam().kernel(base + trait * width * 8, stride, width, member.data(), combine,
                              out.data(), blocks);
            ASSERT_EQ(out, want) << "width " << width << " blocks " << blocks << " density "
                                 << density << " combine " << static_cast<int>(combine);
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, MatchSetTest,
                         testing::ValuesIn(usable_kernels(&KernelTable::match_set)), KernelName{});

}  // namespace
}  // namespace korvel
