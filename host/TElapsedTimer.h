// TElapsedTimer: measures elapsed time on the monotonic clock.
//
// TElapsedTimer(true) starts at once. Stop freezes the reading; Reset starts
// again from zero. ElapsedMsec gives fractional milliseconds, GetElapsedTime
// whole milliseconds (truncated).
//
// Thread rules: one thread at a time (a plain value).
#pragma once

#include <chrono>
#include <cstdint>

class TElapsedTimer {
 public:
  // Reads the clock only when it starts: an idle timer reads 0.
  explicit TElapsedTimer(bool start = false) {
    if (start) Reset();
  }
  void Reset() {
    m_start = Clock::now();
    m_running = true;
  }
  void Stop() {
    if (m_running) {
      m_stop = Clock::now();
      m_running = false;
    }
  }
  bool IsRunning() const { return m_running; }
  double ElapsedMsec() const { return std::chrono::duration<double, std::milli>(End() - m_start).count(); }
  uint64_t GetElapsedTime() const {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(End() - m_start).count());
  }

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point End() const { return m_running ? Clock::now() : m_stop; }
  Clock::time_point m_start;
  Clock::time_point m_stop;
  bool m_running = false;
};
