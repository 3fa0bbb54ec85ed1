// The sign score kernels: a float query against the sign bits of many records, each record's
// score the exact left-to-right float32 sum, whichever kernel runs (vector/sign_score.h is the
// entry point). Reached through the kernel table (simd/kernel_table.h); reentrant, allocating
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// out[r] = sum over i < dim, left to right from +0.0f, of (bit i of sigs[r] set ? q[i] :
// -q[i]) in float32, bit i being bit i % 8 of byte i / 8, for r < count.
using SignScoreKernel = void (*)(const float* q, size_t dim, const uint8_t* const* sigs,
                                 size_t count, float* out) noexcept;

// SSE2, which every x86-64 processor has.
void sign_score_portable(const float* q, size_t dim, const uint8_t* const* sigs, size_t count,
                         float* out) noexcept;

// REQUIRES: cpu_features().avx2_usable().
void sign_score_avx2(const float* q, size_t dim, const uint8_t* const* sigs, size_t count,
                     float* out) noexcept;

// REQUIRES: cpu_features().avx512_usable().
void sign_score_avx512(const float* q, size_t dim, const uint8_t* const* sigs, size_t count,
                       float* out) noexcept;

}  // namespace korvel
