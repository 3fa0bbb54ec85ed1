// The bound kernel of a lone query: one query signature against stored signatures lying back
// to back, each record's distance compared with a bound and only the answer kept, one bit
// per record. A query scanning alone needs only the few records within its pool's bound, so
// nothing is written per record and the records are read exactly once, in order, several
// to a register where they are short. Reached through the kernel table
// (simd/kernel_table.h); every kernel gives identical masks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// For i < count: bit i % 64 of masks[i / 64] is set exactly when the Hamming distance between
// query[0, len) and sigs[i * len, (i + 1) * len) is <= bound. Every other bit of the
// (count + 63) / 64 words is cleared. Reads no byte outside query[0, len) and
// sigs[0, count * len).
using HammingBoundKernel = void (*)(const uint8_t* query, const uint8_t* sigs, size_t len,
                                    size_t count, uint32_t bound, uint64_t* masks) noexcept;

// Runs on any x86-64 processor.
void hamming_bound_portable(const uint8_t* query, const uint8_t* sigs, size_t len, size_t count,
                            uint32_t bound, uint64_t* masks) noexcept;

// REQUIRES: cpu_features().avx2_usable().
void hamming_bound_avx2(const uint8_t* query, const uint8_t* sigs, size_t len, size_t count,
                        uint32_t bound, uint64_t* masks) noexcept;

// REQUIRES: cpu_features().avx512_usable().
void hamming_bound_avx512(const uint8_t* query, const uint8_t* sigs, size_t len, size_t count,
                          uint32_t bound, uint64_t* masks) noexcept;

}  // namespace korvel
