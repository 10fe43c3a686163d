// TMutex: the host's plain (non-recursive) mutex, and TMutexLock, its guard.
//
//   TMutex m_mutex;
//   int m_count KELCACHE_GUARDED_BY(m_mutex);
//   ...
//   TMutexLock lock(m_mutex);   // held until the end of the scope
//   ++m_count;
//
// It is std::mutex with lock annotations, so that clang's lock analysis can
// check every member declared KELCACHE_GUARDED_BY it (libstdc++'s mutex has
// none). Wait on it with TConditionVariable, which takes the guard.
//
// Thread rules: any thread may use a TMutex; a TMutexLock belongs to the
// thread that made it.
#pragma once

#include <mutex>

#include "host/ThreadAnnotations.h"

class KELCACHE_CAPABILITY("mutex") TMutex {
 public:
  TMutex() = default;
  TMutex(const TMutex&) = delete;
  TMutex& operator=(const TMutex&) = delete;

  void Lock() KELCACHE_ACQUIRE() { m_mutex.lock(); }
  void Unlock() KELCACHE_RELEASE() { m_mutex.unlock(); }
  bool TryLock() KELCACHE_TRY_ACQUIRE(true) { return m_mutex.try_lock(); }
  // Tells the lock analysis that the caller holds the mutex, where it cannot
  // see it: in a lambda that runs while its caller holds the lock. Checks
  // nothing at run time.
  void AssertHeld() const KELCACHE_ASSERT_CAPABILITY(this) {}

 private:
  friend class TMutexLock;
  std::mutex m_mutex;
};

class KELCACHE_SCOPED_CAPABILITY [[nodiscard]] TMutexLock {
 public:
  explicit TMutexLock(TMutex& mutex) KELCACHE_ACQUIRE(mutex) : m_lock(mutex.m_mutex) {}
  TMutexLock(const TMutexLock&) = delete;
  TMutexLock& operator=(const TMutexLock&) = delete;
  ~TMutexLock() KELCACHE_RELEASE() {}

  // Releases early and takes again, for work that must not run under the
  // lock (callbacks, blocking I/O). The destructor releases only if held.
  void Unlock() KELCACHE_RELEASE() { m_lock.unlock(); }
  void Lock() KELCACHE_ACQUIRE() { m_lock.lock(); }

 private:
  friend class TConditionVariable;
  std::unique_lock<std::mutex> m_lock;
};
