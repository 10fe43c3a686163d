// IndexedCache: the in-memory cache for large populations of entries that are
// looked up by content, through named string indexes.
//
// Each index has a key function that computes a text key from an entry; the
// cache lists every entry's id under the qualified key "<index>|<key>" of each
// index (nothing is escaped, so "a|b" + "c" and "a" + "b|c" share "a|b|c"). A
// predicate whose GetIndexName names an existing index is an indexed
// predicate: it is answered from the ids listed under its qualified key
// (ascending, so the oldest listed match wins) instead of by a scan, and a key
// with no listed id is a miss without any scan. The ids under one key are its
// hints (GetHints); PruneHints trims them by deleting the oldest entry.
//
// Unlike Cache, IndexedCache drives the whole policy protocol:
//   addition          OnEntryAdded(entry) after the entry is indexed
//   UseEntry(id),     OnEntryUsed(entry) with the entry's old clock
//     GetEntry          (GetEntry does not restamp)
//   other uses        OnEntryUsed(entry) with the new clock
//   DeleteEntry,      OnEntryDeleted(stored entry) just before it is removed
//     PruneHints        (its id is already out of the indexes)
//   DeleteEntries,    OnEntryDeleted(copy) for each deleted entry, after all
//     Purge,            deletions are done
//     IncrementClock
//   SetPolicy         CatalogCacheEntries(all entries) on the new policy, only
//                     when it is not the installed one, before installing it
//   purge             a policy with TracksEntries chooses the victims itself
//                     (ComputeEntriesToPurge); otherwise Purge picks survivors
// Notifications always go to the installed policy, also when Purge(policy) or
// IncrementClock(policy) is given another one.
//
// Invariants (kept by every addition, index addition, deletion and purge):
// for each entry id and each qualified key q computed for it, id is in
// m_indexedEntries[q] and q is in m_entryIndexKeys[id], and nothing else is
// listed; a key whose id set becomes empty is removed. Keys are computed when
// the entry is added and again for all entries when an index is added; a later
// change of the cached object does not move the entry (the next AddIndex lists
// it under its new key as well as the old one).
//
// Thread rules: IndexedCache is NOT synchronized and holds no lock; every
// operation, reading ones included, must be serialized by the caller
// (SynchronizedIndexedCache does so). The use operations restamp entries and
// notify the policy. Calls go out only to the clock, the policy, predicates,
// key functions and the reference counting, none of which may call back into
// the cache. Preconditions, the caller's (not tested): the policy given to
// SetPolicy, Purge(policy) and IncrementClock(policy) is not null, nor is the
// predicate given to PruneHints and the use operations other than
// UseEntryUpdateHint; DeleteEntries(pred) and UseEntryUpdateHint accept a
// null predicate as said there.
//
// Ownership: an entry holds one reference to its object and a lookup returns a
// new one; returned EntrySets hold copies. The policy and predicates are shared
// (std::shared_ptr); the clock belongs to this cache (std::unique_ptr).
//
// Lookup structures: beside the public containers the cache keeps two private
// mirrors that the lookups use (main/utility/internal): an EntryIdTable (id to
// the stored entry and its object, flat) and a HintTable (qualified key to its
// element of m_indexedEntries and its first listed entry, flat), plus the
// index functions in the iteration order of m_indexFunctions. Every change of
// the public containers updates them in the same step; their invariants are
// stated in their headers. Nodes that deletions take out of the public
// containers are kept in small pools (NodePool.h) for the next additions.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <unordered_map>

#include <vector>

#include "host/Export.h"
#include "host/RefCnt.h"
#include "host/TString.h"
#include "main/utility/CacheHelpers.h"
#include "main/utility/internal/EntryIdTable.h"
#include "main/utility/internal/HintTable.h"
#include "main/utility/internal/NodePool.h"

class SynchronizedIndexedCache;

// The indexed cache's containers, as IndexedCache::GetCacheData shows them.
struct KELCACHE_EXPORT IndexedCacheData {
  // Index name to a function giving an entry's qualified key for that index.
  std::unordered_map<TString, std::function<TString(const CacheHelpers::Entry&)>> m_indexFunctions;
  // Qualified key to the ids listed under it, ascending; never an empty set.
  std::unordered_map<TString, std::set<unsigned>> m_indexedEntries;
  // Entry id to the qualified keys it is listed under.
  std::unordered_map<unsigned, std::set<TString>> m_entryIndexKeys;
  // All entries, unique by id.
  EntrySet m_entries;
};

