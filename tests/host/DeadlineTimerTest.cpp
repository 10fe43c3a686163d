// The deadline timer: callbacks run once, in deadline order, not before their
// deadline; a cancelled one never runs; and a deadline earlier than the one
// the timer thread sleeps for wakes it (the thread sleeps through later ones),
// also when that one was cancelled.
#include "host/DeadlineTimer.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tests/host/ConcurrencyTestSupport.h"

namespace {

using namespace concurrency_test;
using AsyncTask::DeadlineTimer;
using Clock = DeadlineTimer::Clock;

// Records which callbacks ran, in order, and when; `done` opens once
// `expected` of them ran.
struct Recorder {
  explicit Recorder(int expected) : done(expected) {}
  std::function<void()> Callback(std::string name) {
    return [this, name] {
      std::lock_guard<std::mutex> lock(mutex);
      names.push_back(name);
      times.push_back(Clock::now());
      done.Arrive();
    };
  }
  std::mutex mutex;
  std::vector<std::string> names;
  std::vector<Clock::time_point> times;
  Gate done;
};

TEST(DeadlineTimerTest, CallbacksRunOnceInDeadlineOrderNeverEarlyAndNeverWhenCancelled) {
  DeadlineTimer& timer = DeadlineTimer::Instance();
  Recorder recorder(4);
  const Clock::time_point start = Clock::now();
  // Scheduled out of order; "late" first, so that the timer sleeps for it and
  // each earlier deadline has to wake it. The deadlines lie hundreds of
  // milliseconds apart, so that a loaded machine that stops this thread for
  // a while between two calls does not change the order they run in.
  const auto late = timer.Schedule(start + 3s, recorder.Callback("late"));
  const auto cancelled = timer.Schedule(start + 2s, recorder.Callback("cancelled"));
  EXPECT_TRUE(timer.Cancel(cancelled));
  timer.Schedule(start + 600ms, recorder.Callback("middle"));
  timer.Schedule(start - 1s, recorder.Callback("past"));  // runs at once
  timer.Schedule(start + 300ms, recorder.Callback("early"));
  EXPECT_FALSE(timer.Cancel(cancelled)) << "a second cancel finds nothing";
  EXPECT_FALSE(timer.Cancel(0)) << "0 is never a handle";
  ASSERT_TRUE(recorder.done.Wait(kLongWait));
  EXPECT_FALSE(timer.Cancel(late)) << "it has run";
  std::lock_guard<std::mutex> lock(recorder.mutex);
  ASSERT_EQ(recorder.names, (std::vector<std::string>{"past", "early", "middle", "late"}));
  EXPECT_GE(recorder.times[1], start + 300ms);
  // "late" is far off, so that a loaded machine's scheduling delay cannot be
  // mistaken for a timer that slept through the earlier deadlines.
  EXPECT_LT(recorder.times[1], start + 2s) << "an earlier deadline did not wake the sleeping timer";
  EXPECT_GE(recorder.times[3], start + 3s);
}

// Once its queue is empty the timer may keep sleeping until the deadline of a
// callback that was cancelled: a later deadline still runs, on time, and an
// earlier one still wakes it. Each time-out is cancelled at once, most often
// before the timer thread, woken for it, looks at its queue and finds it
// empty.
TEST(DeadlineTimerTest, DeadlinesAfterACancelledOneRunOnTime) {
  DeadlineTimer& timer = DeadlineTimer::Instance();
  // The cancelled deadline, then the next one: later, and far earlier (a
  // timer that slept until the cancelled deadline would run it 10 s late,
  // far beyond what a loaded machine's scheduling adds).
  const std::pair<std::chrono::milliseconds, std::chrono::milliseconds> cases[] = {{1000ms, 1200ms},
                                                                                   {10000ms, 100ms}};
  for (const auto& [cancelledAfter, delay] : cases) {
    SCOPED_TRACE(delay.count());
    Recorder recorder(1);
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(timer.Cancel(timer.Schedule(start + cancelledAfter, recorder.Callback("cancelled"))));
    timer.Schedule(start + delay, recorder.Callback("next"));
    ASSERT_TRUE(recorder.done.Wait(kLongWait)) << "never ran";
    std::lock_guard<std::mutex> lock(recorder.mutex);
    ASSERT_EQ(recorder.names, std::vector<std::string>{"next"});
    EXPECT_GE(recorder.times[0], start + delay);
    EXPECT_LT(recorder.times[0], start + delay + 5s) << "the timer slept past the deadline";
  }
}

}  // namespace
