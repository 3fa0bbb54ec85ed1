// The AVX-512 Hamming kernel for one pair: 64 bytes at a time counted with VPOPCNTQ, the rest
// through a masked load that reads nothing past either signature. Compiled for baseline
// x86-64: only the kernel function carries the target.
#include <cstdint>

#include "simd/avx512_intrinsics.h"
#include "simd/hamming.h"

namespace korvel {

KORVEL_AVX512_TARGET uint32_t hamming_avx512(const uint8_t* a, const uint8_t* b,
                                             size_t len) noexcept {
  __m512i sums = _mm512_setzero_si512();
  size_t i = 0;
  for (; i + 64 <= len; i += 64) {
    const __m512i x = _mm512_xor_si512(_mm512_loadu_si512(a + i), _mm512_loadu_si512(b + i));
    sums = _mm512_add_epi64(sums, _mm512_popcnt_epi64(x));
  }
  if (i < len) {
    const uint64_t rest = (uint64_t{1} << (len - i)) - 1;
    const __m512i x = _mm512_xor_si512(_mm512_maskz_loadu_epi8(rest, a + i),
                                       _mm512_maskz_loadu_epi8(rest, b + i));
    sums = _mm512_add_epi64(sums, _mm512_popcnt_epi64(x));
  }
  uint64_t lanes[8];  // (GCC 12's horizontal-sum intrinsic trips its own uninitialised warning)
  _mm512_storeu_si512(lanes, sums);
  uint64_t total = 0;
  for (uint64_t lane : lanes) total += lane;
  return static_cast<uint32_t>(total);
}

}  // namespace korvel
