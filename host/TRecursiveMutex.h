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

class KELCACHE_EXPORT TRecursiveMutex {
 public:
  // The spin count is accepted for compatibility; waiting always blocks.
  explicit TRecursiveMutex(unsigned spinCount = 0) {}
  TRecursiveMutex(const TRecursiveMutex&) = delete;
  TRecursiveMutex& operator=(const TRecursiveMutex&) = delete;

  void Lock() { m_mutex.lock(); }
  void Unlock() { m_mutex.unlock(); }
  bool TryLock() { return m_mutex.try_lock(); }
  void LockRead() { m_mutex.lock(); }
  void UnlockRead() { m_mutex.unlock(); }

 private:
  std::recursive_mutex m_mutex;
};
