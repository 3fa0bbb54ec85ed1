// CandidatePool: the periodic selection that bounds the buffer, and the final sort of at
// most `capacity` keys.
#include "pipeline/candidate_pool.h"

#include <algorithm>

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
