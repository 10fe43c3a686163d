// The kelcache tool's text helpers: how it shows keys, reads them back,
// writes JSON, globs, dates and sizes, and what it makes of coherence
// messages. Tables of cases with the expected texts written out by hand.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/kelcache/CoherenceDecoding.h"
#include "tools/kelcache/Json.h"
#include "tools/kelcache/Text.h"

namespace {

using namespace kelcache_cli;
using namespace std::string_literals;

TEST(CliText, KeysAreShownEscapedAndReadBackToTheSameBytes) {
  const std::pair<std::string, std::string> cases[] = {  // bytes, shown
      {"plain-key_1.2", "plain-key_1.2"}, {"with space", "with space"}, {"back\\slash", "back\\\\slash"}, {"", ""},
      {"line\nfeed\r\ttab", "line\\nfeed\\r\\ttab"}, {"nul\0byte"s, "nul\\x00byte"}, {"\x01\x1f\x7f", "\\x01\\x1f\\x7f"},
      {"caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80"},
      // Not UTF-8: not at all, a sequence cut short, an overlong '/', a surrogate's three bytes.
      {"\xff\xfe", "\\xff\\xfe"}, {"\xC3", "\\xc3"}, {"\xC0\xAF", "\\xc0\\xaf"}, {"\xED\xA0\x80", "\\xed\\xa0\\x80"},
      // C1 control NEL, right-to-left override, line separator, byte-order mark,
      // zero-width space, Arabic letter mark, soft hyphen.
      {"\xC2\x85", "\\u{0085}"}, {"a\xE2\x80\xAE" "b", "a\\u{202e}b"}, {"\xE2\x80\xA8", "\\u{2028}"},
      {"\xEF\xBB\xBF" "bom", "\\u{feff}bom"}, {"a\xE2\x80\x8B" "b", "a\\u{200b}b"}, {"a\xD8\x9C" "b", "a\\u{061c}b"},
      {"a\xC2\xAD" "b", "a\\u{00ad}b"},
  };
  for (const auto& [bytes, shown] : cases) {
    SCOPED_TRACE("shown as " + shown);
    EXPECT_EQ(EscapeBytes(bytes), shown);
    std::string error;
    EXPECT_EQ(UnescapeBytes(shown, &error).value_or("(refused)"), bytes) << error;
  }
}

TEST(CliText, EscapedKeysThatAreNotEscapesAreRefusedWithTheirPlace) {
  const std::pair<std::string, std::string> cases[] = {  // text, what the error says
      {"ends\\", "character 5: a lone backslash"}, {"\\q", "character 1: unknown escape \\q"},
      {"ab\\x4", "character 3: \\x needs two hexadecimal digits"}, {"\\xzz", "\\x needs two hexadecimal digits"},
      {"\\u0041", "\\u needs {hex digits}"}, {"\\u{}", "one to six hexadecimal digits"},
      {"\\u{1234567}", "one to six hexadecimal digits"}, {"\\u{41", "one to six hexadecimal digits"},
      {"\\u{d800}", "Unicode scalar value"}, {"\\u{110000}", "Unicode scalar value"},
  };
  for (const auto& [text, fragment] : cases) {
    std::string error;
    EXPECT_FALSE(UnescapeBytes(text, &error).has_value()) << text;
    EXPECT_NE(error.find(fragment), std::string::npos) << error;
  }
  std::string error;
  EXPECT_EQ(UnescapeBytes("\\u{41}\\u{1F600}", &error).value_or("?"), "A\xF0\x9F\x98\x80") << error;
}

TEST(CliText, JsonStringsAreValidJsonThatDecodesToTheTextAndMarksBadBytes) {
  // Each row: bytes, their JSON literal, and what a JSON reader makes of it.
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"k1", "\"k1\"", "k1"}, {"q\"b\\s/", "\"q\\\"b\\\\s/\"", "q\"b\\s/"},
      {"\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\"", "\n\r\t\b\f"}, {"\x01\x1f"s, "\"\\u0001\\u001f\"", "\x01\x1f"},
      {"nul\0"s, "\"nul\\u0000\"", "nul\0"s}, {"a\xff" "b", "\"a\xEF\xBF\xBD" "b\"", "a\xEF\xBF\xBD" "b"},
      {"\xC3\xA9\xF0\x9F\x98\x80", "\"\xC3\xA9\xF0\x9F\x98\x80\"", "\xC3\xA9\xF0\x9F\x98\x80"},
      {"\xE2\x80\xA8\xE2\x80\xA9", "\"\\u2028\\u2029\"", "\xE2\x80\xA8\xE2\x80\xA9"},
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& [bytes, literal, decoded] : cases) {
    SCOPED_TRACE(literal);
    EXPECT_EQ(JsonString(bytes), literal);
    EXPECT_EQ(nlohmann::json::parse(JsonString(bytes)), decoded);
  }
}

