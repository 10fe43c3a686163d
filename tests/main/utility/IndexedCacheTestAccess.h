// What the in-memory cache tests reach inside IndexedCache (a friend of it):
// the replacement step that SynchronizedIndexedCache uses, and a check that
// the private hint table agrees with the public listings.
#pragma once

#include <string>
#include <utility>

#include "main/utility/IndexedCache.h"

struct IndexedCacheTestAccess {
  // Deletes what pred matches and adds data, in one step.
  static std::pair<unsigned, EntrySet> Replace(IndexedCache& cache, CacheHelpers::EntryPredicate& pred,
                                               RefCntPtr<RefCntObject> data) {
    return cache.ReplaceEntries(pred, pred.GetIndexName(), pred.GetKeyForIndexing(), std::move(data));
  }

  // "" when the hint table holds one record per listing and no other, each
  // with its listing's size and smallest id; else what differs.
  static std::string HintMirrorProblem(IndexedCache& cache) {
    const auto& listings = cache.m_cacheData.m_indexedEntries;
    if (cache.m_hints.Size() != listings.size()) {
      return std::to_string(cache.m_hints.Size()) + " hint records for " + std::to_string(listings.size()) +
             " listings";
    }
    for (const auto& listing : listings) {
      const std::string key = listing.first.toStdString();
      const CacheHelpers::internal::HintRecord* record = cache.m_hints.Find(listing.first.u16());
      if (record == nullptr) return "no hint record for " + key;
      if (record->listing != &listing) return "the record of " + key + " names another listing";
      if (record->count != listing.second.size()) return "the record of " + key + " has a wrong count";
      if (listing.second.empty()) return "an empty listing " + key;
      const unsigned first = *listing.second.begin();
      if (record->first.id != first || record->first.entry == nullptr || record->first.entry->GetID() != first) {
        return "the first hint of " + key + " is not its smallest id";
      }
    }
    return "";
  }
};
