// AVX2 Hamming kernels. This file is compiled for baseline x86-64: only the kernels carry
// target("avx2"), so no AVX-encoded copy of a shared inline function can leak into code that
// runs on older processors. Keep standard-library templates out of the kernels.
#include "simd/gather_prefetch.h"
#include "simd/hamming.h"
#include "simd/hamming_batch.h"
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

namespace {

// The AVX2 loop of both kernels: with kGather, signature i is that of record records[i] and
// later records are prefetched; otherwise signature i follows signature i - 1. kBlocks > 0:
// signatures of exactly kBlocks whole 32-byte blocks plus fewer than 32 bytes, the query's
// blocks held in registers across records, and four records reduced to their counts
// together (one horizontal sum per record costs as much as counting a block); kBlocks = 0:
// any length.
template <size_t kBlocks, bool kGather>
__attribute__((target("avx2"))) void scan_avx2(const uint8_t* query, const uint8_t* sigs,
                                               size_t len, const uint32_t* records, size_t count,
                                               uint32_t* out) noexcept {
  using namespace nibble_avx2;
  static_assert(kBlocks <= 31, "byte counts must not overflow before the SAD");
  __m256i q[kBlocks > 0 ? kBlocks : 1];
#pragma GCC unroll 4
  for (size_t k = 0; k < kBlocks; ++k) {
    q[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + 32 * k));
  }
  const size_t tail = len - 32 * kBlocks;
  auto signature = [&](size_t i) __attribute__((target("avx2"))) {
    if constexpr (kGather) {
      if (i + kPrefetchDistance < count) {
        prefetch_signature(sigs + uint64_t{records[i + kPrefetchDistance]} * len, len);
      }
      return sigs + uint64_t{records[i]} * len;
    } else {
      return sigs + i * len;
    }
  };
  // The whole blocks' bit count as four 64-bit partial sums.
  auto block_sums = [&](const uint8_t* sig) __attribute__((target("avx2"))) {
    __m256i bytes = _mm256_setzero_si256();
#pragma GCC unroll 4
    for (size_t k = 0; k < kBlocks; ++k) {
      const __m256i x = _mm256_xor_si256(
          q[k], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sig + 32 * k)));
      bytes = _mm256_add_epi8(bytes, byte_bit_counts(x));
    }
    return _mm256_sad_epu8(bytes, _mm256_setzero_si256());
  };
  auto tail_count = [&](const uint8_t* sig) __attribute__((target("avx2"))) {
    return tail_bit_count(query + 32 * kBlocks, sig + 32 * kBlocks, tail);
  };
  size_t i = 0;
  if constexpr (kBlocks > 0) {
    for (; i + 4 <= count; i += 4) {
      const uint8_t* s0 = signature(i);
      const uint8_t* s1 = signature(i + 1);
      const uint8_t* s2 = signature(i + 2);
      const uint8_t* s3 = signature(i + 3);
      const __m256i a = block_sums(s0);
      const __m256i b = block_sums(s1);
      const __m256i c = block_sums(s2);
      const __m256i d = block_sums(s3);
      // Lanes (a01, b01 | a23, b23) and (c01, d01 | c23, d23), then (a, b, c, d).
      const __m256i ab = _mm256_add_epi64(_mm256_unpacklo_epi64(a, b), _mm256_unpackhi_epi64(a, b));
      const __m256i cd = _mm256_add_epi64(_mm256_unpacklo_epi64(c, d), _mm256_unpackhi_epi64(c, d));
      __m256i totals = _mm256_add_epi64(_mm256_permute2x128_si256(ab, cd, 0x20),
                                        _mm256_permute2x128_si256(ab, cd, 0x31));
      if (tail != 0) {
        totals =
            _mm256_add_epi64(totals, _mm256_setr_epi64x(static_cast<long long>(tail_count(s0)),
                                                        static_cast<long long>(tail_count(s1)),
                                                        static_cast<long long>(tail_count(s2)),
                                                        static_cast<long long>(tail_count(s3))));
      }
      // Each total fits 32 bits: keep the low half of every 64-bit lane.
      const __m256i low_halves =
          _mm256_permutevar8x32_epi32(totals, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm256_castsi256_si128(low_halves));
    }
  }
  for (; i < count; ++i) {
    const uint8_t* sig = signature(i);
    if constexpr (kBlocks == 0) {
      out[i] = distance(query, sig, len);
    } else {
      uint64_t total = sum_epi64(block_sums(sig));
      if (tail != 0) total += tail_count(sig);
      out[i] = static_cast<uint32_t>(total);
    }
  }
}

// Signatures of up to 159 bytes (1272 dimensions) keep the query in registers.
template <bool kGather>
__attribute__((target("avx2"))) void dispatch_avx2(const uint8_t* query, const uint8_t* sigs,
                                                   size_t len, const uint32_t* records,
                                                   size_t count, uint32_t* out) noexcept {
  switch (len / 32) {
    case 1:
      return scan_avx2<1, kGather>(query, sigs, len, records, count, out);
    case 2:
      return scan_avx2<2, kGather>(query, sigs, len, records, count, out);
    case 3:
      return scan_avx2<3, kGather>(query, sigs, len, records, count, out);
    case 4:
      return scan_avx2<4, kGather>(query, sigs, len, records, count, out);
    default:
      return scan_avx2<0, kGather>(query, sigs, len, records, count, out);
  }
}

}  // namespace

__attribute__((target("avx2"))) void hamming_batch_avx2(const uint8_t* query, const uint8_t* sigs,
                                                        size_t len, size_t count,
                                                        uint32_t* out) noexcept {
  dispatch_avx2<false>(query, sigs, len, nullptr, count, out);
}

__attribute__((target("avx2"))) void hamming_gather_avx2(const uint8_t* query, const uint8_t* sigs,
                                                         size_t len, const uint32_t* records,
                                                         size_t count, uint32_t* out) noexcept {
  if (len == 0) {
    for (size_t i = 0; i < count; ++i) out[i] = 0;
    return;
  }
  for (size_t i = 0; i < count && i < kPrefetchDistance; ++i) {
    prefetch_signature(sigs + uint64_t{records[i]} * len, len);
  }
  dispatch_avx2<true>(query, sigs, len, records, count, out);
}

}  // namespace korvel
