// The AVX2 tile kernel: four rows per pass, the tile's sixteen queries in two registers per
// row, eight chains of additions in flight (a multiply and an add per product, as the scalar
// sum rounds them). Compiled for the baseline; only the kernel functions carry
// target("avx2").
#include <immintrin.h>

#include <algorithm>

#include "common/little_endian.h"
#include "simd/dot_tile.h"

namespace korvel {
namespace {

constexpr size_t kRows = 4;
constexpr size_t kVectors = kDotTileQueries / 8;

__attribute__((target("avx2"))) void dot_rows_avx2(const float* qt, size_t dim,
                                                   const uint8_t* const* rows,
                                                   float* out) noexcept {
  __m256 acc[kRows][kVectors];
#pragma GCC unroll 4
  for (size_t r = 0; r < kRows; ++r) {
#pragma GCC unroll 2
    for (size_t v = 0; v < kVectors; ++v) acc[r][v] = _mm256_setzero_ps();
  }
  for (size_t i = 0; i < dim; ++i) {
    const __m256 q0 = _mm256_loadu_ps(qt + i * kDotTileQueries);
    const __m256 q1 = _mm256_loadu_ps(qt + i * kDotTileQueries + 8);
#pragma GCC unroll 4
    for (size_t r = 0; r < kRows; ++r) {
      const __m256 x = _mm256_set1_ps(load_f32(rows[r] + 4 * i));
      acc[r][0] = _mm256_add_ps(acc[r][0], _mm256_mul_ps(q0, x));
      acc[r][1] = _mm256_add_ps(acc[r][1], _mm256_mul_ps(q1, x));
    }
  }
#pragma GCC unroll 4
  for (size_t r = 0; r < kRows; ++r) {
    _mm256_storeu_ps(out + r * kDotTileQueries, acc[r][0]);
    _mm256_storeu_ps(out + r * kDotTileQueries + 8, acc[r][1]);
  }
}

}  // namespace

__attribute__((target("avx2"))) void dot_tile_avx2(const float* qt, size_t dim,
                                                   const uint8_t* const* rows, size_t count,
                                                   float* out) noexcept {
  size_t r = 0;
  for (; r + kRows <= count; r += kRows) {
    dot_rows_avx2(qt, dim, rows + r, out + r * kDotTileQueries);
  }
  if (r == count) return;
  // The last pass repeats the last row; only the real ones are kept.
  const uint8_t* tail[kRows];
  float scores[kRows * kDotTileQueries];
  for (size_t i = 0; i < kRows; ++i) tail[i] = rows[std::min(r + i, count - 1)];
  dot_rows_avx2(qt, dim, tail, scores);
  std::copy(scores, scores + (count - r) * kDotTileQueries, out + r * kDotTileQueries);
}

}  // namespace korvel
