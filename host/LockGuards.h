// Scope guards for the host's locks: every lock of the library is held
// through one of these, so an exception releases it.
//
//   TWriteLockGuard guard(lock);   // Lock() ... Unlock()
//   TReadLockGuard guard(lock);    // LockRead() ... UnlockRead()
//
// Both work with any type that has those member functions (TReadWriteLock,
// TRecursiveMutex). Unlock() releases early; the destructor then does
// nothing. Both are scoped capabilities, so clang's lock analysis knows what
// they hold. Thread rules: a guard belongs to the thread that made it.
#pragma once

#include <boost/core/noncopyable.hpp>

#include "host/ThreadAnnotations.h"

namespace host_internal {

// The lock a guard still holds, and how to release it (once).
template <class LockType, void (LockType::*UnlockFunction)()>
class HeldLock : boost::noncopyable {
 public:
  explicit HeldLock(LockType& lock) : m_lock(&lock) {}
  // Not analysed: the guard that owns this says what it releases.
  void Release() KELCACHE_NO_THREAD_SAFETY_ANALYSIS {
    if (m_lock) {
      (m_lock->*UnlockFunction)();
      m_lock = nullptr;
    }
  }

 private:
  LockType* m_lock;
};

}  // namespace host_internal

template <class LockType>
class KELCACHE_SCOPED_CAPABILITY [[nodiscard]] TWriteLockGuard {
 public:
  explicit TWriteLockGuard(LockType& lock) KELCACHE_ACQUIRE(lock) : m_held(lock) { lock.Lock(); }
  ~TWriteLockGuard() KELCACHE_RELEASE() { m_held.Release(); }
  void Unlock() KELCACHE_RELEASE() { m_held.Release(); }

 private:
  host_internal::HeldLock<LockType, &LockType::Unlock> m_held;
};

template <class LockType>
class KELCACHE_SCOPED_CAPABILITY [[nodiscard]] TReadLockGuard {
 public:
  explicit TReadLockGuard(LockType& lock) KELCACHE_ACQUIRE_SHARED(lock) : m_held(lock) { lock.LockRead(); }
  ~TReadLockGuard() KELCACHE_RELEASE() { m_held.Release(); }
  void Unlock() KELCACHE_RELEASE() { m_held.Release(); }

 private:
  host_internal::HeldLock<LockType, &LockType::UnlockRead> m_held;
};
