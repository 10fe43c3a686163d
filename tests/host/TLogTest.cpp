// Tests of the text type (UTF-8 and UTF-16 conversions, checked against
// utfcpp, an independent codec; splitting, numbers, format strings) and of the
// host logging: line formats, JSON escaping, level filtering,
// captures, logged exceptions, and the configuration from the environment
// (asynchronous mode and its flush at exit included), and the rate limiter;
// then the metrics scopes: the category test, attributes, the aggregating
// sink, installed sinks and captures, and the OpenMetrics export.
#include <gtest/gtest.h>
#include <utf8.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "host/Errors.h"
#include "host/LogCapture.h"
#include "host/LogFormat.h"
#include "host/LogRateLimiter.h"
#include "host/Metrics.h"
#include "host/OpenMetrics.h"
#include "host/TFormatString.h"
#include "host/TLog.h"
#include "host/TString.h"
#include "tests/support/ChildMode.h"
#include "tests/support/TestEnvironment.h"

namespace {

TEST(TStringTest, LiteralsOfEveryWidthGiveTheSameText) {
  // "Zürich 東京" plus U+1F600 (a surrogate pair in UTF-16).
  const std::string utf8 = "Z\xC3\xBCrich \xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x98\x80";
  TString text = TString::fromStdString(utf8);
  ASSERT_EQ(text.length(), 12u);  // 6 + 1 + 2 + 1 + 2 code units
  EXPECT_EQ(text.lengthInBytes(), 24u);
  EXPECT_EQ(TString(L"Z\u00FCrich \u6771\u4EAC \U0001F600"), text);
  EXPECT_EQ(TString(u"Z\u00FCrich \u6771\u4EAC \U0001F600"), text);
  EXPECT_EQ(TString(utf8.c_str()), text);
  EXPECT_EQ(text.constData()[text.length()], u'\0');
}

TEST(TStringTest, InvalidInputBecomesReplacementCharacters) {
  // A stray continuation byte, a truncated sequence and an overlong form.
  const std::string bad = std::string("a\x80") + "b\xE6\x9D" + "c\xC0\xAF";
  TString text = TString::fromStdString(bad);
  EXPECT_TRUE(text.contains(TString(u"\uFFFD")));
  EXPECT_TRUE(text.startsWith(TString(u"a\uFFFDb")));
  EXPECT_EQ(TString::fromLocal8Bit(bad.data(), static_cast<int>(bad.size())), text);
  // Embedded NUL bytes survive with an explicit length.
  TString withNul = TString::fromLocal8Bit("a\0b", 3);
  EXPECT_EQ(withNul.length(), 3u);
  EXPECT_EQ(withNul.toStdString(), std::string("a\0b", 3));
}

// Every string has its 8-bit form: well-formed text its UTF-8, and one with
// unpaired surrogates the three-byte sequence of each such code unit.
// Distinct strings never share a form, and every form reads back.
TEST(TStringTest, EveryStringKeepsADistinctEightBitFormThatReadsBack) {
  const std::pair<std::u16string, std::string> cases[] = {  // units, 8-bit form
      {{u'x', 0xD800, u'y'}, "x\xED\xA0\x80y"},
      {{u'x', 0xDFFF}, "x\xED\xBF\xBF"},
      {{0xDC00, 0xD800}, "\xED\xB0\x80\xED\xA0\x80"},  // reversed: two lone units
      {{0xD800, 0xD83D, 0xDE00}, "\xED\xA0\x80\xF0\x9F\x98\x80"},
      {{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},  // a pair is one code point
      {u"Z\u00FCrich \u6771\u4EAC", "Z\xC3\xBCrich \xE6\x9D\xB1\xE4\xBA\xAC"},
      {{u'x', 0xFFFD, u'y'}, "x\xEF\xBF\xBDy"},  // the replacement character itself
  };
  std::unordered_map<std::string, std::u16string> seen;
  for (const auto& [units, bytes] : cases) {
    const TString text(units.c_str(), static_cast<int>(units.size()));
    SCOPED_TRACE(bytes);
    EXPECT_EQ(text.toStdString(), bytes);
    EXPECT_EQ(TString::fromStdString(bytes), text);
    EXPECT_TRUE(seen.emplace(bytes, units).second) << "two strings share one form";
  }
  // A pair spelt as two three-byte forms is not how any string is written:
  // it reads as two replacement characters, never as the pair.
  EXPECT_EQ(TString::fromStdString("\xED\xA0\xBD\xED\xB8\x80"), TString(u"\uFFFD\uFFFD"));
}

// Random text against utfcpp: well-formed strings convert to exactly the
// UTF-8 an independent codec gives, and any sequence of UTF-16 units (lone
// surrogates included) reads back unchanged from its 8-bit form.
TEST(TStringTest, ConversionsAgreeWithAnIndependentCodecAndAlwaysRoundTrip) {
  std::mt19937 random(20261206);
  auto codeUnit = [&]() -> char16_t {
    switch (random() % 4) {
      case 0: return static_cast<char16_t>(random() % 0x80);
      case 1: return static_cast<char16_t>(0xD800 + random() % 0x800);  // any surrogate
      default: return static_cast<char16_t>(random() % 0x10000);
    }
  };
  for (int round = 0; round < 2000; ++round) {
    std::u16string units(random() % 12, u'a');
    for (char16_t& unit : units) unit = codeUnit();
    const TString text(units.c_str(), static_cast<int>(units.size()));
    const std::string bytes = text.toStdString();
    ASSERT_EQ(TString::fromStdString(bytes), text) << "round " << round;
    if (utf8::is_valid(bytes.begin(), bytes.end())) {
      std::u16string reference;
      utf8::utf8to16(bytes.begin(), bytes.end(), std::back_inserter(reference));
      EXPECT_EQ(reference, units) << "well-formed text converts to its UTF-8, round " << round;
    } else {
      EXPECT_NE(bytes.find('\xED'), std::string::npos) << "only lone surrogates leave strict UTF-8";
    }
  }
}

TEST(TStringTest, SplitKeepsOrSkipsEmptyParts) {
  using Parts = std::vector<TString>;
  const auto keep = TString::KeepEmptyParts;
  const auto skip = TString::SkipEmptyParts;
  struct Case {
    TString text, separator;
    TString::SplitBehavior behavior;
    TString::CaseSensitivity sensitivity;
    Parts parts;
  };
  const Case cases[] = {
      {u"-a--b-", u"-", keep, TString::CaseSensitive, {u"", u"a", u"", u"b", u""}},
      {u"-a--b-", u"-", skip, TString::CaseSensitive, {u"a", u"b"}},
      {u"1@@2@@@3", u"@@", keep, TString::CaseSensitive, {u"1", u"2", u"@3"}},
      {u"abc", u"-", keep, TString::CaseSensitive, {u"abc"}},
      {u"", u"-", keep, TString::CaseSensitive, {u""}},
      {u"", u"-", skip, TString::CaseSensitive, {}},
      {u"aXbxc", u"x", keep, TString::CaseInsensitive, {u"a", u"b", u"c"}},
      {u"aXbxc", u"x", keep, TString::CaseSensitive, {u"aXb", u"c"}},
      // The channel split of the coherence service: the prefix drops out as an empty part.
      {u"defaultns.1a-2b", u"defaultns.", skip, TString::CaseSensitive, {u"1a-2b"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.text.split(c.separator, c.behavior, c.sensitivity), c.parts) << c.text << " by " << c.separator;
  }
}

TEST(TStringTest, NumberFormsAndParsing) {
  const std::pair<TString, const char16_t*> forms[] = {
      {TString::number(0), u"0"},
      {TString::number(std::numeric_limits<int>::min()), u"-2147483648"},
      {TString::number(4294967295u), u"4294967295"},
      {TString::number(std::numeric_limits<int64_t>::min()), u"-9223372036854775808"},
      {TString::number(std::numeric_limits<uint64_t>::max()), u"18446744073709551615"},
      {TString::number(7, 10, 3, u'0'), u"007"},
      {TString::number(uint64_t{0xDEADBEEF12}, 16), u"deadbeef12"},
      {TString::number(-255, 16), u"-ff"},
      // 'g' with six significant digits is printf's %.6g.
      {TString::number(0.1234567, 'g', 6), u"0.123457"},
      {TString::number(1234567.0, 'g', 6), u"1.23457e+06"},
      {TString::number(12.0, 'g', 6), u"12"},
      {TString::number(0.5), u"0.5"},
  };
  for (const auto& [form, expected] : forms) EXPECT_EQ(form, expected);

  // Hexadecimal texts read back with base 16, up to the full 64-bit range.
  for (uint64_t value : {uint64_t{0}, uint64_t{0xABCDEF}, std::numeric_limits<uint64_t>::max()}) {
    bool ok = false;
    EXPECT_EQ(TString::number(value, 16).toULongLong(&ok, 16), value);
    EXPECT_TRUE(ok);
  }
  const std::tuple<const char16_t*, uint64_t, bool> hex[] = {
      {u"FF", 255, true}, {u"0x1f", 31, true}, {u"xyz", 0, false}, {u"", 0, false}, {u"1ffffffffffffffff", 0, false}};
  for (const auto& [text, value, valid] : hex) {
    bool ok = !valid;
    EXPECT_EQ(TString(text).toULongLong(&ok, 16), value) << TString(text);
    EXPECT_EQ(ok, valid) << TString(text);
  }
  bool ok = false;
  EXPECT_EQ(TString(u"12a").toULongLong(nullptr, 10), 0u);  // a null ok is allowed
  EXPECT_EQ(TString(u"-17").toLongLong(&ok), -17);
  EXPECT_TRUE(ok);
  EXPECT_EQ(TString(u"99999999999").toInt(&ok), 0);
  EXPECT_FALSE(ok);
}

TEST(TFormatStringTest, FillsLowestPlaceHolderFirstInOnePass) {
  EXPECT_EQ(TFormatString(u"%1|%2").arg(TString(u"Region")).arg(TString(u"EU")).result(), u"Region|EU");
  // Numbers and out-of-order place holders; every occurrence is filled.
  TString text = TFormatString(u"%2 then %1 and %2 again").arg(1).arg(uint64_t{2});
  EXPECT_EQ(text, u"2 then 1 and 2 again");
  // A value containing a place holder is not substituted again.
  EXPECT_EQ(TFormatString(u"%1 %2").arg(TString(u"%2")).arg(TString(u"x")).result(), u"%2 x");
  // Unfilled place holders stay; surplus values are ignored; %10 is one place holder.
  EXPECT_EQ(TFormatString(u"%1 %3").arg(-5).result(), u"-5 %3");
  EXPECT_EQ(TFormatString(u"plain").arg(1).result(), u"plain");
  EXPECT_EQ(TFormatString(u"%10-%9").arg(TString(u"nine")).arg(TString(u"ten")).result(), u"ten-nine");
  // Field width pads with the fill character.
  EXPECT_EQ(TFormatString(u"[%1]").arg(TString(u"ab"), 4, u'.').result(), u"[..ab]");
  EXPECT_EQ(TFormatString(u"[%1]").arg(TString(u"ab"), -4).result(), u"[ab  ]");
  EXPECT_EQ(TFormatString(u"100%").arg(1).result(), u"100%");
}

// --- Logging -------------------------------------------------------------------
std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::chrono::system_clock::time_point AtMilliseconds(long long sinceEpoch) {
  return std::chrono::system_clock::time_point(std::chrono::milliseconds(sinceEpoch));
}

const KelvraError kPruneError =
    KelvraError::MakeError(0x8C3ACE23, KelvraError::AutoGenName(u"LogSite_AutoGen_", 0x8C3ACE23));

// Every test leaves the process's logging as it found it: synchronous, to
// stderr, at Warn.
class TLogTest : public testing::Test {
 protected:
  void TearDown() override {
    TLog::SetAsynchronous(false);
    TLog::LogToStderr();
    TLog::SetLevel(TLog::Warn);
  }

  std::string LogPath() const { return (m_dir.path() / "kelcache.log").string(); }
  kelcache_test::TempDir m_dir;
};

TEST_F(TLogTest, LineFormatsRenderTimeSeverityThreadAndSortedFields) {
  EXPECT_EQ(TLog::FormatTimestamp(AtMilliseconds(1234)), "1970-01-01T00:00:01.234Z");
  // 2024-02-29T23:59:59.999Z: a leap day, the last millisecond of the day.
  EXPECT_EQ(TLog::FormatTimestamp(AtMilliseconds(1709251199999)), "2024-02-29T23:59:59.999Z");
  EXPECT_EQ(TLog::FormatTimestamp(AtMilliseconds(-1)), "1969-12-31T23:59:59.999Z");

  EXPECT_EQ(TLog::RenderPlainLine(TLog::Warn, AtMilliseconds(1234), 42, u"hello"),
            "1970-01-01T00:00:01.234Z warn  [42] hello");
  EXPECT_EQ(TLog::RenderPlainLine(TLog::Error, AtMilliseconds(0), 7, u"x"),
            "1970-01-01T00:00:00.000Z error [7] x");

  const std::unordered_map<TString, TString> fields{{u"outcome", u"stored"}, {u"cns", u"MapTiles"}};
  EXPECT_EQ(TLog::RenderEventLine(TLog::Info, AtMilliseconds(1234), 7, u"ec-store", fields, nullptr),
            R"({"ts":"1970-01-01T00:00:01.234Z","severity":"info","thread":7,"event":"ec-store",)"
            R"("fields":{"cns":"MapTiles","outcome":"stored"}})");
  EXPECT_EQ(TLog::RenderEventLine(TLog::Error, AtMilliseconds(1234), 7, u"prune", {}, &kPruneError),
            R"({"ts":"1970-01-01T00:00:01.234Z","severity":"error","thread":7,"event":"prune","fields":{},)"
            R"("error":{"code":"0x8C3ACE23","name":"LogSite_AutoGen_0x8C3ACE23"}})");
  EXPECT_EQ(TLog::FormatErrorCode(0xAB), "0x000000AB");
}

// Each kind of character as a JSON string holds it: the two that must be
// escaped, the short escapes, other control characters as \u00XX, DEL
// escaped too, everything else as UTF-8, an unpaired surrogate as U+FFFD.
TEST_F(TLogTest, JsonEscapingOfEveryKindOfCharacter) {
  const std::pair<std::u16string, std::string> cases[] = {  // text, as a JSON string
      {u"quote\" backslash\\ slash/", R"("quote\" backslash\\ slash/")"},
      {u"nl\n tab\t cr\r bs\b ff\f", R"("nl\n tab\t cr\r bs\b ff\f")"},
      {std::u16string(u"nul\0 bell\x07 unit\x1f del\x7f", 21), R"("nul\u0000 bell\u0007 unit\u001f del\u007f")"},
      {u"\u00e9\u4e2d\U0001F600", "\"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\""},
      {std::u16string{u'a', char16_t{0xD800}, u'b'}, "\"a\xEF\xBF\xBD" "b\""},
  };
  for (const auto& [in, out] : cases) {
    std::string quoted;
    TLog::AppendJsonString(quoted, TString(in));
    EXPECT_EQ(quoted, out);
  }
  // Names, the event and field names included, are escaped the same way.
  EXPECT_EQ(TLog::RenderEventLine(TLog::Info, AtMilliseconds(0), 1, u"ev\"ent", {{u"na\nme", u"v"}}, nullptr),
            R"({"ts":"1970-01-01T00:00:00.000Z","severity":"info","thread":1,"event":"ev\"ent",)"
            R"("fields":{"na\nme":"v"}})");
}

TEST_F(TLogTest, LevelFiltersTheSinkButNotALowerCapture) {
  const std::string path = LogPath();
  {
    std::ofstream existing(path);
    existing << "earlier content\n";
  }
  ASSERT_TRUE(TLog::LogToFile(path));
  TLog::SetLevel(TLog::Info);

  TLog::Capture capture;  // Debug and above
  LogMessage(TLog::Debug, u"debug line");
  LogMessage(TLog::Info, TFormatString(u"info line %1 of %2").arg(1).arg(u"two"));
  LogMessage(TLog::Debug, u"ec-load", {{u"outcome", u"miss"}});
  LogMessage(TLog::Error, u"prune", {{u"CacheGuid", u"17"}}, kPruneError);
  TLog::SetLevel(TLog::Error);
  LogMessage(TLog::Warn, u"warn line below error");
  TLog::Flush();

  const auto lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "earlier content");  // appended, not truncated
  EXPECT_NE(lines[1].find(" info  ["), std::string::npos);
  EXPECT_NE(lines[1].find("] info line 1 of two"), std::string::npos);
  EXPECT_NE(lines[2].find(R"("severity":"error","thread":)"), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find(R"("event":"prune","fields":{"CacheGuid":"17"},"error":{"code":"0x8C3ACE23")"),
            std::string::npos)
      << lines[2];

  // The capture saw everything, whatever the level.
  EXPECT_EQ(capture.Lines(),
            (std::vector<TString>{u"debug line", u"info line 1 of two", u"warn line below error"}));
  const auto loads = capture.Events(u"ec-load");
  ASSERT_EQ(loads.size(), 1u);
  EXPECT_EQ(loads[0].severity, TLog::Debug);
  EXPECT_EQ(loads[0].fields.at(u"outcome"), u"miss");
  EXPECT_FALSE(loads[0].error.has_value());
  const auto prunes = capture.Events(u"prune");
  ASSERT_EQ(prunes.size(), 1u);
  ASSERT_TRUE(prunes[0].error.has_value());
  EXPECT_EQ(prunes[0].error->GetCode(), 0x8C3ACE23u);
  EXPECT_FALSE(capture.ContainsLine(u"ec-load"));  // events are not lines
}

TEST_F(TLogTest, LoggerAcceptsSeverityFollowsLevelAndLiveCaptures) {
  // What is accepted at Debug, Info, Warn and Error.
  auto accepted = [] {
    std::string marks;
    for (int level = 0; level < 4; ++level)
      marks += LoggerAcceptsSeverity(TLog::AnySeverity::FromLevel(level), 52) ? 'y' : '-';
    return marks;
  };
  TLog::SetLevel(TLog::Warn);
  EXPECT_EQ(accepted(), "--yy");
  EXPECT_FALSE(LoggerAcceptsSeverity(TLog::Info));
  EXPECT_TRUE(LoggerAcceptsSeverity(TLog::Error, -1));
  {
    TLog::Capture outer(TLog::Info);
    EXPECT_EQ(accepted(), "-yyy");
    {
      TLog::Capture inner(TLog::Debug);
      EXPECT_EQ(accepted(), "yyyy");
      LogMessage(TLog::Debug, u"only inner");
      LogMessage(TLog::Info, u"both");
      EXPECT_EQ(inner.Lines(), (std::vector<TString>{u"only inner", u"both"}));
    }
    EXPECT_EQ(accepted(), "-yyy");
    LogMessage(TLog::Info, u"outer after inner");
    EXPECT_EQ(outer.Lines(), (std::vector<TString>{u"both", u"outer after inner"}));
  }
  EXPECT_EQ(accepted(), "--yy");
}

TEST_F(TLogTest, LogCurrentExceptionDescribesEachKindOfException) {
  const std::string path = LogPath();
  ASSERT_TRUE(TLog::LogToFile(path));
  TLog::SetLevel(TLog::Warn);
  TLog::Capture capture;
  const std::unordered_map<TString, TString> values{{u"b", u"2"}, {u"a", u"1"}};

  // Logs from inside a handler of what `raise` throws.
  auto logThrown = [](auto raise, TLog::AnySeverity severity, const TString& text,
                      const std::unordered_map<TString, TString>& fields = {}) {
    try {
      raise();
    } catch (...) {
      TLog::LogCurrentException(severity, text, fields);
    }
  };
  logThrown([] { ThrowLogicException("main/utility/Cache", 12, "m_policy"); }, TLog::Warn, u"logic failed", values);
  logThrown([] { throw MakeUnspecifiedException(); }, TLog::Warn,
            TFormatString(u"store of '%1' failed").arg(u"k"));
  logThrown([] { throw std::runtime_error("disk full"); }, TLog::Error, u"std failed");
  logThrown([] { throw 42; }, TLog::Warn, u"int thrown");
  TLog::LogCurrentException(TLog::Warn, u"outside a handler");
  logThrown([] { throw std::runtime_error("quiet"); }, TLog::Debug, u"below the level");
  TLog::Flush();

  const auto records = capture.Records();
  ASSERT_EQ(records.size(), 6u);
  EXPECT_EQ(records[0].text, u"logic failed Exception: LogicException: main/utility/Cache(12): m_policy");
  EXPECT_EQ(records[0].fields, values);
  EXPECT_FALSE(records[0].error.has_value());
  EXPECT_TRUE(
      records[1].text.startsWith(u"store of 'k' failed Exception: KelvraException: Unspecified exception "))
      << records[1].text;
  EXPECT_TRUE(records[1].text.contains(u"(error 0x543EA456 KelvraException_AutoGen_0x543EA456)"));
  ASSERT_TRUE(records[1].error.has_value());
  EXPECT_EQ(records[1].error->GetCode(), kUnspecifiedExceptionCode);
  EXPECT_EQ(records[2].text, u"std failed Exception: std::runtime_error: disk full");
  EXPECT_EQ(records[2].severity, TLog::Error);
  EXPECT_EQ(records[3].text, u"int thrown Exception: unknown exception (not derived from std::exception)");
  EXPECT_EQ(records[4].text, u"outside a handler Exception: no exception is being handled");
  EXPECT_EQ(records[5].severity, TLog::Debug);

  // The sink got the five at Warn or above, the values as sorted pairs.
  const auto lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_NE(
      lines[0].find(
          "] logic failed Exception: LogicException: main/utility/Cache(12): m_policy Values: a=1, b=2"),
      std::string::npos)
      << lines[0];
  EXPECT_NE(lines[2].find(" error ["), std::string::npos);
}

// When EnvironmentConfiguresTheFirstUse runs this program in the child mode
// "tlog", it logs under the settings that the environment gave and exits
// before any test runs. It leaves through std::exit and does not flush: the
// handler run at exit must write out the queued lines.
void LogUnderTheEnvironment() {
  const bool configured = TLog::GetLevel() == TLog::Debug && TLog::IsAsynchronous();
  for (int i = 0; i < 100; ++i) {
    LogMessage(TLog::Debug, TFormatString(u"debug from the environment %1").arg(i));
  }
  std::exit(configured ? 0 : 3);
}
[[maybe_unused]] const bool s_childMode = kelcache_test::RunIfChildMode("tlog", LogUnderTheEnvironment);

TEST(TLogEnvironment, EnvironmentConfiguresTheFirstUse) {
  kelcache_test::TempDir dir;
  const std::string path = (dir.path() / "env.log").string();
  const kelcache_test::ChildModeResult child = kelcache_test::RunChildMode(
      "tlog", {"KELCACHE_LOG_LEVEL=DEBUG", "KELCACHE_LOG_ASYNC=1", "KELCACHE_LOG_FILE=" + path});
  ASSERT_EQ(child.exitCode, 0) << child.output;
  const auto lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 100u);
  EXPECT_NE(lines[99].find(" debug ["), std::string::npos) << lines[99];
  EXPECT_NE(lines[99].find("] debug from the environment 99"), std::string::npos) << lines[99];
}

