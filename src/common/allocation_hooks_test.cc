// The global operator new and delete of the test binary (see test_allocation.h), and a check
// of their counting.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "common/test_allocation.h"

namespace korvel::testing_memory {
namespace {

// >= 0: the number of allocations that still succeed before one throws std::bad_alloc: on
// the arming thread alone (fail_allocation_after), or on any thread (arm_allocation_failure),
// so that allocations on a pool's workers fail as well.
thread_local long thread_allocations_until_failure = -1;
std::atomic<long> allocations_until_failure{-1};
std::atomic<bool> failure_thrown{false};
std::atomic<size_t> held{0};
std::atomic<size_t> peak{0};

void* allocate(size_t size, size_t alignment) {
  if (thread_allocations_until_failure >= 0 && thread_allocations_until_failure-- == 0) {
    throw std::bad_alloc();
  }
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
  if (size == 0) size = 1;
  void* p = alignment <= alignof(std::max_align_t)
                ? std::malloc(size)
                : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
  if (p == nullptr) throw std::bad_alloc();
  const size_t bytes = malloc_usable_size(p);
  const size_t now = held.fetch_add(bytes, std::memory_order_relaxed) + bytes;
  size_t seen = peak.load(std::memory_order_relaxed);
  while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
  }
  return p;
}

void* allocate_nothrow(size_t size, size_t alignment) noexcept {
  try {
    return allocate(size, alignment);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void release(void* p) noexcept {
  if (p == nullptr) return;
  held.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
  std::free(p);
}

}  // namespace

void fail_allocation_after(long count) noexcept { thread_allocations_until_failure = count; }
size_t bytes_held() noexcept { return held.load(std::memory_order_relaxed); }
size_t peak_bytes_held() noexcept { return peak.load(std::memory_order_relaxed); }
void reset_peak() noexcept { peak.store(held.load(std::memory_order_relaxed)); }

}  // namespace korvel::testing_memory

namespace korvel::fault {

void arm_allocation_failure(long k) noexcept {
  testing_memory::failure_thrown.store(false);
  testing_memory::allocations_until_failure.store(k);
}

bool disarm_allocation_failure() noexcept {
  testing_memory::allocations_until_failure.store(-1);
  return testing_memory::failure_thrown.exchange(false);
}

}  // namespace korvel::fault

namespace korvel::testing_memory {
namespace {

TEST(AllocationHooks, CountWhatIsHeldAndFailOnRequest) {
  std::unique_ptr<std::vector<char>> kept;
  const size_t peak_bytes = peak_during([&] {
    std::vector<char> freed(1 << 20);
    kept = std::make_unique<std::vector<char>>(1 << 16);
  });
  EXPECT_GE(peak_bytes, size_t{(1 << 20) + (1 << 16)});
  EXPECT_LT(peak_bytes, size_t{(1 << 20) + (1 << 17)});
  EXPECT_GE(bytes_held(), size_t{1 << 16});
  // Direct calls of operator new (an optimiser may leave out the allocation of a new
  // expression whose object is never used, and with it the count), and no test macro while
  // armed: they may allocate themselves.
  fail_allocation_after(1);
  void* first = ::operator new(sizeof(int));
  bool threw = false;
  try {
    ::operator delete(::operator new(sizeof(int)));
  } catch (const std::bad_alloc&) {
    threw = true;
  }
  void* third = ::operator new(sizeof(int));  // one failure, then none
  fail_allocation_after(-1);
  EXPECT_TRUE(threw);
  EXPECT_NE(third, nullptr);
  ::operator delete(third);
  ::operator delete(first);
}

}  // namespace
}  // namespace korvel::testing_memory

constexpr size_t kPlain = alignof(std::max_align_t);
using korvel::testing_memory::allocate;
using korvel::testing_memory::allocate_nothrow;
using korvel::testing_memory::release;

void* operator new(size_t size) { return allocate(size, kPlain); }
void* operator new[](size_t size) { return allocate(size, kPlain); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return allocate_nothrow(size, kPlain);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return allocate_nothrow(size, kPlain);
}
void* operator new(size_t size, std::align_val_t al) {
  return allocate(size, static_cast<size_t>(al));
}
void* operator new[](size_t size, std::align_val_t al) {
  return allocate(size, static_cast<size_t>(al));
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
