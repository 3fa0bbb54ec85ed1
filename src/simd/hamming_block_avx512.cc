// The AVX-512 block kernel. A prepared block holds groups of 8 records, word-major: for each
// 64-bit word position w of a signature, the 8 records' word w side by side (the last word
// zero-padded), so one register holds one word of 8 records and each lane sums to one
// record's distance, with no horizontal sum. Four groups are loaded once per word and
// reused for four queries, and each lane's total is compared with the query's bound into
// an 8-bit mask. Compiled for baseline x86-64: only the kernel functions carry the target.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simd/avx512_intrinsics.h"
#include "simd/hamming_block.h"

namespace korvel {
namespace {

constexpr size_t kGroup = 8;                       // records per lane group
constexpr size_t kChunkGroups = 4;                 // groups scanned together
constexpr size_t kChunk = kGroup * kChunkGroups;   // 32 records
constexpr size_t kMaskWords = kBlockRecords / 64;  // mask words per query
constexpr size_t kPrefetchGroups = 4;              // how far ahead a block's reads are asked for

size_t words_of(size_t len) noexcept { return (len + 7) / 8; }

size_t avx512_block_bytes(size_t len) noexcept { return kBlockRecords * 8 * words_of(len); }

size_t avx512_query_bytes(size_t len) noexcept { return 8 * words_of(len); }

// Word w of a signature, zero beyond len.
uint64_t load_word(const uint8_t* sig, size_t len, size_t w) noexcept {
  uint64_t word = 0;
  const size_t n = len - 8 * w < 8 ? len - 8 * w : 8;
  std::memcpy(&word, sig + 8 * w, n);
  return word;
}

void avx512_prepare_block(const uint8_t* sigs, size_t len, const uint32_t* records, uint64_t first,
                          size_t count, uint8_t* out) noexcept {
  const size_t words = words_of(len);
  const size_t full_words = len / 8;  // words wholly inside a signature
  const size_t padded = (count + kChunk - 1) / kChunk * kChunk;
  // One group at a time, word by word: each output line (word w of the group's 8 records) is
  // written whole, and each record's signature is read front to back.
  for (size_t g = 0; g * kGroup < padded; ++g) {
    const uint8_t* sig[kGroup];
    for (size_t r = 0; r < kGroup; ++r) {
      const size_t i = g * kGroup + r;
      sig[r] = i < count ? sigs + (records != nullptr ? uint64_t{records[i]} : first + i) * len
                         : nullptr;
    }
    // The signatures of a group a few ahead, on their way from memory while this one is read.
    for (size_t r = 0; r < kGroup; ++r) {
      const size_t i = (g + kPrefetchGroups) * kGroup + r;
      if (i >= count || len == 0) break;
      const uint8_t* ahead = sigs + (records != nullptr ? uint64_t{records[i]} : first + i) * len;
      for (size_t b = 0; b < len; b += 64) __builtin_prefetch(ahead + b);
      __builtin_prefetch(ahead + len - 1);
    }
    uint8_t* lane = out + g * words * kGroup * 8;
    for (size_t w = 0; w < words; ++w) {
      for (size_t r = 0; r < kGroup; ++r, lane += 8) {
        uint64_t word = 0;
        if (sig[r] != nullptr && w < full_words) {
          std::memcpy(&word, sig[r] + 8 * w, 8);
        } else if (sig[r] != nullptr) {
          word = load_word(sig[r], len, w);
        }
        std::memcpy(lane, &word, 8);
      }
    }
  }
}

void avx512_prepare_queries(const uint8_t* queries, size_t len, size_t count,
                            uint8_t* out) noexcept {
  const size_t words = words_of(len);
  for (size_t q = 0; q < count; ++q) {
    for (size_t w = 0; w < words; ++w) {
      const uint64_t word = load_word(queries + q * len, len, w);
      std::memcpy(out + (q * words + w) * 8, &word, 8);
    }
  }
}

// kQueries (1..4) queries against the four groups of one chunk; sets the chunk's mask bits.
// Every loop over queries and groups is unrolled so the 16 accumulators stay in registers:
// left rolled, GCC keeps them on the stack and the scan runs 2.4 times slower.
template <int kQueries>
KORVEL_AVX512_TARGET void avx512_scan_chunk(const uint8_t* chunk, size_t words,
                                            const uint8_t* queries, const uint32_t* bounds,
                                            size_t chunk_index, uint64_t* masks) noexcept {
  __m512i acc[kQueries][kChunkGroups];
#pragma GCC unroll 4
  for (int q = 0; q < kQueries; ++q) {
#pragma GCC unroll 4
    for (size_t g = 0; g < kChunkGroups; ++g) acc[q][g] = _mm512_setzero_si512();
  }
  const size_t group_stride = words * kGroup * 8;
  for (size_t w = 0; w < words; ++w) {
    __m512i data[kChunkGroups];
#pragma GCC unroll 4
    for (size_t g = 0; g < kChunkGroups; ++g) {
      data[g] = _mm512_loadu_si512(chunk + g * group_stride + w * kGroup * 8);
    }
#pragma GCC unroll 4
    for (int q = 0; q < kQueries; ++q) {
      long long word;
      std::memcpy(&word, queries + (q * words + w) * 8, 8);
      const __m512i query_word = _mm512_set1_epi64(word);
#pragma GCC unroll 4
      for (size_t g = 0; g < kChunkGroups; ++g) {
        acc[q][g] =
            _mm512_add_epi64(acc[q][g], _mm512_popcnt_epi64(_mm512_xor_si512(query_word, data[g])));
      }
    }
  }
#pragma GCC unroll 4
  for (int q = 0; q < kQueries; ++q) {
    const __m512i bound = _mm512_set1_epi64(static_cast<long long>(bounds[q]));
    // The chunk's 32 bits, one 8-bit mask per group (__mmask8, which SIMDe names only under
    // its own prefix), joined before the one write.
    uint32_t in = 0;
#pragma GCC unroll 4
    for (size_t g = 0; g < kChunkGroups; ++g) {
      const uint8_t group_in = _mm512_cmple_epu64_mask(acc[q][g], bound);
      in |= uint32_t{group_in} << (8 * g);
    }
    const size_t first = chunk_index * kChunk;
    masks[q * kMaskWords + first / 64] |= uint64_t{in} << (first % 64);
  }
}

KORVEL_AVX512_TARGET void avx512_scan(const uint8_t* block, size_t len, size_t count,
                                      const uint8_t* queries, size_t query_count,
                                      const uint32_t* bounds, uint64_t* masks) noexcept {
  for (size_t i = 0; i < query_count * kMaskWords; ++i) masks[i] = 0;
  const size_t words = words_of(len);
  const size_t chunks = (count + kChunk - 1) / kChunk;
  for (size_t c = 0; c < chunks; ++c) {
    const uint8_t* chunk = block + c * kChunk * words * 8;
    size_t q = 0;
    for (; q + 4 <= query_count; q += 4) {
      avx512_scan_chunk<4>(chunk, words, queries + q * words * 8, bounds + q, c,
                           masks + q * kMaskWords);
    }
    const uint8_t* rest = queries + q * words * 8;
    uint64_t* rest_masks = masks + q * kMaskWords;
    switch (query_count - q) {
      case 3:
        avx512_scan_chunk<3>(chunk, words, rest, bounds + q, c, rest_masks);
        break;
      case 2:
        avx512_scan_chunk<2>(chunk, words, rest, bounds + q, c, rest_masks);
        break;
      case 1:
        avx512_scan_chunk<1>(chunk, words, rest, bounds + q, c, rest_masks);
        break;
      default:
        break;
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

const HammingBlockKernel kHammingBlockAvx512 = {"avx512",
                                                avx512_block_bytes,
                                                avx512_query_bytes,
                                                avx512_prepare_block,
                                                avx512_prepare_queries,
                                                avx512_scan};

}  // namespace korvel
