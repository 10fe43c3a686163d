#include "host/DateTime.h"

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
  auto sinceEpoch = static_cast<int64_t>(m_value - kUnixEpochMilliseconds);
  return std::chrono::system_clock::time_point(std::chrono::milliseconds(sinceEpoch));
}

DateTime DateTime::GetUtcTime() {
  return FromSystemTime(std::chrono::system_clock::now());
}

DateTime DateTime::GetLocalTime() {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  {
    TMutexLock lock(host_internal::LocalTimeMutex());
    localtime_r(&seconds, &local);
  }
  // tm_gmtoff is the local zone's offset from UTC in seconds, daylight saving included.
  return FromSystemTime(now) + DateTimeSpan::FromSeconds(local.tm_gmtoff);
}

uint64_t DateTime::TotalMillisecondsFromMinDateTimeUTC() {
  return GetUtcTime().GetRepresentation();
}
