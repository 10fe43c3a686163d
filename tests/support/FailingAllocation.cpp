#include "tests/support/FailingAllocation.h"

#include <cstdlib>
#include <new>

namespace {

// Allocations still to succeed before the one that fails; negative: none fails.
thread_local long t_allocationsBeforeFailure = -1;
thread_local bool t_failed = false;

}  // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

namespace kelcache_test {
bool AllocationFailuresAvailable() { return false; }
}  // namespace kelcache_test

#else

namespace kelcache_test {
bool AllocationFailuresAvailable() { return true; }
}  // namespace kelcache_test

// The replaced allocation functions. The array, nothrow and sized forms that
// are not replaced call these.
void* operator new(std::size_t size) {
  if (t_allocationsBeforeFailure >= 0 && t_allocationsBeforeFailure-- == 0) {
    t_failed = true;
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void operator delete(void* memory) noexcept { std::free(memory); }

void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

#endif

namespace kelcache_test {

FailAllocationAfter::FailAllocationAfter(long successfulAllocations) {
  t_failed = false;
  t_allocationsBeforeFailure = successfulAllocations;
}

FailAllocationAfter::~FailAllocationAfter() { t_allocationsBeforeFailure = -1; }

bool FailAllocationAfter::Failed() const { return t_failed; }

}  // namespace kelcache_test
