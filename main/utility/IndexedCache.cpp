// IndexedCache: see IndexedCache.h.
//
// Every change of the entries goes through IndexEntry / RemoveFromIndexes and
// through the three places that add and take out stored entries (AddEntry,
// MoveEntryTo, DeleteEntry), so that m_entries, m_indexedEntries,
// m_entryIndexKeys and the lookup mirrors m_ids and m_hints always agree. A
// purge chooses its victims (policy's Purge or ComputeEntriesToPurge, which
// may throw) before it changes anything; an indexed deletion judges each
// listed entry just before deleting it, so a predicate that throws leaves
// the deletions made before it. The policy hears OnEntryDeleted after the
// change, and a deletion it raises from stays done; in DeleteEntry it hears
// of the entry while it is still stored, and should it raise, the entry
// stays stored, out of the indexes.
#include "main/utility/IndexedCache.h"

#include <algorithm>
#include <boost/container/small_vector.hpp>
#include <vector>

#include "host/Errors.h"
#include "main/utility/internal/Prefetch.h"

using namespace CacheHelpers;
using namespace CacheHelpers::internal;

// The stored form of an index's key function. Its text is that of the format
// "%1|%2" with the index name and the key, unescaped. IndexEntry calls the
// caller's function (m_keyOf) itself and looks the qualified key up without
// building it.
TString IndexedCache::QualifyingKeyFunction::operator()(const Entry& entry) const {
  const TString key = m_keyOf(entry);
  return QualifiedKey(m_name, key).ToString();
}

IndexedCache::IndexedCache(std::shared_ptr<IPolicy> policy, std::unique_ptr<IClock> clock)
    : m_policy(std::move(policy)), m_clock(clock ? std::move(clock) : CreateBasicClock()) {
  if (!m_policy) ThrowLogicException("main/utility/IndexedCache", 219, "m_policy");
}

IndexedCache::IndexedCache(uint64_t lifetime, std::unique_ptr<IClock> clock)
    : m_policy(std::make_shared<LifetimePolicy>(lifetime)),
      m_clock(clock ? std::move(clock) : CreateBasicClock()) {}

IndexedCache::IndexedCache(IndexedCache&& other) : IndexedCache() { SwapWith(other); }

IndexedCache& IndexedCache::operator=(IndexedCache&& other) {
  if (this != &other) {
    IndexedCache taken(std::move(other));
    SwapWith(taken);
  }
  return *this;
}

IndexedCache::~IndexedCache() = default;

void IndexedCache::SwapWith(IndexedCache& other) noexcept {
  using std::swap;
  swap(m_cacheData, other.m_cacheData);
  swap(m_policy, other.m_policy);
  swap(m_clock, other.m_clock);
  swap(m_ids, other.m_ids);
  swap(m_hints, other.m_hints);
  swap(m_indexOrder, other.m_indexOrder);
  swap(m_spareListings, other.m_spareListings);
  swap(m_spareIds, other.m_spareIds);
  swap(m_spareKeyRecords, other.m_spareKeyRecords);
  swap(m_spareKeys, other.m_spareKeys);
  swap(m_keepEmptiedListings, other.m_keepEmptiedListings);
  swap(m_emptiedListings, other.m_emptiedListings);
  swap(m_emptiedListingCount, other.m_emptiedListingCount);
}

namespace {

// Sets text to the qualified key "<index>|<key>", reusing the text's capacity.
void AssignQualifiedKey(TString& text, const TString& indexName, const TString& key) {
  text = indexName;
  text += u'|';
  text += key;
}

}  // namespace

// ---- Indexes and hints ----

bool IndexedCache::AddIndex(const TString& name, std::function<TString(const Entry&)> keyFunction) {
  if (name.empty() || !keyFunction) return false;
  auto& functions = m_cacheData.m_indexFunctions;
  auto [added, isNew] = functions.try_emplace(name, QualifyingKeyFunction{name, std::move(keyFunction)});
  if (!isNew) return false;
  // The map's iteration order may have changed: take it again. The function
  // objects stay where they are inside the map's elements.
  std::vector<const QualifyingKeyFunction*> order;
  try {
    order.reserve(functions.size());
  } catch (...) {
    functions.erase(added);  // no index that nothing would ever list under
    throw;
  }
  for (auto& [indexName, function] : functions) order.push_back(function.target<QualifyingKeyFunction>());
  m_indexOrder.swap(order);
  // Runs every index again; keys an entry is already listed under stay single.
  for (const Entry& entry : m_cacheData.m_entries) IndexEntry(entry);
  return true;
}

