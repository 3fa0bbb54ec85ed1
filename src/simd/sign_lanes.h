// Word w of many records' sign bits, one 32-bit lane per record, for the vector sign score
// kernels (which load the lanes into registers some time after: a register loaded right after
// its lanes were stored would wait for the stores).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvel {

// lanes[l] = bytes 4w .. 4w + 3 of sigs[l] (zero beyond `bytes`, a signature's length), l < count.
inline void stage_sign_words(const uint8_t* const* sigs, size_t count, size_t bytes, size_t w,
                             uint32_t* lanes) noexcept {
  const size_t have = bytes - 4 * w < 4 ? bytes - 4 * w : 4;
  for (size_t l = 0; l < count; ++l) {
    // A whole word in one load; only the last word of a signature may be shorter.
    const uint8_t* at = sigs[l] + 4 * w;
    if (have == 4) {
      std::memcpy(&lanes[l], at, 4);
    } else {
      lanes[l] = 0;
      std::memcpy(&lanes[l], at, have);
    }
  }
}

}  // namespace korvel
