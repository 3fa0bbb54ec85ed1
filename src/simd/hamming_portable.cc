// Portable Hamming kernel. Baseline x86-64 has no POPCNT instruction and
// __builtin_popcountll becomes a library call there, so whole 8-byte words are counted
// with a SWAR bit count and the last bytes with a nibble table.
#include <cstring>

#include "simd/hamming.h"

namespace korvel {
namespace {

constexpr uint8_t kNibbleBits[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};

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
  for (; i < len; ++i) {
    const unsigned x = static_cast<unsigned>(a[i] ^ b[i]);
    count += kNibbleBits[x & 0x0F] + kNibbleBits[x >> 4];
  }
  return static_cast<uint32_t>(count);
}

}  // namespace korvel
