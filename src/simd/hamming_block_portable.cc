// The portable block kernel: a prepared block is its signatures copied side by side.
#include <cstdint>
#include <cstring>

#include "simd/hamming.h"
#include "simd/hamming_block.h"

namespace korvel {
namespace {

size_t portable_block_bytes(size_t len) noexcept { return kBlockRecords * len; }

size_t portable_query_bytes(size_t len) noexcept { return len; }

void portable_prepare_block(const uint8_t* sigs, size_t len, const uint32_t* records,
                            uint64_t first, size_t count, uint8_t* out) noexcept {
  if (len == 0) return;
  for (size_t i = 0; i < count; ++i) {
    const uint64_t record = records != nullptr ? uint64_t{records[i]} : first + i;
    std::memcpy(out + i * len, sigs + record * len, len);
  }
}

void portable_prepare_queries(const uint8_t* queries, size_t len, size_t count,
                              uint8_t* out) noexcept {
  if (count * len != 0) std::memcpy(out, queries, count * len);
}

void portable_scan(const uint8_t* block, size_t len, size_t count, const uint8_t* queries,
                   size_t query_count, const uint32_t* bounds, uint64_t* masks) noexcept {
  constexpr size_t kWords = kBlockRecords / 64;
  for (size_t q = 0; q < query_count; ++q) {
    uint64_t* mask = masks + q * kWords;
    for (size_t w = 0; w < kWords; ++w) mask[w] = 0;
    for (size_t i = 0; i < count; ++i) {
      const uint32_t d = hamming_portable(queries + q * len, block + i * len, len);
      if (d <= bounds[q]) mask[i / 64] |= uint64_t{1} << (i % 64);
    }
  }
}

}  // namespace

const HammingBlockKernel kHammingBlockPortable = {"portable",
                                                  portable_block_bytes,
                                                  portable_query_bytes,
                                                  portable_prepare_block,
                                                  portable_prepare_queries,
                                                  portable_scan};

}  // namespace korvel
