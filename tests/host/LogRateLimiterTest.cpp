// The log rate limiter: a burst in full, then one line per interval that
// counts the lines left out; quiet time earns the burst back.
#include "host/LogRateLimiter.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace std::chrono_literals;

TEST(LogRateLimiterTest, ABurstInFullThenOneLinePerIntervalCountingTheRest) {
  LogRateLimiter limiter(3, 10s);
  const auto start = LogRateLimiter::Clock::now();
  struct Step {
    std::chrono::milliseconds at;
    bool write;
    uint64_t suppressed;
  };
  const Step steps[] = {
      {0ms, true, 0},     {0ms, true, 0},      {1ms, true, 0},  // the burst
      {2ms, false, 0},    {5s, false, 0},      {9s, false, 0},  // held back
      {10s, true, 3},                                          // one interval on: counts the three
      {11s, false, 0},    {20s, true, 1},                      // and the next interval
      {60s, true, 0},     {60s, true, 0},      {60s, true, 0},  // quiet time earned the burst back
      {60s, false, 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.at.count());
    const LogRateLimiter::Decision decision = limiter.NextAt(start + step.at);
    EXPECT_EQ(decision.write, step.write);
    if (step.write) EXPECT_EQ(decision.suppressed, step.suppressed);
  }
}

}  // namespace
