// What the task and thread-pool tests share: a gate that counts arrivals, a
// guard that opens a gate and drains the pool when a test leaves, and a
// fixture over a pool of two workers.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "host/AsyncTask.h"
#include "tests/support/TestGate.h"

namespace kelcache_test {

// Generous bound for waits that should end soon; a test that reaches it has
// found a hang, not a slow machine.
inline constexpr std::chrono::milliseconds kLongWait = std::chrono::seconds(20);

// A gate that opens once `needed` threads arrived (or on Open).
struct Gate : TestGate {
  explicit Gate(int needed = 1) : m_needed(needed) {}
  void Arrive() {
    if (--m_needed == 0) Open();
  }
  std::atomic<int> m_needed;
};

// Waits until the pool is idle and every dedicated thread has ended.
inline void ExpectNoTaskLeft() {
  EXPECT_TRUE(AsyncTask::WaitForThreadPoolIdle(kLongWait));
  EXPECT_TRUE(AsyncTask::WaitForDedicatedThreads(kLongWait));
}

// Opens `gate` when the test body leaves, also through a failed ASSERT, and
// waits for the pool and the dedicated threads, so that no task outlives the
// gates on the test's stack.
inline auto OpenAtExit(Gate& gate) {
  return std::unique_ptr<Gate, void (*)(Gate*)>(&gate, [](Gate* g) {
    g->Open();
    ExpectNoTaskLeft();
  });
}

// A pool of two workers, so that tests also run with it saturated. Only the
// first call in the process takes effect; every test here asks for 2. Nothing
// a test started may outlive it.
class TwoWorkerPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AsyncTask::SetThreadPoolSize(2);
    ASSERT_EQ(AsyncTask::GetThreadPoolSize(), 2u);
  }
  void TearDown() override { ExpectNoTaskLeft(); }
};

}  // namespace kelcache_test
