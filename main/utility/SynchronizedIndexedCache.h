// SynchronizedIndexedCache: the thread-safe form of IndexedCache.
//
// It owns one IndexedCache and guards it with a reader/writer lock, the cache
// lock, which the caller may supply and share (everything the caller guards
// with the same lock then serialises with this cache). Callers' predicates,
// which may be costly, run outside the cache lock wherever the operation
// allows: candidates are gathered under the shared lock, judged without it,
// and removed under the exclusive lock by a precomputed predicate whose
// answers are a table lookup. Beside the entries it keeps a running byte
// count, guarded by a second lock, the size lock. It starts at the cache's own
// size; AddEntryAndDeleteExistingEntriesItMatches adds the size its caller
// declares, and it, the indexed deletions (DeleteEntries or
// PrecomputePredicateAndDeleteEntries with an indexed predicate) and Purge
// take off the KelCacheData::GetMemoryUsage of what they delete (other data
// counts 0), never going below 0. PruneHints passes the entry it deleted
// through the same accounting, but gets back only its id, so it takes off
// nothing. AddEntry, the deletions by scan,
// OnDirty and IncrementClock leave it alone: the count is an estimate, exact
// for a cache that adds through AddEntryAndDeleteExistingEntriesItMatches and
// removes through the operations that subtract.
//
// It implements ICoherentCache: the coherence service removes entries that
// another process made dirty through OnDirty. A cache that takes part in
// coherence is owned through std::shared_ptr.
//
// Locks:
//   cache lock (m_lock): guards m_cache. Reads take it shared; every change,
//     uses included, takes it exclusively.
//   size lock (m_sizeLock): guards m_cacheSizeBytes and nothing else.
//   Order: the coherence service's lock, then the cache lock. The cache lock
//   and the size lock are never held together, and no operation takes the
//   cache lock again while it holds it.
// Predicates run outside the cache lock in FindFirstMatch,
// MakePrecomputedPredicate, VisitEntries and the policy step of removals;
// under the exclusive lock in DeleteEntries without an index, in a
// precomputed predicate's fallback for entries added since its table was
// built, in TryGetEntryUpdateHint (the hinted entry) and in IncrementClock's
// purge — a predicate that runs there must not call this cache.
// IndexedCache::GetEntry notifies the policy's OnEntryUsed under the shared
// lock, so a tracking policy installed here must accept concurrent calls.
// The policy's other hooks (OnEntryAdded, OnEntryDeleted, OnEntryUsed of a
// use by id, ComputeEntriesToPurge, the purge of IncrementClock) and the
// indexes' key functions run under the exclusive lock: none of them, nor a
// hook run under the shared lock, may call this cache or another cache that
// shares its lock (a shared holder that asks for the exclusive lock waits
// for itself for good).
//
// A null predicate matches nothing: a lookup given one misses (with the hint
// as a miss leaves it), FindFirstMatch gives 0, PruneHints an entry of id 0,
// the deletions and GetPossiblyMatchingEntries an empty set, VisitEntries
// visits nothing, and a replacement only adds.
//
// Ownership: the cache lock is owned unless supplied (a supplied lock is never
// destroyed by the cache and must outlive it); returned EntrySets hold copies
// of entries (each with its own reference to the data).
//
// Cost: a lookup by an indexed predicate reads the predicate's index name and
// key once, copies the hinted entries under the shared lock into a buffer
// that the calling thread reuses (internal/EntryScratch.h; nothing is
// allocated once it is warm), judges them without the lock, and takes the
// lock exclusively once more to use the entry found. The candidates are
// judged in the order of the candidate set, an EntrySet filled with the
// hinted entries in ascending id order (for a predicate without an index,
// every entry in the entry set's order): among several matches that order,
// not the ids, decides which one is found. A key listed once, the usual
// case, needs no such set; only a key with several entries builds one.
#pragma once

#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/Export.h"
#include "host/TReadWriteLock.h"
#include "host/ThreadAnnotations.h"
#include "main/utility/ICoherentCache.h"
#include "main/utility/IndexedCache.h"
#include "main/utility/internal/EntryScratch.h"

