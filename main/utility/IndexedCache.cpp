// IndexedCache: see IndexedCache.h.
//
// Every change of the entries goes through IndexEntry / RemoveFromIndexes so
// that m_entries, m_indexedEntries and m_entryIndexKeys always agree. The
// deleting operations decide everything that can throw (policy, predicate)
// before they change anything.
#include "main/utility/IndexedCache.h"

#include <algorithm>
#include <vector>

#include "host/Errors.h"
#include "host/TFormatString.h"

using CacheHelpers::BooleanEntryPredicate;
using CacheHelpers::CreateBasicClock;
using CacheHelpers::Entry;
using CacheHelpers::EntryPredicate;
using CacheHelpers::EntryPredicateBinder;
using CacheHelpers::EntryPredicatePolicy;
using CacheHelpers::IClock;
using CacheHelpers::IPolicy;
using CacheHelpers::LifetimePolicy;

namespace {

// "<index>|<key>", unescaped.
TString QualifiedKey(const TString& indexName, const TString& key) {
  return TFormatString(u"%1|%2").arg(indexName).arg(key).result();
}

}  // namespace

IndexedCache::IndexedCache(std::shared_ptr<IPolicy> policy, std::unique_ptr<IClock> clock)
    : m_policy(std::move(policy)), m_clock(clock ? std::move(clock) : CreateBasicClock()) {
  if (!m_policy) ThrowLogicException("main/utility/IndexedCache", 219, "m_policy");
}

IndexedCache::IndexedCache(uint64_t lifetime, std::unique_ptr<IClock> clock)
    : m_policy(std::make_shared<LifetimePolicy>(lifetime)),
      m_clock(clock ? std::move(clock) : CreateBasicClock()) {}

// ---- Indexes and hints ----

bool IndexedCache::AddIndex(const TString& name, std::function<TString(const Entry&)> keyFunction) {
  if (name.empty() || !keyFunction) return false;
  auto qualified = [name, keyFunction = std::move(keyFunction)](const Entry& entry) {
    return QualifiedKey(name, keyFunction(entry));
  };
  if (!m_cacheData.m_indexFunctions.try_emplace(name, std::move(qualified)).second) return false;
  // Runs every index again; keys an entry is already listed under stay single.
  for (const Entry& entry : m_cacheData.m_entries) IndexEntry(entry);
  return true;
}

bool IndexedCache::HasIndex(std::shared_ptr<EntryPredicate> pred) {
  return !IndexNameOf(pred).empty();
}

std::set<unsigned> IndexedCache::GetHints(TString indexName, TString key) {
  auto found = m_cacheData.m_indexedEntries.find(QualifiedKey(indexName, key));
  if (found == m_cacheData.m_indexedEntries.end()) return {};
  return found->second;
}

Entry IndexedCache::PruneHints(std::shared_ptr<EntryPredicate> pred, unsigned maxHints) {
  auto found =
      m_cacheData.m_indexedEntries.find(QualifiedKey(pred->GetIndexName(), pred->GetKeyForIndexing()));
  if (found == m_cacheData.m_indexedEntries.end() || found->second.size() <= maxHints) return Entry(0);
  // The smallest id is the oldest entry listed under the key.
  const unsigned oldest = *found->second.begin();
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
  const Entry& entry = *m_cacheData.m_entries.insert(Entry(std::move(data), now)).first;
  IndexEntry(entry);
  m_policy->OnEntryAdded(entry);
  return entry.GetID();
}

Entry IndexedCache::GetEntry(unsigned id) {
  auto it = m_cacheData.m_entries.find(Entry(id));
  if (it == m_cacheData.m_entries.end()) return Entry();
  m_policy->OnEntryUsed(*it);
  return *it;
}

uint64_t IndexedCache::GetEntryCount() const {
  return m_cacheData.m_entries.size();
}

EntrySet IndexedCache::GetEntries() const {
  return m_cacheData.m_entries;
}