bool IndexedCache::HasIndex(std::shared_ptr<EntryPredicate> pred) {
  return !IndexNameOf(pred).empty();
}

std::set<unsigned> IndexedCache::GetHints(TString indexName, TString key) {
  const HintRecord* record = FindHints(indexName, key);
  if (record == nullptr) return {};
  return record->listing->second;
}

Entry IndexedCache::PruneHints(std::shared_ptr<EntryPredicate> pred, unsigned maxHints) {
  const TString indexName = pred->GetIndexName();
  const TString key = pred->GetKeyForIndexing();
  const HintRecord* record = FindHints(indexName, key);
  if (record == nullptr || record->count <= maxHints) return Entry(0);
  // The smallest id is the oldest entry listed under the key.
  const unsigned oldest = record->first.id;
  DeleteEntry(oldest);
  return Entry(oldest);
}

std::unordered_map<TString, std::set<unsigned>> IndexedCache::GetIndexedEntries() const {
  return m_cacheData.m_indexedEntries;
}

uint64_t IndexedCache::GetIndexedEntryCount() const {
  return m_cacheData.m_indexedEntries.size();
}

// ---- Entries ----

unsigned IndexedCache::AddEntry(RefCntPtr<RefCntObject> data) {
  const uint64_t now = m_clock->GetTime();
  m_ids.ReserveOneMore();  // so that the id table cannot fail once the entry is in
  Entry added(std::move(data), now);
  // The new id's slot lies anywhere in the id table: ask for it while the
  // entry set makes its node.
  m_ids.Prefetch(added.GetID());
  auto [stored, inserted] = m_cacheData.m_entries.insert(std::move(added));
  // Not inserted only when the id counter wrapped onto a present id; that
  // entry is then indexed and announced again, as it stands.
  if (inserted) m_ids.Insert(*stored);
  const Entry& entry = *stored;
  IndexEntry(entry);
  m_policy->OnEntryAdded(entry);
  return entry.GetID();
}

Entry IndexedCache::GetEntry(unsigned id) {
  const EntryIdTable::Stored* stored = m_ids.Find(id);
  if (stored == nullptr) return Entry();
  m_policy->OnEntryUsed(*stored->entry);
  return *stored->entry;
}

uint64_t IndexedCache::GetEntryCount() const {
  return m_cacheData.m_entries.size();
}

EntrySet IndexedCache::GetEntries() const {
  return m_cacheData.m_entries;
}

RefCntPtr<RefCntObject> IndexedCache::UseEntry(unsigned id) {
  const EntryIdTable::Stored* stored = m_ids.Find(id);
  if (stored == nullptr) return nullptr;
  PrefetchForWrite(stored->data);  // its count changes below; the entry's line is read meanwhile
  const Entry& entry = *stored->entry;
  m_policy->OnEntryUsed(entry);  // still with the old clock
  return entry.Use(m_clock->GetTime());
}

RefCntPtr<RefCntObject> IndexedCache::UseEntry(std::shared_ptr<EntryPredicate> pred) {
  const Entry* entry = FindFirstMatch(*pred);
  if (entry == nullptr) return nullptr;
  return UseFound(*entry);
}

RefCntPtr<RefCntObject> IndexedCache::UseEntryGetHint(std::shared_ptr<EntryPredicate> pred, unsigned& hint) {
  hint = 0;
  const Entry* entry = FindFirstMatch(*pred);
  if (entry == nullptr) return nullptr;
  hint = entry->GetID();
  return UseFound(*entry);
}

RefCntPtr<RefCntObject> IndexedCache::UseEntryIfMatchesPredicate(unsigned id,
                                                                 std::shared_ptr<EntryPredicate> pred) {
  return UseEntryIfMatches(id, *pred);
}

RefCntPtr<RefCntObject> IndexedCache::UseEntryUpdateHint(std::shared_ptr<EntryPredicate> pred,
                                                         unsigned& hint) {
  if (!pred) return nullptr;
  const EntryIdTable::Stored* stored = m_ids.Find(hint);
  const Entry* entry = stored != nullptr ? stored->entry : nullptr;
  if (entry == nullptr || !pred->Matches(*entry)) {
    entry = FindFirstMatch(*pred);
    if (entry == nullptr) return nullptr;  // hint left as it was
  }
  RefCntPtr<RefCntObject> data = entry->Use(m_clock->GetTime());
  hint = entry->GetID();
  m_policy->OnEntryUsed(*entry);
  return data;
}

