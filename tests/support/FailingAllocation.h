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

}  // namespace kelcache_test
