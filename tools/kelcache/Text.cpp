#include "tools/kelcache/Text.h"

#include <cstdio>
#include <limits>
#include <ctime>
#include <iterator>

#include "host/DateTime.h"
#include "host/Utf8Text.h"

namespace kelcache_cli {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Characters that are valid but invisible, or that move or reorder what
// follows them on a terminal.
// C1 controls, and characters that show nothing or turn the text's
// direction: a soft hyphen, the Arabic letter mark, the Mongolian vowel
// separator, zero-width spaces and joiners, the word joiner and invisible
// operators, line and paragraph separators, directional marks, embeddings,
// overrides and isolates, and the byte-order mark.
bool IsTroublesome(uint32_t codePoint) {
  return (codePoint >= 0x80 && codePoint <= 0x9F) || codePoint == 0xAD || codePoint == 0x61C ||
         codePoint == 0x180E || (codePoint >= 0x200B && codePoint <= 0x200F) ||
         (codePoint >= 0x2028 && codePoint <= 0x202E) || (codePoint >= 0x2060 && codePoint <= 0x2064) ||
         (codePoint >= 0x2066 && codePoint <= 0x2069) || codePoint == 0xFEFF;
}

void AppendHexByte(std::string& out, unsigned char byte) {
  out += "\\x";
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 0xF];
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's
// civil_from_days).
void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

// Days from 0001-01-01 to 1970-01-01.
constexpr int64_t kDaysToUnixEpoch = 719162;
constexpr uint64_t kMillisecondsPerDay = 86400000;

}  // namespace

std::string EscapeBytes(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t pos = 0; pos < bytes.size();) {
    const auto byte = static_cast<unsigned char>(bytes[pos]);
    if (byte < 0x80) {
      if (const char* escape = BackslashEscapeOf(byte)) {
        out += escape;
      } else if (byte < 0x20 || byte == 0x7F) {
        AppendHexByte(out, byte);
      } else {
        out += static_cast<char>(byte);
      }
      ++pos;
      continue;
    }
    const std::optional<Utf8Sequence> decoded = DecodeUtf8At(bytes, pos);
    if (!decoded) {
      AppendHexByte(out, byte);
      ++pos;
      continue;
    }
    if (IsTroublesome(decoded->codePoint)) {
      char text[16];
      std::snprintf(text, sizeof(text), "\\u{%04x}", static_cast<unsigned>(decoded->codePoint));
      out += text;
    } else {
      out.append(bytes.substr(pos, decoded->length));
    }
    pos += decoded->length;
  }
  return out;
}

std::optional<std::string> UnescapeBytes(std::string_view text, std::string* error) {
  std::string out;
  out.reserve(text.size());
  const auto fail = [&](size_t at, const std::string& why) -> std::optional<std::string> {
    if (error) *error = "at character " + std::to_string(at + 1) + ": " + why;
    return std::nullopt;
  };
  for (size_t pos = 0; pos < text.size(); ++pos) {
    if (text[pos] != '\\') {
      out += text[pos];
      continue;
    }
    const size_t start = pos;
    if (++pos == text.size()) return fail(start, "a lone backslash ends the text (write \\\\ for one)");
    switch (text[pos]) {
      case '\\':
        out += '\\';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'x': {
        const int high = pos + 1 < text.size() ? HexValue(text[pos + 1]) : -1;
        const int low = pos + 2 < text.size() ? HexValue(text[pos + 2]) : -1;
        if (high < 0 || low < 0) return fail(start, "\\x needs two hexadecimal digits");
        out += static_cast<char>(high * 16 + low);
        pos += 2;
        break;
      }
      case 'u': {
        if (pos + 1 >= text.size() || text[pos + 1] != '{') return fail(start, "\\u needs {hex digits}");
        uint32_t codePoint = 0;
        size_t digits = 0;
        size_t i = pos + 2;
        for (; i < text.size() && text[i] != '}'; ++i, ++digits) {
          const int value = HexValue(text[i]);
          if (value < 0 || digits >= 6) return fail(start, "\\u{...} needs one to six hexadecimal digits");
          codePoint = codePoint * 16 + static_cast<uint32_t>(value);
        }
        if (i == text.size() || digits == 0) return fail(start, "\\u{...} needs one to six hexadecimal digits");
        if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
          return fail(start, "\\u{...} must name a Unicode scalar value");
        }
        AppendUtf8(out, codePoint);
        pos = i;
        break;
      }
      default:
        return fail(start, std::string("unknown escape \\") + text[pos] +
                               " (known: \\\\ \\n \\r \\t \\xHH \\u{HHHH})");
    }
  }
  return out;
}