TEST(CliText, JsonWriterNestsAndSeparates) {
  JsonWriter json;
  json.BeginObject().Key("empty").BeginArray().EndArray();
  json.Key("list").BeginArray().Number(uint64_t{1}).Number(int64_t{-2}).Bool(false).Null().EndArray();
  json.Key("inner").BeginObject().Key("a").String("x").Key("b").BeginObject().EndObject().EndObject();
  json.Key("big").Number(UINT64_MAX).EndObject();
  EXPECT_EQ(json.Text(),
            R"({"empty":[],"list":[1,-2,false,null],"inner":{"a":"x","b":{}},"big":18446744073709551615})");
  EXPECT_EQ(nlohmann::json::parse(json.Text()).at("big").get<uint64_t>(), UINT64_MAX);
}

// The formatters, each call with the text it must give: glob patterns that
// leave no character special, dates from milliseconds since 0001-01-01
// 00:00:00, sizes in binary units, Base64 of every length remainder, hex.
TEST(CliText, FormattersGiveTheseTexts) {
  const uint64_t unixEpoch = 62135596800000ULL;
  const auto Iso = [](uint64_t milliseconds) { return FormatDateTime(milliseconds, 'T', true); };
  const std::pair<std::string, std::string> cases[] = {  // formatted, expected
      {EscapeGlob("WAV2\n"), "WAV2\n"}, {EscapeGlob("a*\n"), "a\\*\n"}, {EscapeGlob("q?[x]\n"), "q\\?\\[x\\]\n"},
      {EscapeGlob("back\\slash"), "back\\\\slash"}, {EscapeGlob("^-!"), "^-!"},
      {Iso(0), "0001-01-01T00:00:00.000"}, {Iso(86400000ULL * 31 + 1), "0001-02-01T00:00:00.001"},
      {Iso(unixEpoch), "1970-01-01T00:00:00.000"}, {Iso(unixEpoch - 1), "1969-12-31T23:59:59.999"},
      // A leap day of a 400-year leap year; 2100 has none.
      {Iso(unixEpoch + 951782400000ULL + 3723004), "2000-02-29T01:02:03.004"},
      {Iso(unixEpoch + 4107456000000ULL), "2100-02-28T00:00:00.000"},
      {Iso(unixEpoch + 4107542400000ULL), "2100-03-01T00:00:00.000"},
      {Iso(315537897599999ULL), "9999-12-31T23:59:59.999"}, {Iso(315537897600000ULL), "10000-01-01T00:00:00.000"},
      {FormatDateTime(unixEpoch + 1500, ' ', false), "1970-01-01 00:00:01"},
      {HumanBytes(1023), "1023 B"}, {HumanBytes(1024), "1.0 KiB"}, {HumanBytes(1536 * 1024), "1.5 MiB"},
      {HumanBytes(UINT64_MAX), "16.0 EiB"}, {Base64(""), ""}, {Base64("f"), "Zg=="}, {Base64("fo"), "Zm8="},
      {Base64("foo"), "Zm9v"}, {Base64("foob"), "Zm9vYg=="}, {Base64("\xff\x00\xfe"s), "/wD+"},
      {HexBytes("\x00\x7f\xff"s), "007fff"},
  };
  for (const auto& [formatted, expected] : cases) EXPECT_EQ(formatted, expected);
}

