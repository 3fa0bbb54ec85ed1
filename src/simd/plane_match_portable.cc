// Portable plane-matching kernel: SSE2, part of baseline x86-64. A block's plane words are
// adjacent, so they are matched two at a time in vector lanes (the file is little-endian like
// x86) and the AND of a block's lanes is its match word. Blocks go in pairs: one unpack lines
// up the two blocks' lanes and one operation folds both, then one 128-bit operation combines
// both output words.
#include "simd/plane_match.h"
#include "simd/plane_match_loops.h"

namespace korvel {
namespace {

using namespace plane_match_detail;

template <unsigned kWidth, PlaneCombine kCombine>
void match_sse2(const uint8_t* planes, size_t block_stride, const uint64_t* flip, uint64_t* out,
                size_t blocks) noexcept {
  constexpr unsigned kVectors = kWidth / 2;
  __m128i flips[kVectors];
  for (unsigned k = 0; k < kVectors; ++k) {
    flips[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(flip + 2 * k));
  }
  auto lanes = [&flips](const uint8_t* block) {
    __m128i acc = _mm_set1_epi8(-1);
#pragma GCC unroll 8
    for (unsigned k = 0; k < kVectors; ++k) {
      const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * k));
      acc = _mm_and_si128(acc, _mm_xor_si128(words, flips[k]));
    }
    return acc;
  };
  size_t b = 0;
  for (; b + 2 <= blocks; b += 2, planes += 2 * block_stride) {
    prefetch_pair<kWidth>(planes, b, blocks, block_stride);
    const __m128i first = lanes(planes);
    const __m128i second = lanes(planes + block_stride);
    combine_pair<kCombine>(out + b, _mm_and_si128(_mm_unpacklo_epi64(first, second),
                                                  _mm_unpackhi_epi64(first, second)));
  }
  if (b < blocks) {
    const __m128i last = lanes(planes);
    combine_word<kCombine>(out + b, _mm_and_si128(last, _mm_unpackhi_epi64(last, last)));
  }
}

constexpr Loop kSse2Loops[3][3] = {
    {match_sse2<4, PlaneCombine::kAssign>, match_sse2<4, PlaneCombine::kAnd>,
     match_sse2<4, PlaneCombine::kOr>},
    {match_sse2<8, PlaneCombine::kAssign>, match_sse2<8, PlaneCombine::kAnd>,
     match_sse2<8, PlaneCombine::kOr>},
    {match_sse2<16, PlaneCombine::kAssign>, match_sse2<16, PlaneCombine::kAnd>,
     match_sse2<16, PlaneCombine::kOr>}};

}  // namespace

void match_planes_portable(const uint8_t* planes, size_t block_stride, const uint64_t* flip,
                           unsigned width, PlaneCombine combine, uint64_t* out,
                           size_t blocks) noexcept {
  kSse2Loops[width_row(width)][static_cast<size_t>(combine)](planes, block_stride, flip, out,
                                                             blocks);
}

}  // namespace korvel