std::string HexBytes(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0xF];
  }
  return out;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t pos = 0;
  for (; pos + 3 <= bytes.size(); pos += 3) {
    const uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[pos])) << 16 |
                           static_cast<uint32_t>(static_cast<unsigned char>(bytes[pos + 1])) << 8 |
                           static_cast<unsigned char>(bytes[pos + 2]);
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += kAlphabet[(group >> 6) & 63];
    out += kAlphabet[group & 63];
  }
  const size_t rest = bytes.size() - pos;
  if (rest > 0) {
    uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[pos])) << 16;
    if (rest == 2) group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[pos + 1])) << 8;
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string EscapeGlob(std::string_view literal) {
  std::string out;
  out.reserve(literal.size());
  for (char c : literal) {
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string FormatDateTime(uint64_t representation, char separator, bool withMilliseconds) {
  const auto days = static_cast<int64_t>(representation / kMillisecondsPerDay);
  const uint64_t inDay = representation % kMillisecondsPerDay;
  int64_t year;
  unsigned month;
  unsigned day;
  CivilFromDays(days - kDaysToUnixEpoch, year, month, day);
  const auto seconds = static_cast<unsigned>(inDay / 1000);
  char text[64];
  int length = std::snprintf(text, sizeof(text), "%04lld-%02u-%02u%c%02u:%02u:%02u", static_cast<long long>(year),
                             month, day, separator, seconds / 3600, seconds / 60 % 60, seconds % 60);
  if (withMilliseconds) {
    std::snprintf(text + length, sizeof(text) - static_cast<size_t>(length), ".%03u",
                  static_cast<unsigned>(inDay % 1000));
  }
  return text;
}

std::optional<LocalReading> ToLocalTime(int64_t unixMilliseconds) {
  // Rounded down, also before 1970.
  int64_t seconds = unixMilliseconds / 1000;
  int64_t milliseconds = unixMilliseconds % 1000;
  if (milliseconds < 0) {
    milliseconds += 1000;
    --seconds;
  }
  LocalReading reading;
  reading.offsetSeconds = DateTime::LocalUtcOffsetSeconds(static_cast<std::time_t>(seconds));
  int64_t local = 0;
  const bool overflows =
      __builtin_add_overflow(seconds, static_cast<int64_t>(reading.offsetSeconds) + kDaysToUnixEpoch * 86400, &local) ||
      __builtin_mul_overflow(local, int64_t{1000}, &local) || __builtin_add_overflow(local, milliseconds, &local);
  if (overflows || local < 0) return std::nullopt;
  reading.representation = static_cast<uint64_t>(local);
  return reading;
}

std::string FormatUtcOffset(long offsetSeconds) {
  const long offsetMinutes = offsetSeconds / 60;
  const long magnitude = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
  char text[48];
  std::snprintf(text, sizeof(text), "%c%02ld:%02ld", offsetMinutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  return text;
}

std::optional<std::string> FormatLocalTime(int64_t unixMilliseconds, bool iso) {
  std::optional<LocalReading> local = ToLocalTime(unixMilliseconds);
  if (!local) return std::nullopt;
  LocalReading& reading = *local;
  if (!iso) return FormatDateTime(reading.representation, ' ', false);
  // ISO 8601 offsets are whole minutes; a zone's offset with seconds (local
  // mean times before standard time) is written as its whole minutes, with
  // the reading moved to match, so that the text still names the moment.
  const long extraSeconds = reading.offsetSeconds % 60;
  const auto extraMilliseconds = static_cast<uint64_t>(extraSeconds < 0 ? -extraSeconds : extraSeconds) * 1000;
  if (extraSeconds > 0) {
    if (reading.representation < extraMilliseconds) return std::nullopt;  // would come before the year 1
    reading.representation -= extraMilliseconds;
  }
  if (extraSeconds < 0) reading.representation += extraMilliseconds;
  return FormatDateTime(reading.representation, 'T', true) + FormatUtcOffset(reading.offsetSeconds - extraSeconds);
}

bool ParseByteSize(std::string_view text, uint64_t& bytes) {
  size_t digits = 0;
  uint64_t value = 0;
  for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
    const auto digit = static_cast<uint64_t>(text[digits] - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  if (digits == 0) return false;
  std::string unit;
  for (char c : text.substr(digits)) unit += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  int shift;
  if (unit.empty() || unit == "B") {
    shift = 0;
  } else if (unit == "K" || unit == "KIB") {
    shift = 10;
  } else if (unit == "M" || unit == "MIB") {
    shift = 20;
  } else if (unit == "G" || unit == "GIB") {
    shift = 30;
  } else if (unit == "T" || unit == "TIB") {
    shift = 40;
  } else {
    return false;
  }
  if (shift > 0 && value > (UINT64_MAX >> shift)) return false;
  bytes = value << shift;
  return true;
}

std::string HumanBytes(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string CountOf(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace kelcache_cli
