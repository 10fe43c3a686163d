// TSemaphore: a counting semaphore, and TSemaphoreScope, which holds one of
// its units for the life of the scope.
//
//   std::shared_ptr<TSemaphore> semaphore = TSemaphore::Construct(4);
//   RefCntPtr<TSemaphoreScope, RefCntObject> scope(new TSemaphoreScope(semaphore, 500));
//   if (scope->IsAcquired()) { ... }   // the unit goes back with the last reference
//
// Thread rules: TSemaphore is thread-safe (a mutex guards the count; waiters
// sleep on a condition variable). A TSemaphoreScope is immutable after
// construction; its reference count may be shared between threads, and it
// gives its unit back on whichever thread releases the last reference.
// Ownership: a scope shares ownership of its semaphore, so the semaphore
// lives at least as long as any scope made from it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "host/Export.h"
#include "host/RefCnt.h"
#include "host/ThreadAnnotations.h"
#include "host/TConditionVariable.h"

class KELCACHE_EXPORT TSemaphore {
 public:
  // A semaphore with count units; a negative count gives none.
  static std::shared_ptr<TSemaphore> Construct(int64_t count);

  // Takes one unit, waiting up to timeout for one to come back. A zero or
  // negative timeout tries once without waiting. True when a unit was taken.
  bool TryAcquire(std::chrono::milliseconds timeout);
  // Gives one unit back and wakes one waiter.
  void Release();
  // The units free right now (for diagnostics and tests; may change at once).
  int64_t GetAvailableCount() const;

  TSemaphore(const TSemaphore&) = delete;
  TSemaphore& operator=(const TSemaphore&) = delete;

 private:
  explicit TSemaphore(int64_t count);

  mutable TMutex m_mutex;
  TConditionVariable m_released;
  int64_t m_available KELCACHE_GUARDED_BY(m_mutex);
};

class KELCACHE_EXPORT TSemaphoreScope : public RefCntObject {
 public:
  // Waits up to timeoutMs (0 or negative: tries once) for one unit of
  // semaphore, which must not be null (LogicException "semaphore").
  TSemaphoreScope(std::shared_ptr<TSemaphore> semaphore, int64_t timeoutMs);
  // Gives the unit back when one was taken.
  ~TSemaphoreScope() override;
  TSemaphoreScope(const TSemaphoreScope&) = delete;
  TSemaphoreScope& operator=(const TSemaphoreScope&) = delete;

  bool IsAcquired() const { return m_acquired; }

 private:
  std::shared_ptr<TSemaphore> m_semaphore;
  bool m_acquired;
};
