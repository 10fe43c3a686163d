// TConditionVariable: std::condition_variable for a TMutex held through a
// TMutexLock.
//
// There is no predicate form: a predicate lambda reads guarded members where
// the lock analysis cannot see the lock, so callers loop in their own scope:
//
//   TMutexLock lock(m_mutex);
//   while (m_pending != 0) m_done.Wait(lock);
//
// Waits may wake spuriously, as with any condition variable; the loop
// handles that. Thread rules: any thread may notify; a waiter must hold the
// mutex through the lock it passes.
#pragma once

#include <chrono>
#include <condition_variable>

#include "host/TMutex.h"

class TConditionVariable {
 public:
  TConditionVariable() = default;
  TConditionVariable(const TConditionVariable&) = delete;
  TConditionVariable& operator=(const TConditionVariable&) = delete;

  void NotifyOne() noexcept { m_condition.notify_one(); }
  void NotifyAll() noexcept { m_condition.notify_all(); }

  // Releases the lock while it waits, and holds it again on return.
  void Wait(TMutexLock& lock) { m_condition.wait(lock.m_lock); }
  // False when the deadline passed (the caller re-checks its condition anyway).
  template <class Clock, class Duration>
  bool WaitUntil(TMutexLock& lock, const std::chrono::time_point<Clock, Duration>& deadline) {
    return m_condition.wait_until(lock.m_lock, deadline) == std::cv_status::no_timeout;
  }
  template <class Rep, class Period>
  bool WaitFor(TMutexLock& lock, const std::chrono::duration<Rep, Period>& timeout) {
    return m_condition.wait_for(lock.m_lock, timeout) == std::cv_status::no_timeout;
  }

 private:
  std::condition_variable m_condition;
};
