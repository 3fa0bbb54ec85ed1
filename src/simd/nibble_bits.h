// The bit counts of 0..15: the one table behind every byte-wise bit count of the Hamming
// kernels (the portable kernels' last bytes, the AVX2 kernels' byte shuffles and last bytes).
// A table rather than __builtin_popcount, which needs POPCNT (neither baseline x86-64 nor
// implied by the avx2 target) and would otherwise become a library call.
#pragma once

#include <cstdint>

namespace korvel {

alignas(16) inline constexpr uint8_t kNibbleBits[16] = {0, 1, 1, 2, 1, 2, 2, 3,
                                                        1, 2, 2, 3, 2, 3, 3, 4};

// The bit count of one byte. REQUIRES: byte < 256.
inline unsigned byte_bit_count(unsigned byte) noexcept {
  return kNibbleBits[byte & 0x0F] + kNibbleBits[byte >> 4];
}

}  // namespace korvel
