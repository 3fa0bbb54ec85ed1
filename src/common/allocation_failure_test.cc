// The replaced global allocation functions of the test binary (test_allocation_failure.h).
// One counter for every thread, so that allocations on a pool's workers fail as well.
#include <atomic>
#include <cstdlib>
#include <new>

#include "common/test_allocation_failure.h"

namespace {

// >= 0: the number of allocations that still succeed before one throws std::bad_alloc.
std::atomic<long> allocations_until_failure{-1};
std::atomic<bool> failure_thrown{false};

void* allocate(std::size_t size) {
  long left = allocations_until_failure.load(std::memory_order_relaxed);
  while (left >= 0) {
    if (allocations_until_failure.compare_exchange_weak(left, left - 1)) {
      if (left == 0) {
        failure_thrown.store(true);
        throw std::bad_alloc();
      }
      break;
    }
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace korvel::fault {

void arm_allocation_failure(long k) noexcept {
  failure_thrown.store(false);
  allocations_until_failure.store(k);
}

bool disarm_allocation_failure() noexcept {
  allocations_until_failure.store(-1);
  return failure_thrown.exchange(false);
}

}  // namespace korvel::fault
