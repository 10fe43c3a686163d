#include "main/utility/SynchronizedCache.h"

#include "host/Errors.h"
#include "host/LockGuards.h"

using CacheHelpers::Entry;
using CacheHelpers::EntryPredicate;
using CacheHelpers::EntryPredicatePolicy;
using CacheHelpers::IPolicy;

namespace {

TReadWriteLock* RequireLock(TReadWriteLock* lock) {
  if (lock == nullptr) ThrowLogicException("main/utility/SynchronizedCache", __LINE__, "lock");
  return lock;
}

const Entry* FindFirstMatch(const EntrySet& snapshot, EntryPredicate& predicate) {
  for (const Entry& entry : snapshot) {
    if (predicate.Matches(entry)) return &entry;
  }
  return nullptr;
}

// Stamps the use on a copy of the snapshot's entry (the snapshot itself is
// thrown away) and hands out the data.
RefCntPtr<RefCntObject> UseCopy(const Entry& entry, uint64_t clock) {
  Entry copy = entry;
  return copy.Use(clock);
}

}  // namespace

SynchronizedCache::SynchronizedCache(std::shared_ptr<IPolicy> policy, TReadWriteLock* lock)
    : m_cache(std::move(policy)), m_lock(RequireLock(lock)) {}

SynchronizedCache::~SynchronizedCache() = default;

void SynchronizedCache::OnDirty(const std::vector<unsigned int>& ids) {
  TWriteLockGuard guard(*m_lock);
  for (unsigned int id : ids) m_cache.DeleteEntry(id);
}

unsigned int SynchronizedCache::AddEntry(RefCntPtr<RefCntObject> data) {
  TWriteLockGuard guard(*m_lock);
  return m_cache.AddEntry(std::move(data));
}

RefCntPtr<RefCntObject> SynchronizedCache::TryGetEntry(unsigned int id) {
  TWriteLockGuard guard(*m_lock);
  return m_cache.UseEntry(id);
}

RefCntPtr<RefCntObject> SynchronizedCache::TryDeleteEntry(unsigned int id) {
  TWriteLockGuard guard(*m_lock);
  return m_cache.DeleteEntry(id);
}

uint64_t SynchronizedCache::GetSize() const {
  TWriteLockGuard guard(*m_lock);
  return m_cache.GetSize();
}

Cache* SynchronizedCache::GetCache() {
  return &m_cache;
}

EntrySet SynchronizedCache::Snapshot(uint64_t& clock) {
  TWriteLockGuard guard(*m_lock);
  clock = m_cache.GetClock();
  return m_cache.GetEntries();
}

EntrySet SynchronizedCache::DeleteEntries(std::shared_ptr<EntryPredicate> predicate) {
  if (!predicate) return {};  // a null predicate matches nothing
  uint64_t clock = 0;
  EntrySet snapshot = Snapshot(clock);
  EntryPredicatePolicy policy(std::move(predicate));
  return RemoveEntries(policy, snapshot, clock);
}

EntrySet SynchronizedCache::Purge() {
  std::shared_ptr<IPolicy> policy;
  {
    TWriteLockGuard guard(*m_lock);
    policy = m_cache.GetPolicy();
  }
  return PurgeWithPolicy(*policy);
}

EntrySet SynchronizedCache::PurgeWithPolicy(IPolicy& policy) {
  uint64_t clock = 0;
  EntrySet snapshot = Snapshot(clock);
  return RemoveEntries(policy, snapshot, clock);
}

EntrySet SynchronizedCache::IncrementClock() {
  {
    TWriteLockGuard guard(*m_lock);
    m_cache.JustIncrementClock();
  }
  return Purge();
}

EntrySet SynchronizedCache::IncrementClockWithPolicy(IPolicy& policy) {
  {
    TWriteLockGuard guard(*m_lock);
    m_cache.JustIncrementClock();
  }
  return PurgeWithPolicy(policy);
}

void SynchronizedCache::VisitEntries(std::shared_ptr<EntryPredicate> predicate) {
  if (!predicate) return;  // nothing to visit with
  EntrySet snapshot;
  {
    TWriteLockGuard guard(*m_lock);
    snapshot = m_cache.GetEntries();
  }
  for (const Entry& entry : snapshot) predicate->Matches(entry);
}

RefCntPtr<RefCntObject> SynchronizedCache::TryGetEntry(std::shared_ptr<EntryPredicate> predicate) {
  if (!predicate) return nullptr;  // a null predicate matches nothing
  uint64_t clock = 0;
  EntrySet snapshot = Snapshot(clock);
  const Entry* found = FindFirstMatch(snapshot, *predicate);
  return found ? UseCopy(*found, clock) : nullptr;
}

RefCntPtr<RefCntObject> SynchronizedCache::TryGetEntry(std::shared_ptr<EntryPredicate> predicate,
                                                       unsigned int& hint) {
  if (!predicate) {  // a null predicate matches nothing: a miss clears the hint
    hint = 0;
    return nullptr;
  }
  uint64_t clock = 0;
  EntrySet snapshot = Snapshot(clock);
  // Any id may be a hint, 0 included: after the id counter wraps an entry
  // can carry it.
  auto hinted = snapshot.find(Entry(hint));
  if (hinted != snapshot.end() && predicate->Matches(*hinted)) return UseCopy(*hinted, clock);
  hint = 0;
  const Entry* found = FindFirstMatch(snapshot, *predicate);
  if (!found) return nullptr;
  hint = found->GetID();
  return UseCopy(*found, clock);
}

RefCntPtr<RefCntObject> SynchronizedCache::TryGetEntryAndHint(std::shared_ptr<EntryPredicate> predicate,
                                                              unsigned int& hint) {
  hint = 0;
  if (!predicate) return nullptr;  // a null predicate matches nothing
  uint64_t clock = 0;
  EntrySet snapshot = Snapshot(clock);
  const Entry* found = FindFirstMatch(snapshot, *predicate);
  if (!found) return nullptr;
  hint = found->GetID();
  return UseCopy(*found, clock);
}

EntrySet SynchronizedCache::RemoveEntries(IPolicy& policy, EntrySet& snapshot, uint64_t clock) {
  EntrySet survivors = policy.Purge(snapshot.cbegin(), snapshot.cend(), clock);
  if (survivors.size() == snapshot.size()) return {};
  EntrySet result;
  for (const Entry& entry : snapshot) {
    if (survivors.find(entry) == survivors.end()) result.insert(entry);
  }
  for (const Entry& entry : result) {
    RefCntPtr<RefCntObject> released;
    TWriteLockGuard guard(*m_lock);
    released = m_cache.DeleteEntry(entry.GetID());
    guard.Unlock();  // the data is released after the lock
  }
  return result;
}
