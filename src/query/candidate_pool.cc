// CandidatePool: the periodic selection that bounds the buffer, and the final sort of at
// most `capacity` keys.
#include "query/candidate_pool.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstdint>

#include "common/check.h"

namespace korvel {

CandidatePool::CandidatePool(size_t capacity) : capacity_(capacity) {
  KORVEL_CHECK(capacity >= 1, "CandidatePool: capacity must be at least 1");
  // Left uninitialised: a large top_k must not cost a clear of slots it never uses.
  buffer_ = std::make_unique_for_overwrite<uint64_t[]>(2 * capacity);
}

// Keeps the `capacity_` smallest keys; the largest of them becomes the bound. A later key
// above it follows `capacity_` kept keys and can never be among the best (keys are unique).
void CandidatePool::shrink() {
  uint64_t* keys = buffer_.get();
  std::nth_element(keys, keys + capacity_ - 1, keys + size_);
  bound_ = keys[capacity_ - 1];
  size_ = capacity_;
}

void CandidatePool::offer_many(const uint32_t* records, uint64_t first, const uint32_t* distances,
                               size_t count) {
  auto record = [&](size_t i) { return records != nullptr ? uint64_t{records[i]} : first + i; };
  size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    // A key enters only below bound_, so a distance above the bound's distance never does;
    // distances fit 31 bits, so the signed SSE2 compare orders them correctly.
    const auto limit = static_cast<int32_t>(std::min<uint64_t>(bound_ >> 32, INT32_MAX));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(distances + i));
    if (_mm_movemask_epi8(_mm_cmpgt_epi32(d, _mm_set1_epi32(limit))) == 0xFFFF) continue;
    for (size_t j = i; j < i + 4; ++j) offer(record(j), distances[j]);
  }
  for (; i < count; ++i) offer(record(i), distances[i]);
}

std::vector<HammingCandidate> CandidatePool::take_sorted() {
  if (size_ > capacity_) shrink();
  std::sort(buffer_.get(), buffer_.get() + size_);
  std::vector<HammingCandidate> out;
  out.reserve(size_);
  for (size_t i = 0; i < size_; ++i) {
    out.push_back({buffer_[i] & 0xFFFFFFFFu, static_cast<uint32_t>(buffer_[i] >> 32)});
  }
  size_ = 0;
  bound_ = ~uint64_t{0};
  return out;
}

}  // namespace korvel
