// AVX2 Hamming kernel. This file is compiled for baseline x86-64: only the kernel itself
// carries target("avx2"), so no AVX-encoded copy of a shared inline function can leak into
// code that runs on older processors. Keep standard-library templates out of the kernel.
#include "simd/hamming.h"

#if defined(__x86_64__)
#include <immintrin.h>

namespace korvel {
namespace {

// Used for the last bytes instead of __builtin_popcount, which needs POPCNT (not implied
// by the avx2 target) and would otherwise become a library call.
constexpr uint8_t kNibbleBits[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};

}  // namespace

// Bit counts by the nibble-table method: each byte's two 4-bit halves are looked up in a
// 16-entry table with a byte shuffle, and SAD against zero sums the byte counts per 64 bits.
__attribute__((target("avx2"))) uint32_t hamming_avx2(const uint8_t* a, const uint8_t* b,
                                                      size_t len) noexcept {
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,  //
                                         0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i low_mask = _mm256_set1_epi8(0x0F);
  __m256i sums = _mm256_setzero_si256();  // four 64-bit partial sums
  size_t i = 0;
  for (; i + 32 <= len; i += 32) {
    const __m256i x = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i)),
                                       _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i)));
    const __m256i lo = _mm256_and_si256(x, low_mask);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(x, 4), low_mask);
    const __m256i counts =
        _mm256_add_epi8(_mm256_shuffle_epi8(table, lo), _mm256_shuffle_epi8(table, hi));
    sums = _mm256_add_epi64(sums, _mm256_sad_epu8(counts, _mm256_setzero_si256()));
  }
  __m128i sums128 = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));

  // Remainder: 8 bytes at a time in the low half of a 128-bit register; the zeroed high
  // half counts 0, so SAD leaves the total in the low 64 bits.
  const __m128i table128 = _mm256_castsi256_si128(table);
  const __m128i low_mask128 = _mm_set1_epi8(0x0F);
  for (; i + 8 <= len; i += 8) {
    const __m128i x = _mm_xor_si128(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + i)),
                                    _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + i)));
    const __m128i lo = _mm_and_si128(x, low_mask128);
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(x, 4), low_mask128);
    const __m128i counts =
        _mm_add_epi8(_mm_shuffle_epi8(table128, lo), _mm_shuffle_epi8(table128, hi));
    sums128 = _mm_add_epi64(sums128, _mm_sad_epu8(counts, _mm_setzero_si128()));
  }
  uint64_t count = static_cast<uint64_t>(_mm_cvtsi128_si64(sums128)) +
                   static_cast<uint64_t>(_mm_extract_epi64(sums128, 1));

  for (; i < len; ++i) {
    const unsigned x = static_cast<unsigned>(a[i] ^ b[i]);
    count += kNibbleBits[x & 0x0F] + kNibbleBits[x >> 4];
  }
  return static_cast<uint32_t>(count);
}

}  // namespace korvel

#else

namespace korvel {

// Never dispatched off x86 (cpu_supports_avx2() is false there); kept so the program links.
uint32_t hamming_avx2(const uint8_t* a, const uint8_t* b, size_t len) noexcept {
  return hamming_portable(a, b, len);
}

}  // namespace korvel

#endif
