// CacheHelpers::Entry and EntrySet: how the in-memory caches hold their items.
//
// An Entry is one cached item: a process-unique 32-bit id (0 means "no
// entry"), a reference to the cached object and the clock value of the
// entry's creation or last use. Identity, hashing and equality look at the id
// only, so an Entry(id) probe finds the stored entry in an EntrySet, and the
// clock can be restamped while the entry sits in a set.
//
// Ownership: an Entry holds one reference to its object. Copying an entry adds
// a reference, destroying it releases one; the object lives as long as any
// entry copy or returned RefCntPtr refers to it.
//
// Thread rules: Entry, EntryHash, EntryLess and EntrySet are plain values and
// are not synchronized; the cache that holds them says which lock guards them.
// The id counter s_guid is the only shared state and is atomic, so entries may
// be created on any number of threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <unordered_set>
#include <utility>

#include "host/Export.h"
#include "host/RefCnt.h"

namespace CacheHelpers {

class KELCACHE_EXPORT Entry {
 public:
  // The empty entry (id 0, no data, clock 0): what lookups return on a miss.
  Entry() = default;
  // A probe with the given id and neither data nor clock; equal to any entry
  // with that id. Does not touch the id counter.
  // Not explicit: an id converts to its probe, as in set.find(5).
  Entry(unsigned id) : m_id(id) {}  // NOLINT(google-explicit-constructor)
  // A new entry: takes the next id from s_guid and the reference passed in.
  Entry(RefCntPtr<RefCntObject> data, uint64_t clock);

  Entry(const Entry&) = default;
  Entry(Entry&&) noexcept = default;
  // Takes the new reference before releasing the old one.
  Entry& operator=(const Entry&) = default;
  Entry& operator=(Entry&&) noexcept = default;
  ~Entry() = default;

  // Stamps the entry with clock and returns a new reference to its data (null
  // if it has none). const because the clock is not part of the entry's
  // identity: the caches restamp entries in place inside their EntrySet.
  RefCntPtr<RefCntObject> Use(uint64_t clock) const {
    m_clock = clock;
    return m_data;
  }

  uint64_t GetClock() const { return m_clock; }
  const RefCntPtr<RefCntObject>& GetData() const { return m_data; }
  unsigned GetID() const { return m_id; }

  // Same id, whatever the data and clock.
  bool operator==(const Entry& other) const { return m_id == other.m_id; }

  // The process-wide id counter, 0 at start. Each Entry(data, clock) adds 1
  // (sequentially consistent) and takes the new value, so the first id is 1.
  // It is 32 bits wide and wraps: after 4,294,967,295 ids the next one is 0.
  // Public so that tests can move it next to the wrap; nothing else writes it.
  static std::atomic<unsigned int> s_guid;

 private:
  unsigned m_id = 0;
  RefCntPtr<RefCntObject> m_data;
  mutable uint64_t m_clock = 0;
};

// Hashes an entry by its id, widened to 64 bits.
struct KELCACHE_EXPORT EntryHash {
  uint64_t operator()(const Entry& entry) const { return static_cast<uint64_t>(entry.GetID()); }
};

// Orders entries by id.
struct KELCACHE_EXPORT EntryLess {
  bool operator()(const Entry& a, const Entry& b) const { return a.GetID() < b.GetID(); }
};

// A set of entries, unique by id. Its iteration order is the container's own
// and means nothing (neither id, clock nor insertion order).
using EntrySet = std::unordered_set<Entry, EntryHash>;

}  // namespace CacheHelpers
