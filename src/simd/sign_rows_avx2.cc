// AVX2 row-signing kernel: eight values per compare, whose movemask is the signature byte,
// and the finite check on the same register. Compiled for baseline x86-64: only the kernel
// carries target("avx2").
#include <immintrin.h>

#include <cstring>

#include "simd/sign_rows.h"

namespace korvel {

__attribute__((target("avx2"))) size_t sign_rows_avx2(const float* values, size_t dim, size_t rows,
                                                      uint8_t* out) noexcept {
  const size_t bytes = (dim + 7) / 8;
  const size_t full = dim / 8;
  const __m256 zero = _mm256_setzero_ps();
  const __m256i exponent = _mm256_set1_epi32(0x7f800000);
  for (size_t r = 0; r < rows; ++r, values += dim, out += bytes) {
    __m256i special = _mm256_setzero_si256();
    size_t j = 0;
    // Four bytes per step: four independent compares keep the load ports busy.
    for (; j + 4 <= full; j += 4) {
      uint32_t word = 0;
#pragma GCC unroll 4
      for (unsigned k = 0; k < 4; ++k) {
        const __m256 x = _mm256_loadu_ps(values + 8 * (j + k));
        const __m256i bits = _mm256_castps_si256(x);
        special = _mm256_or_si256(special,
                                  _mm256_cmpeq_epi32(_mm256_and_si256(bits, exponent), exponent));
        // Ordered greater-than: NaN and both zeros give 0.
        word |= static_cast<uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(x, zero, _CMP_GT_OQ)))
                << (8 * k);
      }
      std::memcpy(out + j, &word, sizeof word);
    }
    for (; j < full; ++j) {
      const __m256 x = _mm256_loadu_ps(values + 8 * j);
      special = _mm256_or_si256(
          special,
          _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_castps_si256(x), exponent), exponent));
      out[j] = static_cast<uint8_t>(_mm256_movemask_ps(_mm256_cmp_ps(x, zero, _CMP_GT_OQ)));
    }
    uint32_t tail_special = 0;
    if (const size_t rest = dim % 8; rest != 0) {
      unsigned byte = 0;  // spare bits stay 0
      for (size_t k = 0; k < rest; ++k) {
        const float v = values[8 * full + k];
        uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        tail_special |= static_cast<uint32_t>((bits & 0x7f800000u) == 0x7f800000u);
        byte |= (v > 0.0f ? 1u : 0u) << k;
      }
      out[full] = static_cast<uint8_t>(byte);
    }
    if (!_mm256_testz_si256(special, special) || tail_special != 0) return r;
  }
  return rows;
}

}  // namespace korvel
