// Sign-bit signatures. The signature runs once per record in add_record() and once per
// query, so full bytes use SSE2 compares (baseline x86-64).
#include "vector/signature.h"

#include "simd/kernel_table.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvel {
namespace {

// Ordered compare: NaN and both zeros give 0.
inline unsigned positive_bit(float v) noexcept { return v > 0.0f ? 1u : 0u; }

}  // namespace

void compute_signature_into(std::span<const float> values, uint8_t* out) noexcept {
  const float* v = values.data();
  const size_t n = values.size();
  const size_t full = n / 8;
#if defined(__SSE2__)
  // cmpgt_ps is the ordered greater-than predicate, so NaN lanes give 0 as required.
  const __m128 zero = _mm_setzero_ps();
  for (size_t j = 0; j < full; ++j) {
    const float* p = v + 8 * j;
    const int lo = _mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(p), zero));
    const int hi = _mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(p + 4), zero));
    out[j] = static_cast<uint8_t>(lo | (hi << 4));
  }
#else
  for (size_t j = 0; j < full; ++j) {
    unsigned byte = 0;
    for (unsigned k = 0; k < 8; ++k) byte |= positive_bit(v[8 * j + k]) << k;
    out[j] = static_cast<uint8_t>(byte);
  }
#endif
  if (const size_t rest = n % 8; rest != 0) {
    unsigned byte = 0;  // spare bits stay 0
    for (size_t k = 0; k < rest; ++k) byte |= positive_bit(v[8 * full + k]) << k;
    out[full] = static_cast<uint8_t>(byte);
  }
}

size_t sign_finite_rows(const float* values, size_t dim, size_t rows, uint8_t* out) noexcept {
  return kernels().sign_rows(values, dim, rows, out);
}

std::vector<uint8_t> compute_signature(std::span<const float> values) {
  std::vector<uint8_t> out(signature_bytes(values.size()));
  compute_signature_into(values, out.data());
  return out;
}

}  // namespace korvel
