// Tests of the host logging: line formats, JSON escaping, level filtering,
// captures, logged exceptions, and the configuration from the environment
// (asynchronous mode and its flush at exit included), and the rate limiter;
// then the metrics scopes: the category test, attributes, the aggregating
// sink, installed sinks and captures, and the OpenMetrics export.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/Errors.h"
#include "host/LogCapture.h"
#include "host/LogFormat.h"
#include "host/LogRateLimiter.h"
#include "host/Metrics.h"
#include "host/OpenMetrics.h"
#include "host/TLog.h"
#include "tests/support/TestEnvironment.h"

namespace {

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

  kelcache_test::TempDir m_dir;
  std::string LogPath(const std::string& name = "kelcache.log") const {
    return (m_dir.path() / name).string();
  }
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
  EXPECT_TRUE(capture.ContainsLine(u"1 of two"));
  EXPECT_FALSE(capture.ContainsLine(u"ec-load"));  // events are not lines
  capture.Clear();
  EXPECT_TRUE(capture.Records().empty());
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
  TLog::SetLevel(TLog::Debug);
  EXPECT_EQ(accepted(), "yyyy");
  TLog::SetLevel(TLog::Error);
  EXPECT_EQ(accepted(), "---y");
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

// When EnvironmentConfiguresTheFirstUse starts this executable with
// KELCACHE_TLOG_TEST_CHILD set, it logs under the settings that the
// environment gave and exits before any test runs. It does not flush: the
// handler run at exit must write out the queued lines.
const bool kRanAsChild = [] {
  if (std::getenv("KELCACHE_TLOG_TEST_CHILD") == nullptr) return false;
  const bool configured = TLog::GetLevel() == TLog::Debug && TLog::IsAsynchronous();
  for (int i = 0; i < 100; ++i) {
    LogMessage(TLog::Debug, TFormatString(u"debug from the environment %1").arg(i));
  }
  std::exit(configured ? 0 : 3);
}();

TEST(TLogEnvironment, EnvironmentConfiguresTheFirstUse) {
  kelcache_test::TempDir dir;
  const std::string path = (dir.path() / "env.log").string();
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string command =
      "KELCACHE_TLOG_TEST_CHILD=1 KELCACHE_LOG_LEVEL=DEBUG KELCACHE_LOG_ASYNC=1 "
      "KELCACHE_LOG_FILE='" +
      path + "' '" + self + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
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

  EXPECT_EQ(sink.Snapshot().size(), 2u);
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
