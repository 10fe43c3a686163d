#include "public/caching/CoherenceMetrics.h"

#include <utility>

namespace kelvra::caching {

namespace {

// Each metrics field with its key in the lookup table.
template <class Metrics>
using Field = std::pair<const char16_t*, uint64_t Metrics::*>;

constexpr Field<OnAddedMetrics> kAddedFields[] = {
    {u"on-added-ms", &OnAddedMetrics::totalMs},
    {u"on-added-lock-ms", &OnAddedMetrics::lockMs},
    {u"on-added-dirty-ms", &OnAddedMetrics::dirtyMs},
    {u"on-added-prune-ms", &OnAddedMetrics::pruneMs},
    {u"on-added-publish-ms", &OnAddedMetrics::publishMs},
};

constexpr Field<OnRemovedMetrics> kRemovedFields[] = {
    {u"on-removed-ms", &OnRemovedMetrics::totalMs},
    {u"on-removed-guid-count", &OnRemovedMetrics::guidCount},
    {u"on-removed-lock-ms", &OnRemovedMetrics::lockMs},
    {u"on-removed-prune-ms", &OnRemovedMetrics::pruneMs},
};

template <class Metrics, size_t N>
void SetFields(const Metrics& metrics, const Field<Metrics> (&fields)[N],
               std::unordered_map<TString, TString>& table) {
  for (const auto& [key, member] : fields) table.insert_or_assign(TString(key), TString::number(metrics.*member, 10));
}

}  // namespace

void AddMetrics(OnRemovedMetrics& into, const OnRemovedMetrics& add) {
  for (const auto& field : kRemovedFields) into.*field.second += add.*field.second;
}

std::unordered_map<TString, TString> StringLookupTableFromMetrics(const OnRemovedMetrics& metrics) {
  std::unordered_map<TString, TString> table;
  UpdateStringLookupTableWithMetrics(metrics, table);
  return table;
}

void UpdateStringLookupTableWithMetrics(const OnAddedMetrics& metrics,
                                        std::unordered_map<TString, TString>& table) {
  SetFields(metrics, kAddedFields, table);
}

void UpdateStringLookupTableWithMetrics(const OnRemovedMetrics& metrics,
                                        std::unordered_map<TString, TString>& table) {
  SetFields(metrics, kRemovedFields, table);
}

}  // namespace kelvra::caching
