// The AVX2 bound kernel. Bits are counted by the nibble-table method; records go four at a
// time and end as one 64-bit lane each, so one compare gives their four mask bits.
// Signatures of 8 and 16 bytes lie 4 and 2 to a register against the query repeated across
// it, one SAD turning each 8 bytes into a count. Any other length takes each record's whole
// 32-byte chunks plus, for the rest, the record's last 32 bytes with the bytes already
// counted masked off (shorter signatures: their first 32 bytes with the bytes of the next
// records masked off, the last few records one at a time so nothing past the section is
// read), into one register of four partial sums per record.
// Compiled for baseline x86-64: only the kernel functions carry the target.
#include "simd/bound_mask.h"
#include "simd/hamming_bound.h"
#include "simd/nibble_count_avx2.h"

namespace korvel {
namespace {

using namespace nibble_avx2;

constexpr size_t kGroup = 4;  // records per compare

// 32 zero bytes, 32 bytes 0xFF, 32 zero bytes: the 32 bytes at 64 - n keep the first n bytes
// of a register, those at n its last n bytes (n <= 32).
alignas(32) constexpr uint8_t kEdges[96] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0};

__attribute__((target("avx2"))) inline __m256i load_avx2(const uint8_t* p) noexcept {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Four 64-bit partial sums of the bit counts of x.
__attribute__((target("avx2"))) inline __m256i count_sums_avx2(__m256i x) noexcept {
  return _mm256_sad_epu8(byte_bit_counts(x), _mm256_setzero_si256());
}

// The mask bits of four records whose distances are the lanes of `totals`, in order.
__attribute__((target("avx2"))) inline unsigned within_avx2(__m256i totals,
                                                            __m256i bound) noexcept {
  const __m256i over = _mm256_cmpgt_epi64(totals, bound);
  return ~static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(over))) & 0xFu;
}

// Records of kWords 64-bit words (1 or 2), 4 / kWords to a register: every whole group of
// four. Returns the number of records done.
template <size_t kWords>
__attribute__((target("avx2"))) size_t packed_groups_avx2(const uint8_t* query, const uint8_t* sigs,
                                                          size_t count, __m256i bound,
                                                          uint64_t* masks) noexcept {
  __m256i q;
  if constexpr (kWords == 1) {
    long long word;
    __builtin_memcpy(&word, query, 8);
    q = _mm256_set1_epi64x(word);
  } else {
    q = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(query)));
  }
  const size_t groups = count / kGroup;
  MaskWriter<kGroup> out(masks);
  for (size_t g = 0; g < groups; ++g) {
    const uint8_t* p = sigs + g * kGroup * kWords * 8;
    prefetch_ahead(p, kGroup * kWords * 8);
    __m256i totals;
    if constexpr (kWords == 1) {
      totals = count_sums_avx2(_mm256_xor_si256(load_avx2(p), q));
    } else {
      // Lanes (r0 low, r0 high, r1 low, r1 high) and the same of r2, r3: summed as
      // (r0, r2, r1, r3), then put in order.
      const __m256i a = count_sums_avx2(_mm256_xor_si256(load_avx2(p), q));
      const __m256i b = count_sums_avx2(_mm256_xor_si256(load_avx2(p + 32), q));
      totals = _mm256_permute4x64_epi64(
          _mm256_add_epi64(_mm256_unpacklo_epi64(a, b), _mm256_unpackhi_epi64(a, b)), 0xD8);
    }
    out.put(g * kGroup, within_avx2(totals, bound));
  }
  out.finish(groups * kGroup);
  return groups * kGroup;
}

