#include "main/utility/SynchronizedIndexedCache.h"

#include "host/Errors.h"
#include "host/LockGuards.h"
#include "main/utility/KelCacheData.h"

using CacheHelpers::BooleanEntryPredicate;
using CacheHelpers::Entry;
using CacheHelpers::EntryPredicate;
using CacheHelpers::EntryPredicatePolicy;
using CacheHelpers::IPolicy;

namespace {

// A predicate whose answers for a fixed set of entry ids were computed
// beforehand; other ids go to the wrapped predicate, which also names the
// index. Immutable after construction, so any thread may use it.
struct PrecomputedEntryPredicate : EntryPredicate {
  PrecomputedEntryPredicate(std::unordered_map<unsigned int, bool> answers,
                            std::shared_ptr<EntryPredicate> wrapped)
      : m_answers(std::move(answers)), m_wrapped(std::move(wrapped)) {}

  bool Matches(const Entry& entry) override {
    auto found = m_answers.find(entry.GetID());
    return found != m_answers.end() ? found->second : m_wrapped->Matches(entry);
  }
  TString GetIndexName() override { return m_wrapped->GetIndexName(); }
  TString GetKeyForIndexing() override { return m_wrapped->GetKeyForIndexing(); }
  bool HasIndex() const override { return m_wrapped->HasIndex(); }

  const std::unordered_map<unsigned int, bool> m_answers;
  const std::shared_ptr<EntryPredicate> m_wrapped;
};

TReadWriteLock* RequireLock(TReadWriteLock* lock) {
  if (lock == nullptr) ThrowLogicException("main/utility/SynchronizedIndexedCache", __LINE__, "lock");
  return lock;
}

}  // namespace

SynchronizedIndexedCache::SynchronizedIndexedCache(std::shared_ptr<IPolicy> policy, TReadWriteLock* lock,
                                                   std::unique_ptr<CacheHelpers::IClock> clock)
    : m_cache(std::move(policy), std::move(clock)),
      m_lock(RequireLock(lock)),
      m_lockSupplied(true),
      m_cacheSizeBytes(sizeof(SynchronizedIndexedCache)),
      m_sizeLock(std::make_unique<TReadWriteLock>(0)) {}

SynchronizedIndexedCache::SynchronizedIndexedCache(std::shared_ptr<IPolicy> policy,
                                                   std::unique_ptr<CacheHelpers::IClock> clock)
    : m_cache(std::move(policy), std::move(clock)),
      m_ownedLock(std::make_unique<TReadWriteLock>(0)),
      m_lock(m_ownedLock.get()),
      m_lockSupplied(false),
      m_cacheSizeBytes(sizeof(SynchronizedIndexedCache)),
      m_sizeLock(std::make_unique<TReadWriteLock>(0)) {}

SynchronizedIndexedCache::~SynchronizedIndexedCache() = default;

void SynchronizedIndexedCache::OnDirty(const std::vector<unsigned int>& ids) {
  TWriteLockGuard guard(*m_lock);
  for (unsigned int id : ids) m_cache.DeleteEntry(id);
}

unsigned int SynchronizedIndexedCache::AddEntry(RefCntPtr<RefCntObject> data) {
  TWriteLockGuard guard(*m_lock);
  return m_cache.AddEntry(std::move(data));
}

std::pair<unsigned int, EntrySet> SynchronizedIndexedCache::AddEntryAndDeleteExistingEntriesItMatches(
    RefCntPtr<RefCntObject> data, std::shared_ptr<EntryPredicate> predicate, uint64_t sizeBytes) {
  std::shared_ptr<EntryPredicate> precomputed = MakePrecomputedPredicate(std::move(predicate));
  EntrySet deleted;
  unsigned int id = 0;
  {
    TWriteLockGuard guard(*m_lock);
    deleted = m_cache.DeleteEntries(precomputed);
    id = m_cache.AddEntry(std::move(data));
  }
  AdjustCacheSize(deleted, sizeBytes);
  return {id, std::move(deleted)};
}

bool SynchronizedIndexedCache::AddIndex(const TString& name, std::function<TString(const Entry&)> keyOf) {
  TWriteLockGuard guard(*m_lock);
  return m_cache.AddIndex(name, std::move(keyOf));
}

