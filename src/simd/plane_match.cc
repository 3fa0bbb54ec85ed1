// Plane-matching kernels. A block's plane words are adjacent, so they are matched several
// at a time in vector lanes (the file is little-endian like x86) and the AND of a block's
// lanes is its match word. Blocks go in pairs: one unpack lines up the two blocks' lanes
// and one operation folds both, then one 128-bit operation combines both output words.
// Compiled for baseline x86-64: only the AVX2 kernel carries target("avx2").
#include "simd/plane_match.h"

#include <immintrin.h>

#include "simd/hamming.h"

namespace korvel {
namespace {

// Folds the match words of two blocks (the lanes of `match`) into out[0] and out[1].
template <PlaneCombine kCombine>
void combine_pair(uint64_t* out, __m128i match) noexcept {
  auto* dst = reinterpret_cast<__m128i*>(out);
  if constexpr (kCombine == PlaneCombine::kAnd) match = _mm_and_si128(_mm_loadu_si128(dst), match);
  if constexpr (kCombine == PlaneCombine::kOr) match = _mm_or_si128(_mm_loadu_si128(dst), match);
  _mm_storeu_si128(dst, match);
}

// Folds one block's match word (the low lane of `match`) into *out.
template <PlaneCombine kCombine>
void combine_word(uint64_t* out, __m128i match) noexcept {
  const auto word = static_cast<uint64_t>(_mm_cvtsi128_si64(match));
  if constexpr (kCombine == PlaneCombine::kAssign) *out = word;
  if constexpr (kCombine == PlaneCombine::kAnd) *out &= word;
  if constexpr (kCombine == PlaneCombine::kOr) *out |= word;
}

// How many blocks ahead the plane words are prefetched. Consecutive blocks of one trait lie
// a whole block (every trait's planes) apart, a stride the hardware prefetcher follows too
// cautiously to keep the loop fed from the outer caches.
constexpr size_t kPrefetchBlocks = 16;

// Prefetches the planes of the two blocks kPrefetchBlocks after the pair at `planes`, when
// they exist: a trait's planes of one block are kWidth words, one or two cache lines.
template <unsigned kWidth>
__attribute__((always_inline)) inline void prefetch_pair(const uint8_t* planes, size_t b,
                                                         size_t blocks,
                                                         size_t block_stride) noexcept {
  if (b + kPrefetchBlocks + 1 >= blocks) return;
  const uint8_t* ahead = planes + kPrefetchBlocks * block_stride;
  __builtin_prefetch(ahead);
  __builtin_prefetch(ahead + block_stride);
  if constexpr (kWidth * 8 > 64) {
    __builtin_prefetch(ahead + 64);
    __builtin_prefetch(ahead + block_stride + 64);
  }
}

// SSE2 is part of baseline x86-64.
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

using Loop = void (*)(const uint8_t*, size_t, const uint64_t*, uint64_t*, size_t) noexcept;

// Rows: widths 4, 8 and 16; columns: the PlaneCombine values in order.
constexpr Loop kSse2Loops[3][3] = {
    {match_sse2<4, PlaneCombine::kAssign>, match_sse2<4, PlaneCombine::kAnd>,
     match_sse2<4, PlaneCombine::kOr>},
    {match_sse2<8, PlaneCombine::kAssign>, match_sse2<8, PlaneCombine::kAnd>,
     match_sse2<8, PlaneCombine::kOr>},
    {match_sse2<16, PlaneCombine::kAssign>, match_sse2<16, PlaneCombine::kAnd>,
     match_sse2<16, PlaneCombine::kOr>}};
constexpr Loop kAvx2Loops[3][3] = {
    {match_avx2<4, PlaneCombine::kAssign>, match_avx2<4, PlaneCombine::kAnd>,
     match_avx2<4, PlaneCombine::kOr>},
    {match_avx2<8, PlaneCombine::kAssign>, match_avx2<8, PlaneCombine::kAnd>,
     match_avx2<8, PlaneCombine::kOr>},
    {match_avx2<16, PlaneCombine::kAssign>, match_avx2<16, PlaneCombine::kAnd>,
     match_avx2<16, PlaneCombine::kOr>}};

constexpr size_t width_row(unsigned width) noexcept { return width == 4 ? 0 : width == 8 ? 1 : 2; }

}  // namespace

void match_planes_portable(const uint8_t* planes, size_t block_stride, const uint64_t* flip,
                           unsigned width, PlaneCombine combine, uint64_t* out,
                           size_t blocks) noexcept {
  kSse2Loops[width_row(width)][static_cast<size_t>(combine)](planes, block_stride, flip, out,
                                                             blocks);
}

void match_planes_avx2(const uint8_t* planes, size_t block_stride, const uint64_t* flip,
                       unsigned width, PlaneCombine combine, uint64_t* out,
                       size_t blocks) noexcept {
  kAvx2Loops[width_row(width)][static_cast<size_t>(combine)](planes, block_stride, flip, out,
                                                             blocks);
}

MatchPlanesKernel match_planes_kernel() noexcept {
  return cpu_supports_avx2() ? &match_planes_avx2 : &match_planes_portable;
}

}  // namespace korvel
