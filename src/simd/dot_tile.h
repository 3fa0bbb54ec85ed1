// The tile kernels of exact search: the float32 dot products of a tile of queries against
// many embedding rows, each the exact left-to-right sum of vector/dot.h, whichever kernel
// runs. The queries lie across the lanes of a register, so every lane adds its products in
// the scalar order and no sum is split. Reached through the kernel table
// (simd/kernel_table.h); reentrant, allocating nothing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// Queries per tile.
inline constexpr size_t kDotTileQueries = 16;

// qt: dim groups of kDotTileQueries floats, qt[i * kDotTileQueries + j] the i-th value of the
// tile's query j. For r < count and j < kDotTileQueries: out[r * kDotTileQueries + j] = the
// left-to-right float32 sum from +0.0f of qt[i * kDotTileQueries + j] * row[i], i < dim, row
// being the dim little-endian float32 values at rows[r] (any byte alignment), each product
// and sum rounded, no fused multiply-add.
using DotTileKernel = void (*)(const float* qt, size_t dim, const uint8_t* const* rows,
                               size_t count, float* out) noexcept;

// SSE2, which every x86-64 processor has.
void dot_tile_portable(const float* qt, size_t dim, const uint8_t* const* rows, size_t count,
                       float* out) noexcept;

// REQUIRES: cpu_features().avx2_usable().
void dot_tile_avx2(const float* qt, size_t dim, const uint8_t* const* rows, size_t count,
                   float* out) noexcept;

}  // namespace korvel
