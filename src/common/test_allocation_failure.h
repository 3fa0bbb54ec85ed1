// Fault injection for tests: the test binary replaces the global allocation functions
// (allocation_hooks_test.cc). They behave as the standard ones until a failure is armed;
// then, on whichever thread, the allocation after the next `k` throws std::bad_alloc.
#pragma once

namespace korvel::fault {

// Arms one failure: `k` more allocations succeed and the one after throws. REQUIRES: no
// failure armed.
void arm_allocation_failure(long k) noexcept;

// Disarms; true when the armed failure was thrown.
bool disarm_allocation_failure() noexcept;

}  // namespace korvel::fault