void IndexedCache::DeleteEntry(unsigned id) {
  RemoveFromIndexes(id);
  auto it = m_cacheData.m_entries.find(Entry(id));
  if (it == m_cacheData.m_entries.end()) return;
  // The policy hears of the entry while it is still stored. Should the hook
  // raise, the entry stays, out of the indexes, as an entry whose key
  // function raised does.
  m_policy->OnEntryDeleted(*it);
  m_ids.Erase(id);
  m_cacheData.m_entries.erase(it);
}

EntrySet IndexedCache::DeleteEntries(std::shared_ptr<EntryPredicate> pred) {
  if (!pred) return EntrySet();
  EntrySet deleted;
  const TString indexName = IndexNameOf(*pred);
  if (indexName.empty()) {
    EntryPredicatePolicy policy(std::move(pred));
    deleted = RemovePurgedEntries(policy);
  } else {
    deleted = DeleteListedMatches(*pred, indexName, pred->GetKeyForIndexing());
  }
  NotifyDeleted(deleted);
  return deleted;
}

EntrySet IndexedCache::DeleteEntries() {
  return DeleteEntries(std::make_shared<BooleanEntryPredicate>(true));
}

// ---- Policy, clock, purge ----

std::shared_ptr<IPolicy> IndexedCache::GetPolicy() const {
  return m_policy;
}

uint64_t IndexedCache::GetClock() const {
  return m_clock->GetTime();
}

void IndexedCache::JustIncrementClock() {
  m_clock->Increment();
}

void IndexedCache::SetPolicy(std::shared_ptr<IPolicy> policy, std::unique_ptr<IClock> clock) {
  if (policy != m_policy) policy->CatalogCacheEntries(m_cacheData.m_entries);
  m_policy = std::move(policy);
  if (clock) m_clock = std::move(clock);
}

EntrySet IndexedCache::Purge(std::shared_ptr<IPolicy> policy) {
  EntrySet deleted = RemovePurgedEntries(*policy);
  NotifyDeleted(deleted);
  return deleted;
}

EntrySet IndexedCache::IncrementClock(std::shared_ptr<IPolicy> policy) {
  m_clock->Increment();
  return Purge(std::move(policy));
}

const IndexedCacheData& IndexedCache::GetCacheData() {
  return m_cacheData;
}

// ---- Private helpers ----

TString IndexedCache::IndexNameOf(const std::shared_ptr<EntryPredicate>& pred) {
  if (!pred) return TString();
  return IndexNameOf(*pred);
}

TString IndexedCache::IndexNameOf(EntryPredicate& pred) {
  TString name = pred.GetIndexName();
  return IsIndexName(name) ? name : TString();
}

bool IndexedCache::IsIndexName(const TString& name) const {
  if (name.empty()) return false;
  // A cache has a handful of indexes: comparing names beats hashing one.
  if (m_indexOrder.size() <= 8) {
    for (const QualifyingKeyFunction* index : m_indexOrder) {
      if (SameText(index->m_name.u16(), name.u16())) return true;
    }
    return false;
  }
  return m_cacheData.m_indexFunctions.find(name) != m_cacheData.m_indexFunctions.end();
}

const HintRecord* IndexedCache::FindHints(const TString& indexName, const TString& key) const {
  return m_hints.Find(QualifiedKey(indexName, key));
}

void IndexedCache::IndexEntry(const Entry& entry) {
  const unsigned id = entry.GetID();
  for (const QualifyingKeyFunction* index : m_indexOrder) {
    const TString key = index->m_keyOf(entry);
    const QualifiedKey qualified(index->m_name, key);
    // What may fail to allocate comes first: the node for the id's place in
    // m_indexedEntries[q], the node for q's place in m_entryIndexKeys[id],
    // the entry's key record and the key's listing. Listing the id and the
    // key then cannot fail, so running out of memory leaves every table as
    // it was (and never a listing without ids, or an id listed under a key
    // its entry does not name, which later lookups and deletions rely on).
    std::set<unsigned>::node_type idNode = m_spareIds.Take();
    if (idNode) {
      idNode.value() = id;
    } else {
      std::set<unsigned> one{id};
      idNode = one.extract(one.begin());
    }
    std::set<TString>::node_type keyNode = m_spareKeys.Take();
    if (keyNode) {
      // The text is made from the name and key at hand rather than copied
      // from the listing, whose text (longer than a short string holds) lies
      // in a block of its own; it reuses the capacity the spare text has.
      AssignQualifiedKey(keyNode.value(), index->m_name, key);
    } else {
      std::set<TString> one{qualified.ToString()};
      keyNode = one.extract(one.begin());
    }
    std::set<TString>& keys = KeysOf(id);
    HintRecord* record = m_hints.Find(qualified);
    if (record == nullptr) {
      // A new key: the record is made only once the key is in the public map
      // and cannot fail after it, so neither ever lists what the other lacks.
      try {
        m_hints.ReserveOneMore();
        Listing& listing = AddListing(qualified, index->m_name, key);
        record = &m_hints.Insert(listing, qualified.Hash());
      } catch (...) {
        // The entry's key record, when it was made just now, goes too.
        if (keys.empty()) m_spareKeyRecords.Keep(m_cacheData.m_entryIndexKeys.extract(id));
        throw;
      }
    }
    // m_indexedEntries[q].insert(id); the node goes back when id was listed.
    std::set<unsigned>& ids = record->listing->second;
    m_spareIds.Keep(std::move(ids.insert(std::move(idNode)).node));
    record->count = static_cast<uint32_t>(ids.size());
    if (*ids.begin() == id) record->first = Hint{&entry, entry.GetData().get(), id};
    // m_entryIndexKeys[id].insert(q), likewise.
    m_spareKeys.Keep(std::move(keys.insert(std::move(keyNode)).node));
  }
}