RefCntPtr<RefCntObject> IndexedCache::UseEntry(unsigned id) {
  auto it = m_cacheData.m_entries.find(Entry(id));
  if (it == m_cacheData.m_entries.end()) return nullptr;
  m_policy->OnEntryUsed(*it);  // still with the old clock
  return it->Use(m_clock->GetTime());
}

RefCntPtr<RefCntObject> IndexedCache::UseEntry(std::shared_ptr<EntryPredicate> pred) {
  auto it = FindFirstMatch(pred);
  if (it == m_cacheData.m_entries.end()) return nullptr;
  return UseFound(it);
}

RefCntPtr<RefCntObject> IndexedCache::UseEntryGetHint(std::shared_ptr<EntryPredicate> pred, unsigned& hint) {
  hint = 0;
  auto it = FindFirstMatch(pred);
  if (it == m_cacheData.m_entries.end()) return nullptr;
  hint = it->GetID();
  return UseFound(it);
}

RefCntPtr<RefCntObject> IndexedCache::UseEntryIfMatchesPredicate(unsigned id,
                                                                 std::shared_ptr<EntryPredicate> pred) {
  auto it = m_cacheData.m_entries.find(Entry(id));
  if (it == m_cacheData.m_entries.end() || !pred->Matches(*it)) return nullptr;
  return UseFound(it);
}

RefCntPtr<RefCntObject> IndexedCache::UseEntryUpdateHint(std::shared_ptr<EntryPredicate> pred,
                                                         unsigned& hint) {
  if (!pred) return nullptr;
  auto it = m_cacheData.m_entries.find(Entry(hint));
  if (it == m_cacheData.m_entries.end() || !pred->Matches(*it)) {
    it = FindFirstMatch(pred);
    if (it == m_cacheData.m_entries.end()) return nullptr;  // hint left as it was
  }
  RefCntPtr<RefCntObject> data = it->Use(m_clock->GetTime());
  hint = it->GetID();
  m_policy->OnEntryUsed(*it);
  return data;
}

void IndexedCache::DeleteEntry(unsigned id) {
  RemoveFromIndexes(id);
  auto it = m_cacheData.m_entries.find(Entry(id));
  if (it == m_cacheData.m_entries.end()) return;
  // The policy hears of the entry while it is still stored; the entry goes
  // even if the hook throws, so that it never stays unindexed.
  try {
    m_policy->OnEntryDeleted(*it);
  } catch (...) {
    m_cacheData.m_entries.erase(it);
    throw;
  }
  m_cacheData.m_entries.erase(it);
}

