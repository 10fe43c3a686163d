#include "host/TReadWriteLock.h"

TReadWriteLock::TReadWriteLock(unsigned) {}

TReadWriteLock::~TReadWriteLock() = default;

bool TReadWriteLock::IsLockedByCurrentThread() const {
  return m_owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

void TReadWriteLock::Lock() {
  if (IsLockedByCurrentThread()) {
    ++m_depth;
    return;
  }
  m_mutex.lock();
  m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

bool TReadWriteLock::TryLock() {
  if (IsLockedByCurrentThread()) {
    ++m_depth;
    return true;
  }
  if (!m_mutex.try_lock()) return false;
  m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
  return true;
}

void TReadWriteLock::Unlock() {
  if (m_depth > 0) {
    --m_depth;
    return;
  }
  m_owner.store(std::thread::id(), std::memory_order_relaxed);
  m_mutex.unlock();
}

void TReadWriteLock::LockRead() {
  // The exclusive owner reads under its own hold.
  if (IsLockedByCurrentThread()) {
    ++m_depth;
    return;
  }
  m_mutex.lock_shared();
}

bool TReadWriteLock::TryLockRead() {
  if (IsLockedByCurrentThread()) {
    ++m_depth;
    return true;
  }
  return m_mutex.try_lock_shared();
}

void TReadWriteLock::UnlockRead() {
  if (IsLockedByCurrentThread()) {
    Unlock();
    return;
  }
  m_mutex.unlock_shared();
}