Listing& IndexedCache::AddListing(const QualifiedKey& key, const TString& indexName, const TString& keyText) {
  auto& listings = m_cacheData.m_indexedEntries;
  if (auto node = m_spareListings.Take()) {
    // The spare's text takes "<index>|<key>" in the capacity it has; its set
    // is empty (a listing is taken out when its last id goes).
    AssignQualifiedKey(node.key(), indexName, keyText);
    auto inserted = listings.insert(std::move(node));
    m_spareListings.Keep(std::move(inserted.node));  // only if the key was there already
    return *inserted.position;
  }
  return *listings.try_emplace(key.ToString()).first;
}

std::set<TString>& IndexedCache::KeysOf(unsigned id) {
  auto& records = m_cacheData.m_entryIndexKeys;
  auto found = records.find(id);
  if (found != records.end()) return found->second;
  if (auto node = m_spareKeyRecords.Take()) {
    node.key() = id;
    auto inserted = records.insert(std::move(node));
    return inserted.position->second;
  }
  return records[id];
}

void IndexedCache::RemoveFromIndexes(unsigned id) {
  auto found = m_cacheData.m_entryIndexKeys.find(id);
  if (found == m_cacheData.m_entryIndexKeys.end()) return;
  for (const TString& key : found->second) {
    HintRecord* record = m_hints.Find(key.u16());
    if (record == nullptr) continue;
    std::set<unsigned>& ids = record->listing->second;
    m_spareIds.Keep(ids.extract(id));
    record->count = static_cast<uint32_t>(ids.size());
    if (ids.empty()) {
      if (m_keepEmptiedListings && m_emptiedListingCount < m_emptiedListings.size()) {
        m_emptiedListings[m_emptiedListingCount++] = record->listing;
        record->first = Hint{};
        continue;
      }
      // The record goes first: it points at the map's element.
      m_hints.Erase(*record);
      m_spareListings.Keep(m_cacheData.m_indexedEntries.extract(key));
    } else if (record->first.id == id) {
      const unsigned next = *ids.begin();
      const EntryIdTable::Stored* stored = m_ids.Find(next);
      record->first = Hint{stored->entry, stored->data, next};
    }
  }
  auto node = m_cacheData.m_entryIndexKeys.extract(found);
  std::set<TString>& keys = node.mapped();
  while (!keys.empty()) m_spareKeys.Keep(keys.extract(keys.begin()));
  m_spareKeyRecords.Keep(std::move(node));
}

void IndexedCache::MoveEntryTo(EntrySet::iterator it, EntrySet& into) {
  m_ids.Erase(it->GetID());
  into.insert(m_cacheData.m_entries.extract(it));
}

const Entry* IndexedCache::FindFirstMatch(EntryPredicate& pred) {
  const TString indexName = IndexNameOf(pred);
  if (indexName.empty()) {
    for (const Entry& entry : m_cacheData.m_entries) {
      if (pred.Matches(entry)) return &entry;
    }
    return nullptr;
  }
  // Indexed: only the ids listed under the key, oldest first; no scan.
  const HintRecord* record = FindHints(indexName, pred.GetKeyForIndexing());
  if (record == nullptr) return nullptr;
  const Entry* found = nullptr;
  VisitHints(*record, [&](const Hint& hint) {
    PrefetchForWrite(hint.data);  // a match is used: its count changes
    if (!pred.Matches(*hint.entry)) return true;
    found = hint.entry;
    return false;
  });
  return found;
}

