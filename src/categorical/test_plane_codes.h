// Test helper: a code read back out of one block's plane words, the inverse of pack_code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// The code of record position j (0..63) for trait t, decoded from one block's plane words.
inline uint16_t unpack_code(const uint64_t* block_words, size_t t, uint8_t w, unsigned j) noexcept {
  const uint64_t* planes = block_words + t * w;
  uint32_t code = 0;
  for (unsigned k = 0; k < w; ++k) code |= static_cast<uint32_t>((planes[k] >> j) & 1u) << k;
  return static_cast<uint16_t>(code);
}

}  // namespace korvel
