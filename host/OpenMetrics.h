// The aggregated metrics as OpenMetrics text, for a host to serve on its
// metrics endpoint (content type "application/openmetrics-text;
// version=1.0.0; charset=utf-8").
//
//   std::string body = Metrics::RenderOpenMetrics();
//
// Two metric families, labelled by the scope's name and, when the scope set
// one, its "outcome" attribute:
//
//   # TYPE kelcache_operation_duration_seconds histogram
//   # UNIT kelcache_operation_duration_seconds seconds
//   kelcache_operation_duration_seconds_bucket{scope="ec-load",outcome="hit",le="0.0001"} 3
//   ...
//   kelcache_operation_duration_seconds_bucket{scope="ec-load",outcome="hit",le="+Inf"} 12
//   kelcache_operation_duration_seconds_count{scope="ec-load",outcome="hit"} 12
//   kelcache_operation_duration_seconds_sum{scope="ec-load",outcome="hit"} 0.0421
//   # TYPE kelcache_operations counter
//   kelcache_operations_total{scope="ec-load",outcome="hit"} 12
//   # EOF
//
// Buckets are cumulative, in seconds (Metrics::kDurationBucketsMs / 1000).
// Label values escape backslash, double quote and line feed.
//
// Thread rules: thread-safe; renders a snapshot taken under the sink's lock.
#pragma once

#include <string>
#include <vector>

#include "host/Export.h"
#include "host/Metrics.h"

namespace Metrics {

// The series as OpenMetrics text, ending with "# EOF\n".
KELCACHE_EXPORT std::string RenderOpenMetrics(const std::vector<DurationSeries>& series);
// The default aggregating sink's series (GetDefaultSink()) as OpenMetrics text.
KELCACHE_EXPORT std::string RenderOpenMetrics();

}  // namespace Metrics