// The log rate limiter: a burst in full, then one line per interval that
// counts the lines left out; quiet time earns the burst back.
using namespace std::chrono_literals;

TEST(LogRateLimiterTest, ABurstInFullThenOneLinePerIntervalCountingTheRest) {
  LogRateLimiter limiter(3, 10s);
  const auto start = LogRateLimiter::Clock::now();
  struct Step {
    std::chrono::milliseconds at;
    bool write;
    uint64_t suppressed;
  };
  const Step steps[] = {
      {0ms, true, 0},     {0ms, true, 0},      {1ms, true, 0},  // the burst
      {2ms, false, 0},    {5s, false, 0},      {9s, false, 0},  // held back
      {10s, true, 3},                                          // one interval on: counts the three
      {11s, false, 0},    {20s, true, 1},                      // and the next interval
      {60s, true, 0},     {60s, true, 0},      {60s, true, 0},  // quiet time earned the burst back
      {60s, false, 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.at.count());
    const LogRateLimiter::Decision decision = limiter.NextAt(start + step.at);
    EXPECT_EQ(decision.write, step.write);
    if (step.write) EXPECT_EQ(decision.suppressed, step.suppressed);
  }
}

// --- Metrics -------------------------------------------------------------------
class ThrowingSink : public Metrics::ISink {
 public:
  void OnScopeClosed(const Metrics::ScopeRecord&) override { throw std::runtime_error("sink broke"); }
};

