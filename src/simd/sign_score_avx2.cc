// The AVX2 sign score kernel: 32 records per pass, eight per register, the bits read 32 at a
// time. Each lane adds -q[i] with its sign bit flipped where the record's bit i is set: the
// scalar loop's additions in its order. Compiled for the baseline; only the kernel functions
// carry target("avx2").
#include <immintrin.h>

#include <cstdint>

#include "simd/sign_lanes.h"
#include "simd/sign_score.h"

namespace korvel {
namespace {

constexpr size_t kRegisters = 4;
constexpr size_t kLanes = 8 * kRegisters;

__attribute__((target("avx2"))) void score_group_avx2(const float* q, size_t dim,
                                                      const uint8_t* const* sigs,
                                                      float* out) noexcept {
  __m256 acc[kRegisters];
#pragma GCC unroll 8
  for (size_t v = 0; v < kRegisters; ++v) acc[v] = _mm256_setzero_ps();
  const __m256i sign = _mm256_set1_epi32(INT32_MIN);
  const size_t bytes = (dim + 7) / 8;
  // Bits 32w .. 32w + 31 of every lane, one 32-bit word per lane, staged one word ahead.
  uint32_t staged[2][kLanes];
  stage_sign_words(sigs, kLanes, bytes, 0, staged[0]);
  for (size_t w = 0; w * 32 < dim; ++w) {
    __m256i words[kRegisters];
#pragma GCC unroll 8
    for (size_t v = 0; v < kRegisters; ++v) {
      words[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(staged[w % 2] + 8 * v));
    }
    if ((w + 1) * 32 < dim) stage_sign_words(sigs, kLanes, bytes, w + 1, staged[(w + 1) % 2]);
    const size_t bits = dim - 32 * w < 32 ? dim - 32 * w : 32;
    for (size_t t = 0; t < bits; ++t) {
      const __m256i neg = _mm256_castps_si256(_mm256_set1_ps(-q[32 * w + t]));
      const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(31 - t));
#pragma GCC unroll 8
      for (size_t v = 0; v < kRegisters; ++v) {
        const __m256i flip = _mm256_and_si256(_mm256_sll_epi32(words[v], shift), sign);
        acc[v] = _mm256_add_ps(acc[v], _mm256_castsi256_ps(_mm256_xor_si256(neg, flip)));
      }
    }
  }
#pragma GCC unroll 8
  for (size_t v = 0; v < kRegisters; ++v) _mm256_storeu_ps(out + 8 * v, acc[v]);
}

}  // namespace

__attribute__((target("avx2"))) void sign_score_avx2(const float* q, size_t dim,
                                                     const uint8_t* const* sigs, size_t count,
                                                     float* out) noexcept {
  size_t r = 0;
  for (; r + kLanes <= count; r += kLanes) score_group_avx2(q, dim, sigs + r, out + r);
  if (r == count) return;
  // The last lanes repeat the last record; only the real ones are kept.
  const uint8_t* tail[kLanes];
  float scores[kLanes];
  for (size_t i = 0; i < kLanes; ++i) tail[i] = sigs[r + i < count ? r + i : count - 1];
  score_group_avx2(q, dim, tail, scores);
  for (size_t i = 0; r + i < count; ++i) out[r + i] = scores[i];
}

}  // namespace korvel
