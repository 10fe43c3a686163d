#include "host/LogFormat.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <typeinfo>
#include <utility>
#include <vector>

#include "host/Utf8Text.h"

namespace TLog {

std::string FormatTimestamp(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  // Calendar arithmetic, not gmtime_r: the C library's takes a lock of its
  // own (the time-zone lock), which a thread that was writing a line at a
  // fork would leave held in the child for good. Floor rounding, so that
  // times before 1970 still get milliseconds 0..999.
  const auto at = floor<milliseconds>(time);
  const auto day = floor<days>(at);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> clock{at - day};
  char buffer[96];  // room for any int fields, so no truncation is possible
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
  return buffer;
}

std::string FormatErrorCode(uint32_t code) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(code));
  return buffer;
}

void AppendJsonString(std::string& out, const TString& text) {
  ::AppendJsonString(out, std::string_view(text.toValidUtf8()));
}

std::string RenderPlainLine(AnySeverity severity, std::chrono::system_clock::time_point time,
                            uint64_t threadId, const TString& text) {
  char prefix[80];
  std::snprintf(prefix, sizeof prefix, "%s %-5s [%llu] ", FormatTimestamp(time).c_str(),
                SeverityName(severity), static_cast<unsigned long long>(threadId));
  // One line per call, whatever the text holds: a line feed in a text that
  // came from outside (a channel name, a path) must not start a line that
  // reads as another entry, nor may a control sequence move a terminal's
  // cursor. Control characters (C0 except tab, DEL, and C1) are written as
  // \n, \r or \u00XX, and the line and paragraph separators, which some
  // viewers break lines at, as \u2028 and \u2029, as in the structured
  // events.
  const std::string utf8 = text.toValidUtf8();
  std::string line = prefix;
  line.reserve(line.size() + utf8.size());
  for (size_t pos = 0; pos < utf8.size();) {
    // toValidUtf8 leaves nothing undecodable; a byte that were would go out
    // as it is, one at a time.
    const std::optional<Utf8Sequence> sequence = DecodeUtf8At(utf8, pos);
    const size_t length = sequence ? sequence->length : 1;
    const std::string_view encoded(utf8.data() + pos, length);
    pos += length;
    if (!sequence) {
      line.append(encoded);
    } else if (sequence->codePoint == '\n') {
      line += "\\n";
    } else if (sequence->codePoint == '\r') {
      line += "\\r";
    } else if (sequence->codePoint != '\t' && IsControlOrLineBreak(sequence->codePoint)) {
      AppendUnicodeEscape(line, sequence->codePoint);
    } else {
      line.append(encoded);
    }
  }
  return line;
}

std::string RenderEventLine(AnySeverity severity, std::chrono::system_clock::time_point time,
                            uint64_t threadId, const TString& eventName,
                            const std::unordered_map<TString, TString>& fields, const KelvraError* error) {
  std::string out = "{\"ts\":\"" + FormatTimestamp(time) + "\",\"severity\":\"" + SeverityName(severity) +
                    "\",\"thread\":" + std::to_string(threadId) + ",\"event\":";
  AppendJsonString(out, eventName);
  out += ",\"fields\":{";
  // Sorted, so that equal events render equal lines.
  std::vector<std::pair<const TString*, const TString*>> sorted;
  sorted.reserve(fields.size());
  for (const auto& [name, value] : fields) sorted.emplace_back(&name, &value);
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return *a.first < *b.first; });
  bool first = true;
  for (const auto& [name, value] : sorted) {
    if (!first) out += ',';
    first = false;
    AppendJsonString(out, *name);
    out += ':';
    AppendJsonString(out, *value);
  }
  out += '}';
  if (error != nullptr) {
    out += ",\"error\":{\"code\":\"" + FormatErrorCode(error->GetCode()) + "\",\"name\":";
    AppendJsonString(out, error->GetMessage());
    out += '}';
  }
  out += '}';
  return out;
}

namespace {

TString Demangle(const char* name) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  TString result = TString::fromStdString(status == 0 && demangled != nullptr ? demangled : name);
  std::free(demangled);
  return result;
}

ExceptionDescription WithError(TString text, const KelvraError& error) {
  if (!error.IsError()) return {std::move(text), std::nullopt};
  text += TString(" (error ") + TString::fromStdString(FormatErrorCode(error.GetCode())) + " " +
          error.GetMessage() + ")";
  return {std::move(text), error};
}

}  // namespace

ExceptionDescription DescribeCurrentException() {
  const std::exception_ptr current = std::current_exception();
  if (!current) return {TString("no exception is being handled"), std::nullopt};
  try {
    std::rethrow_exception(current);
  } catch (const LogicException& e) {
    return WithError(TString("LogicException: ") + TString::fromStdString(e.GetInternalMessage()),
                     e.GetError());
  } catch (const KelvraException& e) {
    return WithError(Demangle(typeid(e).name()) + ": " + e.GetMessage(), e.GetError());
  } catch (const std::exception& e) {
    return {Demangle(typeid(e).name()) + ": " + TString::fromStdString(e.what()), std::nullopt};
  } catch (...) {
    return {TString("unknown exception (not derived from std::exception)"), std::nullopt};
  }
}

TString JoinNameValuePairs(const std::unordered_map<TString, TString>& values) {
  std::vector<std::pair<TString, TString>> sorted(values.begin(), values.end());
  std::sort(sorted.begin(), sorted.end());
  TString joined;
  for (const auto& [name, value] : sorted) {
    if (!joined.empty()) joined += TString(", ");
    joined += name + "=" + value;
  }
  return joined;
}

}  // namespace TLog
