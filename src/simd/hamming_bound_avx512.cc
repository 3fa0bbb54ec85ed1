// The AVX-512 bound kernel. Records go eight at a time and end as one 64-bit lane each, so
// one compare gives their eight mask bits. Signatures of 8, 16 and 32 bytes lie 8, 4 and 2
// to a register against the query repeated across it; their word counts (VPOPCNTQ) are
// summed by pairwise folds of lanes. Any other length takes each record's 64-byte chunks
// (the last under a byte mask, so nothing past the record is read) into one register of
// eight partial sums, and the eight records' registers are folded to eight totals.
// Compiled for baseline x86-64: only the kernel functions carry the target.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/hamming_bound.h"

namespace korvel {
namespace {

constexpr size_t kGroup = 8;  // records per compare

// Lane i < 4 of the result holds a's lanes 2i + 2i+1 summed, lane 4 + i the same of b.
__attribute__((target("avx512f,avx512bw,avx512vpopcntdq"))) inline __m512i fold(
    __m512i a, __m512i b) noexcept {
  const __m512i even = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
  const __m512i odd = _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15);
  return _mm512_add_epi64(_mm512_permutex2var_epi64(a, even, b),
                          _mm512_permutex2var_epi64(a, odd, b));
}

__attribute__((target("avx512f,avx512bw,avx512vpopcntdq"))) inline __m512i xor_count(
    __m512i a, __m512i b) noexcept {
  return _mm512_popcnt_epi64(_mm512_xor_si512(a, b));
}

// The eight mask bits of records [first, first + 8): first is a multiple of 8, so they lie
// in one word.
inline void put_bits(uint64_t* masks, size_t first, __mmask8 in) noexcept {
  masks[first / 64] |= uint64_t{static_cast<uint8_t>(in)} << (first % 64);
}

// Records of kWords 64-bit words (1, 2 or 4), 8 / kWords to a register: every whole group of
// eight. Returns the number of records done.
template <size_t kWords>
__attribute__((target("avx512f,avx512bw,avx512vpopcntdq"))) size_t packed_groups(
    const uint8_t* query, const uint8_t* sigs, size_t count, __m512i bound,
    uint64_t* masks) noexcept {
  __m512i q;
  if constexpr (kWords == 1) {
    long long word;
    __builtin_memcpy(&word, query, 8);
    q = _mm512_set1_epi64(word);
  } else if constexpr (kWords == 2) {
    // The masked forms: g++ 12's plain ones read an uninitialised register and warn.
    q = _mm512_maskz_broadcast_i32x4(0xFFFF,
                                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(query)));
  } else {
    q = _mm512_maskz_broadcast_i64x4(0xFF,
                                     _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query)));
  }
  const size_t groups = count / kGroup;
  for (size_t g = 0; g < groups; ++g) {
    const uint8_t* p = sigs + g * kGroup * kWords * 8;
    __m512i totals;
    if constexpr (kWords == 1) {
      totals = xor_count(_mm512_loadu_si512(p), q);
    } else if constexpr (kWords == 2) {
      totals = fold(xor_count(_mm512_loadu_si512(p), q), xor_count(_mm512_loadu_si512(p + 64), q));
    } else {
      totals =
          fold(fold(xor_count(_mm512_loadu_si512(p), q), xor_count(_mm512_loadu_si512(p + 64), q)),
               fold(xor_count(_mm512_loadu_si512(p + 128), q),
                    xor_count(_mm512_loadu_si512(p + 192), q)));
    }
    put_bits(masks, g * kGroup, _mm512_cmple_epu64_mask(totals, bound));
  }
  return groups * kGroup;
}

// Records [first, count), of any length, one register of partial sums per record. kChunks:
// the number of 64-byte chunks when 1 to 4 (the query's chunks stay in registers), 0 for
// any number.
template <size_t kChunks>
__attribute__((target("avx512f,avx512bw,avx512vpopcntdq"))) void record_groups(
    const uint8_t* query, const uint8_t* sigs, size_t len, size_t first, size_t count,
    __m512i bound, uint64_t* masks) noexcept {
  const size_t chunks = kChunks > 0 ? kChunks : (len + 63) / 64;
  const __mmask64 last = len % 64 == 0 ? ~__mmask64{0} : (__mmask64{1} << (len % 64)) - 1;
  __m512i held[kChunks > 0 ? kChunks : 1];
  for (size_t j = 0; j < kChunks; ++j) {
    held[j] = j + 1 < kChunks ? _mm512_loadu_si512(query + 64 * j)
                              : _mm512_maskz_loadu_epi8(last, query + 64 * j);
  }
  auto sums = [&](const uint8_t* sig) __attribute__((target("avx512f,avx512bw,avx512vpopcntdq"))) {
    __m512i acc = _mm512_setzero_si512();
    if (chunks == 0) return acc;
    for (size_t j = 0; j + 1 < chunks; ++j) {
      const __m512i q = kChunks > 0 ? held[j] : _mm512_loadu_si512(query + 64 * j);
      acc = _mm512_add_epi64(acc, xor_count(_mm512_loadu_si512(sig + 64 * j), q));
    }
    const size_t j = chunks - 1;
    const __m512i q = kChunks > 0 ? held[j] : _mm512_maskz_loadu_epi8(last, query + 64 * j);
    return _mm512_add_epi64(acc, xor_count(_mm512_maskz_loadu_epi8(last, sig + 64 * j), q));
  };
  for (size_t i = first; i < count; i += kGroup) {
    const size_t present = count - i < kGroup ? count - i : kGroup;
    __m512i s[kGroup];
    for (size_t r = 0; r < kGroup; ++r) {
      s[r] = r < present ? sums(sigs + (i + r) * len) : _mm512_setzero_si512();
    }
    const __m512i totals =
        fold(fold(fold(s[0], s[1]), fold(s[2], s[3])), fold(fold(s[4], s[5]), fold(s[6], s[7])));
    const __mmask8 valid = static_cast<__mmask8>((1u << present) - 1);
    put_bits(masks, i, _mm512_mask_cmple_epu64_mask(valid, totals, bound));
  }
}

}  // namespace

__attribute__((target("avx512f,avx512bw,avx512vpopcntdq"))) void hamming_bound_avx512(
    const uint8_t* query, const uint8_t* sigs, size_t len, size_t count, uint32_t bound,
    uint64_t* masks) noexcept {
  for (size_t w = 0; w * 64 < count; ++w) masks[w] = 0;
  const __m512i b = _mm512_set1_epi64(static_cast<long long>(bound));
  size_t done = 0;
  if (len == 8) done = packed_groups<1>(query, sigs, count, b, masks);
  if (len == 16) done = packed_groups<2>(query, sigs, count, b, masks);
  if (len == 32) done = packed_groups<4>(query, sigs, count, b, masks);
  switch ((len + 63) / 64) {
    case 1:
      return record_groups<1>(query, sigs, len, done, count, b, masks);
    case 2:
      return record_groups<2>(query, sigs, len, done, count, b, masks);
    case 3:
      return record_groups<3>(query, sigs, len, done, count, b, masks);
    case 4:
      return record_groups<4>(query, sigs, len, done, count, b, masks);
    default:
      return record_groups<0>(query, sigs, len, done, count, b, masks);
  }
}

}  // namespace korvel
