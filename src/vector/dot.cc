// The dot products. The project builds with -ffp-contract=off and without -ffast-math, so
// each `*` and `+` of dot_f32_le is one rounded float32 operation in source order: no FMA,
// no vectorised partial sums.
//
// The lane-parallel form: one sum's additions form a chain whose every step waits for the
// previous one (float32 addition is not associative, so the chain cannot be split); with
// four rows per SSE register and three registers in flight, twelve chains advance together.
// Products are formed four dimensions at a time and transposed, so lane r of the k-th
// transposed vector holds row r's product for dimension i + k, added in that order. SSE is
// part of baseline x86-64: no dispatch is needed.
#include "vector/dot.h"

#include <algorithm>

#include "common/little_endian.h"

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

namespace korvel {

float dot_f32_le(const float* a, const uint8_t* b_le, size_t n) noexcept {
  float acc = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    const float product = a[i] * load_f32(b_le + 4 * i);
    acc = acc + product;
  }
  return acc;
}

#if defined(__SSE2__)
namespace {

constexpr size_t kLanes = 4;
constexpr size_t kRegisters = 3;
constexpr size_t kRowsPerPass = kLanes * kRegisters;
// Bytes of each row of the next pass requested ahead.
constexpr size_t kPrefetchBytes = 256;

inline __m128 load_ps(const uint8_t* p) noexcept {
  return _mm_loadu_ps(reinterpret_cast<const float*>(p));  // x86 is little-endian
}

// out[r] for the kRowsPerPass rows at rows[0..kRowsPerPass).
void dot_pass(const float* query, size_t n, const uint8_t* const* rows, float* out) noexcept {
  __m128 acc[kRegisters];
  for (__m128& a : acc) a = _mm_setzero_ps();
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 q = _mm_loadu_ps(query + i);
    const size_t at = 4 * i;
#pragma GCC unroll 3
    for (size_t g = 0; g < kRegisters; ++g) {
      const uint8_t* const* r = rows + kLanes * g;
      __m128 p0 = _mm_mul_ps(q, load_ps(r[0] + at));
      __m128 p1 = _mm_mul_ps(q, load_ps(r[1] + at));
      __m128 p2 = _mm_mul_ps(q, load_ps(r[2] + at));
      __m128 p3 = _mm_mul_ps(q, load_ps(r[3] + at));
      _MM_TRANSPOSE4_PS(p0, p1, p2, p3);
      acc[g] = _mm_add_ps(acc[g], p0);
      acc[g] = _mm_add_ps(acc[g], p1);
      acc[g] = _mm_add_ps(acc[g], p2);
      acc[g] = _mm_add_ps(acc[g], p3);
    }
  }
  for (; i < n; ++i) {
    const __m128 q = _mm_set1_ps(query[i]);
    for (size_t g = 0; g < kRegisters; ++g) {
      const uint8_t* const* r = rows + kLanes * g;
      const __m128 e = _mm_setr_ps(load_f32(r[0] + 4 * i), load_f32(r[1] + 4 * i),
                                   load_f32(r[2] + 4 * i), load_f32(r[3] + 4 * i));
      acc[g] = _mm_add_ps(acc[g], _mm_mul_ps(q, e));
    }
  }
  for (size_t g = 0; g < kRegisters; ++g) _mm_storeu_ps(out + kLanes * g, acc[g]);
}

}  // namespace

void dot_f32_le_many(const float* query, size_t n, const uint8_t* const* rows, size_t count,
                     float* out) noexcept {
  size_t r = 0;
  for (; r + kRowsPerPass <= count; r += kRowsPerPass) {
    // The next pass's rows are scattered: their first lines are started now (the hardware
    // streams the rest of a long row).
    for (size_t j = r + kRowsPerPass; j < std::min(count, r + 2 * kRowsPerPass); ++j) {
      for (size_t b = 0; b < std::min<size_t>(4 * n, kPrefetchBytes); b += 64) {
        __builtin_prefetch(rows[j] + b);
      }
    }
    dot_pass(query, n, rows + r, out + r);
  }
  if (r == count) return;
  // The last rows fill a pass by repeating the final row; the extra lanes are dropped.
  const uint8_t* padded[kRowsPerPass];
  float scores[kRowsPerPass];
  for (size_t j = 0; j < kRowsPerPass; ++j) padded[j] = rows[std::min(r + j, count - 1)];
  dot_pass(query, n, padded, scores);
  std::copy(scores, scores + (count - r), out + r);
}

#else

void dot_f32_le_many(const float* query, size_t n, const uint8_t* const* rows, size_t count,
                     float* out) noexcept {
  for (size_t r = 0; r < count; ++r) out[r] = dot_f32_le(query, rows[r], n);
}

#endif

}  // namespace korvel
