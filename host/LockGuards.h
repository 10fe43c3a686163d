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

#include "host/ThreadAnnotations.h"

template <class LockType>
class KELCACHE_SCOPED_CAPABILITY [[nodiscard]] TWriteLockGuard {
 public:
  explicit TWriteLockGuard(LockType& lock) KELCACHE_ACQUIRE(lock) : m_lock(&lock) { m_lock->Lock(); }
  TWriteLockGuard(const TWriteLockGuard&) = delete;
  TWriteLockGuard& operator=(const TWriteLockGuard&) = delete;
  ~TWriteLockGuard() KELCACHE_RELEASE() { Release(); }
  void Unlock() KELCACHE_RELEASE() { Release(); }

 private:
  void Release() KELCACHE_NO_THREAD_SAFETY_ANALYSIS {
    if (m_lock) {
      m_lock->Unlock();
      m_lock = nullptr;
    }
  }

  LockType* m_lock;
};

template <class LockType>
class KELCACHE_SCOPED_CAPABILITY [[nodiscard]] TReadLockGuard {
 public:
  explicit TReadLockGuard(LockType& lock) KELCACHE_ACQUIRE_SHARED(lock) : m_lock(&lock) { m_lock->LockRead(); }
  TReadLockGuard(const TReadLockGuard&) = delete;
  TReadLockGuard& operator=(const TReadLockGuard&) = delete;
  ~TReadLockGuard() KELCACHE_RELEASE() { Release(); }
  void Unlock() KELCACHE_RELEASE() { Release(); }

 private:
  void Release() KELCACHE_NO_THREAD_SAFETY_ANALYSIS {
    if (m_lock) {
      m_lock->UnlockRead();
      m_lock = nullptr;
    }
  }

  LockType* m_lock;
};
