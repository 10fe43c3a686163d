// LockDetectionTimer: reports locks held (or waited for) too long.
//
// Make the timer just before taking the lock, call StartBlock right after
// acquiring it, and let the timer be destroyed after the lock is released:
//
//   LockDetectionTimer timer(L"RedisPubsubSubscribeCallback");
//   {
//     TWriteLockGuard<TReadWriteLock> guard(m_lock);
//     timer.StartBlock();
//     ...
//   }  // guard releases the lock, then the timer reports
//
// On destruction, when the block (StartBlock to destruction) lasted longer
// than the threshold, one Warn line names the lock and the time in
// milliseconds; when the wait (construction to StartBlock) lasted longer,
// a second Warn line says so. Nothing is reported without StartBlock.
// Reporting happens only in the destructor, so that no log output is
// written while the lock is held. Times come from the steady clock.
//
// Thread rules: a timer belongs to one thread. The threshold is one
// process-wide setting that any thread may change at any time.
#pragma once

#include <chrono>

#include "host/Export.h"
#include "host/TString.h"

class KELCACHE_EXPORT LockDetectionTimer {
 public:
  explicit LockDetectionTimer(const TString& name);
  ~LockDetectionTimer();
  LockDetectionTimer(const LockDetectionTimer&) = delete;
  LockDetectionTimer& operator=(const LockDetectionTimer&) = delete;

  // The lock has just been acquired. Calling it again restarts the block.
  void StartBlock();

  // The threshold in milliseconds for the process (default 1000). Values
  // below zero count as zero; NaN leaves the threshold as it was.
  static void SetThresholdMs(double thresholdMs) noexcept;
  static double GetThresholdMs() noexcept;

 private:
  using Clock = std::chrono::steady_clock;

  TString m_name;
  Clock::time_point m_created;
  Clock::time_point m_blockStart;
  bool m_blockStarted = false;
};
