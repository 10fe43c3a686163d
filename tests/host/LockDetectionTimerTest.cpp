// LockDetectionTimer warns about a lock held or waited for longer than the
// threshold, and stays quiet otherwise.
#include "host/LockDetectionTimer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/LogCapture.h"
#include "host/TLog.h"

namespace {

TEST(LockDetectionTimerTest, WarnsOnlyAboutABlockLongerThanTheThreshold) {
  TLog::Capture capture(TLog::Warn);
  // Waits waitMs for a lock, then holds it for holdMs, under a timer.
  std::mutex lock;
  const auto useLock = [&lock](const TString& name, int waitMs, int holdMs) {
    LockDetectionTimer timer(name);
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    std::lock_guard<std::mutex> guard(lock);
    timer.StartBlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
  };

  // name, wait, hold (ms) against a threshold of 250 ms (far above what a
  // loaded machine adds to a section that takes no time); the lines expected
  // begin with these texts, in this order.
  struct Case {
    const char16_t* name;
    int waitMs;
    int holdMs;
    std::vector<std::u16string> lines;
  };
  const Case cases[] = {
      {u"SlowLock", 0, 300, {u"LockDetectionTimer: lock 'SlowLock' was held for "}},
      {u"BusyLock", 300, 0, {u"LockDetectionTimer: waited "}},
      {u"BothLock", 300, 300, {u"LockDetectionTimer: lock 'BothLock' was held for ", u"LockDetectionTimer: waited "}},
      {u"QuickLock", 0, 0, {}},
  };
  LockDetectionTimer::SetThresholdMs(250);
  for (const Case& c : cases) {
    SCOPED_TRACE(TString(c.name).toStdString());
    capture.Clear();
    useLock(c.name, c.waitMs, c.holdMs);
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), c.lines.size());
    for (size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(records[i].severity, TLog::Warn);
      EXPECT_TRUE(records[i].text.startsWith(TString(c.lines[i]))) << records[i].text;
      EXPECT_TRUE(records[i].text.contains(u" (threshold 250 ms).")) << records[i].text;
    }
    if (c.waitMs > 0) {
      EXPECT_TRUE(records.back().text.contains(TString(u" ms to acquire lock '") + TString(c.name) + u"'"))
          << records.back().text;
    }
  }
  capture.Clear();

  // Without StartBlock nothing is measured, however long the timer lives.
  LockDetectionTimer::SetThresholdMs(0);
  {
    LockDetectionTimer timer(u"NeverBlocked");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(capture.Records().empty());

  LockDetectionTimer::SetThresholdMs(-3);
  EXPECT_EQ(LockDetectionTimer::GetThresholdMs(), 0.0);
  LockDetectionTimer::SetThresholdMs(1000);
  // NaN is no threshold (every hold would pass it): the last one stays.
  LockDetectionTimer::SetThresholdMs(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(LockDetectionTimer::GetThresholdMs(), 1000.0);
}

}  // namespace
