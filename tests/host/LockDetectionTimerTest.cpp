// LockDetectionTimer warns about a lock held or waited for longer than the
// threshold, and stays quiet otherwise.
#include "host/LockDetectionTimer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "host/LogCapture.h"
#include "host/TLog.h"

namespace {

class LockDetectionTimerTest : public testing::Test {
 protected:
  void SetUp() override { m_savedThreshold = LockDetectionTimer::GetThresholdMs(); }
  void TearDown() override { LockDetectionTimer::SetThresholdMs(m_savedThreshold); }

  // Holds m_lock for holdMs under a timer named name.
  void HoldLock(const TString& name, int holdMs) {
    LockDetectionTimer timer(name);
    std::lock_guard<std::mutex> guard(m_lock);
    timer.StartBlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
  }

  std::mutex m_lock;
  double m_savedThreshold = 0;
};

TEST_F(LockDetectionTimerTest, WarnsOnlyAboutABlockLongerThanTheThreshold) {
  EXPECT_EQ(LockDetectionTimer::GetThresholdMs(), 1000.0);  // the default
  TLog::Capture capture(TLog::Warn);

  LockDetectionTimer::SetThresholdMs(2);
  HoldLock(u"SlowLock", 20);
  auto records = capture.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].severity, TLog::Warn);
  EXPECT_TRUE(records[0].text.startsWith(u"LockDetectionTimer: lock 'SlowLock' was held for "))
      << records[0].text;
  EXPECT_TRUE(records[0].text.contains(u" ms (threshold 2 ms)."));

  capture.Clear();
  LockDetectionTimer::SetThresholdMs(10000);
  HoldLock(u"QuickLock", 1);
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
}

}  // namespace
