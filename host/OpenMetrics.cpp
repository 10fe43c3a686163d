#include "host/OpenMetrics.h"

#include <charconv>
#include <string>

namespace Metrics {

namespace {

constexpr const char* kDuration = "kelcache_operation_duration_seconds";
constexpr const char* kOperations = "kelcache_operations";

std::string EscapeLabelValue(const TString& value) {
  std::string escaped;
  // Valid UTF-8 (a lone surrogate as U+FFFD): the exposition is declared
  // UTF-8, and one bad byte makes a scraper reject all of it.
  for (char ch : value.toValidUtf8()) {
    if (ch == '\\') {
      escaped += "\\\\";
    } else if (ch == '"') {
      escaped += "\\\"";
    } else if (ch == '\n') {
      escaped += "\\n";
    } else {
      escaped += ch;
    }
  }
  return escaped;
}

// `scope="...",outcome="..."`: the labels every sample of a series shares.
std::string SeriesLabels(const DurationSeries& series) {
  std::string labels = "scope=\"" + EscapeLabelValue(series.scope) + "\"";
  if (!series.outcome.empty()) labels += ",outcome=\"" + EscapeLabelValue(series.outcome) + "\"";
  return labels;
}

// A number as OpenMetrics writes it: the fewest significant digits (%g
// style) that read back as the same value, at most 17. std::to_chars and
// std::from_chars ignore the process's numeric locale, which a scraper
// cannot know.
std::string Number(double value) {
  char text[32];
  for (int precision = 1;; ++precision) {
    char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::general, precision).ptr;
    double readBack = 0;
    std::from_chars(text, end, readBack);
    if (readBack == value || precision == 17) return std::string(text, static_cast<size_t>(end - text));
  }
}

}  // namespace

std::string RenderOpenMetrics(const std::vector<DurationSeries>& series) {
  std::string out;
  out += std::string("# TYPE ") + kDuration + " histogram\n";
  out += std::string("# UNIT ") + kDuration + " seconds\n";
  out += std::string("# HELP ") + kDuration + " Duration of kelcache operations by scope and outcome.\n";
  for (const DurationSeries& one : series) {
    const std::string labels = SeriesLabels(one);
    uint64_t cumulative = 0;
    for (size_t bucket = 0; bucket < kDurationBucketCount; ++bucket) {
      cumulative += one.buckets[bucket];
      const std::string bound =
          bucket + 1 < kDurationBucketCount ? Number(kDurationBucketsMs[bucket] / 1000.0) : std::string("+Inf");
      out += std::string(kDuration) + "_bucket{" + labels + ",le=\"" + bound + "\"} " + std::to_string(cumulative) +
             "\n";
    }
    out += std::string(kDuration) + "_count{" + labels + "} " + std::to_string(one.count) + "\n";
    out += std::string(kDuration) + "_sum{" + labels + "} " + Number(one.totalMs / 1000.0) + "\n";
  }
  out += std::string("# TYPE ") + kOperations + " counter\n";
  out += std::string("# HELP ") + kOperations + " kelcache operations by scope and outcome.\n";
  for (const DurationSeries& one : series) {
    out += std::string(kOperations) + "_total{" + SeriesLabels(one) + "} " + std::to_string(one.count) + "\n";
  }
  out += "# EOF\n";
  return out;
}

std::string RenderOpenMetrics() {
  return RenderOpenMetrics(GetDefaultSink()->SeriesSnapshot());
}

}  // namespace Metrics
