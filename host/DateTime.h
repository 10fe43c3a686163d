// DateTime and DateTimeSpan: the host's date and time values.
//
// Representation: a DateTime is an unsigned 64-bit count of milliseconds since
// the host's minimum date, 0001-01-01 00:00:00 (proleptic Gregorian calendar).
// GetUtcTime counts in UTC, GetLocalTime in the machine's local time zone.
// GetRepresentation and FromValue expose and rebuild that count, so a
// timestamp of the coherence service is such a count and 5 seconds are 5000.
// A DateTimeSpan is a signed count of milliseconds.
//
// Thread rules: plain values; the static functions read the system clock and
// may be called from any thread.
#pragma once

#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>

#include "host/Export.h"

class KELCACHE_EXPORT DateTimeSpan {
 public:
  DateTimeSpan() = default;
  static DateTimeSpan FromMilliseconds(int64_t milliseconds) { return DateTimeSpan(milliseconds); }
  // Saturates at the ends of the span's range.
  static DateTimeSpan FromSeconds(int64_t seconds) {
    if (seconds > INT64_MAX / 1000) return DateTimeSpan(INT64_MAX);
    if (seconds < INT64_MIN / 1000) return DateTimeSpan(INT64_MIN);
    return DateTimeSpan(seconds * 1000);
  }
  int64_t TotalMilliseconds() const { return m_milliseconds; }

 private:
  explicit DateTimeSpan(int64_t milliseconds) : m_milliseconds(milliseconds) {}
  int64_t m_milliseconds = 0;
};

class KELCACHE_EXPORT DateTime {
 public:
  // Milliseconds from the host's minimum date to the Unix epoch
  // (1970-01-01 00:00:00).
  static constexpr uint64_t kUnixEpochMilliseconds = 62135596800000ULL;

  DateTime() = default;
  static DateTime FromValue(uint64_t representation) { return DateTime(representation); }
  static DateTime GetUtcTime();
  static DateTime GetLocalTime();
  // The local time zone's offset from UTC, in seconds, at the moment `utc`
  // (seconds since the Unix epoch), daylight saving included: what the C
  // library's localtime says, under the host's local-time lock; 0 when it
  // cannot convert the moment.
  static long LocalUtcOffsetSeconds(std::time_t utc);
  // Current UTC time as milliseconds since the host's minimum date.
  static uint64_t TotalMillisecondsFromMinDateTimeUTC();
  // A point of the system clock as a UTC DateTime, and back.
  static DateTime FromSystemTime(std::chrono::system_clock::time_point time);
  std::chrono::system_clock::time_point ToSystemTime() const;

  uint64_t GetRepresentation() const { return m_value; }

  // Arithmetic saturates at the ends of the range instead of wrapping: a
  // time before the minimum date is the minimum date (0), one past the last
  // representable millisecond is the last one, and a difference beyond the
  // span's range is the span's extreme. So "a very old time minus a margin"
  // stays very old rather than becoming the far future.
  DateTime operator-(const DateTimeSpan& span) const { return DateTime(Shifted(m_value, span, false)); }
  DateTime operator+(const DateTimeSpan& span) const { return DateTime(Shifted(m_value, span, true)); }
  DateTimeSpan operator-(const DateTime& other) const {
    constexpr uint64_t kLargestNegativeMagnitude = uint64_t{1} << 63;
    if (m_value >= other.m_value) {
      const uint64_t later = m_value - other.m_value;
      return DateTimeSpan::FromMilliseconds(later > INT64_MAX ? INT64_MAX : static_cast<int64_t>(later));
    }
    const uint64_t earlier = other.m_value - m_value;
    return DateTimeSpan::FromMilliseconds(earlier >= kLargestNegativeMagnitude ? INT64_MIN
                                                                               : -static_cast<int64_t>(earlier));
  }
  bool operator==(const DateTime& other) const { return m_value == other.m_value; }
  bool operator<(const DateTime& other) const { return m_value < other.m_value; }

 private:
  explicit DateTime(uint64_t value) : m_value(value) {}
  // value + span (forward) or value - span (backward), clamped to the range.
  static uint64_t Shifted(uint64_t value, const DateTimeSpan& span, bool forward) {
    const int64_t milliseconds = span.TotalMilliseconds();
    // |milliseconds| in unsigned arithmetic, exact for INT64_MIN too.
    const uint64_t magnitude = milliseconds < 0 ? uint64_t{0} - static_cast<uint64_t>(milliseconds)
                                                : static_cast<uint64_t>(milliseconds);
    if ((milliseconds >= 0) == forward) return value > UINT64_MAX - magnitude ? UINT64_MAX : value + magnitude;
    return value > magnitude ? value - magnitude : 0;
  }
  uint64_t m_value = 0;
};
