// The OpenMetrics export, parsed back with a strict line grammar: every line
// is a known metadata line, a sample of the family declared before it, or the
// final "# EOF"; histograms are cumulative and agree with their counts.
#include "host/OpenMetrics.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "host/Metrics.h"

namespace {

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
