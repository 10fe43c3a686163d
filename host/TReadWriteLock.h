// TReadWriteLock: the host's reader/writer lock.
//
// Lock/Unlock take and release it exclusively; LockRead/UnlockRead shared.
// A thread that holds it exclusively may take it again, exclusively or
// shared, and releases it as often (the coherence service relies on this);
// the lock is free for others only when the outermost hold is released.
// A thread that holds it only shared must not take it exclusively (that would
// deadlock, as with any reader/writer lock).
//
// Hold it through TWriteLockGuard / TReadLockGuard (LockGuards.h) so that an
// exception releases it.
//
// Thread rules: any thread may use it; that is its purpose.
#pragma once

#include <atomic>
#include <shared_mutex>
#include <thread>

#include "host/Export.h"
#include "host/ThreadAnnotations.h"

class KELCACHE_EXPORT KELCACHE_CAPABILITY("mutex") TReadWriteLock {
 public:
  // The spin count is accepted for compatibility; waiting always blocks.
  explicit TReadWriteLock(unsigned spinCount = 0);
  TReadWriteLock(const TReadWriteLock&) = delete;
  TReadWriteLock& operator=(const TReadWriteLock&) = delete;
  ~TReadWriteLock();

  // The implementations manage the lock's own state, which the analysis
  // cannot follow; callers see the annotations.
  void Lock() KELCACHE_ACQUIRE() KELCACHE_NO_THREAD_SAFETY_ANALYSIS;
  void Unlock() KELCACHE_RELEASE() KELCACHE_NO_THREAD_SAFETY_ANALYSIS;
  void LockRead() KELCACHE_ACQUIRE_SHARED() KELCACHE_NO_THREAD_SAFETY_ANALYSIS;
  void UnlockRead() KELCACHE_RELEASE_SHARED() KELCACHE_NO_THREAD_SAFETY_ANALYSIS;
  bool TryLock() KELCACHE_TRY_ACQUIRE(true) KELCACHE_NO_THREAD_SAFETY_ANALYSIS;
  bool TryLockRead() KELCACHE_TRY_ACQUIRE_SHARED(true) KELCACHE_NO_THREAD_SAFETY_ANALYSIS;
  // True when the calling thread holds the lock exclusively.
  bool IsLockedByCurrentThread() const;
  // Tells the lock analysis that the caller holds the lock, where it cannot
  // see it: in a lambda that runs while its caller holds the lock.
  void AssertHeld() const KELCACHE_ASSERT_CAPABILITY(this) {}
  void AssertReaderHeld() const KELCACHE_ASSERT_SHARED_CAPABILITY(this) {}

 private:
  std::shared_mutex m_mutex;
  // The exclusive holder, or a default id. Written only by the holder while
  // it owns m_mutex exclusively; read by any thread to recognise re-entry.
  std::atomic<std::thread::id> m_owner{};
  // Nested holds of the exclusive owner beyond the first; only the owner
  // touches it.
  unsigned m_depth = 0;
};
