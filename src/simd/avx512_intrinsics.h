// The intrinsics of the *_avx512.cc kernel files and the target attribute of their kernel
// functions. A KORVEL_SIMDE_AVX512 test build takes SIMDe's portable implementations under
// the same names instead and compiles the kernels for baseline x86-64, so the AVX-512 kernels
// run, slowly, on processors without AVX-512 (the kernel table then treats them as usable
// wherever the AVX2 kernels are).
#pragma once

#ifdef KORVEL_SIMDE_AVX512
#ifndef SIMDE_ENABLE_NATIVE_ALIASES
#define SIMDE_ENABLE_NATIVE_ALIASES
#endif
#include <simde/x86/avx512.h>

#include <cstdint>
#include <cstring>
#define KORVEL_AVX512_TARGET
// SIMDe has no masked byte load: the same bytes, read one by one where the mask is set, so
// like the instruction it touches nothing outside them.
inline simde__m512i korvel_maskz_loadu_epi8(uint64_t mask, const void* from) noexcept {
  uint8_t bytes[64] = {};
  for (int i = 0; i < 64; ++i) {
    if ((mask >> i) & 1) std::memcpy(&bytes[i], static_cast<const uint8_t*>(from) + i, 1);
  }
  return simde_mm512_loadu_si512(bytes);
}
#define _mm512_maskz_loadu_epi8 korvel_maskz_loadu_epi8
#else
#include <immintrin.h>
#define KORVEL_AVX512_TARGET __attribute__((target("avx512f,avx512bw,avx512vpopcntdq")))
#endif
