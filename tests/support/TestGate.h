// TestGate: a one-shot gate for tests that hold a task or a callback at a
// known point. Wait blocks until Open (or the time-out); a gate stays open.
//
// Thread rules: thread-safe; m_mutex guards m_open.
#pragma once

#include <chrono>

#include "host/TConditionVariable.h"
#include "host/TMutex.h"

namespace kelcache_test {

class TestGate {
 public:
  void Open() {
    TMutexLock lock(m_mutex);
    m_open = true;
    m_changed.NotifyAll();
  }
  // True once open; false when the time-out passed first.
  bool Wait(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    TMutexLock lock(m_mutex);
    while (!m_open) {
      if (!m_changed.WaitUntil(lock, deadline)) break;
    }
    return m_open;
  }
  bool IsOpen() {
    TMutexLock lock(m_mutex);
    return m_open;
  }

 private:
  TMutex m_mutex;
  TConditionVariable m_changed;
  bool m_open KELCACHE_GUARDED_BY(m_mutex) = false;
};

}  // namespace kelcache_test
