// Text helpers of the kelcache command-line tool: how keys, times and sizes
// are shown to people and read back from them.
//
// Keys of the second-level caches may hold any characters, and keys found in
// a Redis server any bytes, so human output never prints them raw:
//
//   byte(s)                                   shown as
//   "\" (backslash)                           \\ (two backslashes)
//   line feed, carriage return, tab           \n  \r  \t
//   other ASCII control characters, DEL       \xHH        (e.g. \x00, \x7f)
//   a byte that is not part of valid UTF-8    \xHH        (e.g. \xff)
//   C1 controls U+0080..U+009F, the byte-     \u{HHHH}    (e.g. \u{2028})
//   order mark, line and paragraph
//   separators, directional marks,
//   embeddings, overrides and isolates
//   anything else (printable ASCII, UTF-8)    itself
//
// UnescapeBytes reads that form back (the tool's --escaped flag), so a key
// copied from the tool's output can be given to it again.
//
// Thread rules: pure functions, callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelcache_cli {

// The bytes in the escaped form above.
std::string EscapeBytes(std::string_view bytes);
// The bytes of an escaped text, or nothing when the text holds a backslash
// that starts no escape of the table (then *error says which and where).
std::optional<std::string> UnescapeBytes(std::string_view text, std::string* error);

// Lower-case hexadecimal, two digits per byte.
std::string HexBytes(std::string_view bytes);
// Standard base64 with padding (RFC 4648).
std::string Base64(std::string_view bytes);

// A Redis glob pattern that matches exactly `literal`: '*', '?', '[', ']'
// and '\' are preceded by a backslash.
std::string EscapeGlob(std::string_view literal);

// A count of milliseconds since 0001-01-01 00:00:00 (a DateTime
// representation) as "YYYY-MM-DD<sep>HH:MM:SS", followed by ".mmm" when
// withMilliseconds. Proleptic Gregorian calendar; years past 9999 get more
// digits.
std::string FormatDateTime(uint64_t representation, char separator, bool withMilliseconds);
// A moment, in milliseconds since 1970-01-01 00:00:00 UTC, as the local time
// zone reads it (the C library's localtime): the wall-clock reading as a
// DateTime representation (for FormatDateTime), and the zone's offset from
// UTC in force at that moment, daylight saving included. Starting from the
// moment, not from a wall-clock reading, keeps apart the two moments that
// share a reading in the hour repeated when the clocks go back. Nothing for
// a moment whose reading would come before the year 1 or past the
// representation's range: no other date stands in for it.
struct LocalReading {
  uint64_t representation = 0;
  long offsetSeconds = 0;
};
std::optional<LocalReading> ToLocalTime(int64_t unixMilliseconds);
// An offset from UTC as "+HH:MM" or "-HH:MM".
std::string FormatUtcOffset(long offsetSeconds);
// The moment in local time as ISO 8601 with milliseconds and the offset
// ("2024-05-01T14:34:56.789+02:00"), or for people, to the second and
// without the offset ("2024-05-01 14:34:56"), when not `iso`. An offset
// that is not a whole number of minutes (a local mean time of the 19th
// century) is written in ISO as its whole minutes, the reading moved by the
// seconds left over, so that the text names the same moment. Nothing when
// ToLocalTime has no reading.
std::optional<std::string> FormatLocalTime(int64_t unixMilliseconds, bool iso);

// A byte count: a whole number with an optional unit K, M, G or T (powers
// of 1024; "KiB", "MiB", ... and lower case are accepted too), such as
// "500", "64K" or "2GiB". False for anything else ("1.5G", "-1", "10 MB")
// and for counts past 2^64 - 1.
bool ParseByteSize(std::string_view text, uint64_t& bytes);
// "1023 B", "1.0 KiB", "12.3 MiB", ...
std::string HumanBytes(uint64_t bytes);
// "1 entry", "0 entries", "2 entries": the count and the word that fits it.
std::string CountOf(uint64_t count, const char* one, const char* many);

}  // namespace kelcache_cli
