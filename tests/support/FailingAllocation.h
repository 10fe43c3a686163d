// Allocation failures on demand, for tests of what running out of memory
// leaves behind: while a FailAllocationAfter is alive, the allocation on its
// thread that comes after the given number of successful ones throws
// std::bad_alloc, once.
//
// Works where this file's replacement of the global operator new is linked
// in, which is any test program that uses it, except under the sanitizers,
// whose runtimes own operator new (AllocationFailuresAvailable() is false
// there, and nothing fails).
#pragma once

#include <functional>
#include <new>

namespace kelcache_test {

bool AllocationFailuresAvailable();

class FailAllocationAfter {
 public:
  explicit FailAllocationAfter(long successfulAllocations);
  ~FailAllocationAfter();
  FailAllocationAfter(const FailAllocationAfter&) = delete;
  FailAllocationAfter& operator=(const FailAllocationAfter&) = delete;

  // True once the failure has happened.
  bool Failed() const;
};

// Runs `calls` with the allocation after `successfulAllocations` failing and
// swallows the std::bad_alloc. True when the failure happened; false when the
// calls made fewer allocations, so that a loop over the counts from 0 has
// failed each of them once:
//   for (long n = 0;; ++n) { ...; const bool failed = RunFailingAllocation(n, calls); check; if (!failed) break; }
inline bool RunFailingAllocation(long successfulAllocations, const std::function<void()>& calls) {
  FailAllocationAfter failing(successfulAllocations);
  try {
    calls();
  } catch (const std::bad_alloc&) {
  }
  return failing.Failed();
}

}  // namespace kelcache_test
