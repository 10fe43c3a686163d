// TLog: the host's logging, used by every part of the library.
//
// Two kinds of output go through one process-wide sink:
// - plain lines, LogMessage(severity, text), written as
//     2024-05-01T12:34:56.789Z warn  [12345] text
//   (UTC time with milliseconds, severity, thread id, text);
// - structured events, LogMessage(severity, eventName, fields[, error]),
//   written as one JSON object per line so that tools can parse them:
//     {"ts":"2024-05-01T12:34:56.789Z","severity":"info","thread":12345,
//      "event":"ec-store","fields":{"cns":"MapTiles",...},
//      "error":{"code":"0x8C3ACE23","name":"LogSite_AutoGen_0x8C3ACE23"}}
//   (one line in the output; fields sorted by name; "error" only in the
//   error form). host/LogFormat.h renders both forms.
//
// Filtering: a line is written when its severity is at or above the level
// (default Warn). Live TLog::Capture objects (host/LogCapture.h) see lines
// at or above their own minimum whatever the level is.
//
// Configuration, at run time through the functions below, or by environment
// variables read once, on the first use of any logging function:
//   KELCACHE_LOG_LEVEL  debug | info | warn | error   (default warn)
//   KELCACHE_LOG_FILE   a file to append to             (default stderr)
//   KELCACHE_LOG_ASYNC  1 | 0 (or true, on, yes | false, off, no)  (default 0)
// Levels and yes/no values are read in any case, "warning" as warn. A value
// that is none of these, or a file that cannot be opened, keeps the default
// and is told in a Warn line. A function call made later overrides what the
// environment said.
//
// Asynchronous mode hands lines to one background writer thread through a
// bounded queue (8192 lines). When the queue is full the oldest queued line
// is dropped, so a slow sink never blocks the caller; under overload lines
// may therefore be lost (DroppedLineCount tells how many). Off by default.
//
// Thread rules: every function here may be called from any thread at any
// time, including from static destructors at process exit. None of them
// throws: failures of the sink (a full disk, a closed stream) are swallowed.
//
// Process exit: the logging state is created on first use and deliberately
// never destroyed, so that objects destroyed late at exit can still log
// safely. A handler registered with std::atexit flushes pending output once;
// lines written after it ran still reach a synchronous sink, but in
// asynchronous mode they may be lost.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "host/Errors.h"
#include "host/Export.h"
#include "host/TFormatString.h"
#include "host/TString.h"

namespace TLog {

// The severities that are not errors. Values order the severities.
enum NonErrorSeverity { Debug = 0, Info = 1, Warn = 2 };

// Any severity: one of NonErrorSeverity, or Error. Implicitly made from a
// NonErrorSeverity, so every function that takes an AnySeverity accepts
// TLog::Debug, TLog::Info, TLog::Warn and TLog::Error alike. Ordered by
// level: Debug < Info < Warn < Error.
class AnySeverity {
 public:
  constexpr AnySeverity(NonErrorSeverity severity) noexcept  // NOLINT(google-explicit-constructor)
      : m_level(static_cast<int>(severity)) {}
  // A severity from its level 0..3 (Debug..Error); other values are clamped.
  static constexpr AnySeverity FromLevel(int level) noexcept {
    AnySeverity severity(Debug);
    severity.m_level = level < 0 ? 0 : (level > 3 ? 3 : level);
    return severity;
  }
  constexpr int Level() const noexcept { return m_level; }

  friend constexpr bool operator==(const AnySeverity&, const AnySeverity&) = default;
  friend constexpr std::strong_ordering operator<=>(const AnySeverity&, const AnySeverity&) = default;

 private:
  int m_level;
};

inline constexpr AnySeverity Error = AnySeverity::FromLevel(3);

// "debug", "info", "warn" or "error".
KELCACHE_EXPORT const char* SeverityName(AnySeverity severity) noexcept;

// The level: lines below it are not written to the sink.
KELCACHE_EXPORT void SetLevel(AnySeverity level) noexcept;
KELCACHE_EXPORT AnySeverity GetLevel() noexcept;

// Where lines go. LogToFile appends to the file (creating it, and the folders
// above it that are missing); when the file cannot be opened it returns false
// and the sink stays as it was. Switching the sink flushes the previous one
// first.
KELCACHE_EXPORT void LogToStderr() noexcept;
KELCACHE_EXPORT bool LogToFile(const std::string& path) noexcept;

// Asynchronous mode (see the header comment).
KELCACHE_EXPORT void SetAsynchronous(bool asynchronous) noexcept;
KELCACHE_EXPORT bool IsAsynchronous() noexcept;
// Lines dropped by the asynchronous queue since the process started.
KELCACHE_EXPORT uint64_t DroppedLineCount() noexcept;

// Writes out every line logged before the call. In asynchronous mode it
// waits for the writer thread, at most two seconds.
KELCACHE_EXPORT void Flush() noexcept;

// Logs the exception being handled; call it from inside a catch handler.
// Writes one plain line: the text, then a description of the exception (its
// type and message; a LogicException's "<source>(<line>): <expression>"; a
// KelvraException's message and error code and name; "unknown exception" for
// a throw of something not derived from std::exception), then, for an
// exception thrown with std::throw_with_nested, "; caused by: " and the
// description of its cause (and so on down the chain), then the values as
// name=value pairs. Captures receive the line with the values as its fields
// and a KelvraException's error as its error.
KELCACHE_EXPORT void LogCurrentException(AnySeverity severity, const TString& text,
                                         const std::unordered_map<TString, TString>& values = {}) noexcept;

}  // namespace TLog

// One plain line.
KELCACHE_EXPORT void LogMessage(TLog::AnySeverity severity, const TFormatString& text) noexcept;
KELCACHE_EXPORT void LogMessage(TLog::AnySeverity severity, const TString& text) noexcept;

// One structured event named eventName (such as "ec-load") with the fields.
KELCACHE_EXPORT void LogMessage(TLog::AnySeverity severity, const TString& eventName,
                                const std::unordered_map<TString, TString>& fields) noexcept;
// The same with an error record: the error's code (as "0x" and eight
// upper-case hexadecimal digits) and its name (KelvraError::GetMessage).
KELCACHE_EXPORT void LogMessage(TLog::AnySeverity severity, const TString& eventName,
                                const std::unordered_map<TString, TString>& fields,
                                const KelvraError& error) noexcept;

// Whether a line of this severity would be written now (to the sink, or to a
// live capture), so that costly text is built only then. detail names how
// detailed the caller's output is (the coherence service passes 52); any
// value is accepted and it does not change the answer: the severity alone
// decides.
KELCACHE_EXPORT bool LoggerAcceptsSeverity(TLog::AnySeverity severity, int detail = 0) noexcept;
