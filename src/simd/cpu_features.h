// The processor probe behind the kernel table: what CPUID and XGETBV report, read once per
// process. detect_cpu_features() repeats the probe so tests can compare it with another
// report of the same processor.
#pragma once

namespace korvel {

struct CpuFeatures {
  bool osxsave = false;          // CPUID.1:ECX bit 27: the OS uses XSAVE, XGETBV is available
  bool avx = false;              // CPUID.1:ECX bit 28
  bool ymm_state = false;        // XCR0 bits 1 and 2: the OS saves XMM and YMM registers
  bool zmm_state = false;        // XCR0 bits 5 to 7: the OS saves opmask and ZMM registers too
  bool avx2 = false;             // CPUID.(7,0):EBX bit 5
  bool avx512f = false;          // CPUID.(7,0):EBX bit 16
  bool avx512bw = false;         // CPUID.(7,0):EBX bit 30
  bool avx512vpopcntdq = false;  // CPUID.(7,0):ECX bit 14

  // AVX2 instructions can run: the processor has them and the OS preserves YMM state.
  bool avx2_usable() const noexcept { return osxsave && avx && ymm_state && avx2; }

  // The AVX-512 kernels can run. They may fall back on AVX2 kernels, so AVX2 is required too.
  bool avx512_usable() const noexcept {
    return avx2_usable() && zmm_state && avx512f && avx512bw && avx512vpopcntdq;
  }
};

// Queries the processor now (CPUID and XGETBV). All false off x86. Thread-safe.
CpuFeatures detect_cpu_features() noexcept;

// The probe taken on first call, then a read of the kept answer. Thread-safe.
const CpuFeatures& cpu_features() noexcept;

// cpu_features().avx2_usable().
bool cpu_supports_avx2() noexcept;

}  // namespace korvel