// A moment in local time, with the offset in force at that moment, in winter
// and in summer, as ISO 8601 text and for people. (The hour repeated when the
// clocks go back is checked through the tool: CliToolTest's last-write times.)
TEST(CliText, LocalTimesCarryTheOffsetInForceAtThatMoment) {
  const char* before = std::getenv("TZ");
  const std::optional<std::string> saved = before ? std::optional<std::string>(before) : std::nullopt;
  struct Case {
    const char* zone;
    int64_t moment;  // ms since 1970, UTC
    std::optional<std::string> iso, forPeople;  // none: the moment has no reading
  };
  const int64_t year1 = -62135596800000LL, lmt = (19 * 60 + 32) * 1000LL;
  const Case cases[] = {
      {"UTC0", 1704067200000LL, "2024-01-01T00:00:00.000+00:00", "2024-01-01 00:00:00"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1704067200000LL, "2024-01-01T01:00:00.000+01:00", "2024-01-01 01:00:00"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1719792000123LL, "2024-07-01T02:00:00.123+02:00", "2024-07-01 02:00:00"},
      {"EST5EDT,M3.2.0,M11.1.0", 1704067200000LL, "2023-12-31T19:00:00.000-05:00", "2023-12-31 19:00:00"},
      {"EST5EDT,M3.2.0,M11.1.0", 1719792000000LL, "2024-06-30T20:00:00.000-04:00", "2024-06-30 20:00:00"},
      {"IST-5:30", 1704067200000LL, "2024-01-01T05:30:00.000+05:30", "2024-01-01 05:30:00"},
      {"UTC0", -1, "1969-12-31T23:59:59.999+00:00", "1969-12-31 23:59:59"},
      {"UTC0", year1, "0001-01-01T00:00:00.000+00:00", "0001-01-01 00:00:00"},
      // A moment whose reading falls before the year 1, or past what a
      // reading holds, has none: no other date stands in for it.
      {"UTC0", year1 - 1, {}, {}}, {"IST-5:30", year1 - 19800001LL, {}, {}},
      {"UTC0", std::numeric_limits<int64_t>::max(), {}, {}}, {"UTC0", std::numeric_limits<int64_t>::min(), {}, {}},
      // Ten seconds into the year 1 by a local mean time 19:32 ahead: the ISO
      // reading, moved back by 32 s, would come before it.
      {"LMT-0:19:32", year1 - lmt + 10000, {}, "0001-01-01 00:00:10"},
      // An offset with seconds (a local mean time): ISO 8601 has whole minutes
      // only, so the ISO text moves the reading by the seconds left over and
      // still names the moment; people read the zone's own clock.
      {"LMT-0:19:32", 1704067200000LL, "2024-01-01T00:19:00.000+00:19", "2024-01-01 00:19:32"},
      {"LMT+0:19:32", 1704067200000LL, "2023-12-31T23:41:00.000-00:19", "2023-12-31 23:40:28"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.moment));
    setenv("TZ", c.zone, 1);
    tzset();
    EXPECT_EQ(FormatLocalTime(c.moment, true), c.iso);
    EXPECT_EQ(FormatLocalTime(c.moment, false), c.forPeople);
  }
  saved ? setenv("TZ", saved->c_str(), 1) : unsetenv("TZ");
  tzset();
}

