// Portable Hamming kernels. Baseline x86-64 has no POPCNT instruction and
// __builtin_popcountll becomes a library call there, so whole 8-byte words are counted
// with a SWAR bit count and the last bytes with the nibble table.
#include <cstring>

#include "simd/gather_prefetch.h"
#include "simd/hamming.h"
#include "simd/hamming_batch.h"
#include "simd/nibble_bits.h"

namespace korvel {
namespace {

inline uint64_t popcount_swar(uint64_t x) noexcept {
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return (x * 0x0101010101010101ULL) >> 56;  // sum of the eight byte counts
}

}  // namespace

uint32_t hamming_portable(const uint8_t* a, const uint8_t* b, size_t len) noexcept {
  uint64_t count = 0;
  size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t wa;
    uint64_t wb;
    std::memcpy(&wa, a + i, 8);  // any alignment; byte order does not change a bit count
    std::memcpy(&wb, b + i, 8);
    count += popcount_swar(wa ^ wb);
  }
  for (; i < len; ++i) count += byte_bit_count(static_cast<unsigned>(a[i] ^ b[i]));
  return static_cast<uint32_t>(count);
}

void hamming_batch_portable(const uint8_t* query, const uint8_t* sigs, size_t len, size_t count,
                            uint32_t* out) noexcept {
  for (size_t i = 0; i < count; ++i) out[i] = hamming_portable(query, sigs + i * len, len);
}

void hamming_gather_portable(const uint8_t* query, const uint8_t* sigs, size_t len,
                             const uint32_t* records, size_t count, uint32_t* out) noexcept {
  if (len == 0) {
    for (size_t i = 0; i < count; ++i) out[i] = 0;
    return;
  }
  for (size_t i = 0; i < count && i < kPrefetchDistance; ++i) {
    prefetch_signature(sigs + uint64_t{records[i]} * len, len);
  }
  for (size_t i = 0; i < count; ++i) {
    if (i + kPrefetchDistance < count) {
      prefetch_signature(sigs + uint64_t{records[i + kPrefetchDistance]} * len, len);
    }
    out[i] = hamming_portable(query, sigs + uint64_t{records[i]} * len, len);
  }
}

}  // namespace korvel
