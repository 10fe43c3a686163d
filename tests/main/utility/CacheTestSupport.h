// Cached records, policies, a clock and helpers shared by the in-memory
// cache tests, and what they reach inside IndexedCache.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "main/utility/CacheHelpers.h"
#include "main/utility/IndexedCache.h"
#include "main/utility/KelCacheData.h"

namespace cache_test {

using namespace CacheHelpers;

// A clock set by the test, starting at `start`; Increment adds a step;
// reports its destruction.
struct ManualClock : CacheHelpers::IClock {
  explicit ManualClock(uint64_t step = 1, uint64_t start = 0, bool* destroyed = nullptr)
      : m_time(start), m_step(step), m_destroyed(destroyed) {}
  ~ManualClock() override {
    if (m_destroyed) *m_destroyed = true;
  }
  uint64_t GetTime() override { return m_time; }
  void Increment() override { m_time += m_step; }
  uint64_t m_time;
  uint64_t m_step;
  bool* m_destroyed;
};

// A policy whose Purge fails.
struct Throwing : CacheHelpers::IPolicy {
  EntrySet Purge(EntrySet::const_iterator, EntrySet::const_iterator, uint64_t) override {
    throw std::runtime_error("policy failed");
  }
};

inline std::set<unsigned> IdsOf(const EntrySet& set) {
  std::set<unsigned> ids;
  for (const CacheHelpers::Entry& entry : set) ids.insert(entry.GetID());
  return ids;
}

// A cached record; region is what the "Region" index lists it under, and its
// value is also the memory it reports. Records are counted while they live,
// and a destroyed one is marked so that a use after free shows up even
// without a sanitizer.
struct Record : KelCacheData {
  Record(std::string region, int value, bool* destroyed = nullptr)
      : m_region(std::move(region)), m_value(value), m_destroyed(destroyed) {
    SetMemoryUsage(static_cast<uint64_t>(value));
    ++s_live;
  }
  ~Record() override {
    m_alive = 0;
    --s_live;
    if (m_destroyed) *m_destroyed = true;
  }
  static constexpr uint32_t kAlive = 0xA11FE;
  static inline std::atomic<int> s_live{0};
  std::string m_region;
  int m_value;
  bool* m_destroyed;
  uint32_t m_alive = kAlive;
};

inline RefCntPtr<RefCntObject> MakeRecord(const std::string& region, int value = 0,
                                          bool* destroyed = nullptr) {
  return RefCntPtr<RefCntObject>(new Record(region, value, destroyed));
}
inline const Record& RecordOf(const Entry& entry) {
  const Record& record = static_cast<const Record&>(*entry.GetData());
  EXPECT_EQ(record.m_alive, Record::kAlive) << "a record used after it was freed";
  return record;
}
inline bool HoldsRecord(const Entry& entry) {
  return dynamic_cast<const Record*>(entry.GetData().get()) != nullptr;
}
// The region of an entry's record ("" for other data); the key function of
// the index "Region".
inline TString RegionOf(const Entry& entry) {
  return HoldsRecord(entry) ? TString::fromStdString(RecordOf(entry).m_region) : TString();
}
inline int ValueOf(const RefCntPtr<RefCntObject>& data) {
  return data ? static_cast<Record&>(*data).m_value : -1;
}

// A predicate naming an index and key and testing records (other data never
// matches); it logs the ids it judged, runs m_inside in every judgement, may
// throw on a given call and may claim an index it does not name.
struct Probe : EntryPredicate {
  Probe(TString index, TString key, std::function<bool(const Record&)> test)
      : m_index(std::move(index)), m_key(std::move(key)), m_test(std::move(test)) {}
  bool Matches(const Entry& entry) override {
    m_seen.push_back(entry.GetID());
    if (static_cast<int>(m_seen.size()) == m_throwOnCall) throw std::runtime_error("predicate failed");
    if (m_inside) m_inside(entry);
    return HoldsRecord(entry) && m_test(RecordOf(entry));
  }
  TString GetIndexName() override { return m_index; }
  TString GetKeyForIndexing() override { return m_key; }
  bool HasIndex() const override { return m_claimsIndex; }

