// KelvraCounters: process-wide counters of the host that the library adds to
// and sets, for the host's diagnostics:
//
//   RedisPubsubWastedMessages   coherence messages that found nothing to do
//                               here (and the service's start-up cost)
//   RedisPubsubSavedMessages    coherence additions that were the first local
//                               entry of their key hash, plus pruned key hashes
//   RedisPubsubPlaceholderSize  size of the coherence service's set of
//                               "removed before added" placeholders
//
// Usage: KelvraCounters::RedisPubsubWastedMessages += 2; or .store(n).
// Thread rules: each counter is a std::atomic<int64_t>; use from any thread.
// They start at 0, live for the life of the process, and are constant-
// initialised, so they may be used from static initialisers.
#pragma once

#include <atomic>
#include <cstdint>

#include "host/Export.h"

namespace KelvraCounters {

KELCACHE_EXPORT extern std::atomic<int64_t> RedisPubsubWastedMessages;
KELCACHE_EXPORT extern std::atomic<int64_t> RedisPubsubSavedMessages;
KELCACHE_EXPORT extern std::atomic<int64_t> RedisPubsubPlaceholderSize;

}  // namespace KelvraCounters