EntrySet SynchronizedIndexedCache::DeleteEntries(std::shared_ptr<EntryPredicate> predicate) {
  if (!predicate) return {};
  EntryPredicatePolicy policy(predicate);
  const TString indexName = predicate->GetIndexName();
  const TString key = predicate->GetKeyForIndexing();
  std::set<unsigned> hints;
  uint64_t clock = 0;
  {
    TWriteLockGuard guard(*m_lock);
    if (!m_cache.HasIndex(predicate)) return m_cache.DeleteEntries(predicate);
    hints = m_cache.GetHints(indexName, key);
    clock = m_cache.GetClock();
  }
  // One shared hold per hint, so that a long list does not hold writers off.
  EntrySet candidates;
  for (unsigned id : hints) {
    TReadLockGuard guard(*m_lock);
    Entry entry = m_cache.GetEntry(id);
    if (entry.GetData()) candidates.insert(std::move(entry));
  }
  return RemoveEntries(policy, candidates, clock);
}

EntrySet SynchronizedIndexedCache::PrecomputePredicateAndDeleteEntries(
    std::shared_ptr<EntryPredicate> predicate) {
  return DeleteEntries(MakePrecomputedPredicate(std::move(predicate)));
}

std::shared_ptr<EntryPredicate> SynchronizedIndexedCache::MakePrecomputedPredicate(
    std::shared_ptr<EntryPredicate> predicate) {
  EntrySet candidates = GetPossiblyMatchingEntries(predicate);
  std::unordered_map<unsigned int, bool> answers;
  answers.reserve(candidates.size());
  for (const Entry& candidate : candidates) answers.emplace(candidate.GetID(), predicate->Matches(candidate));
  return std::make_shared<PrecomputedEntryPredicate>(std::move(answers), std::move(predicate));
}

EntrySet SynchronizedIndexedCache::GetPossiblyMatchingEntries(std::shared_ptr<EntryPredicate> predicate) {
  EntrySet result;
  const TString indexName = predicate->GetIndexName();
  const TString key = predicate->GetKeyForIndexing();
  TReadLockGuard guard(*m_lock);
  if (!m_cache.HasIndex(predicate)) return m_cache.GetEntries();
  for (unsigned id : m_cache.GetHints(indexName, key)) {
    Entry entry = m_cache.GetEntry(id);
    if (entry.GetID() == id) result.insert(std::move(entry));
  }
  return result;
}

unsigned int SynchronizedIndexedCache::FindFirstMatch(std::shared_ptr<EntryPredicate> predicate) {
  EntrySet candidates = GetPossiblyMatchingEntries(predicate);
  for (const Entry& candidate : candidates) {
    if (predicate->Matches(candidate)) return candidate.GetID();
  }
  return 0;
}

RefCntPtr<RefCntObject> SynchronizedIndexedCache::TryGetEntry(unsigned int id) {
  TWriteLockGuard guard(*m_lock);
  return m_cache.UseEntry(id);
}

RefCntPtr<RefCntObject> SynchronizedIndexedCache::TryGetEntry(std::shared_ptr<EntryPredicate> predicate) {
  unsigned int scratch = 0;
  return TryGetEntryAndHint(std::move(predicate), scratch);
}

RefCntPtr<RefCntObject> SynchronizedIndexedCache::TryGetEntryAndHint(
    std::shared_ptr<EntryPredicate> predicate, unsigned int& hint) {
  unsigned int id = FindFirstMatch(std::move(predicate));
  if (id == 0) return nullptr;
  RefCntPtr<RefCntObject> data = TryGetEntry(id);
  if (data) hint = id;  // an entry that vanished in between leaves the hint alone
  return data;
}

RefCntPtr<RefCntObject> SynchronizedIndexedCache::TryGetEntryUpdateHint(
    std::shared_ptr<EntryPredicate> predicate, unsigned int& hint) {
  if (hint != 0) {
    RefCntPtr<RefCntObject> data;
    {
      TWriteLockGuard guard(*m_lock);
      data = m_cache.UseEntryIfMatchesPredicate(hint, predicate);
    }
    if (data) return data;
  }
  hint = 0;
  return TryGetEntryAndHint(std::move(predicate), hint);
}

void SynchronizedIndexedCache::VisitEntries(std::shared_ptr<EntryPredicate> predicate) {
  EntrySet snapshot;
  {
    TReadLockGuard guard(*m_lock);
    snapshot = m_cache.GetEntries();
  }
  for (const Entry& entry : snapshot) predicate->Matches(entry);
}

