// Set membership on bit-sliced code planes: whether each record's code lies in a set given
// as a membership table, for sets of any size in one pass over the planes. Reached through
// the kernel table (simd/kernel_table.h); reentrant, allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/plane_match.h"

namespace korvel {

// For each block b < blocks, bit j of the match word is bit c of `member` (bit c % 64 of
// word c / 64), where c is the code of record j of the block: bit k of c is bit j of the
// little-endian u64 at planes + b * block_stride + 8 * k, for k < width. The match word is
// stored into out[b] (kAssign), ANDed into it (kAnd) or ORed into it (kOr); a block whose
// outcome cannot change (kAnd into a zero word, kOr into all ones) is not read.
// REQUIRES: width is 4, 8 or 16; member holds max(1, 2^width / 64) words.
using MatchSetKernel = void (*)(const uint8_t* planes, size_t block_stride, unsigned width,
                                const uint64_t* member, PlaneCombine combine, uint64_t* out,
                                size_t blocks) noexcept;

// Runs on any x86-64 processor.
void match_set_portable(const uint8_t* planes, size_t block_stride, unsigned width,
                        const uint64_t* member, PlaneCombine combine, uint64_t* out,
                        size_t blocks) noexcept;

}  // namespace korvel
