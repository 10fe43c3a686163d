// Timing and count records of the coherence service, and the functions that
// merge them and render them as key/value tables for structured log events.
//
// Every addition and removal that the coherence service handles returns one
// of these records to its caller; the host adds them up over many calls and
// writes them into its own events. Plain values: no thread rules of their own.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "host/Export.h"
#include "host/TString.h"

namespace kelvra::caching {

// Returned by ICacheCoherence::OnAdded. Durations in whole milliseconds.
struct OnAddedMetrics {
  uint64_t totalMs = 0;    // "on-added-ms": the whole addition (its scheduling only, when asynchronous)
  uint64_t lockMs = 0;     // "on-added-lock-ms": waiting for the service lock
  uint64_t dirtyMs = 0;    // "on-added-dirty-ms": marking the added entry dirty when it was stale
  uint64_t pruneMs = 0;    // "on-added-prune-ms": pruning evicted entries
  uint64_t publishMs = 0;  // "on-added-publish-ms": handing the message to the publish function
};

// Returned by ICacheCoherence::OnRemoved for a list of ids.
struct OnRemovedMetrics {
  uint64_t totalMs = 0;    // "on-removed-ms": the whole removal (its scheduling only, when asynchronous)
  uint64_t guidCount = 0;  // "on-removed-guid-count": number of entry ids in the request
  uint64_t lockMs = 0;     // "on-removed-lock-ms": waiting for the service lock
  uint64_t pruneMs = 0;    // "on-removed-prune-ms": pruning evicted entries
};

// Adds each field of `add` to the same field of `into` (guidCount included).
KELCACHE_EXPORT void AddMetrics(OnRemovedMetrics& into, const OnRemovedMetrics& add);

// A new table holding exactly the four keys of OnRemovedMetrics, values in decimal.
KELCACHE_EXPORT std::unordered_map<TString, TString> StringLookupTableFromMetrics(
    const OnRemovedMetrics& metrics);

// Set (insert or replace) the record's keys in `table`; other keys stay.
KELCACHE_EXPORT void UpdateStringLookupTableWithMetrics(const OnAddedMetrics& metrics,
                                                        std::unordered_map<TString, TString>& table);
KELCACHE_EXPORT void UpdateStringLookupTableWithMetrics(const OnRemovedMetrics& metrics,
                                                        std::unordered_map<TString, TString>& table);

}  // namespace kelvra::caching
