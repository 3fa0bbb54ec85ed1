// The exact float32 dot product of exact re-scoring, one embedding at a time or one query
// against many. Every result is bit-for-bit the left-to-right float32 sum, so equal inputs
// always give equal scores and ties are reproducible.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// Left-to-right float32 dot product of a[0, n) and the n little-endian float32 values at
// b_le (any byte alignment): acc = +0.0f; acc += a[i] * b[i] for i ascending, each product
// and sum rounded to float32, no fused multiply-add. n = 0 gives +0.0f.
float dot_f32_le(const float* a, const uint8_t* b_le, size_t n) noexcept;

// out[r] = dot_f32_le(query, rows[r], n) for r < count. Each row points at n little-endian
// float32 values at any byte alignment; rows may repeat or overlap. Reentrant; allocates
// nothing.
void dot_f32_le_many(const float* query, size_t n, const uint8_t* const* rows, size_t count,
                     float* out) noexcept;

}  // namespace korvel
