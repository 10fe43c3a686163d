#include "public/caching/CoherenceMetrics.h"

namespace kelvra::caching {

namespace {
void Set(std::unordered_map<TString, TString>& table, const char16_t* key, uint64_t value) {
  table.insert_or_assign(TString(key), TString::number(value, 10));
}
}  // namespace

void AddMetrics(OnRemovedMetrics& into, const OnRemovedMetrics& add) {
  into.totalMs += add.totalMs;
  into.guidCount += add.guidCount;
  into.lockMs += add.lockMs;
  into.pruneMs += add.pruneMs;
}

std::unordered_map<TString, TString> StringLookupTableFromMetrics(const OnRemovedMetrics& metrics) {
  std::unordered_map<TString, TString> table;
  UpdateStringLookupTableWithMetrics(metrics, table);
  return table;
}

void UpdateStringLookupTableWithMetrics(const OnAddedMetrics& metrics,
                                        std::unordered_map<TString, TString>& table) {
  Set(table, u"on-added-ms", metrics.totalMs);
  Set(table, u"on-added-lock-ms", metrics.lockMs);
  Set(table, u"on-added-dirty-ms", metrics.dirtyMs);
  Set(table, u"on-added-prune-ms", metrics.pruneMs);
  Set(table, u"on-added-publish-ms", metrics.publishMs);
}

void UpdateStringLookupTableWithMetrics(const OnRemovedMetrics& metrics,
                                        std::unordered_map<TString, TString>& table) {
  Set(table, u"on-removed-ms", metrics.totalMs);
  Set(table, u"on-removed-guid-count", metrics.guidCount);
  Set(table, u"on-removed-lock-ms", metrics.lockMs);
  Set(table, u"on-removed-prune-ms", metrics.pruneMs);
}

}  // namespace kelvra::caching