// Every test leaves every category enabled and the default sink installed.
class MetricsTest : public testing::Test {
 protected:
  void TearDown() override {
    Metrics::SetEnabledMask(Metrics::kAllCategories);
    Metrics::SetSink(nullptr);
  }
};

TEST_F(MetricsTest, ScopeOpensOnlyForAnEnabledCategory) {
  EXPECT_EQ(Metrics::GetEnabledMask(), Metrics::kAllCategories);
  EXPECT_FALSE(Metrics::TestBitsAndContext(0));
  Metrics::SetEnabledMask(0x20000);
  EXPECT_TRUE(Metrics::TestBitsAndContext(0x80000020001));
  EXPECT_FALSE(Metrics::TestBitsAndContext(0x80000000001));

  Metrics::Capture capture;
  {
    Metrics::Scope closed(u"disabled", 0x80000000001);
    EXPECT_FALSE(closed.IsOpen());
    closed.SetAttribute(u"ignored", 1);
    Metrics::Scope open(u"enabled", 0x20001);
    EXPECT_TRUE(open.IsOpen());
  }
  const auto records = capture.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].name, u"enabled");
  EXPECT_EQ(records[0].mask, 0x20001u);
}

TEST_F(MetricsTest, AttributesAreKeptOnlyWhileOpen) {
  Metrics::Capture capture;
  {
    Metrics::Scope scope(u"ec-store", 0x80000020001);
    scope.SetAttribute(u"cns", TString(u"MapTiles"));
    scope.SetAttribute(u"key-size-b", 12);
    scope.SetAttribute(u"value-size-b", uint64_t{1} << 40);
    scope.SetAttribute(u"key-hash", 4000000000u);
    scope.SetAttribute(u"negative", -5L);
    scope.SetAttribute(u"ratio", 0.5);
    scope.SetAttribute(u"outcome", u"pending");
    scope.SetAttribute(u"outcome", u"stored");  // replaces, keeps the position
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    scope.Close();
    EXPECT_FALSE(scope.IsOpen());
    scope.SetAttribute(u"late", 1);
  }  // the destructor delivers nothing more
  const auto records = capture.Scopes(u"ec-store");
  ASSERT_EQ(records.size(), 1u);
  const auto& record = records[0];
  EXPECT_GE(record.durationMs, 2.0);  // the measured span covers the sleep
  // In the order first set, each value of its own type.
  const std::pair<const char16_t*, const char16_t*> expected[] = {
      {u"cns", u"MapTiles"}, {u"key-size-b", u"12"}, {u"value-size-b", u"1099511627776"}, {u"key-hash", u"4000000000"},
      {u"negative", u"-5"},  {u"ratio", u"0.5"},     {u"outcome", u"stored"}};
  ASSERT_EQ(record.attributes.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(record.attributes[i].first, expected[i].first);
    EXPECT_EQ(Metrics::AttributeToString(record.attributes[i].second), expected[i].second);
  }
  EXPECT_EQ(std::get<int64_t>(*record.FindAttribute(u"key-size-b")), 12);
  EXPECT_EQ(std::get<uint64_t>(*record.FindAttribute(u"key-hash")), 4000000000u);
  EXPECT_EQ(record.FindAttribute(u"late"), nullptr);
}

