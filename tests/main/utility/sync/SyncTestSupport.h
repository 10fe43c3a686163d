// Objects and predicates shared by the synchronized-cache tests.
#pragma once

#include <atomic>
#include <functional>

#include "host/TReadWriteLock.h"
#include "main/utility/CacheHelpers.h"

namespace sync_test {

// A cached object that reports a chosen size, carries a region (for an
// index) and counts live instances; a destroyed object is marked so that a
// use after free shows up even without a sanitizer.
class Item : public KelCacheData {
 public:
  Item(TString region, uint64_t bytes) : m_region(std::move(region)) {
    SetMemoryUsage(bytes);
    ++s_live;
  }
  const TString& Region() const {
    EXPECT_EQ(m_alive, kAlive) << "object used after it was freed";
    return m_region;
  }
  static std::atomic<int> s_live;

 protected:
  ~Item() override {
    m_alive = 0;
    --s_live;
  }

 private:
  static constexpr uint32_t kAlive = 0xA11FE;
  TString m_region;
  uint32_t m_alive = kAlive;
};
inline std::atomic<int> Item::s_live{0};

// Plain reference-counted data that is not a KelCacheData (counts 0 bytes).
class Plain : public RefCntObject {
 protected:
  ~Plain() override = default;
};

inline RefCntPtr<RefCntObject> MakeItem(const char16_t* region, uint64_t bytes = 100) {
  return RefCntPtr<RefCntObject>(new Item(TString(region), bytes));
}

// The region of an entry's item ("" for other data); also the key function
// of the index "Region".
inline TString RegionOf(const CacheHelpers::Entry& entry) {
  auto* item = dynamic_cast<Item*>(entry.GetData().get());
  return item ? item->Region() : TString();
}

// Matches the entries of one region; indexed through "Region" when asked to
// be. An optional probe runs inside every Matches call.
class RegionPredicate : public CacheHelpers::EntryPredicate {
 public:
  RegionPredicate(TString region, bool indexed, std::function<void(const CacheHelpers::Entry&)> probe = {})
      : m_region(std::move(region)), m_indexed(indexed), m_probe(std::move(probe)) {}
  bool Matches(const CacheHelpers::Entry& entry) override {
    ++m_calls;
    if (m_probe) m_probe(entry);
    return RegionOf(entry) == m_region;
  }
  TString GetIndexName() override { return m_indexed ? TString(u"Region") : TString(); }
  TString GetKeyForIndexing() override { return m_indexed ? m_region : TString(); }
  std::atomic<int> m_calls{0};

 private:
  TString m_region;
  bool m_indexed;
  std::function<void(const CacheHelpers::Entry&)> m_probe;
};

// True when nobody holds `lock`, the calling thread included (then taken
// and released at once).
inline bool LockIsFree(TReadWriteLock& lock) {
  if (lock.IsLockedByCurrentThread() || !lock.TryLock()) return false;
  lock.Unlock();
  return true;
}

}  // namespace sync_test