class KELCACHE_EXPORT SynchronizedIndexedCache : public kelvra::caching::ICoherentCache {
 public:
  // Guards the cache with the caller's lock, which must be non-null and
  // outlive the cache. A null lock is refused at once (LogicException,
  // expression "lock") rather than crash the first operation. A null policy
  // raises LogicException "m_policy"; a null clock is replaced by a tick
  // clock (CreateBasicClock).
  SynchronizedIndexedCache(std::shared_ptr<CacheHelpers::IPolicy> policy, TReadWriteLock* lock,
                           std::unique_ptr<CacheHelpers::IClock> clock);
  // Creates its own cache lock; policy and clock as above.
  explicit SynchronizedIndexedCache(std::shared_ptr<CacheHelpers::IPolicy> policy,
                                    std::unique_ptr<CacheHelpers::IClock> clock = nullptr);
  ~SynchronizedIndexedCache() override;
  SynchronizedIndexedCache(const SynchronizedIndexedCache&) = delete;
  SynchronizedIndexedCache& operator=(const SynchronizedIndexedCache&) = delete;

  // Removes the listed entries (absent ids are ignored), all in one exclusive hold.
  void OnDirty(const std::vector<unsigned int>& ids) override;

  // Adds `data` under the exclusive lock and returns its id; the byte count
  // does not change (AddEntryAndDeleteExistingEntriesItMatches declares a size).
  unsigned int AddEntry(RefCntPtr<RefCntObject> data);
  // Deletes the entries the predicate matches and adds `data`, as one step for
  // every other user of the cache lock; the byte count gains sizeBytes and
  // loses the deleted entries' sizes. Returns the new id and the deleted entries.
  std::pair<unsigned int, EntrySet> AddEntryAndDeleteExistingEntriesItMatches(
      RefCntPtr<RefCntObject> data, std::shared_ptr<CacheHelpers::EntryPredicate> predicate,
      uint64_t sizeBytes);
  // Adds an index under the exclusive lock and lists every present entry in
  // it; false for an empty name, an empty function or a name already taken
  // (IndexedCache::AddIndex).
  bool AddIndex(const TString& name, std::function<TString(const CacheHelpers::Entry&)> keyOf);

