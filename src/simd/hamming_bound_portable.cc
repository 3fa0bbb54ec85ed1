// The portable bound kernel: one distance at a time with the portable Hamming kernel.
#include "simd/hamming.h"
#include "simd/hamming_bound.h"

namespace korvel {

void hamming_bound_portable(const uint8_t* query, const uint8_t* sigs, size_t len, size_t count,
                            uint32_t bound, uint64_t* masks) noexcept {
  for (size_t w = 0; w * 64 < count; ++w) {
    const size_t end = count - 64 * w < 64 ? count - 64 * w : 64;
    uint64_t mask = 0;
    for (size_t i = 0; i < end; ++i) {
      const uint8_t* sig = sigs + (64 * w + i) * len;
      mask |= uint64_t{hamming_portable(query, sig, len) <= bound} << i;
    }
    masks[w] = mask;
  }
}

}  // namespace korvel
