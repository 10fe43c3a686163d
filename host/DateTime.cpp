#include "host/DateTime.h"

#include <algorithm>
#include <ctime>

#include "host/LocalTimeLock.h"
#include "host/TMutex.h"

namespace host_internal {

TMutex& LocalTimeMutex() {
  static TMutex mutex;
  return mutex;
}

}  // namespace host_internal

DateTime DateTime::FromSystemTime(std::chrono::system_clock::time_point time) {
  auto sinceEpoch = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  return DateTime(kUnixEpochMilliseconds + static_cast<uint64_t>(sinceEpoch));
}

std::chrono::system_clock::time_point DateTime::ToSystemTime() const {
  // The system clock counts nanoseconds (the years 1678 to 2262): a date
  // beyond it saturates at its end rather than wrapping round to another.
  using std::chrono::milliseconds;
  constexpr int64_t kLatest =
      std::chrono::duration_cast<milliseconds>(std::chrono::system_clock::duration::max()).count();
  constexpr int64_t kEarliest =
      std::chrono::duration_cast<milliseconds>(std::chrono::system_clock::duration::min()).count();
  const int64_t sinceEpoch =
      m_value >= kUnixEpochMilliseconds
          ? static_cast<int64_t>(std::min<uint64_t>(m_value - kUnixEpochMilliseconds, kLatest))
          : -static_cast<int64_t>(std::min<uint64_t>(kUnixEpochMilliseconds - m_value, -kEarliest));
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(milliseconds(sinceEpoch)));
}

DateTime DateTime::GetUtcTime() {
  return FromSystemTime(std::chrono::system_clock::now());
}

DateTime DateTime::GetLocalTime() {
  auto now = std::chrono::system_clock::now();
  return FromSystemTime(now) +
         DateTimeSpan::FromSeconds(LocalUtcOffsetSeconds(std::chrono::system_clock::to_time_t(now)));
}

long DateTime::LocalUtcOffsetSeconds(std::time_t utc) {
  std::tm local{};
  TMutexLock lock(host_internal::LocalTimeMutex());
  // tm_gmtoff is the zone's offset from UTC at that moment.
  return localtime_r(&utc, &local) != nullptr ? local.tm_gmtoff : 0;
}

uint64_t DateTime::TotalMillisecondsFromMinDateTimeUTC() {
  return GetUtcTime().GetRepresentation();
}
