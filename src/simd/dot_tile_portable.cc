// The portable tile kernel: two rows per pass, the tile's sixteen queries in four SSE2
// registers per row (the x86-64 baseline), eight chains of additions in flight.
#include <emmintrin.h>

#include "common/little_endian.h"
#include "simd/dot_tile.h"

namespace korvel {
namespace {

constexpr size_t kRows = 2;
constexpr size_t kVectors = kDotTileQueries / 4;

void dot_rows(const float* qt, size_t dim, const uint8_t* const* rows, float* out) noexcept {
  __m128 acc[kRows][kVectors];
  for (auto& row : acc) {
    for (__m128& a : row) a = _mm_setzero_ps();
  }
  for (size_t i = 0; i < dim; ++i) {
    const float* q = qt + i * kDotTileQueries;
    for (size_t r = 0; r < kRows; ++r) {
      const __m128 x = _mm_set1_ps(load_f32(rows[r] + 4 * i));
      for (size_t v = 0; v < kVectors; ++v) {
        acc[r][v] = _mm_add_ps(acc[r][v], _mm_mul_ps(_mm_loadu_ps(q + 4 * v), x));
      }
    }
  }
  for (size_t r = 0; r < kRows; ++r) {
    for (size_t v = 0; v < kVectors; ++v) {
      _mm_storeu_ps(out + r * kDotTileQueries + 4 * v, acc[r][v]);
    }
  }
}

}  // namespace

void dot_tile_portable(const float* qt, size_t dim, const uint8_t* const* rows, size_t count,
                       float* out) noexcept {
  size_t r = 0;
  for (; r + kRows <= count; r += kRows) dot_rows(qt, dim, rows + r, out + r * kDotTileQueries);
  if (r == count) return;
  // The last pass repeats the last row; only the real one is kept.
  const uint8_t* tail[kRows] = {rows[r], rows[r]};
  float scores[kRows * kDotTileQueries];
  dot_rows(qt, dim, tail, scores);
  for (size_t j = 0; j < kDotTileQueries; ++j) out[r * kDotTileQueries + j] = scores[j];
}

}  // namespace korvel
