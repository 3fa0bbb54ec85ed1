// Bit-sliced code planes: one 64-bit word holds bit k of trait t's code for the 64 records
// of a block. Plane word t * w + k of a block; bit j of it belongs to record 64b + j.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// Sets bit `j` of plane words t*w + k of `block_words` for every set bit k < w of `code`.
// REQUIRES: block_words holds at least (t + 1) * w words; j < 64.
inline void pack_code(uint64_t* block_words, size_t t, uint8_t w, uint16_t code,
                      unsigned j) noexcept {
  uint64_t* planes = block_words + t * w;
  const uint64_t bit = uint64_t{1} << j;
  for (unsigned k = 0; k < w && (code >> k) != 0; ++k) {
    if ((code >> k) & 1u) planes[k] |= bit;
  }
}

}  // namespace korvel
