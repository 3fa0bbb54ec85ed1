// The prefetching shared by the gather kernels of every instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// How many records ahead the gather kernels prefetch: enough to cover a miss to the last
// cache level while the records in between are counted.
inline constexpr size_t kPrefetchDistance = 16;

// Prefetches every line of a signature up to 128 bytes (start, middle and last byte); longer
// ones are streamed by the hardware prefetcher. Forced inline: g++ 12 judges a function made
// only of prefetches to be free of side effects and deletes the calls it does not inline.
// Low temporal locality (prefetcht2): prefetches into the first-level cache stall on free
// miss buffers when a filter keeps many scattered records.
__attribute__((always_inline)) inline void prefetch_signature(const uint8_t* sig,
                                                              size_t len) noexcept {
  __builtin_prefetch(sig, 0, 1);
  __builtin_prefetch(sig + len / 2, 0, 1);
  __builtin_prefetch(sig + len - 1, 0, 1);
}

}  // namespace korvel
