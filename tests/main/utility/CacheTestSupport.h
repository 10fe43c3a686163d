// Cached records, policies, a clock and helpers shared by the in-memory
// cache tests.
#pragma once

#include <functional>
#include <iterator>
#include <map>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "main/utility/CacheHelpers.h"
#include "main/utility/IndexedCache.h"

namespace cache_test {

using namespace CacheHelpers;

// A clock set by the test; Increment adds a step; reports its destruction.
class ManualClock : public CacheHelpers::IClock {
 public:
  explicit ManualClock(uint64_t step = 1, bool* destroyed = nullptr) : m_step(step), m_destroyed(destroyed) {}
  ~ManualClock() override {
    if (m_destroyed) *m_destroyed = true;
  }
  uint64_t GetTime() override { return m_time; }
  void Increment() override { m_time += m_step; }
  uint64_t m_time = 0;

 private:
  uint64_t m_step;
  bool* m_destroyed;
};

// A policy whose Purge fails.
class Throwing : public CacheHelpers::IPolicy {
 public:
  EntrySet Purge(EntrySet::const_iterator, EntrySet::const_iterator, uint64_t) override {
    throw std::runtime_error("policy failed");
  }
};

inline std::set<unsigned> IdsOf(const EntrySet& set) {
  std::set<unsigned> ids;
  for (const CacheHelpers::Entry& entry : set) ids.insert(entry.GetID());
  return ids;
}

// A cached record; region is what the "Region" index lists it under.
class Record : public RefCntObject {
 public:
  Record(std::string region, int value, bool* destroyed = nullptr)
      : m_region(std::move(region)), m_value(value), m_destroyed(destroyed) {}
  ~Record() override {
    if (m_destroyed) *m_destroyed = true;
  }
  std::string m_region;
  int m_value;
  bool* m_destroyed;
};

inline RefCntPtr<RefCntObject> MakeRecord(const std::string& region, int value = 0,
                                          bool* destroyed = nullptr) {
  return RefCntPtr<RefCntObject>(new Record(region, value, destroyed));
}
inline const Record& RecordOf(const Entry& entry) {
  return static_cast<const Record&>(*entry.GetData());
}
inline int ValueOf(const RefCntPtr<RefCntObject>& data) {
  return data ? static_cast<Record&>(*data).m_value : -1;
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
class RecordingPolicy : public IPolicy {
 public:
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
