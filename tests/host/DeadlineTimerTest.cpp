// The deadline timer: callbacks run once, in deadline order, not before their
// deadline; a cancelled one never runs; and a deadline earlier than the one
// the timer thread sleeps for wakes it (the thread sleeps through later ones).
#include "host/DeadlineTimer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using AsyncTask::DeadlineTimer;
using Clock = DeadlineTimer::Clock;

// Records which callbacks ran, in order, and when.
class Recorder {
 public:
  std::function<void()> Callback(std::string name) {
    return [this, name] {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_ran.emplace_back(name, Clock::now());
      m_changed.notify_all();
    };
  }
  bool WaitForCount(size_t count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, 20s, [&] { return m_ran.size() >= count; });
  }
  std::vector<std::string> Ran() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> names;
    for (const auto& [name, time] : m_ran) names.push_back(name);
    return names;
  }
  Clock::time_point TimeOf(size_t index) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ran.at(index).second;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::pair<std::string, Clock::time_point>> m_ran;
};

TEST(DeadlineTimerTest, CallbacksRunInDeadlineOrderAndNeverBeforeTheirDeadline) {
  DeadlineTimer& timer = DeadlineTimer::Instance();
  Recorder recorder;
  const Clock::time_point start = Clock::now();
  // Scheduled out of order; "late" first, so that the timer sleeps for it and
  // each earlier deadline has to wake it.
  timer.Schedule(start + 300ms, recorder.Callback("late"));
  timer.Schedule(start + 150ms, recorder.Callback("middle"));
  timer.Schedule(start + 50ms, recorder.Callback("early"));
  timer.Schedule(start - 1s, recorder.Callback("past"));  // runs at once
  ASSERT_TRUE(recorder.WaitForCount(4));
  EXPECT_EQ(recorder.Ran(), (std::vector<std::string>{"past", "early", "middle", "late"}));
  EXPECT_GE(recorder.TimeOf(1), start + 50ms);
  EXPECT_LT(recorder.TimeOf(1), start + 250ms) << "an earlier deadline did not wake the sleeping timer";
  EXPECT_GE(recorder.TimeOf(3), start + 300ms);
}

TEST(DeadlineTimerTest, CancelledCallbacksNeverRunAndCancelTellsWhetherItWasInTime) {
  DeadlineTimer& timer = DeadlineTimer::Instance();
  Recorder recorder;
  const auto cancelled = timer.Schedule(Clock::now() + 50ms, recorder.Callback("cancelled"));
  const auto kept = timer.Schedule(Clock::now() + 100ms, recorder.Callback("kept"));
  EXPECT_TRUE(timer.Cancel(cancelled));
  EXPECT_FALSE(timer.Cancel(cancelled)) << "a second cancel finds nothing";
  EXPECT_FALSE(timer.Cancel(0)) << "0 is never a handle";
  ASSERT_TRUE(recorder.WaitForCount(1));
  EXPECT_FALSE(timer.Cancel(kept)) << "it has run";
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(recorder.Ran(), std::vector<std::string>{"kept"});
}

}  // namespace
