// The AVX-512 sign score kernel: 64 records per pass, sixteen per register, the bits read 32 at
// a time. Each lane adds q[i] where the record's bit i is set and -q[i] where it is clear (a
// blend under the bit's mask): the scalar loop's additions in its order. Compiled for the
// baseline; only the kernel functions carry the target.
#include <immintrin.h>

#include <cstring>

#include "simd/sign_score.h"

namespace korvel {
namespace {

constexpr size_t kRegisters = 4;
constexpr size_t kLanes = 16 * kRegisters;

__attribute__((target("avx512f"))) void score_group_avx512(const float* q, size_t dim,
                                                           const uint8_t* const* sigs,
                                                           float* out) noexcept {
  __m512 acc[kRegisters];
  for (size_t v = 0; v < kRegisters; ++v) acc[v] = _mm512_setzero_ps();
  const size_t bytes = (dim + 7) / 8;
  for (size_t w = 0; w * 32 < dim; ++w) {
    // Bits 32w .. 32w + 31 of every lane, one 32-bit word per lane.
    const size_t have = bytes - 4 * w < 4 ? bytes - 4 * w : 4;
    __m512i words[kRegisters];
    for (size_t v = 0; v < kRegisters; ++v) {
      uint32_t lane[16];
      for (size_t l = 0; l < 16; ++l) {
        // A whole word in one load; only the last word of a signature may be shorter.
        const uint8_t* at = sigs[16 * v + l] + 4 * w;
        if (have == 4) {
          std::memcpy(&lane[l], at, 4);
        } else {
          lane[l] = 0;
          std::memcpy(&lane[l], at, have);
        }
      }
      words[v] = _mm512_loadu_si512(lane);
    }
    const size_t bits = dim - 32 * w < 32 ? dim - 32 * w : 32;
    for (size_t t = 0; t < bits; ++t) {
      const __m512 pos = _mm512_set1_ps(q[32 * w + t]);
      const __m512 neg = _mm512_set1_ps(-q[32 * w + t]);
      const __m512i bit = _mm512_set1_epi32(static_cast<int>(uint32_t{1} << t));
      for (size_t v = 0; v < kRegisters; ++v) {
        const __mmask16 set = _mm512_test_epi32_mask(words[v], bit);
        acc[v] = _mm512_add_ps(acc[v], _mm512_mask_blend_ps(set, neg, pos));
      }
    }
  }
  for (size_t v = 0; v < kRegisters; ++v) _mm512_storeu_ps(out + 16 * v, acc[v]);
}

}  // namespace

__attribute__((target("avx512f"))) void sign_score_avx512(const float* q, size_t dim,
                                                          const uint8_t* const* sigs, size_t count,
                                                          float* out) noexcept {
  size_t r = 0;
  for (; r + kLanes <= count; r += kLanes) score_group_avx512(q, dim, sigs + r, out + r);
  if (r == count) return;
  // The last lanes repeat the last record; only the real ones are kept.
  const uint8_t* tail[kLanes];
  float scores[kLanes];
  for (size_t i = 0; i < kLanes; ++i) tail[i] = sigs[r + i < count ? r + i : count - 1];
  score_group_avx512(q, dim, tail, scores);
  for (size_t i = 0; r + i < count; ++i) out[r + i] = scores[i];
}

}  // namespace korvel
