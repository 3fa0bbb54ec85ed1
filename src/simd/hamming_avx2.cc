// AVX2 Hamming kernel. This file is compiled for baseline x86-64: only the kernel itself
// carries target("avx2"), so no AVX-encoded copy of a shared inline function can leak into
// code that runs on older processors. Keep standard-library templates out of the kernel.
#include "simd/hamming.h"

#if defined(__x86_64__)
#include "simd/nibble_count_avx2.h"

namespace korvel {

// Bit counts by the nibble-table method, one SAD against zero per 32-byte block giving four
// 64-bit partial sums; the remainder goes 8 bytes at a time, then byte by byte.
__attribute__((target("avx2"))) uint32_t hamming_avx2(const uint8_t* a, const uint8_t* b,
                                                      size_t len) noexcept {
  using namespace nibble_avx2;
  __m256i sums = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 32 <= len; i += 32) {
    sums = _mm256_add_epi64(
        sums, _mm256_sad_epu8(byte_bit_counts(xor_32(a + i, b + i)), _mm256_setzero_si256()));
  }
  return static_cast<uint32_t>(sum_epi64(sums) + tail_bit_count(a + i, b + i, len - i));
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
