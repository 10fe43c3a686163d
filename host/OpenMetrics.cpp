#include "host/OpenMetrics.h"

#include <cstdio>
#include <cstdlib>

namespace Metrics {

namespace {

constexpr const char* kDuration = "kelcache_operation_duration_seconds";
constexpr const char* kOperations = "kelcache_operations";

std::string EscapeLabelValue(const TString& value) {
  std::string escaped;
  for (char ch : value.toStdString()) {
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

// A number as OpenMetrics writes it: shortest round-trip form for floats.
std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  // Prefer the short form when it reads back as the same value.
  char shorter[32];
  for (int precision = 1; precision < 17; ++precision) {
    std::snprintf(shorter, sizeof shorter, "%.*g", precision, value);
    if (std::strtod(shorter, nullptr) == value) return shorter;
  }
  return text;
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
