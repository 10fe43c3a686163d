// DeadlineTimer: runs short callbacks at given deadlines, on one timer thread
// of the host layer.
//
//   auto& timer = AsyncTask::DeadlineTimer::Instance();
//   auto handle = timer.Schedule(std::chrono::steady_clock::now() + 100ms, [] { GiveUp(); });
//   ...
//   timer.Cancel(handle);   // true: the callback will not run
//
// It lets a thread start work that has a time-out without a second thread
// waiting for it: the work runs where it is, and the callback at the deadline
// acts for it if the work has not finished by then (the external caches use it
// for the time-outs of stores and drops).
//
// Callbacks run one at a time on the timer thread, in deadline order (ties in
// the order scheduled), and must be quick and must not wait for the timer
// (a callback that calls Cancel or Schedule is fine). An exception escaping a
// callback is dropped. The thread starts with the first Schedule and runs
// until the process ends; the timer is never destroyed, so callbacks may run
// during static destruction of other objects. A child forked without exec
// gets a timer of its own (Instance), empty, whose thread starts with the
// child's first Schedule; the parent's deadlines do not run in the child.
//
// Thread rules: thread-safe. m_mutex guards m_pending and m_nextHandle; the
// timer thread waits on m_changed and runs callbacks without m_mutex.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <utility>

#include "host/Export.h"
#include "host/ThreadAnnotations.h"
#include "host/TConditionVariable.h"

namespace AsyncTask {

class KELCACHE_EXPORT DeadlineTimer {
 public:
  using Clock = std::chrono::steady_clock;
  using Handle = uint64_t;

  static DeadlineTimer& Instance();

  // Runs `callback` on the timer thread at `deadline` (at once when it has
  // passed) unless cancelled first. Returns a handle for Cancel, never 0.
  Handle Schedule(Clock::time_point deadline, std::function<void()> callback);
  // True when the callback was removed before it started; false when it has
  // run or is running, or the handle is unknown.
  bool Cancel(Handle handle);
  // The callbacks waiting for their deadline (a snapshot, for tests).
  size_t PendingCount();

  DeadlineTimer(const DeadlineTimer&) = delete;
  DeadlineTimer& operator=(const DeadlineTimer&) = delete;

 private:
  using Key = std::pair<Clock::time_point, Handle>;

  DeadlineTimer() = default;
  // The makers of Instance's timer: the first one, and a forked child's.
  static DeadlineTimer* MakeFresh();
  static DeadlineTimer* MakeInChild(const DeadlineTimer& parent);
  void Run();

  TMutex m_mutex;
  TConditionVariable m_changed;
  bool m_started KELCACHE_GUARDED_BY(m_mutex) = false;
  // When the timer thread wakes next by itself (max: not before it is
  // notified), kept while the queue is empty until that time has passed. A
  // new deadline notifies it only when it is earlier: with time-outs of
  // equal length, cancelled before they fire, it wakes about once per
  // time-out however many come and go.
  Clock::time_point m_sleepUntil KELCACHE_GUARDED_BY(m_mutex) = Clock::time_point::max();
  Handle m_nextHandle KELCACHE_GUARDED_BY(m_mutex) = 1;
  std::map<Key, std::function<void()>> m_pending KELCACHE_GUARDED_BY(m_mutex);
  std::unordered_map<Handle, Clock::time_point> m_deadlines KELCACHE_GUARDED_BY(m_mutex);
};

}  // namespace AsyncTask