TEST_F(MetricsTest, AggregatingSinkCountsTotalsAndMaxima) {
  Metrics::AggregatingSink sink;
  Metrics::ScopeRecord record;
  record.name = u"RedisPubsub::OnAdded";
  for (double ms : {1.0, 3.0, 2.0}) {
    record.durationMs = ms;
    sink.OnScopeClosed(record);
  }
  record.name = u"ec-load";
  record.durationMs = 0.25;
  sink.OnScopeClosed(record);

  const std::string table = sink.Render().toStdString();
  const std::string expected =
      "scope                     count       total-ms       max-ms      mean-ms\n"
      "RedisPubsub::OnAdded          3          6.000        3.000        2.000\n"
      "ec-load                       1          0.250        0.250        0.250\n";
  EXPECT_EQ(table, expected);

  sink.Reset();
  EXPECT_TRUE(sink.Snapshot().empty());
}

TEST_F(MetricsTest, InstalledSinkReceivesScopesAndFailuresStayInside) {
  const auto defaultSink = Metrics::GetDefaultSink();
  EXPECT_EQ(Metrics::GetSink(), defaultSink);
  const uint64_t before = defaultSink->Snapshot()[u"MetricsTest::Default"].count;
  { Metrics::Scope scope(u"MetricsTest::Default", 0x20001); }
  EXPECT_EQ(defaultSink->Snapshot()[u"MetricsTest::Default"].count, before + 1);

  auto installed = std::make_shared<Metrics::AggregatingSink>();
  Metrics::SetSink(installed);
  { Metrics::Scope scope(u"MetricsTest::Default", 0x20001); }
  EXPECT_EQ(installed->Snapshot()[u"MetricsTest::Default"].count, 1u);
  EXPECT_EQ(defaultSink->Snapshot()[u"MetricsTest::Default"].count, before + 1);

  Metrics::SetSink(std::make_shared<ThrowingSink>());
  Metrics::Capture capture;
  EXPECT_NO_THROW({ Metrics::Scope scope(u"broken", 0x20001); });
  EXPECT_EQ(capture.Scopes(u"broken").size(), 1u);

  Metrics::SetSink(nullptr);
  EXPECT_EQ(Metrics::GetSink(), defaultSink);
}

