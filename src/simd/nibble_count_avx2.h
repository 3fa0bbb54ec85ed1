// The nibble-table bit count shared by the AVX2 Hamming kernels. Every helper carries
// target("avx2") and is static inline, so each kernel file gets its own copy inlined into
// its kernels. Include this header ONLY from *_avx2.cc kernel files, whose kernels are
// reached through the kernel table: any other caller would run AVX2 instructions on
// processors without them.
#pragma once

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/nibble_bits.h"

namespace korvel::nibble_avx2 {

// kNibbleBits in one 128-bit lane, the table of a byte shuffle.
static inline __attribute__((target("avx2"))) __m128i nibble_table_128() noexcept {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(kNibbleBits));
}

// The bit count of every byte of `x` (0..8 per byte): each byte's two 4-bit halves are
// looked up in a 16-entry table with a byte shuffle and the two lookups added.
static inline __attribute__((target("avx2"))) __m256i byte_bit_counts(__m256i x) noexcept {
  const __m256i table = _mm256_broadcastsi128_si256(nibble_table_128());
  const __m256i low_mask = _mm256_set1_epi8(0x0F);
  const __m256i lo = _mm256_and_si256(x, low_mask);
  const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(x, 4), low_mask);
  return _mm256_add_epi8(_mm256_shuffle_epi8(table, lo), _mm256_shuffle_epi8(table, hi));
}

// The XOR of the 32 bytes at a and b.
static inline __attribute__((target("avx2"))) __m256i xor_32(const uint8_t* a,
                                                             const uint8_t* b) noexcept {
  return _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a)),
                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)));
}

// The total of four 64-bit partial sums.
static inline __attribute__((target("avx2"))) uint64_t sum_epi64(__m256i sums) noexcept {
  const __m128i half =
      _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
  return static_cast<uint64_t>(_mm_cvtsi128_si64(half)) +
         static_cast<uint64_t>(_mm_extract_epi64(half, 1));
}

// The bit count of a ^ b over `len` bytes, len < 32 (what remains after the whole 32-byte
// blocks): 8 bytes at a time in the low half of a 128-bit register, whose zeroed high half
// counts 0 so the sum lands in the low 64 bits, then the last bytes one at a time.
static inline __attribute__((target("avx2"))) uint64_t tail_bit_count(const uint8_t* a,
                                                                      const uint8_t* b,
                                                                      size_t len) noexcept {
  const __m128i table = nibble_table_128();
  const __m128i low_mask = _mm_set1_epi8(0x0F);
  __m128i sums = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    const __m128i x = _mm_xor_si128(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + i)),
                                    _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + i)));
    const __m128i lo = _mm_and_si128(x, low_mask);
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(x, 4), low_mask);
    const __m128i counts = _mm_add_epi8(_mm_shuffle_epi8(table, lo), _mm_shuffle_epi8(table, hi));
    sums = _mm_add_epi64(sums, _mm_sad_epu8(counts, _mm_setzero_si128()));
  }
  uint64_t count = static_cast<uint64_t>(_mm_cvtsi128_si64(sums));
  for (; i < len; ++i) count += byte_bit_count(static_cast<unsigned>(a[i] ^ b[i]));
  return count;
}

// Hamming distance of a and b over `len` bytes. Byte counts of up to 31 blocks of 32 bytes
// are summed before one SAD (a byte lane gains at most 8 per block), so a record costs one
// reduction to a scalar.
static inline __attribute__((target("avx2"))) uint32_t distance(const uint8_t* a, const uint8_t* b,
                                                                size_t len) noexcept {
  constexpr size_t kBlocksPerSad = 31;
  const size_t full = len - len % 32;
  __m256i sums = _mm256_setzero_si256();
  size_t i = 0;
  while (i < full) {
    const size_t stop = full - i > kBlocksPerSad * 32 ? i + kBlocksPerSad * 32 : full;
    __m256i bytes = _mm256_setzero_si256();
    for (; i < stop; i += 32) bytes = _mm256_add_epi8(bytes, byte_bit_counts(xor_32(a + i, b + i)));
    sums = _mm256_add_epi64(sums, _mm256_sad_epu8(bytes, _mm256_setzero_si256()));
  }
  return static_cast<uint32_t>(sum_epi64(sums) + tail_bit_count(a + full, b + full, len - full));
}

}  // namespace korvel::nibble_avx2

#endif
