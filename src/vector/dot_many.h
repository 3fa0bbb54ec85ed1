// Exact float32 dot products of one query against many embeddings, used by exact re-scoring.
// Every result is bit-for-bit the left-to-right sum of dot_f32_le: the rows are computed side
// by side in vector lanes, one row per lane, so each lane still adds its products in
// ascending order and only independent sums run in parallel.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// out[r] = dot_f32_le(query, rows[r], n) for r < count. Each row points at n little-endian
// float32 values at any byte alignment; rows may repeat or overlap. Reentrant; allocates
// nothing.
void dot_f32_le_many(const float* query, size_t n, const uint8_t* const* rows, size_t count,
                     float* out) noexcept;

}  // namespace korvel
