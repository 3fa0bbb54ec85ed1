// The AVX2 block kernel. A prepared block holds groups of 32 records; for each byte
// position j a group stores the low 4-bit halves of its 32 records' byte j (32 bytes), then
// the high halves (32 bytes), so one vector holds one byte position of 32 records. A query
// becomes, per byte position, two 16-entry tables: the bit count of (query half XOR n) for
// every 4-bit n. A byte shuffle of a table by a vector of halves then yields 32 records'
// distance contributions at once: two shuffles and two adds per byte position and 32
// records, with no XOR, no separate bit count and no horizontal sum. Splitting the halves
// at preparation saves a shift and two masks per shuffle pair in every query's pass.
// Compiled for baseline x86-64: only the kernel functions carry target("avx2").
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simd/hamming_block.h"

namespace korvel {
namespace {

constexpr size_t kGroup = 32;                      // records per lane group
constexpr size_t kChunkGroups = 4;                 // groups scanned together
constexpr size_t kChunk = kGroup * kChunkGroups;   // 128 records
constexpr size_t kMaskWords = kBlockRecords / 64;  // mask words per query
constexpr size_t kByteSums = 62;                   // 8-bit sums of at most 62 x 4 = 248

size_t avx2_block_bytes(size_t len) noexcept { return kBlockRecords * 2 * len; }

size_t avx2_query_bytes(size_t len) noexcept { return 32 * len; }

// Transposes 16 byte positions of 32 records: rows[r] holds record r's bytes in its low
// 128-bit lane and record r + 16's in its high lane. Interleaving rows i and i + 8 four
// times rotates each byte's (row, position) index by four bits, a transpose: row k then
// holds byte k of records 0..31 in order.
__attribute__((target("avx2"))) void avx2_transpose_16x16x2(__m256i* rows) noexcept {
  __m256i tmp[16];
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 8; ++i) {
      tmp[2 * i] = _mm256_unpacklo_epi8(rows[i], rows[i + 8]);
      tmp[2 * i + 1] = _mm256_unpackhi_epi8(rows[i], rows[i + 8]);
    }
    for (int i = 0; i < 8; ++i) {
      rows[2 * i] = _mm256_unpacklo_epi8(tmp[i], tmp[i + 8]);
      rows[2 * i + 1] = _mm256_unpackhi_epi8(tmp[i], tmp[i + 8]);
    }
  }
}

// Loads bytes [j0, j0 + 16) of a signature, zero beyond len (never reading past it), or
// zeros for a missing record.
__attribute__((target("avx2"))) __m128i avx2_load_16(const uint8_t* sig, size_t len,
                                                     size_t j0) noexcept {
  if (sig == nullptr) return _mm_setzero_si128();
  if (j0 + 16 <= len) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(sig + j0));
  uint8_t tail[16] = {};
  std::memcpy(tail, sig + j0, len - j0);
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(tail));
}

__attribute__((target("avx2"))) void avx2_prepare_block(const uint8_t* sigs, size_t len,
                                                        const uint32_t* records, uint64_t first,
                                                        size_t count, uint8_t* out) noexcept {
  // Whole chunks: the scan reads every group of a chunk; the padding records are zeros.
  const size_t padded = (count + kChunk - 1) / kChunk * kChunk;
  const __m256i low_mask = _mm256_set1_epi8(0x0F);
  for (size_t g = 0; g * kGroup < padded; ++g) {
    const uint8_t* sig[kGroup];
    for (size_t r = 0; r < kGroup; ++r) {
      const size_t i = g * kGroup + r;
      const uint64_t record = records != nullptr && i < count ? uint64_t{records[i]} : first + i;
      sig[r] = i < count ? sigs + record * len : nullptr;
    }
    uint8_t* group = out + g * kGroup * 2 * len;
    for (size_t j0 = 0; j0 < len; j0 += 16) {
      __m256i rows[16];
      for (size_t r = 0; r < 16; ++r) {
        rows[r] = _mm256_inserti128_si256(_mm256_castsi128_si256(avx2_load_16(sig[r], len, j0)),
                                          avx2_load_16(sig[r + 16], len, j0), 1);
      }
      avx2_transpose_16x16x2(rows);
      for (size_t k = 0; k < 16 && j0 + k < len; ++k) {
        uint8_t* dst = group + (j0 + k) * 64;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_and_si256(rows[k], low_mask));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32),
                            _mm256_and_si256(_mm256_srli_epi16(rows[k], 4), low_mask));
      }
    }
  }
}

void avx2_prepare_queries(const uint8_t* queries, size_t len, size_t count, uint8_t* out) noexcept {
  static constexpr uint8_t kBits[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};
  for (size_t q = 0; q < count; ++q) {
    for (size_t j = 0; j < len; ++j) {
      const unsigned byte = queries[q * len + j];
      uint8_t* table = out + q * 32 * len + 32 * j;
      for (unsigned n = 0; n < 16; ++n) {
        table[n] = kBits[(byte & 0x0Fu) ^ n];
        table[16 + n] = kBits[(byte >> 4) ^ n];
      }
    }
  }
}

// Bit r of the result is set when record r of the 32 (distances split into even records,
// the low bytes of `even`'s 16-bit lanes, and odd ones) is within `bound`.
__attribute__((target("avx2"))) uint32_t avx2_within(__m256i even, __m256i odd,
                                                     __m256i bound) noexcept {
  const __m256i even_in = _mm256_cmpeq_epi16(_mm256_min_epu16(even, bound), even);
  const __m256i odd_in = _mm256_cmpeq_epi16(_mm256_min_epu16(odd, bound), odd);
  // Each 16-bit lane sets two mask bits: the lower one for its even record, the upper one
  // for its odd record.
  return (static_cast<uint32_t>(_mm256_movemask_epi8(even_in)) & 0x55555555u) |
         (static_cast<uint32_t>(_mm256_movemask_epi8(odd_in)) & 0xAAAAAAAAu);
}

