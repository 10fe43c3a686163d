// Cache: the plain, policy-driven in-memory cache of reference-counted
// objects, and its interfaces ICache and ICacheEx.
//
// The cache holds objects as CacheHelpers::Entry values under ids it hands
// out, stamps an entry with its clock value when the entry is added and each
// time it is used, and deletes entries when asked to purge, under the rule of
// an eviction policy. Callers find entries by id or by predicate; a caller
// that repeats one kind of lookup may keep the id of the last match as a hint
// (UseEntry(pred, hint)) and save the scan next time.
//
// Thread rules: Cache is NOT synchronized and holds no lock. Every operation,
// reading ones included, must be serialized by the caller (SynchronizedCache
// does so). For a reader/writer wrapper: the UseEntry family and
// UseEntryGetHint restamp the used entry and are writers, as are AddEntry, all
// deletions, purges, clock increments and SetPolicy; HasEntry, GetEntries,
// GetSize, GetPolicy and GetClock only read. No operation calls back into the
// caller; calls go out only to the policy's Purge, the clock, predicates'
// Matches and the reference counting, none of which may call back into the
// cache (a predicate that deletes entries while a lookup walks them would
// pull the entries out from under it).
//
// Ownership: an entry holds one reference to its object and a lookup returns
// a new one; DeleteEntry hands the cache's reference to the caller; returned
// EntrySets hold copies of entries (and so references). The policy is shared
// (std::shared_ptr); the clock belongs to this cache (std::unique_ptr).
//
// Cache calls only the policy's Purge: never its hooks nor HasCapability, so a
// tracking policy installed here sees Purge calls only.
#pragma once

#include <cstdint>
#include <memory>

#include "host/Export.h"
#include "host/RefCnt.h"
#include "main/utility/CacheHelpers.h"

// The four operations every cache of entries offers; ICacheEx adds the rest
// and Cache documents each of them.
class KELCACHE_EXPORT ICache {
 public:
  ICache() = default;
  ICache(const ICache&) = default;
  ICache& operator=(const ICache&) = default;
  virtual ~ICache();

  virtual RefCntPtr<RefCntObject> UseEntry(std::shared_ptr<CacheHelpers::EntryPredicate> pred) = 0;
  virtual unsigned AddEntry(RefCntPtr<RefCntObject> data) = 0;
  virtual EntrySet DeleteEntries(std::shared_ptr<CacheHelpers::EntryPredicate> pred) = 0;
  virtual EntrySet DeleteEntries() = 0;
};

// The full cache interface; Cache documents each operation.
class KELCACHE_EXPORT ICacheEx : public ICache {
 public:
  ~ICacheEx() override;
  using ICache::UseEntry;

  virtual bool HasEntry(unsigned id) const = 0;
  virtual bool HasEntry(std::shared_ptr<CacheHelpers::EntryPredicate> pred) const = 0;
  virtual RefCntPtr<RefCntObject> UseEntry(unsigned id) = 0;
  virtual RefCntPtr<RefCntObject> UseEntry(std::shared_ptr<CacheHelpers::EntryPredicate> pred,
                                           unsigned& hint) = 0;
  virtual RefCntPtr<RefCntObject> UseEntryGetHint(std::shared_ptr<CacheHelpers::EntryPredicate> pred,
                                                  unsigned& hint) = 0;
  virtual RefCntPtr<RefCntObject> DeleteEntry(unsigned id) = 0;
  virtual EntrySet GetEntries() = 0;
  virtual uint64_t GetSize() const = 0;
  virtual std::shared_ptr<CacheHelpers::IPolicy> GetPolicy() = 0;
  virtual void SetPolicy(std::shared_ptr<CacheHelpers::IPolicy> policy,
                         std::unique_ptr<CacheHelpers::IClock> clock) = 0;
  virtual uint64_t GetClock() const = 0;
  virtual EntrySet IncrementClock() = 0;
  virtual EntrySet IncrementClock(std::shared_ptr<CacheHelpers::IPolicy> policy) = 0;
  virtual EntrySet Purge() = 0;
  virtual EntrySet Purge(std::shared_ptr<CacheHelpers::IPolicy> policy) = 0;
  virtual void JustIncrementClock() = 0;
};

