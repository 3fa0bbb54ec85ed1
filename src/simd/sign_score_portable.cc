// The portable sign score kernel: sixteen records per pass, four per SSE2 register (the
// x86-64 baseline). At bit i every lane adds -q[i] with its sign bit flipped where the record's
// bit is set, so each lane performs exactly the scalar loop's additions in its order. Four
// independent accumulators hide the latency of the chain of additions.
#include <emmintrin.h>

#include <bit>
#include <cstring>

#include "simd/sign_score.h"

namespace korvel {
namespace {

constexpr size_t kLanes = 16;

void score_group(const float* q, size_t dim, const uint8_t* const* sigs, float* out) noexcept {
  __m128 acc[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
  const __m128i sign = _mm_set1_epi32(INT32_MIN);
  for (size_t j = 0; j * 8 < dim; ++j) {
    // Byte j of every lane, one per 32-bit slot.
    __m128i bytes[4];
    for (size_t v = 0; v < 4; ++v) {
      bytes[v] = _mm_setr_epi32(sigs[4 * v][j], sigs[4 * v + 1][j], sigs[4 * v + 2][j],
                                sigs[4 * v + 3][j]);
    }
    const size_t bits = dim - 8 * j < 8 ? dim - 8 * j : 8;
    for (size_t t = 0; t < bits; ++t) {
      const __m128i neg = _mm_set1_epi32(static_cast<int>(std::bit_cast<uint32_t>(-q[8 * j + t])));
      const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(31 - t));
      for (size_t v = 0; v < 4; ++v) {
        // Bit t moved to the sign position: set flips -q[i] back to q[i].
        const __m128i flip = _mm_and_si128(_mm_sll_epi32(bytes[v], shift), sign);
        acc[v] = _mm_add_ps(acc[v], _mm_castsi128_ps(_mm_xor_si128(neg, flip)));
      }
    }
  }
  for (size_t v = 0; v < 4; ++v) _mm_storeu_ps(out + 4 * v, acc[v]);
}

}  // namespace

void sign_score_portable(const float* q, size_t dim, const uint8_t* const* sigs, size_t count,
                         float* out) noexcept {
  size_t r = 0;
  for (; r + kLanes <= count; r += kLanes) score_group(q, dim, sigs + r, out + r);
  if (r == count) return;
  // The last lanes repeat the last record; only the real ones are kept.
  const uint8_t* tail[kLanes];
  float scores[kLanes];
  for (size_t i = 0; i < kLanes; ++i) tail[i] = sigs[r + i < count ? r + i : count - 1];
  score_group(q, dim, tail, scores);
  std::memcpy(out + r, scores, (count - r) * sizeof(float));
}

}  // namespace korvel