// The OpenMetrics export, parsed back with a strict line grammar: every line
// is a known metadata line, a sample of the family declared before it, or the
// final "# EOF"; histograms are cumulative and agree with their counts.
struct Sample {
  std::string name;  // metric name with its suffix
  std::string labels;
  std::string value;
};

// Parses the text; fails the test at the first line outside the grammar.
std::vector<Sample> ParseStrictly(const std::string& text) {
  static const std::regex kType(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|histogram))");
  static const std::regex kUnit(R"(# UNIT ([a-zA-Z_:][a-zA-Z0-9_:]*) ([a-z]+))");
  static const std::regex kHelp(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) [^\n]*)");
  static const std::regex kSample(
      R"(([a-zA-Z_:][a-zA-Z0-9_:]*)\{((?:[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*",?)*)\} ([0-9.eE+-]+|\+Inf))");
  std::vector<Sample> samples;
  std::istringstream lines(text);
  std::string line;
  std::string family;
  std::string type;
  bool ended = false;
  while (std::getline(lines, line)) {
    EXPECT_FALSE(ended) << "a line after # EOF: " << line;
    std::smatch match;
    if (line == "# EOF") {
      ended = true;
    } else if (std::regex_match(line, match, kType)) {
      family = match[1];
      type = match[2];
    } else if (std::regex_match(line, match, kUnit) || std::regex_match(line, match, kHelp)) {
      EXPECT_EQ(match[1].str(), family) << "metadata of another family: " << line;
    } else if (std::regex_match(line, match, kSample)) {
      const std::string name = match[1];
      const std::string suffix = name.substr(std::min(name.size(), family.size()));
      EXPECT_EQ(name.compare(0, family.size(), family), 0) << "sample outside its family: " << line;
      if (type == "histogram") {
        EXPECT_TRUE(suffix == "_bucket" || suffix == "_count" || suffix == "_sum") << line;
      } else {
        EXPECT_EQ(suffix, "_total") << line;
      }
      samples.push_back({name, match[2], match[3]});
    } else {
      ADD_FAILURE() << "line outside the grammar: [" << line << "]";
    }
  }
  EXPECT_TRUE(ended) << "no # EOF";
  EXPECT_EQ(text.back(), '\n');
  return samples;
}

