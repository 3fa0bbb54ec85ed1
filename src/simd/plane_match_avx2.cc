// AVX2 plane-matching kernel: the portable kernel's method (plane_match_portable.cc) four
// plane words at a time. Compiled for baseline x86-64: only the kernel carries
// target("avx2").
#include "simd/plane_match.h"
#include "simd/plane_match_loops.h"

namespace korvel {
namespace {

using namespace plane_match_detail;

// Half the instructions of the SSE2 loop, which bound its speed on cached planes.
template <unsigned kWidth, PlaneCombine kCombine>
__attribute__((target("avx2"))) void match_avx2(const uint8_t* planes, size_t block_stride,
                                                const uint64_t* flip, uint64_t* out,
                                                size_t blocks) noexcept {
  constexpr unsigned kVectors = kWidth / 4;
  __m256i flips[kVectors];
  for (unsigned k = 0; k < kVectors; ++k) {
    flips[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(flip + 4 * k));
  }
  auto lanes = [&flips](const uint8_t* block) __attribute__((target("avx2"))) {
    __m256i acc = _mm256_set1_epi8(-1);
#pragma GCC unroll 4
    for (unsigned k = 0; k < kVectors; ++k) {
      const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32 * k));
      acc = _mm256_and_si256(acc, _mm256_xor_si256(words, flips[k]));
    }
    return acc;
  };
  size_t b = 0;
  for (; b + 2 <= blocks; b += 2, planes += 2 * block_stride) {
    prefetch_pair<kWidth>(planes, b, blocks, block_stride);
    const __m256i first = lanes(planes);
    const __m256i second = lanes(planes + block_stride);
    const __m256i halves = _mm256_and_si256(_mm256_unpacklo_epi64(first, second),
                                            _mm256_unpackhi_epi64(first, second));
    combine_pair<kCombine>(out + b, _mm_and_si128(_mm256_castsi256_si128(halves),
                                                  _mm256_extracti128_si256(halves, 1)));
  }
  if (b < blocks) {
    const __m256i last = lanes(planes);
    const __m128i half =
        _mm_and_si128(_mm256_castsi256_si128(last), _mm256_extracti128_si256(last, 1));
    combine_word<kCombine>(out + b, _mm_and_si128(half, _mm_unpackhi_epi64(half, half)));
  }
}

constexpr Loop kAvx2Loops[3][3] = {
    {match_avx2<4, PlaneCombine::kAssign>, match_avx2<4, PlaneCombine::kAnd>,
     match_avx2<4, PlaneCombine::kOr>},
    {match_avx2<8, PlaneCombine::kAssign>, match_avx2<8, PlaneCombine::kAnd>,
     match_avx2<8, PlaneCombine::kOr>},
    {match_avx2<16, PlaneCombine::kAssign>, match_avx2<16, PlaneCombine::kAnd>,
     match_avx2<16, PlaneCombine::kOr>}};

}  // namespace

void match_planes_avx2(const uint8_t* planes, size_t block_stride, const uint64_t* flip,
                       unsigned width, PlaneCombine combine, uint64_t* out,
                       size_t blocks) noexcept {
  kAvx2Loops[width_row(width)][static_cast<size_t>(combine)](planes, block_stride, flip, out,
                                                             blocks);
}

}  // namespace korvel
