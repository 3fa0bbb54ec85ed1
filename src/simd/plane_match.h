// Eq matching on bit-sliced code planes, one 64-bit word per block of 64 records: the SSE2
// kernel (baseline x86-64) and the AVX2 kernel, reached through the kernel table
// (simd/kernel_table.h). Both return identical results; they are reentrant and allocate
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// How a block's match word is folded into its output word.
enum class PlaneCombine : uint8_t { kAssign, kAnd, kOr };

// For each block b < blocks, the match word is the AND over k < width of
// (P(b, k) XOR flip[k]), where P(b, k) is the little-endian u64 at
// planes + b * block_stride + 8 * k. It is stored into out[b] (kAssign), ANDed into it
// (kAnd) or ORed into it (kOr). Reads the width plane words of each block and nothing else.
// REQUIRES: width is 4, 8 or 16; flip holds width words.
using MatchPlanesKernel = void (*)(const uint8_t* planes, size_t block_stride, const uint64_t* flip,
                                   unsigned width, PlaneCombine combine, uint64_t* out,
                                   size_t blocks) noexcept;

// Runs on any x86-64 processor.
void match_planes_portable(const uint8_t* planes, size_t block_stride, const uint64_t* flip,
                           unsigned width, PlaneCombine combine, uint64_t* out,
                           size_t blocks) noexcept;

// REQUIRES: cpu_features().avx2_usable().
void match_planes_avx2(const uint8_t* planes, size_t block_stride, const uint64_t* flip,
                       unsigned width, PlaneCombine combine, uint64_t* out, size_t blocks) noexcept;

}  // namespace korvel
