// The AVX-512 sign score kernel: 64 records per pass, sixteen per register, the bits read 32 at
// a time. Each lane adds q[i] where the record's bit i is set and -q[i] where it is clear (q[i]
// with its sign bit flipped): the scalar loop's additions in its order. Compiled for the
// baseline; only the kernel functions carry the target.
#include <cstdint>
#include <cstring>

#include "simd/avx512_intrinsics.h"
#include "simd/sign_lanes.h"
#include "simd/sign_score.h"

namespace korvel {
namespace {

constexpr size_t kRegisters = 4;
constexpr size_t kLanes = 16 * kRegisters;

KORVEL_AVX512_TARGET void score_group_avx512(const float* q, size_t dim, const uint8_t* const* sigs,
                                             float* out) noexcept {
  __m512 acc[kRegisters];
#pragma GCC unroll 8
  for (size_t v = 0; v < kRegisters; ++v) acc[v] = _mm512_setzero_ps();
  const __m512i sign = _mm512_set1_epi32(INT32_MIN);
  const size_t bytes = (dim + 7) / 8;
  // Bits 32w .. 32w + 31 of every lane, one 32-bit word per lane, staged one word ahead.
  uint32_t staged[2][kLanes];
  stage_sign_words(sigs, kLanes, bytes, 0, staged[0]);
  for (size_t w = 0; w * 32 < dim; ++w) {
    __m512i words[kRegisters];
#pragma GCC unroll 8
    for (size_t v = 0; v < kRegisters; ++v) words[v] = _mm512_loadu_si512(staged[w % 2] + 16 * v);
    if ((w + 1) * 32 < dim) stage_sign_words(sigs, kLanes, bytes, w + 1, staged[(w + 1) % 2]);
    const size_t bits = dim - 32 * w < 32 ? dim - 32 * w : 32;
    // Bit t of each lane is shifted to the sign position, and the added term is q[t] with its
    // sign flipped where that bit is clear: exactly q[t] or -q[t].
    for (size_t t = 0; t < bits; ++t) {
      int32_t q_bits;
      std::memcpy(&q_bits, &q[32 * w + t], 4);
      const __m512i term = _mm512_set1_epi32(q_bits);
      const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(31 - t));
#pragma GCC unroll 8
      for (size_t v = 0; v < kRegisters; ++v) {
        // term ^ (~(words << 31 - t) & sign): 0xA6 over (shifted words, sign, term). The
        // shift is the masked form only because GCC 12 warns about the unmasked one's
        // undefined pass-through operand; under a full mask they are the same instruction.
        const __m512i signed_term = _mm512_ternarylogic_epi32(
            _mm512_maskz_sll_epi32(0xFFFF, words[v], shift), sign, term, 0xA6);
        acc[v] = _mm512_add_ps(acc[v], _mm512_castsi512_ps(signed_term));
      }
    }
  }
#pragma GCC unroll 8
  for (size_t v = 0; v < kRegisters; ++v) _mm512_storeu_ps(out + 16 * v, acc[v]);
}

}  // namespace

KORVEL_AVX512_TARGET void sign_score_avx512(const float* q, size_t dim, const uint8_t* const* sigs,
                                            size_t count, float* out) noexcept {
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
