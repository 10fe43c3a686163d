// What the concurrency tests share: a gate that counts arrivals, the wait for
// the pool and the dedicated threads to drain, a fixture over a pool of two
// workers (and, from tests/support, threads that start at the same moment).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "host/AsyncTask.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestGate.h"

namespace concurrency_test {

using namespace std::chrono_literals;
using kelcache_test::RunTogether;
using kelcache_test::WaitUntil;

// Generous bound for waits that should end soon; a test that reaches it has
// found a hang, not a slow machine.
constexpr std::chrono::milliseconds kLongWait = std::chrono::seconds(20);

// A gate that opens once `needed` threads arrived (or on Open).
struct Gate : kelcache_test::TestGate {
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

// A pool of two workers, so that tests also run with it saturated. Only the
// first call in the process takes effect; every test here asks for 2. Nothing
// a test started may outlive it.
class AsyncTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AsyncTask::SetThreadPoolSize(2);
    ASSERT_EQ(AsyncTask::GetThreadPoolSize(), 2u);
  }
  void TearDown() override { ExpectNoTaskLeft(); }
};

}  // namespace concurrency_test