class KELCACHE_EXPORT IndexedCache {
 public:
  // A null clock is replaced by CreateBasicClock. Null policy: LogicException
  // "m_policy".
  explicit IndexedCache(std::shared_ptr<CacheHelpers::IPolicy> policy,
                        std::unique_ptr<CacheHelpers::IClock> clock = nullptr);
  // LifetimePolicy(lifetime), 6 clock increments by default.
  explicit IndexedCache(uint64_t lifetime = 6, std::unique_ptr<CacheHelpers::IClock> clock = nullptr);
  // Moves take the entries, indexes, policy and clock over. The cache moved
  // from is left as a new IndexedCache(): empty, without indexes, with its own
  // LifetimePolicy(6) and a basic clock, and usable as any other (a moved
  // policy is never shared, so it hears only its new owner's entries).
  IndexedCache(IndexedCache&& other);
  IndexedCache& operator=(IndexedCache&& other);
  IndexedCache(const IndexedCache&) = delete;
  IndexedCache& operator=(const IndexedCache&) = delete;
  ~IndexedCache();

  // ---- Indexes and hints ----

  // Adds an index and lists every present entry under it. False (and no
  // change) for an empty name, an empty function or a name already taken.
  bool AddIndex(const TString& name, std::function<TString(const CacheHelpers::Entry&)> keyFunction);
  // True when pred is not null and names an existing index: an indexed
  // predicate. The predicate's own HasIndex() is not consulted.
  bool HasIndex(std::shared_ptr<CacheHelpers::EntryPredicate> pred);
  // The ids listed under indexName and key; empty when there are none.
  std::set<unsigned> GetHints(TString indexName, TString key);
  // If more than maxHints ids are listed under pred's index name and key
  // (index present or not), deletes the entry with the smallest of them
  // (through DeleteEntry) and returns Entry(id); otherwise returns Entry(0).
  // Deletes at most one entry.
  CacheHelpers::Entry PruneHints(std::shared_ptr<CacheHelpers::EntryPredicate> pred, unsigned maxHints);
  // A copy of the listings: each qualified key ("<index>|<key>") and its ids.
  std::unordered_map<TString, std::set<unsigned>> GetIndexedEntries() const;
  // The number of qualified keys (not of ids).
  uint64_t GetIndexedEntryCount() const;

  // ---- Entries ----

  // Stamps and indexes a new entry, then tells the policy; returns the id. If
  // a key function throws, the entry stays with the keys computed so far and
  // the policy is not told.
  unsigned AddEntry(RefCntPtr<RefCntObject> data);
  // A copy of the entry (clock unchanged), after OnEntryUsed; Entry() if
  // absent.
  CacheHelpers::Entry GetEntry(unsigned id);
  // The number of entries, and a copy of them (sharing the objects).
  uint64_t GetEntryCount() const;
  EntrySet GetEntries() const;
  // OnEntryUsed with the old clock, then restamps; null if absent.
  RefCntPtr<RefCntObject> UseEntry(unsigned id);
  // The first match (indexed or scanned) is restamped, then OnEntryUsed.
  RefCntPtr<RefCntObject> UseEntry(std::shared_ptr<CacheHelpers::EntryPredicate> pred);
  // hint out: 0, then the match's id when there is one.
  RefCntPtr<RefCntObject> UseEntryGetHint(std::shared_ptr<CacheHelpers::EntryPredicate> pred, unsigned& hint);
  // Uses the entry with that id only if pred matches it; no search.
  RefCntPtr<RefCntObject> UseEntryIfMatchesPredicate(unsigned id,
                                                     std::shared_ptr<CacheHelpers::EntryPredicate> pred);
  // hint in/out: the hinted entry if present and matching, else the first
  // match; hint becomes the used entry's id. A miss, or a null pred, returns
  // null and leaves hint as it was (unlike Cache::UseEntry(pred, hint)).
  RefCntPtr<RefCntObject> UseEntryUpdateHint(std::shared_ptr<CacheHelpers::EntryPredicate> pred,
                                             unsigned& hint);
  // Removes the id from all indexes and the entry, if present, after
  // OnEntryDeleted. Should that hook throw, the exception propagates and the
  // entry stays, out of the indexes.
  void DeleteEntry(unsigned id);
  // Deletes and returns the matching entries (a null pred deletes nothing).
  // An indexed predicate examines only the entries listed under its key,
  // ascending, each deleted on a match before the next is judged: if the
  // predicate throws, the matches before stay deleted, unannounced.
  EntrySet DeleteEntries(std::shared_ptr<CacheHelpers::EntryPredicate> pred);
  // Deletes and returns every entry (the policy hears OnEntryDeleted for
  // each); the indexes stay, empty.
  EntrySet DeleteEntries();