  TString m_index;
  TString m_key;
  std::function<bool(const Record&)> m_test;
  std::vector<unsigned> m_seen;
  std::function<void(const Entry&)> m_inside;
  int m_throwOnCall = -1;
  bool m_claimsIndex = false;
};

// Predicates that name no index: a test of the record, and one of its value.
inline std::shared_ptr<Probe> Unindexed(std::function<bool(const Record&)> test) {
  return std::make_shared<Probe>(TString(), TString(), std::move(test));
}
inline std::shared_ptr<Probe> ValueIs(int value) {
  return Unindexed([value](const Record& r) { return r.m_value == value; });
}
// `probe` (by default one that accepts every record), made to throw on its
// call number `call`.
inline std::shared_ptr<Probe> ThrowingOnCall(int call, std::shared_ptr<Probe> probe = nullptr) {
  if (!probe) probe = Unindexed([](const Record&) { return true; });
  probe->m_throwOnCall = call;
  return probe;
}

// One hook call as a policy received it.
struct Call {
  std::string what;
  unsigned id = 0;     // the entry's id (the size of the set or range for "catalog" and "purge")
  uint64_t clock = 0;  // the entry's clock ("purge": now)
  bool operator==(const Call& other) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const Call& call) {
  return out << call.what << "(" << call.id << ", " << call.clock << ")";
}
using Calls = std::vector<Call>;

// Logs every call of the policy protocol with the id and clock it received.
// With tracking on it claims TracksEntries and names m_victims for purges;
// with tracking off its Purge keeps everything except m_victims (restamped
// to m_marker when set, so that a test can tell its copies from the
// cache's). It can also watch a cache to tell where the entry stands when a
// hook arrives, and run m_onPurge inside each Purge.
struct RecordingPolicy : IPolicy {
  explicit RecordingPolicy(bool tracks = false) : m_tracks(tracks) {}

  EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last, uint64_t now) override {
    m_calls.push_back({"purge", static_cast<unsigned>(std::distance(first, last)), now});
    if (m_onPurge) m_onPurge();
    EntrySet kept;
    for (; first != last; ++first) {
      if (m_victims.count(*first)) continue;
      Entry copy = *first;
      if (m_marker) copy.Use(m_marker);
      kept.insert(copy);
    }
    return kept;
  }
  void OnEntryAdded(const Entry& entry) override {
    m_calls.push_back({"added", entry.GetID(), entry.GetClock()});
  }
  void OnEntryDeleted(const Entry& entry) override {
    m_calls.push_back({"deleted", entry.GetID(), entry.GetClock()});
    if (m_watched) {
      const IndexedCacheData& data = m_watched->GetCacheData();
      m_deletedWhileStored.push_back(data.m_entries.count(entry) == 1);
      m_deletedWhileIndexed.push_back(data.m_entryIndexKeys.count(entry.GetID()) == 1);
    }
    if (m_throwOnDelete) throw std::runtime_error("hook failed");
  }
  void OnEntryUsed(const Entry& entry) override {
    m_calls.push_back({"used", entry.GetID(), entry.GetClock()});
  }
  bool HasCapability(Capability capability) override {
    m_calls.push_back({"capability", static_cast<unsigned>(capability), 0});
    return m_tracks && capability == TracksEntries;
  }
  EntrySet ComputeEntriesToPurge() override {
    m_calls.push_back({"compute", 0, 0});
    return m_victims;
  }
  void CatalogCacheEntries(const EntrySet& entries) override {
    m_calls.push_back({"catalog", static_cast<unsigned>(entries.size()), 0});
    if (m_watched) m_installedDuringCatalog = m_watched->GetPolicy();
    IPolicy::CatalogCacheEntries(entries);
  }

  Calls Take() { return std::exchange(m_calls, {}); }

  bool m_tracks;
  bool m_throwOnDelete = false;
  uint64_t m_marker = 0;
  EntrySet m_victims;
  Calls m_calls;
  IndexedCache* m_watched = nullptr;
  std::vector<bool> m_deletedWhileStored;
  std::vector<bool> m_deletedWhileIndexed;
  std::shared_ptr<IPolicy> m_installedDuringCatalog;
  std::function<void()> m_onPurge;
};

template <class C>
std::map<unsigned, uint64_t> ClocksById(C& cache) {
  std::map<unsigned, uint64_t> clocks;
  for (const Entry& entry : cache.GetEntries()) clocks[entry.GetID()] = entry.GetClock();
  return clocks;
}

}  // namespace cache_test

// What these tests reach inside IndexedCache (a friend of it): the
// replacement step that SynchronizedIndexedCache uses, and a check that the
// private hint table agrees with the public listings.
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
