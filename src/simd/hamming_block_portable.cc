// The portable block kernel (a prepared block is its signatures copied side by side), the
// AVX-512 processor probe and the once-per-process choice of block kernel.
#include <atomic>
#include <cstdint>
#include <cstring>

#include "simd/hamming.h"
#include "simd/hamming_block.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace korvel {
namespace {

size_t portable_block_bytes(size_t len) noexcept { return kBlockRecords * len; }

size_t portable_query_bytes(size_t len) noexcept { return len; }

void portable_prepare_block(const uint8_t* sigs, size_t len, const uint32_t* records,
                            uint64_t first, size_t count, uint8_t* out) noexcept {
  if (len == 0) return;
  for (size_t i = 0; i < count; ++i) {
    const uint64_t record = records != nullptr ? uint64_t{records[i]} : first + i;
    std::memcpy(out + i * len, sigs + record * len, len);
  }
}

void portable_prepare_queries(const uint8_t* queries, size_t len, size_t count,
                              uint8_t* out) noexcept {
  if (count * len != 0) std::memcpy(out, queries, count * len);
}

void portable_scan(const uint8_t* block, size_t len, size_t count, const uint8_t* queries,
                   size_t query_count, const uint32_t* bounds, uint64_t* masks) noexcept {
  constexpr size_t kWords = kBlockRecords / 64;
  for (size_t q = 0; q < query_count; ++q) {
    uint64_t* mask = masks + q * kWords;
    for (size_t w = 0; w < kWords; ++w) mask[w] = 0;
    for (size_t i = 0; i < count; ++i) {
      const uint32_t d = hamming_portable(queries + q * len, block + i * len, len);
      if (d <= bounds[q]) mask[i / 64] |= uint64_t{1} << (i % 64);
    }
  }
}

// -1 = not yet detected. Concurrent first calls may both detect; they store the same answer.
std::atomic<int8_t> avx512_cached{-1};

bool detect_avx512_vpopcntdq() noexcept {
#if defined(__x86_64__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  if ((ecx & (1u << 27)) == 0) return false;  // no OSXSAVE: XGETBV is undefined
  uint32_t xcr0_lo = 0, xcr0_hi = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0u));
  // XMM, YMM, opmask, upper halves of ZMM0-15 and ZMM16-31.
  constexpr uint32_t kZmmState = (1u << 1) | (1u << 2) | (1u << 5) | (1u << 6) | (1u << 7);
  if ((xcr0_lo & kZmmState) != kZmmState) return false;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  const bool avx512f = (ebx & (1u << 16)) != 0;
  const bool avx512bw = (ebx & (1u << 30)) != 0;
  const bool vpopcntdq = (ecx & (1u << 14)) != 0;
  return avx512f && avx512bw && vpopcntdq;
#else
  return false;
#endif
}

}  // namespace

const HammingBlockKernel kHammingBlockPortable = {"portable",
                                                  portable_block_bytes,
                                                  portable_query_bytes,
                                                  portable_prepare_block,
                                                  portable_prepare_queries,
                                                  portable_scan};

bool avx512_vpopcntdq_usable() noexcept {
  int8_t v = avx512_cached.load(std::memory_order_relaxed);
  if (v < 0) {
    v = detect_avx512_vpopcntdq() ? 1 : 0;
    avx512_cached.store(v, std::memory_order_relaxed);
  }
  return v != 0;
}

const HammingBlockKernel& hamming_block_kernel() noexcept {
  if (avx512_vpopcntdq_usable()) return kHammingBlockAvx512;
  if (cpu_supports_avx2()) return kHammingBlockAvx2;
  return kHammingBlockPortable;
}

}  // namespace korvel