EntrySet IndexedCache::DeleteEntries(std::shared_ptr<EntryPredicate> pred) {
  EntrySet deleted;
  if (!pred) return deleted;
  const TString indexName = IndexNameOf(pred);
  if (indexName.empty()) {
    deleted = RemovePurgedEntries(std::make_shared<EntryPredicatePolicy>(pred));
  } else {
    auto found = m_cacheData.m_indexedEntries.find(QualifiedKey(indexName, pred->GetKeyForIndexing()));
    if (found != m_cacheData.m_indexedEntries.end()) {
      // Judge every listed entry (ascending ids) before deleting any, so that
      // a throwing predicate leaves the cache unchanged.
      std::vector<unsigned> matching;
      for (unsigned id : found->second) {
        auto it = m_cacheData.m_entries.find(Entry(id));
        if (it != m_cacheData.m_entries.end() && pred->Matches(*it)) matching.push_back(id);
      }
      deleted.reserve(matching.size());
      for (unsigned id : matching) {
        auto it = m_cacheData.m_entries.find(Entry(id));
        deleted.insert(*it);
        RemoveFromIndexes(id);
        m_cacheData.m_entries.erase(it);
      }
    }
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
  EntrySet deleted = RemovePurgedEntries(policy);
  NotifyDeleted(deleted);
  return deleted;
}

EntrySet IndexedCache::Purge() {
  return Purge(m_policy);
}

EntrySet IndexedCache::IncrementClock(std::shared_ptr<IPolicy> policy) {
  m_clock->Increment();
  return Purge(std::move(policy));
}

EntrySet IndexedCache::IncrementClock() {
  return IncrementClock(m_policy);
}

const IndexedCacheData& IndexedCache::GetCacheData() {
  return m_cacheData;
}

// ---- Private helpers ----

TString IndexedCache::IndexNameOf(const std::shared_ptr<EntryPredicate>& pred) {
  if (!pred) return TString();
  TString name = pred->GetIndexName();
  if (name.empty() || m_cacheData.m_indexFunctions.find(name) == m_cacheData.m_indexFunctions.end()) {
    return TString();
  }
  return name;
}

void IndexedCache::IndexEntry(const Entry& entry) {
  const unsigned id = entry.GetID();
  for (const auto& [name, qualifiedKeyOf] : m_cacheData.m_indexFunctions) {
    TString key = qualifiedKeyOf(entry);
    m_cacheData.m_indexedEntries[key].insert(id);
    m_cacheData.m_entryIndexKeys[id].insert(std::move(key));
  }
}

void IndexedCache::RemoveFromIndexes(unsigned id) {
  auto record = m_cacheData.m_entryIndexKeys.find(id);
  if (record == m_cacheData.m_entryIndexKeys.end()) return;
  for (const TString& key : record->second) {
    auto listed = m_cacheData.m_indexedEntries.find(key);
    if (listed == m_cacheData.m_indexedEntries.end()) continue;
    listed->second.erase(id);
    if (listed->second.empty()) m_cacheData.m_indexedEntries.erase(listed);
  }
  m_cacheData.m_entryIndexKeys.erase(record);
}

EntrySet::iterator IndexedCache::FindFirstMatch(const std::shared_ptr<EntryPredicate>& pred) {
  EntrySet& entries = m_cacheData.m_entries;
  const TString indexName = IndexNameOf(pred);
  if (indexName.empty()) return std::find_if(entries.begin(), entries.end(), EntryPredicateBinder(pred));

  // Indexed: only the ids listed under the key, oldest first; no scan.
  auto found = m_cacheData.m_indexedEntries.find(QualifiedKey(indexName, pred->GetKeyForIndexing()));
  if (found == m_cacheData.m_indexedEntries.end()) return entries.end();
  for (unsigned id : found->second) {
    auto it = entries.find(Entry(id));
    if (it != entries.end() && pred->Matches(*it)) return it;
  }
  return entries.end();
}

RefCntPtr<RefCntObject> IndexedCache::UseFound(EntrySet::iterator it) {
  RefCntPtr<RefCntObject> data = it->Use(m_clock->GetTime());
  m_policy->OnEntryUsed(*it);  // with the new clock
  return data;
}

EntrySet IndexedCache::RemovePurgedEntries(const std::shared_ptr<IPolicy>& policy) {
  EntrySet& entries = m_cacheData.m_entries;
  const uint64_t now = m_clock->GetTime();
  EntrySet deleted;

  if (policy->HasCapability(IPolicy::TracksEntries)) {
    // The policy names the victims; ids no longer present are skipped.
    EntrySet victims = policy->ComputeEntriesToPurge();
    for (const Entry& victim : victims) {
      auto it = entries.find(victim);
      if (it == entries.end()) continue;
      deleted.insert(*it);
      RemoveFromIndexes(it->GetID());
      entries.erase(it);
    }
    return deleted;
  }

  EntrySet survivors = policy->Purge(entries.begin(), entries.end(), now);
  if (survivors.size() == entries.size()) return deleted;
  for (const Entry& entry : entries) {
    if (survivors.find(entry) == survivors.end()) deleted.insert(entry);
  }
  // The cache keeps its own entries, not the policy's copies.
  for (const Entry& entry : deleted) {
    RemoveFromIndexes(entry.GetID());
    entries.erase(entry);
  }
  return deleted;
}

void IndexedCache::NotifyDeleted(const EntrySet& deleted) {
  for (const Entry& entry : deleted) m_policy->OnEntryDeleted(entry);
}
