// CacheHelpers: the building blocks of the in-memory caches, in one include.
//
// - CacheEntry.h: Entry (id, cached object, clock), EntryHash, EntryLess,
//   EntrySet.
// - EntryPredicates.h: EntryPredicate, BooleanEntryPredicate,
//   LifetimePredicate, EntryPredicateBinder.
// - CacheClocks.h: IClock, BasicClockObject, SystemBasedClock,
//   CreateBasicClock, CreateSystemClock.
// - CachePolicies.h: IPolicy, MRUPolicy, LifetimePolicy,
//   EntryPredicatePolicy, CascadedPolicy.
// - KelCacheData.h: KelCacheData, the base of cached objects that report
//   their memory use (global namespace).
//
// Each header states its own thread and ownership rules; none of these types
// is synchronized except the entry id counter.
#pragma once

#include "main/utility/CacheClocks.h"
#include "main/utility/CacheEntry.h"
#include "main/utility/CachePolicies.h"
#include "main/utility/EntryPredicates.h"
#include "main/utility/KelCacheData.h"

// The caches' signatures name the entry set without the namespace.
using EntrySet = CacheHelpers::EntrySet;
