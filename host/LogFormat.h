// The text forms of log output: the plain line and the JSON event line that
// TLog writes (see host/TLog.h for examples), the JSON string writer behind
// the latter, and the description of a logged exception.
//
// Rendered lines carry no line end; the sink adds it. JSON strings are UTF-8
// (a TString's unpaired surrogates become U+FFFD) with '"', '\\', every
// control character (C0, DEL and C1) and the line and paragraph separators
// escaped, so a line always parses, never spans two lines of output and
// moves no terminal's cursor.
//
// Thread rules: pure functions of their arguments.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "host/Errors.h"
#include "host/Export.h"
#include "host/TLog.h"
#include "host/TString.h"

namespace TLog {

// UTC ISO-8601 with milliseconds: "2024-05-01T12:34:56.789Z".
KELCACHE_EXPORT std::string FormatTimestamp(std::chrono::system_clock::time_point time);

// An error code as "0x" followed by eight upper-case hexadecimal digits.
KELCACHE_EXPORT std::string FormatErrorCode(uint32_t code);

// Appends the text as a quoted JSON string.
KELCACHE_EXPORT void AppendJsonString(std::string& out, const TString& text);

// "<timestamp> <severity padded to 5> [<threadId>] <text>", one line: the
// text's control characters (C0 except tab, DEL, and C1) are escaped (\n, \r,
// \u00XX), and so are the line and paragraph separators (\u2028, \u2029).
KELCACHE_EXPORT std::string RenderPlainLine(AnySeverity severity, std::chrono::system_clock::time_point time,
                                            uint64_t threadId, const TString& text);

// {"ts":...,"severity":...,"thread":...,"event":...,"fields":{...}} with the
// fields sorted by name, and "error":{"code":...,"name":...} when error is
// not null.
KELCACHE_EXPORT std::string RenderEventLine(AnySeverity severity, std::chrono::system_clock::time_point time,
                                            uint64_t threadId, const TString& eventName,
                                            const std::unordered_map<TString, TString>& fields,
                                            const KelvraError* error);

// The exception being handled, as LogCurrentException shows it.
struct ExceptionDescription {
  // "LogicException: <source>(<line>): <expression>"; for another
  // KelvraException "<type>: <message>"; for a std::exception
  // "<type>: <what()>"; each followed by " (error 0x<code> <name>)" when the
  // exception carries an error. "unknown exception (not derived from
  // std::exception)" for anything else, and "no exception is being handled"
  // outside a handler.
  TString text;
  // A KelvraException's error, when it carries one.
  std::optional<KelvraError> error;
};
// Call from inside a catch handler. Does not throw unless out of memory.
KELCACHE_EXPORT ExceptionDescription DescribeCurrentException();

// "a=1, b=2": the pairs sorted by name.
KELCACHE_EXPORT TString JoinNameValuePairs(const std::unordered_map<TString, TString>& values);

}  // namespace TLog
