// CPUID/XGETBV feature detection, the once-per-process kernel choice and the length-checked
// forms of the Hamming kernels.
#include "simd/cpu_features.h"

#include <atomic>
#include <cstdint>

#include "common/check.h"
#include "simd/hamming.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace korvel {

CpuFeatures detect_cpu_features() noexcept {
  CpuFeatures f;
#if defined(__x86_64__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return f;
  f.osxsave = (ecx & (1u << 27)) != 0;
  f.avx = (ecx & (1u << 28)) != 0;
  if (f.osxsave) {
    // Inline asm rather than _xgetbv(), which needs an xsave target on the caller.
    // XGETBV is only defined when OSXSAVE is set.
    uint32_t xcr0_lo = 0, xcr0_hi = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0u));
    f.ymm_state = (xcr0_lo & 0x6u) == 0x6u;
  }
  // __get_cpuid_count checks the maximum leaf first.
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) f.avx2 = (ebx & (1u << 5)) != 0;
#endif
  return f;
}

namespace {

// -1 = not yet detected. Concurrent first calls may both detect; they store the same answer.
std::atomic<int8_t> avx2_cached{-1};

}  // namespace

bool cpu_supports_avx2() noexcept {
  int8_t v = avx2_cached.load(std::memory_order_relaxed);
  if (v < 0) {
    v = detect_cpu_features().avx2_usable() ? 1 : 0;
    avx2_cached.store(v, std::memory_order_relaxed);
  }
  return v != 0;
}

HammingKernel hamming_kernel() noexcept {
  if (cpu_supports_avx2()) return &hamming_avx2;
  return &hamming_portable;
}

uint32_t hamming_avx2(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  KORVEL_CHECK(a.size() == b.size(), "hamming_avx2: slices must have equal length");
  return hamming_avx2(a.data(), b.data(), a.size());
}

uint32_t hamming_portable(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  KORVEL_CHECK(a.size() == b.size(), "hamming_portable: slices must have equal length");
  return hamming_portable(a.data(), b.data(), a.size());
}

}  // namespace korvel