// See the file comment. Predicates and policies passed to the operations must
// not be null (a precondition, not tested); misses are not errors: they give
// a null pointer, false or an empty set.
class KELCACHE_EXPORT Cache : public ICacheEx {
 public:
  // A tick clock from CreateBasicClock. Null policy: LogicException "m_policy".
  explicit Cache(std::shared_ptr<CacheHelpers::IPolicy> policy);
  // A null clock is replaced by CreateBasicClock. Null policy: LogicException.
  Cache(std::shared_ptr<CacheHelpers::IPolicy> policy, std::unique_ptr<CacheHelpers::IClock> clock);
  // LifetimePolicy(lifetime): by default entries idle for more than 6 clock
  // increments go at the next purge.
  explicit Cache(uint64_t lifetime = 6, std::unique_ptr<CacheHelpers::IClock> clock = nullptr);
  ~Cache() override;

  // The first entry that pred matches (set order), restamped; null if none.
  RefCntPtr<RefCntObject> UseEntry(std::shared_ptr<CacheHelpers::EntryPredicate> pred) override;
  // Stamps a new entry with the current clock and returns its new id. No
  // purge, no policy call. A null object is stored as is.
  unsigned AddEntry(RefCntPtr<RefCntObject> data) override;
  // Deletes and returns the entries that pred matches.
  EntrySet DeleteEntries(std::shared_ptr<CacheHelpers::EntryPredicate> pred) override;
  // Deletes and returns all entries.
  EntrySet DeleteEntries() override;

  // Whether an entry with that id is present, or whether some entry matches
  // pred (a scan that stops at the first match). Nothing is restamped.
  bool HasEntry(unsigned id) const override;
  bool HasEntry(std::shared_ptr<CacheHelpers::EntryPredicate> pred) const override;
  // Restamps the entry and returns its object; null if absent.
  RefCntPtr<RefCntObject> UseEntry(unsigned id) override;
  // hint in/out: if the entry with id hint is present and matches, it is used
  // and hint is kept. Otherwise scans; hint becomes the match's id, or 0 on a
  // miss.
  RefCntPtr<RefCntObject> UseEntry(std::shared_ptr<CacheHelpers::EntryPredicate> pred,
                                   unsigned& hint) override;
  // hint out: the scan's match id, or 0 on a miss.
  RefCntPtr<RefCntObject> UseEntryGetHint(std::shared_ptr<CacheHelpers::EntryPredicate> pred,
                                          unsigned& hint) override;
  // Removes the entry and hands its object to the caller; null if absent.
  RefCntPtr<RefCntObject> DeleteEntry(unsigned id) override;
  // A copy of all entries (sharing the objects).
  EntrySet GetEntries() override;
  uint64_t GetSize() const override;

  std::shared_ptr<CacheHelpers::IPolicy> GetPolicy() override;
  // Installs policy (not tested for null). A non-null clock replaces the
  // current one; a null clock keeps it, with its time.
  void SetPolicy(std::shared_ptr<CacheHelpers::IPolicy> policy,
                 std::unique_ptr<CacheHelpers::IClock> clock) override;
  uint64_t GetClock() const override;
  // Advances the clock, then Purge(); returns the deleted entries.
  EntrySet IncrementClock() override { return IncrementClock(m_policy); }
  EntrySet IncrementClock(std::shared_ptr<CacheHelpers::IPolicy> policy) override;
  // Deletes what the policy does not keep and returns it. If the policy or a
  // predicate throws, the cache is left unchanged.
  EntrySet Purge() override { return Purge(m_policy); }
  EntrySet Purge(std::shared_ptr<CacheHelpers::IPolicy> policy) override;
  // Advances the clock and nothing else.
  void JustIncrementClock() override;

 private:
  // Invariant: every entry's clock is the clock value when it was added or
  // last used. No order of use is kept; ageing is judged at purge time.
  EntrySet m_entries;
  std::shared_ptr<CacheHelpers::IPolicy> m_policy;  // never null after construction
  std::unique_ptr<CacheHelpers::IClock> m_clock;
};
