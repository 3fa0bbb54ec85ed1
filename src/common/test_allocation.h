// Test helper: the test binary replaces the global operator new and delete
// (allocation_hooks_test.cc). They count the bytes held, so that a test can bound the peak
// memory of a call, and fail on request, so that a test can check what a failed allocation
// leaves behind. Otherwise they behave as the standard ones.
#pragma once

#include <cstddef>
#include <utility>

namespace korvel::testing_memory {

// count >= 0: operator new on the calling thread succeeds `count` more times, then throws
// std::bad_alloc once and stops failing; -1: it never fails.
void fail_allocation_after(long count) noexcept;

// Bytes held through operator new now (every thread; tests run one at a time).
size_t bytes_held() noexcept;
// The most bytes held at once since the last reset_peak().
size_t peak_bytes_held() noexcept;
void reset_peak() noexcept;

// The most bytes held at once while fn() runs, beyond those held when it started.
template <class F>
size_t peak_during(F&& fn) {
  const size_t before = bytes_held();
  reset_peak();
  std::forward<F>(fn)();
  return peak_bytes_held() - before;
}

}  // namespace korvel::testing_memory

namespace korvel::fault {

// Arms one failure on every thread: `k` more allocations, on whichever threads, succeed and the
// one after throws.
// REQUIRES: no failure armed.
void arm_allocation_failure(long k) noexcept;

// Disarms; true when the armed failure was thrown.
bool disarm_allocation_failure() noexcept;

}  // namespace korvel::fault
