#include "host/TLog.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/LogCapture.h"
#include "host/LogFormat.h"
#include "host/LogOutput.h"

namespace TLog {
namespace {

bool CaptureAccepts(AnySeverity severity) {
  return severity.Level() >= internal::LowestCapturedLevel();
}

void WriteLine(AnySeverity severity, const TString& text) {
  if (internal::SinkAccepts(severity)) {
    internal::WriteToSink(severity, RenderPlainLine(severity, std::chrono::system_clock::now(),
                                          internal::CurrentThreadId(), text));
  }
  if (CaptureAccepts(severity)) {
    Record record;
    record.severity = severity;
    record.text = text;
    internal::RecordInCaptures(record);
  }
}

void WriteEvent(AnySeverity severity, const TString& eventName,
                const std::unordered_map<TString, TString>& fields, const KelvraError* error) {
  if (internal::SinkAccepts(severity)) {
    internal::WriteToSink(severity, RenderEventLine(severity, std::chrono::system_clock::now(),
                                          internal::CurrentThreadId(), eventName, fields, error));
  }
  if (CaptureAccepts(severity)) {
    Record record;
    record.severity = severity;
    record.text = eventName;
    record.eventName = eventName;
    record.fields = fields;
    if (error != nullptr) record.error = *error;
    internal::RecordInCaptures(record);
  }
}

// An exception thrown with std::throw_with_nested is of a library type that
// derives from the exception given and from std::nested_exception, and its
// type name shows that wrapper ("std::_Nested_exception<KelvraException>");
// the line names the exception given, as it would without a cause.
TString WithoutNestingWrapper(TString text) {
  // A view, not a TString: threads that log may still run while the
  // process's statics are destroyed at exit.
  static constexpr std::u16string_view kWrapper = u"std::_Nested_exception<";
  if (!text.u16().starts_with(kWrapper)) return text;
  const std::u16string& units = text.u16();
  // The wrapped type's name ends at the '>' that closes the wrapper's '<'.
  int depth = 1;
  for (size_t i = kWrapper.size(); i < units.size(); ++i) {
    if (units[i] == u'<') ++depth;
    if (units[i] == u'>' && --depth == 0) {
      return TString(units.substr(kWrapper.size(), i - kWrapper.size()) + units.substr(i + 1));
    }
  }
  return text;
}

// The exception's cause, when it was thrown with std::throw_with_nested
// over another one; null otherwise (and for a null exception).
std::exception_ptr NestedCause(const std::exception_ptr& exception) {
  if (!exception) return nullptr;  // outside a handler: nothing to rethrow
  try {
    std::rethrow_exception(exception);
  } catch (const std::nested_exception& nested) {
    return nested.nested_ptr();
  } catch (...) {
  }
  return nullptr;
}

// The exception being handled, as DescribeCurrentException gives it, then
// "; caused by: " and the description of each nested cause in turn (a few at
// most, so that a cycle of exceptions cannot hold the logger).
ExceptionDescription DescribeCurrentExceptionWithCauses() {
  ExceptionDescription description = DescribeCurrentException();
  description.text = WithoutNestingWrapper(std::move(description.text));
  constexpr int kMaxCauses = 8;
  std::exception_ptr cause = NestedCause(std::current_exception());
  for (int depth = 0; cause && depth < kMaxCauses; ++depth) {
    try {
      std::rethrow_exception(cause);
    } catch (...) {
      description.text += TString(u"; caused by: ") + WithoutNestingWrapper(DescribeCurrentException().text);
    }
    cause = NestedCause(cause);
  }
  return description;
}

}  // namespace

const char* SeverityName(AnySeverity severity) noexcept {
  switch (severity.Level()) {
    case 0:
      return "debug";
    case 1:
      return "info";
    case 2:
      return "warn";
    default:
      return "error";
  }
}


void LogCurrentException(AnySeverity severity, const TString& text,
                         const std::unordered_map<TString, TString>& values) noexcept {
  try {
    const bool toSink = internal::SinkAccepts(severity);
    const bool toCapture = CaptureAccepts(severity);
    if (!toSink && !toCapture) return;
    ExceptionDescription exception = DescribeCurrentExceptionWithCauses();
    const TString line = text + " Exception: " + exception.text;
    if (toSink) {
      TString full = line;
      if (!values.empty()) full += TString(" Values: ") + JoinNameValuePairs(values);
      internal::WriteToSink(severity, RenderPlainLine(severity, std::chrono::system_clock::now(),
                                            internal::CurrentThreadId(), full));
    }
    if (toCapture) {
      Record record;
      record.severity = severity;
      record.text = line;
      record.fields = values;
      record.error = std::move(exception.error);
      internal::RecordInCaptures(record);
    }
  } catch (...) {
  }
}

}  // namespace TLog

void LogMessage(TLog::AnySeverity severity, const TFormatString& text) noexcept {
  try {
    if (LoggerAcceptsSeverity(severity)) TLog::WriteLine(severity, text.result());
  } catch (...) {
  }
}

void LogMessage(TLog::AnySeverity severity, const TString& text) noexcept {
  try {
    if (LoggerAcceptsSeverity(severity)) TLog::WriteLine(severity, text);
  } catch (...) {
  }
}

void LogMessage(TLog::AnySeverity severity, const TString& eventName,
                const std::unordered_map<TString, TString>& fields) noexcept {
  try {
    if (LoggerAcceptsSeverity(severity)) TLog::WriteEvent(severity, eventName, fields, nullptr);
  } catch (...) {
  }
}

void LogMessage(TLog::AnySeverity severity, const TString& eventName,
                const std::unordered_map<TString, TString>& fields, const KelvraError& error) noexcept {
  try {
    if (LoggerAcceptsSeverity(severity)) TLog::WriteEvent(severity, eventName, fields, &error);
  } catch (...) {
  }
}

bool LoggerAcceptsSeverity(TLog::AnySeverity severity, int /*detail*/) noexcept {
  try {
    return TLog::internal::SinkAccepts(severity) || TLog::CaptureAccepts(severity);
  } catch (...) {
    return false;
  }
}
