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
#include <cstdint>

#include "host/Export.h"

class KELCACHE_EXPORT DateTimeSpan {
 public:
  DateTimeSpan() = default;
  static DateTimeSpan FromMilliseconds(int64_t milliseconds) { return DateTimeSpan(milliseconds); }
  static DateTimeSpan FromSeconds(int64_t seconds) { return DateTimeSpan(seconds * 1000); }
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
  // Current UTC time as milliseconds since the host's minimum date.
  static uint64_t TotalMillisecondsFromMinDateTimeUTC();
  // A point of the system clock as a UTC DateTime, and back.
  static DateTime FromSystemTime(std::chrono::system_clock::time_point time);
  std::chrono::system_clock::time_point ToSystemTime() const;

  uint64_t GetRepresentation() const { return m_value; }

  // Arithmetic wraps modulo 2^64, as the representation does.
  DateTime operator-(const DateTimeSpan& span) const {
    return DateTime(m_value - static_cast<uint64_t>(span.TotalMilliseconds()));
  }
  DateTime operator+(const DateTimeSpan& span) const {
    return DateTime(m_value + static_cast<uint64_t>(span.TotalMilliseconds()));
  }
  DateTimeSpan operator-(const DateTime& other) const {
    return DateTimeSpan::FromMilliseconds(static_cast<int64_t>(m_value - other.m_value));
  }
  bool operator==(const DateTime& other) const { return m_value == other.m_value; }
  bool operator<(const DateTime& other) const { return m_value < other.m_value; }

 private:
  explicit DateTime(uint64_t value) : m_value(value) {}
  uint64_t m_value = 0;
};