  // ---- Policy, clock, purge ----

  std::shared_ptr<CacheHelpers::IPolicy> GetPolicy() const;
  // The clock's time; JustIncrementClock advances it and does nothing else.
  uint64_t GetClock() const;
  void JustIncrementClock();
  // Catalogues the entries in policy when it differs from the installed one,
  // then installs it. A non-null clock replaces the current one.
  void SetPolicy(std::shared_ptr<CacheHelpers::IPolicy> policy, std::unique_ptr<CacheHelpers::IClock> clock);
  // Deletes and returns what policy chooses. If the policy throws, nothing is
  // deleted (a tracking policy without ComputeEntriesToPurge throws
  // NotImplementedException).
  EntrySet Purge(std::shared_ptr<CacheHelpers::IPolicy> policy);
  EntrySet Purge() { return Purge(m_policy); }
  // Advances the clock, then purges.
  EntrySet IncrementClock(std::shared_ptr<CacheHelpers::IPolicy> policy);
  EntrySet IncrementClock() { return IncrementClock(m_policy); }

  // The live containers, for inspection: the reference stays valid as long as
  // the cache, and what it shows changes with the cache, so read it only
  // where the caller serialises access to the cache as for any other call.
  const IndexedCacheData& GetCacheData();

 private:
  // SynchronizedIndexedCache reaches the hint records and the stored entries
  // directly, so that its candidate gathering copies entries into a reusable
  // buffer instead of through GetHints' std::set and GetEntry's lookups. It
  // keeps every notification that those operations make.
  friend class SynchronizedIndexedCache;
  // The tests reach the replacement step and check the lookup mirrors
  // against the public containers through it.
  friend struct IndexedCacheTestAccess;

  // The function stored in m_indexFunctions: the index's name and the
  // caller's key function, giving the qualified key.
  struct QualifyingKeyFunction {
    TString operator()(const CacheHelpers::Entry& entry) const;

    TString m_name;
    std::function<TString(const CacheHelpers::Entry&)> m_keyOf;
  };

