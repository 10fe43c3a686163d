// CoherenceTracking: what the coherence service remembers about the entries
// of this process's caches. Five tables, kept in step:
//
//   m_keyhashToCacheEntries       key hash -> the records of that key hash
//                                 (live and evicted), in order of addition
//   m_guidAndCacheToKeyHash       (guid, cache) -> key hash, one per record
//   m_evictedEntries              eviction time -> a copy of each evicted record
//   m_evictedGuidAndCache         (guid, cache) of each evicted record
//   m_removeBeforeAddPlaceholders removals reported before their addition
//
// Invariants (CheckConsistency reports every breach):
//   - no key hash keeps an empty list;
//   - every record has its key hash in m_guidAndCacheToKeyHash, and that
//     table holds nothing else;
//   - a record is evicted exactly when m_evictedGuidAndCache holds it, and
//     m_evictedEntries then holds a copy of it under its eviction time.
// The operations below keep them; a breach found on the way raises the
// service's logic error (lines 377, 646, 688, 766) or logs the service's
// Error events (codes 0xB01A293C, 0x8C3ACE23), as the service always has.
//
// Thread rules: not thread-safe; the service's lock guards the table.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "main/caching/CoherenceWireFormat.h"
#include "main/utility/ICoherentCache.h"

namespace kelvra::caching {

// One tracked entry of a local cache.
struct CacheEntryInfo {
  static constexpr int64_t kLive = INT64_MAX;

  coherence::Hash valueHash;
  uint64_t timestamp;  // a DateTime representation, as the host reported it
  unsigned guid;
  ICoherentCache* cache;
  int64_t evictedAt;  // kLive while live, else steady-clock nanoseconds of the eviction
};

class CoherenceTrackingTable {
 public:
  using Hash = coherence::Hash;
  using GuidAndCache = std::pair<unsigned, const ICoherentCache*>;
  using PrunedIds = std::map<const ICoherentCache*, std::vector<unsigned>>;

  // The records of a key hash, or null when it has none.
  const std::vector<CacheEntryInfo>* Find(const Hash& keyHash) const;
  // Adds a live record under its key hash. True when it is the first record
  // of that key hash.
  bool Track(const Hash& keyHash, const CacheEntryInfo& record);
  // Forgets the record at `index` of its key hash (its evicted copy too).
  // The key hash's list stays, possibly empty, so that a caller walking it
  // can go on; DropIfEmpty ends the walk.
  void Forget(const Hash& keyHash, size_t index);
  // Forgets the record `key` of the key hash, looked for at `*index` first,
  // and sets `*index` to where it was. False, with nothing changed, when the
  // key hash does not have it.
  bool ForgetRecord(const Hash& keyHash, const GuidAndCache& key, size_t* index);
  void DropIfEmpty(const Hash& keyHash);
  // Every record's key, live and evicted, in table order.
  std::vector<GuidAndCache> RecordKeys() const;
  // Forgets the record `key` (its evicted copy too) and gives it, when it is
  // tracked; nothing otherwise (forgotten or withdrawn since).
  std::optional<CacheEntryInfo> TakeRecord(const GuidAndCache& key);

  enum class Eviction { Evicted, AlreadyEvicted, NotTracked };
  // Marks the tracked entry (guid, cache) evicted at `now`.
  Eviction Evict(const GuidAndCache& key, int64_t now);

  // Placeholders: a removal reported before its addition.
  bool RemovePlaceholder(const GuidAndCache& key);
  // Adds one (the line-646 logic error when it is there already); true when
  // there are now more than `limit`, which the caller then flushes.
  bool AddPlaceholder(const GuidAndCache& key, size_t limit);
  size_t PlaceholderCount() const { return m_removeBeforeAddPlaceholders.size(); }
  // Empties the placeholders and gives up to `listed` of them, in order.
  std::vector<GuidAndCache> FlushPlaceholders(size_t listed);

  // Forgets every record of `cache`, live and evicted, and gives the ids that
  // had a key hash. Never stops halfway: without memory to list the ids, it
  // forgets every record all the same, then raises std::bad_alloc.
  std::vector<unsigned> Withdraw(const ICoherentCache* cache);

  // Evicted records, oldest first.
  size_t EvictedCount() const { return m_evictedEntries.size(); }
  // Eviction time of the oldest evicted record. REQUIRES: EvictedCount() > 0.
  int64_t OldestEvictionTime() const { return m_evictedEntries.begin()->first; }
  // Forgets the oldest evicted record while `keepGoing()` says so, adding its
  // id to `pruned` under its cache. Drops a key hash whose last record goes
  // (RedisPubsubSavedMessages counts those).
  void PruneOldestWhile(const std::function<bool()>& keepGoing, PrunedIds& pruned);

  // Every breach of the invariants, one per line; empty when they hold.
  std::string CheckConsistency() const;

 private:
  std::map<Hash, std::vector<CacheEntryInfo>> m_keyhashToCacheEntries;
  std::set<GuidAndCache> m_removeBeforeAddPlaceholders;
  std::set<GuidAndCache> m_evictedGuidAndCache;
  std::multimap<int64_t, CacheEntryInfo> m_evictedEntries;
  std::map<GuidAndCache, Hash> m_guidAndCacheToKeyHash;
};

}  // namespace kelvra::caching
