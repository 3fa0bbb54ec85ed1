// Test helper: the plain Hamming distance every kernel is checked against.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

inline uint32_t naive_hamming(const uint8_t* a, const uint8_t* b, size_t len) {
  uint32_t count = 0;
  for (size_t i = 0; i < len; ++i) {
    for (unsigned x = static_cast<unsigned>(a[i] ^ b[i]); x != 0; x >>= 1) count += x & 1u;
  }
  return count;
}

}  // namespace korvel
