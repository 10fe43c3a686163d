// Eviction policies: what decides which entries of an in-memory cache survive
// a purge.
//
// Two protocols:
// - Survivor protocol (every policy): Purge is handed all entries of the cache
//   and the cache's clock value and returns copies of the entries that
//   survive. The cache deletes every entry whose id is not among them.
// - Tracking protocol (policies whose HasCapability(TracksEntries) is true):
//   IndexedCache tells the policy of every addition, deletion and use, hands it
//   all entries when it is installed (CatalogCacheEntries), and at purge time
//   deletes what ComputeEntriesToPurge returns instead of calling Purge. No
//   policy of this library tracks entries; it is an extension point.
//
// The policies here:
// - MRUPolicy(n): keeps the n most recently added or used entries.
// - LifetimePolicy(lifetime): keeps the entries used within the lifetime.
// - EntryPredicatePolicy(pred): keeps the entries that pred does not match.
// - CascadedPolicy: each member judges what the previous members kept.
//
// Ownership: policies are shared through std::shared_ptr<IPolicy> (a cache
// holds its current policy; callers may pass another one for one purge);
// EntryPredicatePolicy shares its predicate, CascadedPolicy its members.
//
// Thread rules: policies hold no lock. MRUPolicy, LifetimePolicy and
// EntryPredicatePolicy do not change during a purge and may serve several
// caches at once (each cache guards its own entries). CascadedPolicy::AddPolicy
// must not run while the cascade is purging.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "host/Export.h"
#include "main/utility/CacheEntry.h"
#include "main/utility/EntryPredicates.h"

namespace CacheHelpers {

class KELCACHE_EXPORT IPolicy {
 public:
  enum Capability {
    // Purges call ComputeEntriesToPurge (and not Purge); hooks are called.
    TracksEntries = 0,
  };

  IPolicy() = default;
  IPolicy(const IPolicy&) = default;
  IPolicy& operator=(const IPolicy&) = default;
  virtual ~IPolicy();

  // Returns copies of the entries of [first, last) that survive; now is the
  // purging cache's clock value. The range is valid only during the call.
  virtual EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last, uint64_t now) = 0;
  // Tracking hooks; the defaults do nothing.
  virtual void OnEntryAdded(const Entry& entry);
  virtual void OnEntryDeleted(const Entry& entry);
  virtual void OnEntryUsed(const Entry& entry);
  // False for every value by default.
  virtual bool HasCapability(Capability capability);
  // The entries to delete (not those to keep). Throws NotImplementedException
  // by default: a policy that claims TracksEntries must override it.
  virtual EntrySet ComputeEntriesToPurge();
  // Calls OnEntryAdded for each entry, in the set's iteration order.
  virtual void CatalogCacheEntries(const EntrySet& entries);
  // The policy's view of the cache's size. Throws NotImplementedException by
  // default; nothing in the library calls it.
  virtual uint64_t GetCacheSizeBytes();
};

// Keeps the m_cacheLimit entries with the greatest clock values. Within the
// limit it returns at once; over it, it selects the newest entries with an
// nth-element partition (linear on average), not a sort. Entries with equal
// clocks that straddle the cut survive in no particular choice.
class KELCACHE_EXPORT MRUPolicy : public IPolicy {
 public:
  explicit MRUPolicy(uint64_t limit) : m_cacheLimit(limit) {}
  EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last, uint64_t now) override;

 private:
  uint64_t m_cacheLimit;  // the greatest number of entries a purge keeps
};

// Keeps the entries for which clock + m_lifetime >= now (unsigned, wrapping):
// with a tick clock and lifetime 6, an entry used at tick 0 survives purges at
// ticks 1 to 6 and goes at tick 7.
class KELCACHE_EXPORT LifetimePolicy : public IPolicy {
 public:
  explicit LifetimePolicy(uint64_t lifetime) : m_lifetime(lifetime) {}
  LifetimePolicy(const LifetimePolicy&) = default;
  LifetimePolicy& operator=(const LifetimePolicy&) = default;
  EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last, uint64_t now) override;

 private:
  uint64_t m_lifetime;  // a span in clock units
};

// Keeps the entries that m_predicate does not match: the caches carry out
// deletion by predicate with it. Matches is called once per entry, in the
// range's order. The predicate must not be null (the caller's precondition).
struct KELCACHE_EXPORT EntryPredicatePolicy : IPolicy {
  explicit EntryPredicatePolicy(std::shared_ptr<EntryPredicate> predicate)
      : m_predicate(std::move(predicate)) {}
  EntryPredicatePolicy(const EntryPredicatePolicy&) = default;
  EntryPredicatePolicy& operator=(const EntryPredicatePolicy&) = default;
  ~EntryPredicatePolicy() override;
  EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last, uint64_t now) override;

  std::shared_ptr<EntryPredicate> m_predicate;
};

// Runs its member policies one after the other, each over what the previous
// ones kept; the survivors are those every member lets pass. Members only see
// Purge calls (no hooks), and a member is still called with an empty range
// when an earlier one kept nothing. Members must not be null, and a cascade
// must not contain itself (the caller's preconditions).
class KELCACHE_EXPORT CascadedPolicy : public IPolicy {
 public:
  explicit CascadedPolicy(std::shared_ptr<IPolicy> first) : m_policies{std::move(first)} {}
  ~CascadedPolicy() override;
  // Appends a member; it runs after the others.
  void AddPolicy(std::shared_ptr<IPolicy> policy);
  EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last, uint64_t now) override;

 private:
  std::vector<std::shared_ptr<IPolicy>> m_policies;  // in the order added
};

}  // namespace CacheHelpers
