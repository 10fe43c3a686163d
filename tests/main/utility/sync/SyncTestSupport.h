// Objects, predicates and checks shared by the synchronized-cache tests (the
// records and the predicate are the in-memory cache tests').
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "host/TReadWriteLock.h"
#include "main/utility/CacheHelpers.h"
#include "main/utility/SynchronizedCache.h"
#include "main/utility/SynchronizedIndexedCache.h"
#include "tests/main/utility/CacheTestSupport.h"

namespace sync_test {

using cache_test::Record;
using cache_test::RegionOf;

// A record of `region` that reports `bytes`.
inline RefCntPtr<RefCntObject> MakeItem(const TString& region, uint64_t bytes = 100) {
  return cache_test::MakeRecord(region.toStdString(), static_cast<int>(bytes));
}

// Matches the records of one region; listed under "Region" when indexed.
// `inside` runs in every judgement.
inline std::shared_ptr<cache_test::Probe> Region(
    const TString& region, bool indexed, std::function<void(const CacheHelpers::Entry&)> inside = {}) {
  auto probe = std::make_shared<cache_test::Probe>(
      indexed ? TString(u"Region") : TString(), indexed ? region : TString(),
      [name = region.toStdString()](const Record& record) { return record.m_region == name; });
  probe->m_inside = std::move(inside);
  return probe;
}

// True when nobody holds `lock`, the calling thread included (then taken
// and released at once).
inline bool LockIsFree(TReadWriteLock& lock) {
  if (lock.IsLockedByCurrentThread() || !lock.TryLock()) return false;
  lock.Unlock();
  return true;
}

// The hinted lookup: TryGetEntry with a hint on the plain cache,
// TryGetEntryUpdateHint on the indexed one.
inline bool UpdateHint(SynchronizedCache& cache, std::shared_ptr<CacheHelpers::EntryPredicate> predicate,
                       unsigned& hint) {
  return cache.TryGetEntry(predicate, hint) != nullptr;
}
inline bool UpdateHint(SynchronizedIndexedCache& cache,
                       std::shared_ptr<CacheHelpers::EntryPredicate> predicate, unsigned& hint) {
  return cache.TryGetEntryUpdateHint(predicate, hint) != nullptr;
}

// The index `index` agrees with the entries: every entry is listed exactly
// once, under the key keyOf gives it, and no key is listed without entries.
inline void CheckIndexesAgree(const SynchronizedIndexedCache& cache, const TString& index,
                              const std::function<TString(const CacheHelpers::Entry&)>& keyOf) {
  EntrySet entries = cache.GetEntries();
  size_t listed = 0;
  for (const auto& [key, ids] : cache.GetIndexedEntries()) {
    EXPECT_FALSE(ids.empty()) << "an empty key is removed";
    for (unsigned id : ids) {
      auto found = entries.find(CacheHelpers::Entry(id));
      ASSERT_NE(found, entries.end()) << "an indexed id without an entry: " << id;
      EXPECT_EQ(key, index + TString(u"|") + keyOf(*found)) << "entry " << id;
      ++listed;
    }
  }
  EXPECT_EQ(listed, entries.size()) << "every entry is listed once under its key";
}

}  // namespace sync_test
