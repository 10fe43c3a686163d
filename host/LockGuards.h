// Scope guards for the host's locks: every lock of the library is held
// through one of these, so an exception releases it.
//
//   TWriteLockGuard guard(lock);   // Lock() ... Unlock()
//   TReadLockGuard guard(lock);    // LockRead() ... UnlockRead()
//
// Both work with any type that has those member functions (TReadWriteLock,
// TRecursiveMutex). Unlock() releases early; the destructor then does
// nothing. Thread rules: a guard belongs to the thread that made it.
#pragma once

template <class LockType>
class [[nodiscard]] TWriteLockGuard {
 public:
  explicit TWriteLockGuard(LockType& lock) : m_lock(&lock) { m_lock->Lock(); }
  TWriteLockGuard(const TWriteLockGuard&) = delete;
  TWriteLockGuard& operator=(const TWriteLockGuard&) = delete;
  ~TWriteLockGuard() { Unlock(); }
  void Unlock() {
    if (m_lock) {
      m_lock->Unlock();
      m_lock = nullptr;
    }
  }

 private:
  LockType* m_lock;
};

template <class LockType>
class [[nodiscard]] TReadLockGuard {
 public:
  explicit TReadLockGuard(LockType& lock) : m_lock(&lock) { m_lock->LockRead(); }
  TReadLockGuard(const TReadLockGuard&) = delete;
  TReadLockGuard& operator=(const TReadLockGuard&) = delete;
  ~TReadLockGuard() { Unlock(); }
  void Unlock() {
    if (m_lock) {
      m_lock->UnlockRead();
      m_lock = nullptr;
    }
  }

 private:
  LockType* m_lock;
};