Entry SynchronizedIndexedCache::PruneHints(std::shared_ptr<EntryPredicate> predicate, unsigned int limit) {
  Entry pruned;
  {
    TWriteLockGuard guard(*m_lock);
    pruned = m_cache.PruneHints(std::move(predicate), limit);
  }
  AdjustCacheSize(EntrySet{pruned}, 0);
  return pruned;
}

EntrySet SynchronizedIndexedCache::Purge() {
  std::shared_ptr<IPolicy> policy;
  EntrySet snapshot;
  uint64_t clock = 0;
  {
    TReadLockGuard guard(*m_lock);
    policy = m_cache.GetPolicy();
    if (policy->HasCapability(IPolicy::TracksEntries)) {
      guard.Unlock();
      return RemoveEntriesHelper(*policy);
    }
    snapshot = m_cache.GetEntries();
    clock = m_cache.GetClock();
  }
  return RemoveEntries(*policy, snapshot, clock);
}

EntrySet SynchronizedIndexedCache::IncrementClock() {
  TWriteLockGuard guard(*m_lock);
  return m_cache.IncrementClock();
}

EntrySet SynchronizedIndexedCache::GetEntries() const {
  TReadLockGuard guard(*m_lock);
  return m_cache.GetEntries();
}

uint64_t SynchronizedIndexedCache::GetEntryCount() const {
  TReadLockGuard guard(*m_lock);
  return m_cache.GetEntryCount();
}

std::unordered_map<TString, std::set<unsigned int>> SynchronizedIndexedCache::GetIndexedEntries() const {
  TReadLockGuard guard(*m_lock);
  return m_cache.GetIndexedEntries();
}

uint64_t SynchronizedIndexedCache::GetIndexedEntryCount() const {
  TReadLockGuard guard(*m_lock);
  return m_cache.GetIndexedEntryCount();
}

uint64_t SynchronizedIndexedCache::GetCacheSizeBytes() const {
  TReadLockGuard guard(*m_sizeLock);
  return m_cacheSizeBytes;
}

void SynchronizedIndexedCache::AdjustCacheSize(const EntrySet& removed, uint64_t addedBytes) {
  uint64_t removedBytes = 0;
  for (const Entry& entry : removed) removedBytes += GetEntrySize(entry);
  TWriteLockGuard guard(*m_sizeLock);
  m_cacheSizeBytes += addedBytes;
  // Never below 0: the estimate may count a removal that another thread made.
  m_cacheSizeBytes = removedBytes >= m_cacheSizeBytes ? 0 : m_cacheSizeBytes - removedBytes;
}

uint64_t SynchronizedIndexedCache::GetEntrySize(const Entry& entry) {
  const RefCntPtr<RefCntObject>& data = entry.GetData();
  if (!data) return 0;
  const auto* sized = dynamic_cast<const KelCacheData*>(data.get());
  return sized != nullptr ? sized->GetMemoryUsage() : 0;
}

EntrySet SynchronizedIndexedCache::RemoveEntries(IPolicy& policy, EntrySet& candidates, uint64_t clock) {
  EntrySet survivors = policy.Purge(candidates.cbegin(), candidates.cend(), clock);
  if (survivors.size() == candidates.size()) return {};
  EntrySet planned;
  std::unordered_map<unsigned int, bool> answers;
  for (const Entry& candidate : candidates) {
    if (survivors.find(candidate) == survivors.end()) {
      planned.insert(candidate);
      answers.emplace(candidate.GetID(), true);
    }
  }
  // The byte count drops before the deletion takes place.
  AdjustCacheSize(planned, 0);
  if (planned.empty()) return {};
  // Entries added after the snapshot are absent from the table and never match.
  auto plannedOnly = std::make_shared<PrecomputedEntryPredicate>(
      std::move(answers), std::make_shared<BooleanEntryPredicate>(false));
  TWriteLockGuard guard(*m_lock);
  return m_cache.DeleteEntries(plannedOnly);
}

EntrySet SynchronizedIndexedCache::RemoveEntriesHelper(IPolicy& policy) {
  EntrySet purged;
  {
    TWriteLockGuard guard(*m_lock);
    purged = policy.ComputeEntriesToPurge();
    for (const Entry& entry : purged) m_cache.DeleteEntry(entry.GetID());
  }
  AdjustCacheSize(purged, 0);
  return purged;
}
