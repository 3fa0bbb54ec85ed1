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
#define KORVEL_AVX512_TARGET
#else
#include <immintrin.h>
#define KORVEL_AVX512_TARGET __attribute__((target("avx512f,avx512bw,avx512vpopcntdq")))
#endif
