// Batched Hamming kernels. Compiled for baseline x86-64: only the AVX2 kernel carries
// target("avx2"), and it calls no standard-library template.
#include "simd/hamming_batch.h"

#include "simd/hamming.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace korvel {
namespace {

constexpr uint8_t kNibbleBits[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};

// A byte lane gains at most 8 per 32-byte chunk, so 31 chunks fit before it must be widened.
constexpr size_t kChunksPerSad = 31;

}  // namespace

void hamming_batch_portable(const uint8_t* query, const uint8_t* sigs, size_t len, size_t count,
                            uint32_t* out) noexcept {
  for (size_t i = 0; i < count; ++i) out[i] = hamming_portable(query, sigs + i * len, len);
}

#if defined(__x86_64__) || defined(__i386__)

// Nibble-table bit counts as in hamming_avx2, but byte counts of up to 31 chunks are summed
// before one SAD, and the reduction to a scalar happens once per record.
__attribute__((target("avx2"))) void hamming_batch_avx2(const uint8_t* query, const uint8_t* sigs,
                                                        size_t len, size_t count,
                                                        uint32_t* out) noexcept {
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,  //
                                         0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i low_mask = _mm256_set1_epi8(0x0F);
  const __m256i zero = _mm256_setzero_si256();
  const __m128i table128 = _mm256_castsi256_si128(table);
  const __m128i low_mask128 = _mm_set1_epi8(0x0F);
  const size_t full = len - len % 32;
  for (size_t r = 0; r < count; ++r, sigs += len) {
    __m256i sums = zero;
    size_t i = 0;
    while (i < full) {
      const size_t stop = full - i > kChunksPerSad * 32 ? i + kChunksPerSad * 32 : full;
      __m256i bytes = zero;
      for (; i < stop; i += 32) {
        const __m256i x =
            _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i)),
                             _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sigs + i)));
        const __m256i lo = _mm256_and_si256(x, low_mask);
        const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(x, 4), low_mask);
        bytes = _mm256_add_epi8(
            bytes, _mm256_add_epi8(_mm256_shuffle_epi8(table, lo), _mm256_shuffle_epi8(table, hi)));
      }
      sums = _mm256_add_epi64(sums, _mm256_sad_epu8(bytes, zero));
    }
    __m128i sums128 =
        _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    for (; i + 8 <= len; i += 8) {
      const __m128i x = _mm_xor_si128(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(query + i)),
                                      _mm_loadl_epi64(reinterpret_cast<const __m128i*>(sigs + i)));
      const __m128i lo = _mm_and_si128(x, low_mask128);
      const __m128i hi = _mm_and_si128(_mm_srli_epi16(x, 4), low_mask128);
      const __m128i counts =
          _mm_add_epi8(_mm_shuffle_epi8(table128, lo), _mm_shuffle_epi8(table128, hi));
      sums128 = _mm_add_epi64(sums128, _mm_sad_epu8(counts, _mm_setzero_si128()));
    }
    uint64_t total = static_cast<uint64_t>(_mm_cvtsi128_si64(sums128)) +
                     static_cast<uint64_t>(_mm_extract_epi64(sums128, 1));
    for (; i < len; ++i) {
      const unsigned x = static_cast<unsigned>(query[i] ^ sigs[i]);
      total += kNibbleBits[x & 0x0F] + kNibbleBits[x >> 4];
    }
    out[r] = static_cast<uint32_t>(total);
  }
}

#else

// Never dispatched off x86 (cpu_supports_avx2() is false there); kept so the program links.
void hamming_batch_avx2(const uint8_t* query, const uint8_t* sigs, size_t len, size_t count,
                        uint32_t* out) noexcept {
  hamming_batch_portable(query, sigs, len, count, out);
}

#endif

HammingBatchKernel hamming_batch_kernel() noexcept {
  return cpu_supports_avx2() ? &hamming_batch_avx2 : &hamming_batch_portable;
}

}  // namespace korvel
