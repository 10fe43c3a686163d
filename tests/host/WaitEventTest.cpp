// WaitEvent and the spin that precedes its sleeps: hand-overs must never be
// lost, whether the waiter is still spinning or already asleep in the kernel,
// and every waiter must wake.
#include "host/WaitEvent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/AppOptions.h"

namespace {

using namespace std::chrono_literals;
using AsyncTask::WaitEvent;
using kelvra::appoptions::ScopedOptionOverride;

// Spin budgets: 0 sends every wait to the futex at once; the default spins
// first. Both paths must behave the same.
class WaitEventTest : public ::testing::TestWithParam<int> {
 protected:
  ScopedOptionOverride m_spin{"AsyncTaskSpinMicroseconds", GetParam()};
};

INSTANTIATE_TEST_SUITE_P(SpinBudgets, WaitEventTest, ::testing::Values(0, 50),
                         [](const auto& info) { return "spin" + std::to_string(info.param) + "us"; });

TEST_P(WaitEventTest, TimedWaitsEndAtTheirDeadlineUnlessSet) {
  WaitEvent event;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.WaitFor(30ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  EXPECT_FALSE(event.WaitFor(-5ms)) << "a negative span counts as 0";
  event.Set();
  event.Set();  // setting twice is harmless
  EXPECT_TRUE(event.WaitFor(0ms));
  EXPECT_TRUE(event.WaitFor(std::chrono::hours(24 * 365 * 200))) << "no limit, and set already";
  event.Wait();
  event.Reset();
  EXPECT_FALSE(event.WaitUntil(std::chrono::steady_clock::now() - 1s));
}

TEST_P(WaitEventTest, SetWakesEveryWaiterAndPublishesWhatWasWrittenBefore) {
  WaitEvent event;
  int payload = 0;  // written before Set, read after the waits: no race
  std::vector<std::thread> waiters;
  for (int i = 0; i < 6; ++i) {
    waiters.emplace_back([&, i] {
      // Untimed, timed, and timed with no limit in a unit that would
      // overflow in nanoseconds.
      const bool set = i % 3 == 0   ? (event.Wait(), true)
                       : i % 3 == 1 ? event.WaitFor(20s)
                                    : event.WaitFor(std::chrono::milliseconds::max());
      EXPECT_TRUE(set && payload == 42) << "waiter " << i;
    });
  }
  std::this_thread::sleep_for(20ms);  // let most of them fall asleep
  payload = 42;
  event.Set();
  for (std::thread& waiter : waiters) waiter.join();
}

// Two threads hand a turn back and forth through two reused events, many
// times: a lost wake-up shows as a hang (the bounded waits then fail).
TEST_P(WaitEventTest, PingPongThroughReusedEventsLosesNoWakeUp) {
  constexpr int kRounds = 20000;
  WaitEvent ping, pong;
  std::atomic<bool> lost{false};
  std::thread other([&] {
    for (int i = 0; i < kRounds && !lost; ++i) {
      if (!ping.WaitFor(10s)) lost = true;
      ping.Reset();
      pong.Set();
    }
  });
  for (int i = 0; i < kRounds && !lost; ++i) {
    ping.Set();
    if (!pong.WaitFor(10s)) lost = true;
    pong.Reset();
  }
  if (lost) ping.Set();  // let the other thread leave
  other.join();
  EXPECT_FALSE(lost.load());
}

}  // namespace
