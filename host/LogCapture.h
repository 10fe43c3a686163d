// TLog::Capture: records what the library logs, for tests.
//
// While a Capture is alive it records every plain line, event and logged
// exception at or above its minimum severity (default Debug), whatever the
// sink's level is; LoggerAcceptsSeverity answers true for those severities,
// so text that callers build only when it would be logged is captured too.
// Several captures may be alive at once (nested or in different threads);
// each records independently.
//
//   TLog::Capture capture;
//   cache.TryStore(...);
//   EXPECT_EQ(capture.Events(L"ec-store").size(), 1u);
//
// Thread rules: thread-safe. Any thread may log into a capture while another
// reads it; records keep the order in which they arrived.
#pragma once

#include <optional>
#include <unordered_map>
#include <vector>

#include "host/Errors.h"
#include "host/Export.h"
#include "host/RecordList.h"
#include "host/TLog.h"
#include "host/TString.h"

namespace TLog {

// One captured line or event.
struct Record {
  AnySeverity severity = Debug;
  // A plain line's text (without time, severity and thread; for a logged
  // exception the text followed by the exception's description), or an
  // event's name.
  TString text;
  // The event's name; empty for plain lines and logged exceptions.
  TString eventName;
  // An event's fields, or the values given to LogCurrentException.
  std::unordered_map<TString, TString> fields;
  // The error of the error form of LogMessage, or of a logged KelvraException
  // that carries one.
  std::optional<KelvraError> error;

  bool IsEvent() const { return !eventName.empty(); }
};

// Lock order: the registry of live captures (in LogCapture.cpp) is taken
// before the lock of a capture's record list.
class KELCACHE_EXPORT Capture {
 public:
  explicit Capture(AnySeverity minimum = Debug);
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  AnySeverity Minimum() const { return m_minimum; }

  // Everything recorded so far, in order (a copy).
  std::vector<Record> Records() const;
  // The events of that name.
  std::vector<Record> Events(const TString& name) const;
  // The texts of the plain lines (logged exceptions included, events not).
  std::vector<TString> Lines() const;
  // Whether some plain line contains the fragment.
  bool ContainsLine(const TString& fragment) const;
  void Clear();

 private:
  friend struct CaptureRegistry;
  void Add(const Record& record);

  const AnySeverity m_minimum;
  RecordList<Record> m_records;
};

namespace internal {
// Used by the logging functions; not part of the API.
// The lowest level that a live capture accepts, or a level above Error when
// there is none. A relaxed atomic read.
int LowestCapturedLevel() noexcept;
// Hands the record to every live capture that accepts its severity.
void RecordInCaptures(const Record& record) noexcept;
}  // namespace internal

}  // namespace TLog
