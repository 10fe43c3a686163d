// DateTime arithmetic saturates at the ends of its range: callers subtract
// margins from timestamps that come from other processes (file times among
// them), and a wrapped result would turn "long ago" into "far in the future".
#include "host/DateTime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <tuple>

namespace {

TEST(DateTimeTest, SumsDifferencesAndSecondSpansSaturateAtBothEnds) {
  // A value, a span in milliseconds, value - span and value + span.
  const std::tuple<uint64_t, int64_t, uint64_t, uint64_t> cases[] = {
      {10000, 5000, 5000, 15000},
      {1, 5000, 0, 5001},
      {0, 5000, 0, 5000},
      {4999, 5000, 0, 9999},
      {5000, 5000, 0, 10000},
      {0, -5000, 5000, 0},
      {UINT64_MAX - 10, 5000, UINT64_MAX - 5010, UINT64_MAX},
      {UINT64_MAX, -1, UINT64_MAX, UINT64_MAX - 1},
      {UINT64_MAX, INT64_MIN, UINT64_MAX, static_cast<uint64_t>(INT64_MAX)},
      {0, INT64_MAX, 0, static_cast<uint64_t>(INT64_MAX)},
  };
  for (const auto& [value, spanMs, minus, plus] : cases) {
    SCOPED_TRACE(::testing::Message() << value << " and " << spanMs);
    const DateTime time = DateTime::FromValue(value);
    const DateTimeSpan span = DateTimeSpan::FromMilliseconds(spanMs);
    EXPECT_EQ((time - span).GetRepresentation(), minus);
    EXPECT_EQ((time + span).GetRepresentation(), plus);
  }

  // Differences and spans made of seconds saturate to the span's range.
  EXPECT_EQ((DateTime::FromValue(5) - DateTime::FromValue(3)).TotalMilliseconds(), 2);
  EXPECT_EQ((DateTime::FromValue(3) - DateTime::FromValue(5)).TotalMilliseconds(), -2);
  EXPECT_EQ((DateTime::FromValue(UINT64_MAX) - DateTime::FromValue(0)).TotalMilliseconds(), INT64_MAX);
  EXPECT_EQ((DateTime::FromValue(0) - DateTime::FromValue(UINT64_MAX)).TotalMilliseconds(), INT64_MIN);
  EXPECT_EQ(DateTimeSpan::FromSeconds(7).TotalMilliseconds(), 7000);
  EXPECT_EQ(DateTimeSpan::FromSeconds(INT64_MAX).TotalMilliseconds(), INT64_MAX);
  EXPECT_EQ(DateTimeSpan::FromSeconds(INT64_MIN).TotalMilliseconds(), INT64_MIN);
}

TEST(DateTimeTest, SystemTimeRoundTripsThroughTheRepresentation) {
  // The Unix epoch is kUnixEpochMilliseconds, both ways, to the millisecond.
  const std::chrono::system_clock::time_point epoch{};
  EXPECT_EQ(DateTime::FromSystemTime(epoch).GetRepresentation(), DateTime::kUnixEpochMilliseconds);
  EXPECT_EQ(DateTime::FromValue(DateTime::kUnixEpochMilliseconds + 1).ToSystemTime(),
            epoch + std::chrono::milliseconds(1));
  const auto now = std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
  EXPECT_EQ(DateTime::FromSystemTime(now).ToSystemTime(), now);
}

}  // namespace
