// CandidatePool: the bounded pool of the signature scan. It keeps the `capacity` nearest
// candidates under the order (distance, record index) while the scan runs. A candidate is
// one packed 64-bit key (distance in the high half, record index in the low half), so one
// integer comparison orders two candidates. Keys go into a buffer of 2 x capacity; when it
// fills, a linear-time selection keeps the best `capacity` and the worst of them becomes
// the bound every later key must beat. Memory never depends on the number of candidates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace korvel {

struct HammingCandidate {
  uint64_t record_index;
  uint32_t distance;
};

class CandidatePool {
 public:
  // An empty pool that keeps at most `capacity` entries. REQUIRES: capacity >= 1.
  explicit CandidatePool(size_t capacity);

  // Offers a candidate; the pool ends up with the `capacity` smallest offered candidates
  // under (distance, record index). Arrival order does not matter. REQUIRES:
  // record_index < 2^32, and no record offered twice.
  void offer(uint64_t record_index, uint32_t distance) {
    const uint64_t key = (uint64_t{distance} << 32) | record_index;
    if (key >= bound_) return;  // at least `capacity` kept entries precede it
    buffer_[size_++] = key;
    if (size_ == 2 * capacity_) shrink();
  }

  // Offers record records[i] (or first + i when records is null) with distance
  // distances[i], for i < count; the same pool as offering them one at a time. Once the
  // pool is full most candidates lie beyond its bound, so four distances at a time are
  // compared with the bound's distance and a group that cannot enter costs one branch.
  // REQUIRES: distances fit 31 bits (a distance is at most 8 x 65535 / 8 x 8 bits).
  void offer_many(const uint32_t* records, uint64_t first, const uint32_t* distances, size_t count);

  // The kept entries sorted by (distance, record index); leaves the pool empty.
  std::vector<HammingCandidate> take_sorted();

 private:
  void shrink();

  std::unique_ptr<uint64_t[]> buffer_;  // 2 x capacity slots; the first size_ are in use
  size_t size_ = 0;
  size_t capacity_;
  uint64_t bound_ = ~uint64_t{0};  // keys >= bound_ can no longer enter
};

}  // namespace korvel
