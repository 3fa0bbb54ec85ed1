// The AVX-512 bound kernel. Records go eight at a time and end as one 64-bit lane each, so
// one compare gives their eight mask bits. Signatures of 8, 16 and 32 bytes lie 8, 4 and 2
// to a register against the query repeated across it; their word counts (VPOPCNTQ) are
// summed by pairwise folds of lanes. Any other length takes each record's 64-byte chunks
// (the last under a byte mask, so nothing past the record is read) into one register of
// eight partial sums, and the eight records' registers are folded to eight totals.
// Compiled for baseline x86-64: only the kernel functions carry the target.
#include <cstddef>
#include <cstdint>

#include "simd/avx512_intrinsics.h"
#include "simd/bound_mask.h"
#include "simd/hamming_bound.h"

namespace korvel {
namespace {

constexpr size_t kGroup = 8;  // records per compare

// Lane i < 4 of the result holds a's lanes 2i + 2i+1 summed, lane 4 + i the same of b.
KORVEL_AVX512_TARGET inline __m512i fold_avx512(__m512i a, __m512i b) noexcept {
  const __m512i even = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
  const __m512i odd = _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15);
  return _mm512_add_epi64(_mm512_permutex2var_epi64(a, even, b),
                          _mm512_permutex2var_epi64(a, odd, b));
}

KORVEL_AVX512_TARGET inline __m512i xor_count_avx512(__m512i a, __m512i b) noexcept {
  return _mm512_popcnt_epi64(_mm512_xor_si512(a, b));
}

// Records of kWords 64-bit words (1, 2 or 4), 8 / kWords to a register: every whole group of
// eight. Returns the number of records done.
template <size_t kWords>
KORVEL_AVX512_TARGET size_t packed_groups_avx512(const uint8_t* query, const uint8_t* sigs,
                                                 size_t count, __m512i bound,
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
  MaskWriter<kGroup> out(masks);
  for (size_t g = 0; g < groups; ++g) {
    const uint8_t* p = sigs + g * kGroup * kWords * 8;
    prefetch_ahead(p, kGroup * kWords * 8);
    __m512i totals;
    if constexpr (kWords == 1) {
      totals = xor_count_avx512(_mm512_loadu_si512(p), q);
    } else if constexpr (kWords == 2) {
      totals = fold_avx512(xor_count_avx512(_mm512_loadu_si512(p), q),
                           xor_count_avx512(_mm512_loadu_si512(p + 64), q));
    } else {
      totals = fold_avx512(fold_avx512(xor_count_avx512(_mm512_loadu_si512(p), q),
                                       xor_count_avx512(_mm512_loadu_si512(p + 64), q)),
                           fold_avx512(xor_count_avx512(_mm512_loadu_si512(p + 128), q),
                                       xor_count_avx512(_mm512_loadu_si512(p + 192), q)));
    }
    out.put(g * kGroup, _mm512_cmple_epu64_mask(totals, bound));
  }
  out.finish(groups * kGroup);
  return groups * kGroup;
}

// Records [first, count), of any length, one register of partial sums per record: the whole
// 64-byte chunks, then the rest as the record's last 64 bytes with the bytes already counted
// masked off. A record shorter than 64 bytes is read as the 64 bytes from its start with the
// following records' bytes masked off, and, where those would run past the section, through
// a masked load. Plain loads: a masked load from memory that misses the cache stalls here.
// kWhole: the number of whole chunks when 0 to 4 (the query's stay in registers), -1 for any.
template <int kWhole>
KORVEL_AVX512_TARGET void record_groups_avx512(const uint8_t* query, const uint8_t* sigs,
                                               size_t len, size_t first, size_t count,
                                               __m512i bound, uint64_t* masks) noexcept {
  const size_t whole = kWhole >= 0 ? static_cast<size_t>(kWhole) : len / 64;
  const size_t rest = len % 64;
  const bool short_records = len < 64;
  __m512i held[kWhole > 0 ? kWhole : 1];
  for (int j = 0; j < kWhole; ++j) held[j] = _mm512_loadu_si512(query + 64 * j);
  // Short records: their first len bytes; others: the last `rest` bytes of 64.
  // (Mask types as plain integers: SIMDe names __mmask64 and __mmask8 only under its prefix.)
  const uint64_t rest_mask = short_records ? (uint64_t{1} << len) - 1
                             : rest == 0   ? 0
                                           : ~((uint64_t{1} << (64 - rest)) - 1);
  const __m512i rest_query = short_records ? _mm512_maskz_loadu_epi8(rest_mask, query)
                             : rest == 0   ? _mm512_setzero_si512()
                                           : _mm512_loadu_si512(query + len - 64);
  const uint8_t* const end = sigs + count * len;
  auto sums = [&](const uint8_t* sig) KORVEL_AVX512_TARGET {
    __m512i acc = _mm512_setzero_si512();
    for (size_t j = 0; j < whole; ++j) {
      const __m512i q = kWhole >= 0 ? held[j] : _mm512_loadu_si512(query + 64 * j);
      acc = _mm512_add_epi64(acc, xor_count_avx512(_mm512_loadu_si512(sig + 64 * j), q));
    }
    if (rest == 0) return acc;
    __m512i x;
    if (!short_records) {
      x = _mm512_loadu_si512(sig + len - 64);
    } else if (end - sig >= 64) {
      x = _mm512_loadu_si512(sig);
    } else {
      x = _mm512_maskz_loadu_epi8(rest_mask, sig);
    }
    const __m512i counted = _mm512_maskz_mov_epi8(rest_mask, _mm512_xor_si512(x, rest_query));
    return _mm512_add_epi64(acc, _mm512_popcnt_epi64(counted));
  };
  MaskWriter<kGroup> out(masks);
  for (size_t i = first; i < count; i += kGroup) {
    const size_t present = count - i < kGroup ? count - i : kGroup;
    prefetch_ahead(sigs + i * len, kGroup * len);
    __m512i s[kGroup];
    for (size_t r = 0; r < kGroup; ++r) {
      s[r] = r < present ? sums(sigs + (i + r) * len) : _mm512_setzero_si512();
    }
    const __m512i totals =
        fold_avx512(fold_avx512(fold_avx512(s[0], s[1]), fold_avx512(s[2], s[3])),
                    fold_avx512(fold_avx512(s[4], s[5]), fold_avx512(s[6], s[7])));
    const uint8_t valid = static_cast<uint8_t>((1u << present) - 1);
    out.put(i, static_cast<uint8_t>(_mm512_cmple_epu64_mask(totals, bound) & valid));
  }
  out.finish(count);
}

}  // namespace