TEST(CliText, ByteSizesWithBinaryUnits) {
  const std::pair<const char*, uint64_t> good[] = {
      {"0", 0}, {"500", 500}, {"500B", 500}, {"64K", 65536}, {"64kib", 65536}, {"10M", 10485760},
      {"2GiB", 2147483648ULL}, {"1T", 1099511627776ULL}, {"18446744073709551615", UINT64_MAX},
      {"16777215T", 16777215ULL << 40}};
  for (const auto& [text, expected] : good) {
    uint64_t bytes = 1;
    EXPECT_TRUE(ParseByteSize(text, bytes)) << text;
    EXPECT_EQ(bytes, expected) << text;
  }
  for (const char* bad : {"", "K", "-1", "1.5G", "10 MB", "10MB", "12X", "18446744073709551616", "16777216T", " 5"}) {
    uint64_t bytes = 7;
    EXPECT_FALSE(ParseByteSize(bad, bytes)) << bad;
    EXPECT_EQ(bytes, 7u) << bad;
  }
}

TEST(CliText, CoherenceMessagesAreReadAsTheServiceReadsThemAndMalformedOnesSaySo) {
  // Each row: channel, message, readable, well formed, the key hash, value
  // hash and timestamp read (when readable), and a fragment of the problem.
  const std::tuple<std::string, std::string, bool, bool, std::string, std::string, uint64_t, std::string> cases[] = {
      {"defaultns.1a-2b", "3c-4d@18f2a3b4c5d", true, true, "1a-2b", "3c-4d", 0x18f2a3b4c5dULL, ""},
      {"defaultns.0-0", "0-0@0", true, true, "0-0", "0-0", 0, ""},
      {"defaultns.ffffffffffffffff-1", "1-ffffffffffffffff@ffffffffffffffff", true, true,
       "ffffffffffffffff-1", "1-ffffffffffffffff", UINT64_MAX, ""},
      {"defaultns.1a-2b", "garbage", false, false, "", "", 0, "not <value hash>@<timestamp>"},
      {"defaultns.1a-2b", "1@2@3", false, false, "", "", 0, "not <value hash>@<timestamp>"},
      {"defaultns.1a-2b", "3c@5", false, false, "", "", 0, "value hash is not <hex>-<hex>"},
      {"defaultns.1a", "3c-4d@5", false, false, "", "", 0, "channel does not end in a key hash"},
      {"defaultns.", "3c-4d@5", false, false, "", "", 0, "channel does not end in a key hash"},
      {"elsewhere.1-2", "3-4@5", false, false, "", "", 0, "does not begin with the prefix"},
      // Readable, but not as meant: parts that are not hexadecimal read as 0.
      {"defaultns.1a-2b", "3c-4d@zz", true, false, "1a-2b", "3c-4d", 0, "the message is not in the service's form"},
      {"defaultns.1A-2b", "3c-4d@5", true, false, "1a-2b", "3c-4d", 5, "key hash is not in the service's form"},
      {"defaultns.01a-2b", "3c-4d@05", true, false, "1a-2b", "3c-4d", 5, "key hash and the message are not"},
      {"defaultns.1a-2b", "", false, false, "", "", 0, "not <value hash>@<timestamp>"},
  };
  for (const auto& [channel, message, readable, wellFormed, keyHash, valueHash, timestamp, problem] : cases) {
    SCOPED_TRACE(channel + " " + message);
    const DecodedMessage decoded = DecodeCoherenceMessage("defaultns.", channel, message);
    EXPECT_EQ(std::pair(decoded.readable, decoded.wellFormed), std::pair(readable, wellFormed));
    if (readable) {
      EXPECT_EQ(std::tie(decoded.keyHash, decoded.valueHash, decoded.timestamp), std::tie(keyHash, valueHash, timestamp));
    }
    EXPECT_EQ(decoded.problem.empty(), wellFormed) << decoded.problem;
    EXPECT_NE(decoded.problem.find(problem), std::string::npos) << decoded.problem;
  }
}

}  // namespace