  // Deletes the matching entries. With an indexed predicate only the hinted
  // entries are judged, outside the lock, and the byte count drops by their
  // sizes; otherwise the predicate runs under the exclusive lock.
  EntrySet DeleteEntries(std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
  // DeleteEntries(MakePrecomputedPredicate(predicate)): the predicate is
  // judged once per candidate outside the lock, so a costly predicate that
  // names no index does not hold the exclusive lock while it runs.
  EntrySet PrecomputePredicateAndDeleteEntries(std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
  // A predicate whose answers for the current candidates were computed now,
  // outside the lock; other entries fall back to `predicate`.
  std::shared_ptr<CacheHelpers::EntryPredicate> MakePrecomputedPredicate(
      std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
  // The hinted entries of an indexed predicate, else every entry; the
  // predicate itself is not asked.
  EntrySet GetPossiblyMatchingEntries(std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
  // The id of the first candidate the predicate matches, or 0.
  unsigned int FindFirstMatch(std::shared_ptr<CacheHelpers::EntryPredicate> predicate);

  // Lookups record a use (the entry's clock and the policy's OnEntryUsed).
  RefCntPtr<RefCntObject> TryGetEntry(unsigned int id);
  RefCntPtr<RefCntObject> TryGetEntry(std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
  // On a match the hint becomes its id; on a miss the hint is left alone.
  RefCntPtr<RefCntObject> TryGetEntryAndHint(std::shared_ptr<CacheHelpers::EntryPredicate> predicate,
                                             unsigned int& hint);
  // Tries the hinted entry first (no search); otherwise as TryGetEntryAndHint
  // with the hint reset to 0.
  RefCntPtr<RefCntObject> TryGetEntryUpdateHint(std::shared_ptr<CacheHelpers::EntryPredicate> predicate,
                                                unsigned int& hint);
  // Calls the predicate's Matches once per entry of a snapshot, outside the
  // lock, ignoring the answers.
  void VisitEntries(std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
  // When more than `limit` ids are listed under the predicate's index key,
  // deletes the oldest of them (the smallest id) under the exclusive lock and
  // returns an entry that carries only its id (so the byte count stays);
  // otherwise deletes nothing and returns an entry of id 0.
  CacheHelpers::Entry PruneHints(std::shared_ptr<CacheHelpers::EntryPredicate> predicate, unsigned int limit);

  // Removes what the policy does not keep: a tracking policy chooses the
  // entries itself, another judges a snapshot outside the lock. The byte
  // count drops by the removed entries' sizes.
  EntrySet Purge();
  // Advances the clock and runs the policy's purge, all under the exclusive
  // lock; returns the purged entries (the byte count stays).
  EntrySet IncrementClock();

  // Reads under the shared lock: a copy of all entries (sharing the objects),
  // their number, each index key's listed ids, and the number of listed keys.
  EntrySet GetEntries() const;
  uint64_t GetEntryCount() const;
  std::unordered_map<TString, std::set<unsigned int>> GetIndexedEntries() const;
  uint64_t GetIndexedEntryCount() const;
  // The estimated footprint in bytes; a new cache reports its own size.
  uint64_t GetCacheSizeBytes() const;

 private:
  void AdjustCacheSize(const EntrySet& removed, uint64_t addedBytes);
  static uint64_t GetEntrySize(const CacheHelpers::Entry& entry);
  EntrySet RemoveEntries(CacheHelpers::IPolicy& policy, EntrySet& candidates, uint64_t clock);
  EntrySet RemoveEntriesHelper(CacheHelpers::IPolicy& policy);
  // Candidate gathering for a predicate whose index name and key were read
  // before: copies the candidates into `out` under the shared lock, then,
  // without it, puts several hinted entries into the candidate set's order.
  void CollectCandidates(const TString& indexName, const TString& key, CacheHelpers::internal::EntryScratch& out)
      KELCACHE_EXCLUDES(m_lock);
  // The copying under the lock: appends the hinted entries in ascending id
  // order (true), or every entry in the entry set's order when the name is
  // no index (false), telling the policy of each hinted entry as
  // IndexedCache::GetEntry does.
  bool GatherCandidates(const TString& indexName, const CacheHelpers::internal::QualifiedKey& key,
                        CacheHelpers::internal::EntryScratch& out) KELCACHE_REQUIRES_SHARED(*m_lock);
  // Puts candidates gathered in ascending id order into the order in which
  // the candidate set iterates them.
  static void OrderAsCandidateSet(CacheHelpers::internal::EntryScratch& candidates);
  // The qualified key of a predicate's index name and key (both must outlive
  // it), with its hint record asked for ahead of the lock. The hint table
  // publishes its address through atomics for this, so no lock is needed;
  // the analysis cannot know that.
  CacheHelpers::internal::QualifiedKey QualifyAndPrefetch(const TString& indexName, const TString& key) const
      KELCACHE_NO_THREAD_SAFETY_ANALYSIS;
  // Asks for the id's slot of the id table ahead of taking the lock. The
  // table publishes its address through atomics for this, so no lock is
  // needed; the analysis cannot know that.
  void PrefetchIdSlot(unsigned id) const KELCACHE_NO_THREAD_SAFETY_ANALYSIS { m_cache.PrefetchIdSlotUnlocked(id); }
  // FindFirstMatch without the shared pointer.
  unsigned int FindFirstMatchOf(CacheHelpers::EntryPredicate& predicate) KELCACHE_EXCLUDES(m_lock);

  IndexedCache m_cache KELCACHE_GUARDED_BY(m_lock);
  // The cache lock when the cache made it; null when the caller supplied it
  // (the caller's lock outlives the cache and is not destroyed with it).
  std::unique_ptr<TReadWriteLock> m_ownedLock;
  TReadWriteLock* m_lock;  // the cache lock, owned or supplied
  uint64_t m_cacheSizeBytes KELCACHE_GUARDED_BY(m_sizeLock);
  std::unique_ptr<TReadWriteLock> m_sizeLock;
};
