// TRecursiveMutex: a mutex that its holder may take again.
//
// Lock/Unlock and LockRead/UnlockRead both take it exclusively (a recursive
// mutex has no shared mode; the read forms exist so that code written for a
// reader/writer lock can use it). Hold it through the guards of LockGuards.h.
//
// Thread rules: any thread may use it.
#pragma once


#include <mutex>

#include "host/Export.h"
#include "host/ThreadAnnotations.h"

class KELCACHE_EXPORT KELCACHE_CAPABILITY("mutex") TRecursiveMutex {
 public:
  // The spin count is accepted for compatibility; waiting always blocks.
  explicit TRecursiveMutex(unsigned /*spinCount*/ = 0) {}
  TRecursiveMutex(const TRecursiveMutex&) = delete;
  TRecursiveMutex& operator=(const TRecursiveMutex&) = delete;

  void Lock() KELCACHE_ACQUIRE() { m_mutex.lock(); }
  void Unlock() KELCACHE_RELEASE() { m_mutex.unlock(); }
  bool TryLock() KELCACHE_TRY_ACQUIRE(true) { return m_mutex.try_lock(); }
  void LockRead() KELCACHE_ACQUIRE_SHARED() { m_mutex.lock(); }
  void UnlockRead() KELCACHE_RELEASE_SHARED() { m_mutex.unlock(); }
  void AssertHeld() const KELCACHE_ASSERT_CAPABILITY(this) {}

 private:
  std::recursive_mutex m_mutex;
};