RefCntPtr<RefCntObject> IndexedCache::UseFound(const Entry& entry) {
  RefCntPtr<RefCntObject> data = entry.Use(m_clock->GetTime());
  m_policy->OnEntryUsed(entry);  // with the new clock
  return data;
}

RefCntPtr<RefCntObject> IndexedCache::UseEntryIfMatches(unsigned id, EntryPredicate& pred) {
  const EntryIdTable::Stored* stored = m_ids.Find(id);
  if (stored == nullptr || !pred.Matches(*stored->entry)) return nullptr;
  return UseFound(*stored->entry);
}

EntrySet IndexedCache::DeleteEntries(EntryPredicate& pred, const TString& indexName, const TString& key) {
  EntrySet deleted;
  if (IsIndexName(indexName)) {
    deleted = DeleteListedMatches(pred, indexName, key);
  } else {
    // The policy shares the caller's predicate only for this call.
    EntryPredicatePolicy policy(std::shared_ptr<EntryPredicate>(std::shared_ptr<void>(), &pred));
    deleted = RemovePurgedEntries(policy);
  }
  NotifyDeleted(deleted);
  return deleted;
}

std::pair<unsigned, EntrySet> IndexedCache::ReplaceEntries(EntryPredicate& pred, const TString& indexName,
                                                           const TString& key, RefCntPtr<RefCntObject> data) {
  m_keepEmptiedListings = true;
  struct DropAtExit {
    IndexedCache& cache;
    ~DropAtExit() { cache.DropEmptiedListings(); }
  } dropAtExit{*this};
  EntrySet deleted = DeleteEntries(pred, indexName, key);
  const unsigned id = AddEntry(std::move(data));
  return {id, std::move(deleted)};
}

void IndexedCache::DropEmptiedListings() noexcept {
  m_keepEmptiedListings = false;
  for (size_t i = 0; i < m_emptiedListingCount; ++i) {
    Listing& listing = *m_emptiedListings[i];
    if (!listing.second.empty()) continue;  // the addition listed its entry there
    m_hints.Erase(*m_hints.Find(listing.first.u16()));
    m_spareListings.Keep(m_cacheData.m_indexedEntries.extract(listing.first));
  }
  m_emptiedListingCount = 0;
}

EntrySet IndexedCache::DeleteListedMatches(EntryPredicate& pred, const TString& indexName,
                                           const TString& key) {
  EntrySet deleted;
  const HintRecord* record = FindHints(indexName, key);
  if (record == nullptr) return deleted;
  // A copy of the listed ids, since the record may move or go as the
  // indexes change. Each entry is judged, and deleted on a match, before the
  // next one (ascending ids): a predicate that throws leaves the deletions
  // made before it.
  boost::container::small_vector<unsigned, 8> listed;
  VisitHints(*record, [&](const Hint& hint) {
    listed.push_back(hint.id);
    return true;
  });
  for (unsigned id : listed) {
    auto it = m_cacheData.m_entries.find(Entry(id));
    if (it == m_cacheData.m_entries.end() || !pred.Matches(*it)) continue;
    RemoveFromIndexes(id);
    MoveEntryTo(it, deleted);
  }
  return deleted;
}

EntrySet IndexedCache::RemovePurgedEntries(IPolicy& policy) {
  EntrySet& entries = m_cacheData.m_entries;
  const uint64_t now = m_clock->GetTime();
  EntrySet deleted;

  if (policy.HasCapability(IPolicy::TracksEntries)) {
    // The policy names the victims; ids no longer present are skipped.
    EntrySet victims = policy.ComputeEntriesToPurge();
    for (const Entry& victim : victims) {
      auto it = entries.find(victim);
      if (it == entries.end()) continue;
      RemoveFromIndexes(it->GetID());
      MoveEntryTo(it, deleted);
    }
    return deleted;
  }

  EntrySet survivors = policy.Purge(entries.begin(), entries.end(), now);
  if (survivors.size() == entries.size()) return deleted;
  std::vector<EntrySet::iterator> doomed;
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (survivors.find(*it) == survivors.end()) doomed.push_back(it);
  }
  // The cache keeps its own entries, not the policy's copies; the deleted
  // ones move into the result without a copy.
  deleted.reserve(doomed.size());
  for (EntrySet::iterator it : doomed) {
    RemoveFromIndexes(it->GetID());
    MoveEntryTo(it, deleted);
  }
  return deleted;
}

void IndexedCache::NotifyDeleted(const EntrySet& deleted) {
  for (const Entry& entry : deleted) m_policy->OnEntryDeleted(entry);
}
