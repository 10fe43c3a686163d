// UTF-8 byte strings: strict decoding of one sequence, validation, encoding
// of one code point, and the JSON string literal of a byte string.
//
// Strict means well-formed as Unicode defines it: no overlong forms, no
// surrogate code points, nothing past U+10FFFF, no truncated sequence.
// Encoding is the other way round lenient: a surrogate value (an unpaired
// UTF-16 unit that a TString may hold) gets its own three-byte sequence, so
// that distinct texts never share bytes.
//
// Thread rules: pure functions, callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/Export.h"

// One well-formed UTF-8 sequence: its code point and its length in bytes.
struct Utf8Sequence {
  char32_t codePoint;
  size_t length;
};

// The well-formed sequence that starts at bytes[pos] (pos < bytes.size()),
// or nothing when none starts there.
KELCACHE_EXPORT std::optional<Utf8Sequence> DecodeUtf8At(std::string_view bytes, size_t pos);

// Whether every byte belongs to a well-formed sequence.
KELCACHE_EXPORT bool IsValidUtf8(std::string_view bytes);

// Appends the code point (at most U+10FFFF; surrogate values included) in
// UTF-8.
KELCACHE_EXPORT void AppendUtf8(std::string& out, char32_t codePoint);

// The two-character escape of a backslash, line feed, carriage return or tab
// ("\\\\", "\\n", "\\r", "\\t"), or null for any other character: the escapes
// that JSON and C share.
KELCACHE_EXPORT const char* BackslashEscapeOf(char32_t codePoint);

// Whether a code point may act on a terminal or a viewer instead of showing
// as a character: the C0 controls (tab and line feed included), DEL, the C1
// controls (some terminals take them for commands) and U+2028 and U+2029
// (some viewers, and JavaScript, break lines there). Text that came from
// outside is escaped where this holds, in log lines and JSON alike.
KELCACHE_EXPORT bool IsControlOrLineBreak(char32_t codePoint);

// Appends the escape \uXXXX of a code point below U+10000, in lower-case
// hexadecimal digits.
KELCACHE_EXPORT void AppendUnicodeEscape(std::string& out, char32_t codePoint);

// Appends the bytes as a quoted JSON string: '"' and '\\' escaped, control
// characters (C0, DEL and C1, which a terminal may take for commands) as
// \b \f \n \r \t or \u00XX, U+2028 and U+2029 as
// \u2028 and \u2029 (JavaScript reads them as line ends), a byte that starts
// no well-formed sequence as U+FFFD, everything else as it is. The result is
// always valid JSON on one line.
KELCACHE_EXPORT void AppendJsonString(std::string& out, std::string_view bytes);
