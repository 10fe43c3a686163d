// LockDetectionTimer warns about a lock held or waited for longer than the
// threshold, and stays quiet otherwise.
#include "host/LockDetectionTimer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <mutex>
#include <thread>

#include "host/LogCapture.h"
#include "host/TLog.h"

namespace {

TEST(LockDetectionTimerTest, WarnsOnlyAboutABlockLongerThanTheThreshold) {
  EXPECT_EQ(LockDetectionTimer::GetThresholdMs(), 1000.0);  // the default
  TLog::Capture capture(TLog::Warn);
  // Holds a lock for holdMs under a timer named name.
  std::mutex lock;
  const auto holdLock = [&lock](const TString& name, int holdMs) {
    LockDetectionTimer timer(name);
    std::lock_guard<std::mutex> guard(lock);
    timer.StartBlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
  };

  LockDetectionTimer::SetThresholdMs(2);
  holdLock(u"SlowLock", 20);
  const auto records = capture.Records();
  LockDetectionTimer::SetThresholdMs(10000);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].severity, TLog::Warn);
  EXPECT_TRUE(records[0].text.startsWith(u"LockDetectionTimer: lock 'SlowLock' was held for "))
      << records[0].text;
  EXPECT_TRUE(records[0].text.contains(u" ms (threshold 2 ms)."));

  capture.Clear();
  holdLock(u"QuickLock", 1);
  EXPECT_TRUE(capture.Records().empty());

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
