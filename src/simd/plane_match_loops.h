// What the plane-matching kernels of every instruction set share: folding match words into
// the output, prefetching, and the table of loops specialised by width and combine
// operation. Included only by the plane_match_*.cc kernel files.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/plane_match.h"

namespace korvel::plane_match_detail {

// Folds the match words of two blocks (the lanes of `match`) into out[0] and out[1].
template <PlaneCombine kCombine>
inline void combine_pair(uint64_t* out, __m128i match) noexcept {
  auto* dst = reinterpret_cast<__m128i*>(out);
  if constexpr (kCombine == PlaneCombine::kAnd) match = _mm_and_si128(_mm_loadu_si128(dst), match);
  if constexpr (kCombine == PlaneCombine::kOr) match = _mm_or_si128(_mm_loadu_si128(dst), match);
  _mm_storeu_si128(dst, match);
}

// Folds one block's match word (the low lane of `match`) into *out.
template <PlaneCombine kCombine>
inline void combine_word(uint64_t* out, __m128i match) noexcept {
  const auto word = static_cast<uint64_t>(_mm_cvtsi128_si64(match));
  if constexpr (kCombine == PlaneCombine::kAssign) *out = word;
  if constexpr (kCombine == PlaneCombine::kAnd) *out &= word;
  if constexpr (kCombine == PlaneCombine::kOr) *out |= word;
}

// How many blocks ahead the plane words are prefetched. Consecutive blocks of one trait lie
// a whole block (every trait's planes) apart, a stride the hardware prefetcher follows too
// cautiously to keep the loop fed from the outer caches.
inline constexpr size_t kPrefetchBlocks = 16;

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

// One specialised loop: blocks of one width folded by one combine operation.
using Loop = void (*)(const uint8_t*, size_t, const uint64_t*, uint64_t*, size_t) noexcept;

// The row of a width in a table of loops whose rows are widths 4, 8 and 16 and whose columns
// are the PlaneCombine values in order.
constexpr size_t width_row(unsigned width) noexcept { return width == 4 ? 0 : width == 8 ? 1 : 2; }

}  // namespace korvel::plane_match_detail
