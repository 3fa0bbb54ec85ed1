// Hamming distance between equal-length byte strings (sign-bit signatures): the portable
// and AVX2 kernels, reached through the kernel table (simd/kernel_table.h). Every kernel
// returns the same results; all are reentrant and allocate nothing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// The number of differing bits between a[0, len) and b[0, len).
using HammingKernel = uint32_t (*)(const uint8_t* a, const uint8_t* b, size_t len) noexcept;

// Runs on any x86-64 processor.
uint32_t hamming_portable(const uint8_t* a, const uint8_t* b, size_t len) noexcept;

// REQUIRES: cpu_features().avx2_usable().
uint32_t hamming_avx2(const uint8_t* a, const uint8_t* b, size_t len) noexcept;

// REQUIRES: instruction_set_usable(InstructionSet::kAvx512).
uint32_t hamming_avx512(const uint8_t* a, const uint8_t* b, size_t len) noexcept;

}  // namespace korvel
