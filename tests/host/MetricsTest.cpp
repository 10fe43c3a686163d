// The metrics scopes: the category test, attributes, the aggregating sink,
// installed sinks and captures; then the OpenMetrics export.
#include "host/Metrics.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/OpenMetrics.h"
#include "host/TString.h"
#include "tests/support/TestEnvironment.h"

namespace {

using ::testing::HasSubstr;

struct ThrowingSink : Metrics::ISink {
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

TEST_F(MetricsTest, ScopeOpensOnlyForAnEnabledCategoryAndKeepsAttributesOnlyWhileOpen) {
  EXPECT_FALSE(Metrics::TestBitsAndContext(0));
  Metrics::SetEnabledMask(0x20000);
  EXPECT_TRUE(Metrics::TestBitsAndContext(0x80000020001));
  EXPECT_FALSE(Metrics::TestBitsAndContext(0x80000000001));

  Metrics::Capture capture;
  {
    Metrics::Scope closed(u"disabled", 0x80000000001);
    EXPECT_FALSE(closed.IsOpen());
    closed.SetAttribute(u"ignored", 1);
    Metrics::Scope scope(u"ec-store", 0x80000020001);
    EXPECT_TRUE(scope.IsOpen());
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
  }  // the destructors deliver nothing more
  const auto records = capture.Records();
  ASSERT_EQ(records.size(), 1u);
  const Metrics::ScopeRecord& record = records[0];
  EXPECT_EQ(record.name, u"ec-store");
  EXPECT_EQ(record.mask, 0x80000020001u);
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
  for (double ms : {1.0, 3.0, 2.0}) sink.OnScopeClosed({.name = u"RedisPubsub::OnAdded", .durationMs = ms});
  sink.OnScopeClosed({.name = u"ec-load", .durationMs = 0.25});

  EXPECT_EQ(sink.Render().toStdString(),
            "scope                     count       total-ms       max-ms      mean-ms\n"
            "RedisPubsub::OnAdded          3          6.000        3.000        2.000\n"
            "ec-load                       1          0.250        0.250        0.250\n");

  // However long a name, the header stays one line and the columns line up.
  const std::string longName(150, 'n');
  sink.OnScopeClosed({.name = TString::fromStdString(longName), .durationMs = 1.5});
  const std::string table = sink.Render().toStdString();
  EXPECT_EQ(table.substr(0, table.find('\n')),
            "scope" + std::string(145, ' ') + "      count       total-ms       max-ms      mean-ms");
  EXPECT_THAT(table, HasSubstr("\n" + longName + "          1          1.500        1.500        1.500\n"));

  sink.Reset();
  EXPECT_TRUE(sink.Snapshot().empty());
}

TEST_F(MetricsTest, InstalledSinkReceivesScopesAndFailuresStayInside) {
  const auto defaultSink = Metrics::GetDefaultSink();
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
  std::string line, family, type;
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

// A host may set a numeric locale with a decimal comma (a desktop client
// may); the library's decimal texts are read by programs and keep their
// point. The test makes a German locale of its own (localedef, from the
// Debian package locales) and sets it for the process while it runs.
TEST(DecimalTexts, KeepTheirPointUnderACommaLocale) {
  const kelcache_test::TempDir folder;
  const std::string command = "localedef -i de_DE -f UTF-8 '" + folder.str() + "/de_DE.UTF-8' >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0)
      << "localedef could not make de_DE.UTF-8 (Debian package locales)";
  setenv("LOCPATH", folder.str().c_str(), 1);
  struct Restore {
    ~Restore() {
      std::setlocale(LC_NUMERIC, "C");
      unsetenv("LOCPATH");
    }
  } restore;
  ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
  char probe[8];
  std::snprintf(probe, sizeof probe, "%.1f", 0.5);
  ASSERT_STREQ(probe, "0,5") << "the comma locale is not in force";

  EXPECT_EQ(TString::number(0.5), TString(u"0.5"));
  Metrics::AggregatingSink sink;
  sink.OnScopeClosed({.name = u"ec-load", .durationMs = 0.25});
  EXPECT_THAT(sink.Render().toStdString(), HasSubstr(" 0.250 "));
  EXPECT_THAT(Metrics::RenderOpenMetrics(sink.SeriesSnapshot()), HasSubstr(" 0.00025\n"));
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
  {
    Metrics::Scope scope(u"lone", Metrics::kAllCategories);
    scope.SetAttribute(u"outcome", TString(std::u16string(1, char16_t{0xD800})));  // a lone surrogate
  }
  Metrics::SetSink(nullptr);

  const std::vector<Sample> samples = ParseStrictly(Metrics::RenderOpenMetrics(sink->SeriesSnapshot()));
  std::map<std::string, std::vector<Sample>> byLabels;                     // buckets per series, in order
  std::map<std::string, std::map<std::string, std::string>> valuesByName;  // name, then labels
  for (const Sample& sample : samples) {
    valuesByName[sample.name][sample.labels] = sample.value;
    if (sample.name == "kelcache_operation_duration_seconds_bucket")
      byLabels[sample.labels.substr(0, sample.labels.find(",le="))].push_back(sample);
  }
  auto& counts = valuesByName["kelcache_operation_duration_seconds_count"];
  EXPECT_EQ(counts, (std::map<std::string, std::string>{{R"(scope="ec-load",outcome="hit")", "3"},
                                                        {R"(scope="ec-load",outcome="miss")", "2"},
                                                        {R"(scope="odd \"name\" \\ with\nline")", "1"},
                                                        {"scope=\"lone\",outcome=\"\xEF\xBF\xBD\"", "1"}}));
  EXPECT_EQ(valuesByName["kelcache_operations_total"], counts);
  ASSERT_EQ(byLabels.size(), counts.size()) << "one histogram per series";
  for (const auto& [labels, buckets] : byLabels) {
    SCOPED_TRACE(labels);
    ASSERT_EQ(buckets.size(), Metrics::kDurationBucketCount);
    EXPECT_THAT(buckets.front().labels, HasSubstr("le=\"0.0001\""));
    EXPECT_THAT(buckets.back().labels, HasSubstr("le=\"+Inf\""));
    for (size_t i = 1; i < buckets.size(); ++i)
      EXPECT_LE(std::stoull(buckets[i - 1].value), std::stoull(buckets[i].value)) << "not cumulative";
    EXPECT_EQ(buckets.back().value, counts[labels]);
  }
}

TEST(OpenMetricsTest, EachDurationLandsInTheFirstBucketWhoseBoundHoldsIt) {
  const double cases[][2] = {{0.05, 0}, {0.1, 0}, {0.11, 1}, {1, 3}, {10000, 15}, {10001, 16}};
  for (const auto& [durationMs, bucket] : cases) {
    SCOPED_TRACE(durationMs);
    Metrics::AggregatingSink sink;
    sink.OnScopeClosed({.name = u"s", .durationMs = durationMs});
    const auto series = sink.SeriesSnapshot();
    ASSERT_EQ(series.size(), 1u);
    EXPECT_EQ(series[0].buckets[static_cast<size_t>(bucket)], 1u);
    EXPECT_EQ(series[0].outcome, TString());
  }
}

}  // namespace