// kQueries (1 or 2) queries against the four groups of one chunk; sets the chunk's mask bits.
template <int kQueries>
__attribute__((target("avx2"))) void avx2_scan_chunk(const uint8_t* chunk, size_t len,
                                                     const uint8_t* const* tables,
                                                     const uint32_t* bounds, size_t chunk_index,
                                                     uint64_t* const* masks) noexcept {
  const size_t group_stride = kGroup * 2 * len;
  const __m256i low_bytes = _mm256_set1_epi16(0x00FF);
  __m256i even[kQueries][kChunkGroups];
  __m256i odd[kQueries][kChunkGroups];
  for (int q = 0; q < kQueries; ++q) {
    for (size_t g = 0; g < kChunkGroups; ++g) {
      even[q][g] = _mm256_setzero_si256();
      odd[q][g] = _mm256_setzero_si256();
    }
  }
  // Half-byte positions k = 2j (low halves) and 2j + 1 (high halves): table k of a query
  // is at 16k, the vector of halves k of a group at 32k. One table per query is live at a
  // time, which leaves every accumulator a register.
  const size_t halves = 2 * len;
  for (size_t k0 = 0; k0 < halves; k0 += kByteSums) {
    const size_t k1 = halves - k0 < kByteSums ? halves : k0 + kByteSums;
    __m256i acc[kQueries][kChunkGroups];
    for (int q = 0; q < kQueries; ++q) {
      for (size_t g = 0; g < kChunkGroups; ++g) acc[q][g] = _mm256_setzero_si256();
    }
#pragma GCC unroll 2
    for (size_t k = k0; k < k1; ++k) {
      __m256i table[kQueries];
      for (int q = 0; q < kQueries; ++q) {
        table[q] = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(tables[q] + 16 * k)));
      }
#pragma GCC unroll 4
      for (size_t g = 0; g < kChunkGroups; ++g) {
        __m256i d =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunk + g * group_stride + 32 * k));
        // Each vector serves every query: kept in a register rather than folded into each
        // shuffle as a memory operand, which would load it once per query.
        __asm__("" : "+x"(d));
        for (int q = 0; q < kQueries; ++q) {
          acc[q][g] = _mm256_add_epi8(acc[q][g], _mm256_shuffle_epi8(table[q], d));
        }
      }
    }
    for (int q = 0; q < kQueries; ++q) {
      for (size_t g = 0; g < kChunkGroups; ++g) {
        even[q][g] = _mm256_add_epi16(even[q][g], _mm256_and_si256(acc[q][g], low_bytes));
        odd[q][g] = _mm256_add_epi16(odd[q][g], _mm256_srli_epi16(acc[q][g], 8));
      }
    }
  }
  for (int q = 0; q < kQueries; ++q) {
    const uint32_t b = bounds[q] < 0xFFFFu ? bounds[q] : 0xFFFFu;
    const __m256i bound = _mm256_set1_epi16(static_cast<short>(b));
    for (size_t g = 0; g < kChunkGroups; ++g) {
      const size_t first = chunk_index * kChunk + g * kGroup;
      masks[q][first / 64] |= uint64_t{avx2_within(even[q][g], odd[q][g], bound)} << (first % 64);
    }
  }
}

__attribute__((target("avx2"))) void avx2_scan(const uint8_t* block, size_t len, size_t count,
                                               const uint8_t* queries, size_t query_count,
                                               const uint32_t* bounds, uint64_t* masks) noexcept {
  for (size_t i = 0; i < query_count * kMaskWords; ++i) masks[i] = 0;
  const size_t chunks = (count + kChunk - 1) / kChunk;
  const size_t query_stride = 32 * len;
  for (size_t c = 0; c < chunks; ++c) {
    const uint8_t* chunk = block + c * kChunk * 2 * len;
    size_t q = 0;
    for (; q + 2 <= query_count; q += 2) {
      const uint8_t* tables[2] = {queries + q * query_stride, queries + (q + 1) * query_stride};
      uint64_t* out[2] = {masks + q * kMaskWords, masks + (q + 1) * kMaskWords};
      avx2_scan_chunk<2>(chunk, len, tables, bounds + q, c, out);
    }
    if (q < query_count) {
      const uint8_t* tables[1] = {queries + q * query_stride};
      uint64_t* out[1] = {masks + q * kMaskWords};
      avx2_scan_chunk<1>(chunk, len, tables, bounds + q, c, out);
    }
  }
  // The padding records of the last chunk.
  for (size_t q = 0; q < query_count; ++q) {
    for (size_t w = 0; w < kMaskWords; ++w) {
      const size_t base = 64 * w;
      if (base >= count) {
        masks[q * kMaskWords + w] = 0;
      } else if (count - base < 64) {
        masks[q * kMaskWords + w] &= (uint64_t{1} << (count - base)) - 1;
      }
    }
  }
}

}  // namespace

const HammingBlockKernel kHammingBlockAvx2 = {
    "avx2",   avx2_block_bytes, avx2_query_bytes, avx2_prepare_block, avx2_prepare_queries,
    avx2_scan};

}  // namespace korvel
