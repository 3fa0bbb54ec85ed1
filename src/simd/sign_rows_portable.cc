// Portable row-signing kernel: one value at a time; the compiler vectorises it for baseline
// x86-64.
#include <cstring>

#include "simd/sign_rows.h"

namespace korvel {

size_t sign_rows_portable(const float* values, size_t dim, size_t rows, uint8_t* out) noexcept {
  const size_t bytes = (dim + 7) / 8;
  for (size_t r = 0; r < rows; ++r, values += dim, out += bytes) {
    uint32_t special = 0;  // all exponent bits set: infinity or NaN
    for (size_t i = 0; i < dim; ++i) {
      uint32_t bits;
      std::memcpy(&bits, values + i, sizeof bits);
      special |= static_cast<uint32_t>((bits & 0x7f800000u) == 0x7f800000u);
    }
    if (special != 0) return r;
    std::memset(out, 0, bytes);
    for (size_t i = 0; i < dim; ++i) {
      // Ordered compare: both zeros give 0.
      out[i / 8] = static_cast<uint8_t>(out[i / 8] | (values[i] > 0.0f ? 1u : 0u) << (i % 8));
    }
  }
  return rows;
}

}  // namespace korvel
