// Processor feature detection behind the Hamming kernel choice. cpu_supports_avx2() and
// hamming_kernel() (declared in simd/hamming.h) cache the answer; this header exposes the
// uncached detection so tests and benchmarks can see what the processor reported.
#pragma once

namespace korvel {

struct CpuFeatures {
  bool osxsave = false;    // CPUID.1:ECX bit 27: the OS uses XSAVE, XGETBV is available
  bool avx = false;        // CPUID.1:ECX bit 28
  bool ymm_state = false;  // XCR0 bits 1 and 2: the OS saves XMM and YMM registers
  bool avx2 = false;       // CPUID.(7,0):EBX bit 5

  // AVX2 instructions can run: the processor has them and the OS preserves YMM state.
  bool avx2_usable() const noexcept { return osxsave && avx && ymm_state && avx2; }
};

// Queries the processor now (CPUID and XGETBV). All false off x86. Thread-safe.
CpuFeatures detect_cpu_features() noexcept;

}  // namespace korvel
