// What the bound kernels of every instruction set share: the prefetch ahead of their stream of
// records and the collection of their mask bits into whole words.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// How far ahead of the record being counted the bound kernels prefetch, in bytes.
inline constexpr size_t kBoundPrefetchAhead = 12 * 1024;

// Prefetches the `bytes` bytes kBoundPrefetchAhead past `p`, one line at a time: the hardware
// prefetcher stops at each 4 KiB page of a mapped file, which would leave the first lines of
// every page to a miss. Forced inline, as a function made only of prefetches may be dropped.
__attribute__((always_inline)) inline void prefetch_ahead(const uint8_t* p, size_t bytes) noexcept {
  for (size_t b = 0; b < bytes; b += 64) __builtin_prefetch(p + kBoundPrefetchAhead + b, 0, 3);
}

// Collects the mask bits of groups of kGroup records (kGroup divides 64) in a register and
// ORs each word into `masks` once, so that no group waits on the store of the one before.
template <size_t kGroup>
class MaskWriter {
 public:
  explicit MaskWriter(uint64_t* masks) noexcept : masks_(masks) {}
  // The bits of records [first, first + kGroup). REQUIRES: first is a multiple of kGroup and
  // follows the group put before, if any.
  __attribute__((always_inline)) void put(size_t first, uint64_t bits) noexcept {
    word_ |= bits << (first % 64);
    if ((first + kGroup) % 64 == 0) {
      masks_[first / 64] |= word_;
      word_ = 0;
    }
  }
  // Writes the bits of a last, partial word; `end` is one past the last record put.
  void finish(size_t end) noexcept {
    if (end % 64 != 0) masks_[end / 64] |= word_;
    word_ = 0;
  }

 private:
  uint64_t* masks_;
  uint64_t word_ = 0;
};

}  // namespace korvel
