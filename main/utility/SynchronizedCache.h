// SynchronizedCache: the thread-safe form of Cache.
//
// It owns one Cache and guards it with a reader/writer lock that the caller
// supplies (and may share with other caches or data, which then serialise
// with this cache); it takes that lock only exclusively. Lookups and
// deletions by predicate work on a snapshot of the entries taken under the
// lock, so the caller's predicate and the policy's purge run without it; the
// deletions that follow take the lock once per entry, so other threads may
// run between two of them. An entry added after a snapshot is neither found
// by that call's lookups nor removed by its purge.
//
// It implements ICoherentCache: the coherence service removes entries that
// another process made dirty through OnDirty (lock order: the coherence
// service's lock, then this cache's lock).
//
// Locks: *m_lock guards m_cache; no operation holds it while it takes it
// again. GetCache() hands out the unguarded cache: whoever uses it must hold
// the same lock.
//
// A null predicate matches nothing: a lookup given one misses (and clears
// the hint), DeleteEntries deletes nothing and VisitEntries visits nothing.
//
// Ownership: the lock is borrowed (never destroyed by the cache; it must
// outlive it). Returned EntrySets hold copies of entries.
#pragma once

#include <memory>
#include <vector>

#include "host/Export.h"
#include "host/TReadWriteLock.h"
#include "host/ThreadAnnotations.h"
#include "main/utility/Cache.h"
#include "main/utility/ICoherentCache.h"

class KELCACHE_EXPORT SynchronizedCache : public kelvra::caching::ICoherentCache {
 public:
  // `lock` must be non-null and outlive the cache. A null lock is refused at
  // once (LogicException, expression "lock") rather than crash the first
  // operation, and a null policy raises LogicException "m_policy"; the
  // operations themselves raise nothing of their own. The clock is a tick
  // clock (CreateBasicClock).
  SynchronizedCache(std::shared_ptr<CacheHelpers::IPolicy> policy, TReadWriteLock* lock);
  ~SynchronizedCache() override;
  SynchronizedCache(const SynchronizedCache&) = delete;
  SynchronizedCache& operator=(const SynchronizedCache&) = delete;

  // Deletes the listed entries, in order, in one hold; absent ids are ignored.
  void OnDirty(const std::vector<unsigned int>& ids) override;

  // Every operation below takes the lock exclusively (never shared), also
  // the const GetSize. AddEntry returns the new entry's id.
  unsigned int AddEntry(RefCntPtr<RefCntObject> data);
  // Uses the entry (records the use); null when absent.
  RefCntPtr<RefCntObject> TryGetEntry(unsigned int id);
  // Removes the entry and hands its object to the caller, without a use or a
  // policy call; null when absent.
  RefCntPtr<RefCntObject> TryDeleteEntry(unsigned int id);
  // The number of entries.
  uint64_t GetSize() const;
  // The guarded cache, without the lock.
  Cache* GetCache();

  // Removals through a policy: snapshot and clock under the lock, the
  // policy's purge without it, then one hold per deleted entry. They return
  // the planned entries (an entry that vanished meanwhile stays in the result).
  EntrySet DeleteEntries(std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
  EntrySet Purge();
  EntrySet PurgeWithPolicy(CacheHelpers::IPolicy& policy);
  EntrySet IncrementClock();
  EntrySet IncrementClockWithPolicy(CacheHelpers::IPolicy& policy);

  // Calls Matches once per entry of a snapshot, outside the lock.
  void VisitEntries(std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
  // Lookups on a snapshot, outside the lock. The returned entry's use is
  // stamped on the snapshot's copy only: the cache's own entry and its
  // policy are not told.
  RefCntPtr<RefCntObject> TryGetEntry(std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
  // A hinted entry that is present and matches wins and keeps the hint;
  // otherwise the hint is reset to 0 and becomes the first match's id.
  RefCntPtr<RefCntObject> TryGetEntry(std::shared_ptr<CacheHelpers::EntryPredicate> predicate,
                                      unsigned int& hint);
  // The hint is set to 0 first, then to the first match's id.
  RefCntPtr<RefCntObject> TryGetEntryAndHint(std::shared_ptr<CacheHelpers::EntryPredicate> predicate,
                                             unsigned int& hint);

 private:
  EntrySet RemoveEntries(CacheHelpers::IPolicy& policy, EntrySet& snapshot, uint64_t clock);
  // A snapshot of the entries and the clock, read in one hold.
  EntrySet Snapshot(uint64_t& clock);

  Cache m_cache KELCACHE_GUARDED_BY(m_lock);
  TReadWriteLock* m_lock;  // borrowed
};
