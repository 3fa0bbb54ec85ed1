// Hamming distance between equal-length byte strings (sign-bit signatures), with an AVX2
// kernel and a portable kernel chosen once per process. Both return identical results.
// All functions are reentrant and allocate nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvel {

// Portable kernel: runs on any x86-64 processor.
uint32_t hamming_portable(const uint8_t* a, const uint8_t* b, size_t len) noexcept;

// AVX2 kernel. REQUIRES: cpu_supports_avx2().
uint32_t hamming_avx2(const uint8_t* a, const uint8_t* b, size_t len) noexcept;

// Checked forms: unequal lengths are a programming error and panic with
// "hamming_avx2: slices must have equal length" (resp. "hamming_portable: ...").
uint32_t hamming_avx2(std::span<const uint8_t> a, std::span<const uint8_t> b);
uint32_t hamming_portable(std::span<const uint8_t> a, std::span<const uint8_t> b);

// True when the processor reports AVX2 and the OS saves the YMM register state.
// Detected on first call, then a plain read of the cached answer.
bool cpu_supports_avx2() noexcept;

using HammingKernel = uint32_t (*)(const uint8_t*, const uint8_t*, size_t) noexcept;

// The kernel chosen for this process (AVX2 when supported, else portable).
HammingKernel hamming_kernel() noexcept;

// hamming_kernel()(a, b, len).
inline uint32_t hamming_distance(const uint8_t* a, const uint8_t* b, size_t len) noexcept {
  return hamming_kernel()(a, b, len);
}

}  // namespace korvel