KORVEL_AVX512_TARGET void hamming_bound_avx512(const uint8_t* query, const uint8_t* sigs,
                                               size_t len, size_t count, uint32_t bound,
                                               uint64_t* masks) noexcept {
  for (size_t w = 0; w * 64 < count; ++w) masks[w] = 0;
  const __m512i b = _mm512_set1_epi64(static_cast<long long>(bound));
  size_t done = 0;
  if (len == 8) done = packed_groups_avx512<1>(query, sigs, count, b, masks);
  if (len == 16) done = packed_groups_avx512<2>(query, sigs, count, b, masks);
  if (len == 32) done = packed_groups_avx512<4>(query, sigs, count, b, masks);
  switch (len / 64) {
    case 0:
      return record_groups_avx512<0>(query, sigs, len, done, count, b, masks);
    case 1:
      return record_groups_avx512<1>(query, sigs, len, done, count, b, masks);
    case 2:
      return record_groups_avx512<2>(query, sigs, len, done, count, b, masks);
    case 3:
      return record_groups_avx512<3>(query, sigs, len, done, count, b, masks);
    case 4:
      return record_groups_avx512<4>(query, sigs, len, done, count, b, masks);
    default:
      return record_groups_avx512<-1>(query, sigs, len, done, count, b, masks);
  }
}

}  // namespace korvel