  // The index name of pred if it is an indexed predicate, else empty.
  TString IndexNameOf(const std::shared_ptr<CacheHelpers::EntryPredicate>& pred);
  TString IndexNameOf(CacheHelpers::EntryPredicate& pred);
  // True when the name, already read from a predicate, names an index.
  bool IsIndexName(const TString& name) const;
  // The hint record of the qualified key of indexName and key, or null.
  const CacheHelpers::internal::HintRecord* FindHints(const TString& indexName, const TString& key) const;
  const CacheHelpers::internal::HintRecord* FindHints(const CacheHelpers::internal::QualifiedKey& key) const {
    return m_hints.Find(key);
  }
  // Asks for the hint record's line where a lookup of the key starts; may be
  // called without holding the cache's lock (HintTable::PrefetchUnlocked).
  void PrefetchHintsUnlocked(const CacheHelpers::internal::QualifiedKey& key) const {
    m_hints.PrefetchUnlocked(key.Hash());
  }
  // Visits the ids listed in a hint record, ascending, each as a Hint (with
  // the stored entry and its object), until visit returns false. The first
  // comes from the record, the others from the key's set and the id table.
  template <class Visit>
  void VisitHints(const CacheHelpers::internal::HintRecord& record, Visit&& visit) const {
    // A listing kept empty during a replacement has no first entry; only a
    // callback re-entering the cache meanwhile could come across it.
    if (record.count == 0 || !visit(record.first) || record.count <= 1) return;
    const std::set<unsigned>& ids = record.listing->second;
    for (auto it = std::next(ids.begin()); it != ids.end(); ++it) {
      const auto* stored = m_ids.Find(*it);
      if (!visit(CacheHelpers::internal::Hint{stored->entry, stored->data, *it})) return;
    }
  }
  // Asks for the cache line where the id table's lookup of the id starts;
  // the second form may be called without holding the cache's lock.
  void PrefetchIdSlot(unsigned id) const { m_ids.Prefetch(id); }
  void PrefetchIdSlotUnlocked(unsigned id) const { m_ids.PrefetchUnlocked(id); }
  // What GetEntry tells the policy about an entry it hands out.
  void NotifyUsed(const CacheHelpers::Entry& entry) { m_policy->OnEntryUsed(entry); }
  // Lists the entry under every index (set semantics: no duplicates).
  void IndexEntry(const CacheHelpers::Entry& entry);
  // The element of m_indexedEntries for a new qualified key.
  CacheHelpers::internal::Listing& AddListing(const CacheHelpers::internal::QualifiedKey& key,
                                              const TString& indexName, const TString& keyText);
  // The keys record of the id, made if needed.
  std::set<TString>& KeysOf(unsigned id);
  // Removes the id from every key it is listed under and drops its record.
  void RemoveFromIndexes(unsigned id);
  // Takes a stored entry out of m_entries and the id table and hands its node
  // over to `into` (no copy); its indexes must be removed already.
  void MoveEntryTo(EntrySet::iterator it, EntrySet& into);
  // The first entry that pred matches, or null.
  const CacheHelpers::Entry* FindFirstMatch(CacheHelpers::EntryPredicate& pred);
  // Restamps the entry, notifies the policy with the new clock, returns data.
  RefCntPtr<RefCntObject> UseFound(const CacheHelpers::Entry& entry);
  // UseEntryIfMatchesPredicate without the shared pointer.
  RefCntPtr<RefCntObject> UseEntryIfMatches(unsigned id, CacheHelpers::EntryPredicate& pred);
  // DeleteEntries(pred) with the index name and key already read from pred
  // (they are not asked again).
  EntrySet DeleteEntries(CacheHelpers::EntryPredicate& pred, const TString& indexName, const TString& key);
  // Deletes the listed entries under the key that pred matches, judging each
  // just before deleting it; without notifications.
  EntrySet DeleteListedMatches(CacheHelpers::EntryPredicate& pred, const TString& indexName,
                               const TString& key);
  // Deletes what policy chooses, without notifications.
  EntrySet RemovePurgedEntries(CacheHelpers::IPolicy& policy);
  void NotifyDeleted(const EntrySet& deleted);
  // DeleteEntries(pred, indexName, key), then AddEntry(data): the deleted
  // entries and the new id. A listing that the deletion empties stays, with
  // its hint record, until the addition has run, so that an entry replaced by
  // one under the same key reuses both instead of removing and making them
  // again; whatever is still empty then goes, also when either step throws.
  std::pair<unsigned, EntrySet> ReplaceEntries(CacheHelpers::EntryPredicate& pred, const TString& indexName,
                                               const TString& key, RefCntPtr<RefCntObject> data);
  // Removes the listings that ReplaceEntries kept and that are still empty.
  void DropEmptiedListings() noexcept;
  // Exchanges every member with other's. The containers keep their nodes, so
  // the lookup tables' pointers into them stay valid on either side.
  void SwapWith(IndexedCache& other) noexcept;

  IndexedCacheData m_cacheData;
  std::shared_ptr<CacheHelpers::IPolicy> m_policy;  // never null after construction
  std::unique_ptr<CacheHelpers::IClock> m_clock;
  // The lookup mirrors (see the class comment).
  CacheHelpers::internal::EntryIdTable m_ids;  // m_cacheData.m_entries by id
  CacheHelpers::internal::HintTable m_hints;   // m_cacheData.m_indexedEntries by qualified key
  // The functions of m_cacheData.m_indexFunctions in its iteration order
  // (rebuilt by AddIndex, the only change of that map); they live inside the
  // map's elements.
  std::vector<const QualifyingKeyFunction*> m_indexOrder;
  // Nodes taken out of the public containers, for reuse (NodePool.h).
  using IndexedEntries = decltype(IndexedCacheData::m_indexedEntries);
  using EntryIndexKeys = decltype(IndexedCacheData::m_entryIndexKeys);
  CacheHelpers::internal::NodePool<IndexedEntries::node_type> m_spareListings;
  CacheHelpers::internal::NodePool<std::set<unsigned>::node_type> m_spareIds;
  CacheHelpers::internal::NodePool<EntryIndexKeys::node_type> m_spareKeyRecords;
  CacheHelpers::internal::NodePool<std::set<TString>::node_type> m_spareKeys;
  // While ReplaceEntries runs: listings emptied by its deletion, kept for its
  // addition. Only within one call under the caller's exclusive hold, so only
  // a policy hook or key function calling back into the cache can come
  // across one, and lookups skip it (VisitHints); a deletion that empties
  // more than fit here removes the rest at once, as outside a replacement.
  bool m_keepEmptiedListings = false;
  std::array<CacheHelpers::internal::Listing*, 4> m_emptiedListings{};
  size_t m_emptiedListingCount = 0;
};