TEST(OpenMetricsTest, ScopesRenderAsCumulativeHistogramsAndCountersThatParseStrictly) {
  auto sink = std::make_shared<Metrics::AggregatingSink>();
  Metrics::SetSink(sink);
  const std::string odd = "odd \"name\" \\ with\nline";
  for (int i = 0; i < 5; ++i) {
    Metrics::Scope scope(u"ec-load", Metrics::kAllCategories);
    scope.SetAttribute(u"outcome", TString(i < 3 ? u"hit" : u"miss"));
  }
  { Metrics::Scope scope(TString::fromStdString(odd), Metrics::kAllCategories); }
  Metrics::SetSink(nullptr);

  const std::vector<Sample> samples = ParseStrictly(Metrics::RenderOpenMetrics(sink->SeriesSnapshot()));
  std::map<std::string, std::vector<Sample>> byLabels;  // buckets per series, in order
  std::map<std::string, std::string> counts;
  std::map<std::string, std::string> totals;
  for (const Sample& sample : samples) {
    if (sample.name == "kelcache_operation_duration_seconds_bucket") {
      byLabels[sample.labels.substr(0, sample.labels.find(",le="))].push_back(sample);
    } else if (sample.name == "kelcache_operation_duration_seconds_count") {
      counts[sample.labels] = sample.value;
    } else if (sample.name == "kelcache_operations_total") {
      totals[sample.labels] = sample.value;
    }
  }
  const std::string hit = R"(scope="ec-load",outcome="hit")";
  const std::string miss = R"(scope="ec-load",outcome="miss")";
  const std::string escaped = R"(scope="odd \"name\" \\ with\nline")";
  EXPECT_EQ(counts[hit], "3");
  EXPECT_EQ(counts[miss], "2");
  EXPECT_EQ(counts[escaped], "1");
  EXPECT_EQ(totals, counts);
  for (const auto& [labels, buckets] : byLabels) {
    SCOPED_TRACE(labels);
    ASSERT_EQ(buckets.size(), Metrics::kDurationBucketCount);
    EXPECT_NE(buckets.front().labels.find("le=\"0.0001\""), std::string::npos);
    EXPECT_NE(buckets.back().labels.find("le=\"+Inf\""), std::string::npos);
    for (size_t i = 1; i < buckets.size(); ++i) {
      EXPECT_LE(std::stoull(buckets[i - 1].value), std::stoull(buckets[i].value)) << "not cumulative";
    }
    EXPECT_EQ(buckets.back().value, counts[labels]);
  }
}

TEST(OpenMetricsTest, EachDurationLandsInTheFirstBucketWhoseBoundHoldsIt) {
  const double cases[][2] = {{0.05, 0}, {0.1, 0}, {0.11, 1}, {1, 3}, {10000, 15}, {10001, 16}};
  for (const auto& [durationMs, bucket] : cases) {
    SCOPED_TRACE(durationMs);
    Metrics::AggregatingSink sink;
    Metrics::ScopeRecord record;
    record.name = u"s";
    record.durationMs = durationMs;
    sink.OnScopeClosed(record);
    const std::vector<Metrics::DurationSeries> series = sink.SeriesSnapshot();
    ASSERT_EQ(series.size(), 1u);
    EXPECT_EQ(series[0].buckets[static_cast<size_t>(bucket)], 1u);
    EXPECT_EQ(series[0].outcome, TString());
  }
}

}  // namespace
