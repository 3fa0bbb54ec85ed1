// CPUID/XGETBV feature detection.
#include "simd/cpu_features.h"

#include <cstdint>

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
    f.zmm_state = (xcr0_lo & 0xE6u) == 0xE6u;
  }
  // __get_cpuid_count checks the maximum leaf first.
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) {
    f.avx2 = (ebx & (1u << 5)) != 0;
    f.avx512f = (ebx & (1u << 16)) != 0;
    f.avx512bw = (ebx & (1u << 30)) != 0;
    f.avx512vpopcntdq = (ecx & (1u << 14)) != 0;
  }
#endif
  return f;
}

const CpuFeatures& cpu_features() noexcept {
  static const CpuFeatures features = detect_cpu_features();
  return features;
}

bool cpu_supports_avx2() noexcept { return cpu_features().avx2_usable(); }

}  // namespace korvel