// Records [first, count) of any length, one register of four partial sums per record.
// kChunks: the number of whole 32-byte chunks when 1 to 4 (the query's stay in registers),
// 0 for any number.
template <size_t kChunks>
__attribute__((target("avx2"))) void record_groups_avx2(const uint8_t* query, const uint8_t* sigs,
                                                        size_t len, size_t first, size_t count,
                                                        __m256i bound, uint64_t* masks) noexcept {
  const size_t whole = kChunks > 0 ? kChunks : len / 32;
  const size_t rest = len % 32;
  const bool short_records = len < 32;
  __m256i held[kChunks > 0 ? kChunks : 1];
  for (size_t j = 0; j < kChunks; ++j) held[j] = load_avx2(query + 32 * j);
  // The query's last 32 bytes (short records: its bytes, zero-padded) and the mask of the
  // bytes not yet counted.
  __m256i rest_query = _mm256_setzero_si256();
  __m256i rest_mask = _mm256_setzero_si256();
  if (short_records) {
    alignas(32) uint8_t padded[32] = {};
    for (size_t k = 0; k < len; ++k) padded[k] = query[k];
    rest_query = load_avx2(padded);
    rest_mask = load_avx2(kEdges + 64 - len);
  } else if (rest != 0) {
    rest_query = load_avx2(query + len - 32);
    rest_mask = load_avx2(kEdges + rest);
  }
  const size_t readable = count * len;
  auto sums = [&](size_t i) __attribute__((target("avx2"))) {
    const uint8_t* sig = sigs + i * len;
    if (short_records) {
      if (i * len + 32 > readable) {
        return _mm256_setr_epi64x(static_cast<long long>(distance(query, sig, len)), 0, 0, 0);
      }
      return count_sums_avx2(
          _mm256_and_si256(_mm256_xor_si256(load_avx2(sig), rest_query), rest_mask));
    }
    // Byte counts of at most 31 chunks are summed before a SAD: each adds at most 8.
    __m256i acc = _mm256_setzero_si256();
    __m256i bytes = _mm256_setzero_si256();
    size_t pending = 0;
    for (size_t j = 0; j < whole; ++j) {
      const __m256i q = kChunks > 0 ? held[j] : load_avx2(query + 32 * j);
      bytes = _mm256_add_epi8(bytes, byte_bit_counts(_mm256_xor_si256(load_avx2(sig + 32 * j), q)));
      if (kChunks == 0 && ++pending == 31) {
        acc = _mm256_add_epi64(acc, _mm256_sad_epu8(bytes, _mm256_setzero_si256()));
        bytes = _mm256_setzero_si256();
        pending = 0;
      }
    }
    if (rest != 0) {
      const __m256i x = _mm256_xor_si256(load_avx2(sig + len - 32), rest_query);
      bytes = _mm256_add_epi8(bytes, byte_bit_counts(_mm256_and_si256(x, rest_mask)));
    }
    return _mm256_add_epi64(acc, _mm256_sad_epu8(bytes, _mm256_setzero_si256()));
  };
  MaskWriter<kGroup> out(masks);
  for (size_t i = first; i < count; i += kGroup) {
    const size_t present = count - i < kGroup ? count - i : kGroup;
    prefetch_ahead(sigs + i * len, kGroup * len);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i a = sums(i);
    const __m256i b = present > 1 ? sums(i + 1) : zero;
    const __m256i c = present > 2 ? sums(i + 2) : zero;
    const __m256i d = present > 3 ? sums(i + 3) : zero;
    // Lanes (a01, b01 | a23, b23) and (c01, d01 | c23, d23), then (a, b, c, d).
    const __m256i ab = _mm256_add_epi64(_mm256_unpacklo_epi64(a, b), _mm256_unpackhi_epi64(a, b));
    const __m256i cd = _mm256_add_epi64(_mm256_unpacklo_epi64(c, d), _mm256_unpackhi_epi64(c, d));
    const __m256i totals = _mm256_add_epi64(_mm256_permute2x128_si256(ab, cd, 0x20),
                                            _mm256_permute2x128_si256(ab, cd, 0x31));
    out.put(i, within_avx2(totals, bound) & ((1u << present) - 1));
  }
  out.finish(count);
}

}  // namespace

__attribute__((target("avx2"))) void hamming_bound_avx2(const uint8_t* query, const uint8_t* sigs,
                                                        size_t len, size_t count, uint32_t bound,
                                                        uint64_t* masks) noexcept {
  for (size_t w = 0; w * 64 < count; ++w) masks[w] = 0;
  const __m256i b = _mm256_set1_epi64x(static_cast<long long>(bound));
  size_t done = 0;
  if (len == 8) done = packed_groups_avx2<1>(query, sigs, count, b, masks);
  if (len == 16) done = packed_groups_avx2<2>(query, sigs, count, b, masks);
  switch (len / 32) {
    case 1:
      return record_groups_avx2<1>(query, sigs, len, done, count, b, masks);
    case 2:
      return record_groups_avx2<2>(query, sigs, len, done, count, b, masks);
    case 3:
      return record_groups_avx2<3>(query, sigs, len, done, count, b, masks);
    case 4:
      return record_groups_avx2<4>(query, sigs, len, done, count, b, masks);
    default:
      return record_groups_avx2<0>(query, sigs, len, done, count, b, masks);
  }
}

}  // namespace korvel
