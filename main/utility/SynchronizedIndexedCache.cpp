#include "main/utility/SynchronizedIndexedCache.h"

#include <algorithm>
#include <boost/container/small_vector.hpp>

#include "host/Errors.h"
#include "host/LockGuards.h"
#include "main/utility/KelCacheData.h"
#include "main/utility/internal/EntryScratch.h"
#include "main/utility/internal/Prefetch.h"

using namespace CacheHelpers;
using namespace CacheHelpers::internal;

namespace {

// A predicate whose answers for a fixed set of entry ids were computed
// beforehand; other ids go to the wrapped predicate. GetIndexName and
// GetKeyForIndexing ask the wrapped predicate, as a caller of this one
// expects; IndexName and Key keep what it gave when the answers were
// computed, for the replacement's own steps. Filled by Answer and Seal, then
// immutable, so any thread may use it.
//
// The answers table is a vector sorted by id, searched by bisection: no
// hashing, a table of one candidate (a key listed once) needs no sorting,
// and a short one lives inside the object (which the adding-with-replacement
// path keeps on the stack).
class PrecomputedEntryPredicate final : public EntryPredicate {
 public:
  PrecomputedEntryPredicate(std::shared_ptr<EntryPredicate> wrapped, TString indexName, TString key)
      : m_wrapped(std::move(wrapped)), m_indexName(std::move(indexName)), m_key(std::move(key)) {}

  void Answer(unsigned int id, bool answer) { m_answers.push_back({id, answer}); }
  // Call once all answers are in.
  void Seal() {
    if (!std::is_sorted(m_answers.begin(), m_answers.end(), IdLess)) {
      std::sort(m_answers.begin(), m_answers.end(), IdLess);
    }
  }
  // Answer and Seal with the judge's answer for each candidate, in the
  // candidates' order (the judge is the wrapped predicate, which the caller
  // already holds by reference).
  void AnswerFor(const EntryScratch& candidates, EntryPredicate& judge) {
    for (const Entry& candidate : candidates) Answer(candidate.GetID(), judge.Matches(candidate));
    Seal();
  }

  bool Matches(const Entry& entry) override {
    const unsigned int id = entry.GetID();
    auto found = std::lower_bound(m_answers.begin(), m_answers.end(), Answered{id, false}, IdLess);
    return found != m_answers.end() && found->id == id ? found->answer : m_wrapped->Matches(entry);
  }
  // Asked of the wrapped predicate, as a caller of this one expects.
  TString GetIndexName() override { return m_wrapped->GetIndexName(); }
  TString GetKeyForIndexing() override { return m_wrapped->GetKeyForIndexing(); }
  bool HasIndex() const override { return m_wrapped->HasIndex(); }

  // The wrapped predicate's index name and key when the answers were made:
  // the cache's own steps use these, without asking it again.
  const TString& IndexName() const { return m_indexName; }
  const TString& Key() const { return m_key; }

 private:
  struct Answered {
    unsigned int id;
    bool answer;
  };
  static bool IdLess(const Answered& a, const Answered& b) { return a.id < b.id; }

  boost::container::small_vector<Answered, 8> m_answers;  // ascending ids once sealed
  const std::shared_ptr<EntryPredicate> m_wrapped;
  const TString m_indexName;
  const TString m_key;
};

// The wrapped predicate of a removal's table: entries outside it never match.
const std::shared_ptr<EntryPredicate>& NeverMatches() {
  // Never destroyed: caches may still be in use on other threads while the
  // process exits.
  static const std::shared_ptr<EntryPredicate>& s_never =
      *new std::shared_ptr<EntryPredicate>(std::make_shared<BooleanEntryPredicate>(false));
  return s_never;
}

TReadWriteLock* RequireLock(TReadWriteLock* lock) {
  if (lock == nullptr) ThrowLogicException("main/utility/SynchronizedIndexedCache", __LINE__, "lock");
  return lock;
}

}  // namespace

SynchronizedIndexedCache::SynchronizedIndexedCache(std::shared_ptr<IPolicy> policy, TReadWriteLock* lock,
                                                   std::unique_ptr<CacheHelpers::IClock> clock)
    : m_cache(std::move(policy), std::move(clock)),
      m_lock(RequireLock(lock)),
      m_cacheSizeBytes(sizeof(SynchronizedIndexedCache)),
      m_sizeLock(std::make_unique<TReadWriteLock>(0)) {}

SynchronizedIndexedCache::SynchronizedIndexedCache(std::shared_ptr<IPolicy> policy,
                                                   std::unique_ptr<CacheHelpers::IClock> clock)
    : m_cache(std::move(policy), std::move(clock)),
      m_ownedLock(std::make_unique<TReadWriteLock>(0)),
      m_lock(m_ownedLock.get()),
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
  if (!predicate) {  // a null predicate matches nothing: a plain addition, without judging every entry
    const unsigned int id = AddEntry(std::move(data));
    AdjustCacheSize(EntrySet(), sizeBytes);
    return {id, EntrySet()};
  }
  // The precomputed predicate, as MakePrecomputedPredicate builds it, but on
  // the stack: it lives only for this call.
  EntryPredicate& judge = *predicate;  // owned by `precomputed` from here on
  TString indexName = judge.GetIndexName();
  TString key = judge.GetKeyForIndexing();
  PrecomputedEntryPredicate precomputed(std::move(predicate), std::move(indexName), std::move(key));
  {
    EntryScratch candidates;
    CollectCandidates(precomputed.IndexName(), precomputed.Key(), candidates);
    precomputed.AnswerFor(candidates, judge);
  }
  std::pair<unsigned int, EntrySet> replaced;
  {
    TWriteLockGuard guard(*m_lock);
    replaced = m_cache.ReplaceEntries(precomputed, precomputed.IndexName(), precomputed.Key(), std::move(data));
  }
  AdjustCacheSize(replaced.second, sizeBytes);
  return replaced;
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
  boost::container::small_vector<unsigned int, 16> hints;  // ascending, as GetHints gives them
  uint64_t clock = 0;
  {
    TWriteLockGuard guard(*m_lock);
    if (!m_cache.IsIndexName(indexName)) return m_cache.DeleteEntries(*predicate, indexName, key);
    if (const HintRecord* record = m_cache.FindHints(indexName, key)) {
      for (unsigned id : record->listing->second) hints.push_back(id);
    }
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
  if (!predicate) return {};  // a null predicate matches nothing: no entry to visit
  return DeleteEntries(MakePrecomputedPredicate(std::move(predicate)));
}

std::shared_ptr<EntryPredicate> SynchronizedIndexedCache::MakePrecomputedPredicate(
    std::shared_ptr<EntryPredicate> predicate) {
  // A null predicate matches nothing: nothing to judge. A predicate of the
  // caller's own, not the shared one, since the caller may keep it.
  if (!predicate) return std::make_shared<BooleanEntryPredicate>(false);
  EntryPredicate& judge = *predicate;  // owned by `precomputed` from here on
  TString indexName = judge.GetIndexName();
  TString key = judge.GetKeyForIndexing();
  auto precomputed =
      std::make_shared<PrecomputedEntryPredicate>(std::move(predicate), std::move(indexName), std::move(key));
  EntryScratch candidates;
  CollectCandidates(precomputed->IndexName(), precomputed->Key(), candidates);
  precomputed->AnswerFor(candidates, judge);
  return precomputed;
}

EntrySet SynchronizedIndexedCache::GetPossiblyMatchingEntries(std::shared_ptr<EntryPredicate> predicate) {
  if (!predicate) return {};  // a null predicate matches nothing
  const TString indexName = predicate->GetIndexName();
  const TString key = predicate->GetKeyForIndexing();
  const QualifiedKey qualified = QualifyAndPrefetch(indexName, key);
  TReadLockGuard guard(*m_lock);
  // The set is built as the lookups see it (see OrderAsCandidateSet): a copy
  // of every entry keeps their order; hinted entries go in one by one in
  // ascending id order. A set made from a range would size its buckets ahead
  // and iterate in another order.
  if (!m_cache.IsIndexName(indexName)) return m_cache.GetCacheData().m_entries;
  EntryScratch candidates;
  GatherCandidates(indexName, qualified, candidates);
  EntrySet set;
  for (const Entry& candidate : candidates) set.insert(candidate);
  return set;
}

unsigned int SynchronizedIndexedCache::FindFirstMatch(std::shared_ptr<EntryPredicate> predicate) {
  return predicate ? FindFirstMatchOf(*predicate) : 0;  // a null predicate matches nothing
}

unsigned int SynchronizedIndexedCache::FindFirstMatchOf(EntryPredicate& predicate) {
  const TString indexName = predicate.GetIndexName();
  const TString key = predicate.GetKeyForIndexing();
  EntryScratch candidates;
  CollectCandidates(indexName, key, candidates);
  // Without the lock; the predicate may call back into this cache.
  for (const Entry& candidate : candidates) {
    if (predicate.Matches(candidate)) return candidate.GetID();
  }
  return 0;
}

QualifiedKey SynchronizedIndexedCache::QualifyAndPrefetch(const TString& indexName, const TString& key) const {
  QualifiedKey qualified(indexName, key);
  if (!indexName.empty()) m_cache.PrefetchHintsUnlocked(qualified);
  return qualified;
}

void SynchronizedIndexedCache::CollectCandidates(const TString& indexName, const TString& key, EntryScratch& out) {
  const QualifiedKey qualified = QualifyAndPrefetch(indexName, key);
  bool hinted = false;
  {
    TReadLockGuard guard(*m_lock);
    hinted = GatherCandidates(indexName, qualified, out);
  }
  if (hinted && out.size() > 1) OrderAsCandidateSet(out);
}

bool SynchronizedIndexedCache::GatherCandidates(const TString& indexName, const QualifiedKey& key,
                                                EntryScratch& out) {
  if (!m_cache.IsIndexName(indexName)) {
    const EntrySet& entries = m_cache.GetCacheData().m_entries;
    out.Reserve(entries.size());
    for (const Entry& entry : entries) out.Add(entry);
    return false;
  }
  const HintRecord* record = m_cache.FindHints(key);
  if (record == nullptr) return true;
  // A lookup takes the first match's slot of the id table again under the
  // exclusive lock; most often that is the first candidate.
  m_cache.PrefetchIdSlot(record->first.id);
  out.Reserve(record->count);
  m_cache.VisitHints(*record, [&](const Hint& hint) {
    m_lock->AssertReaderHeld();  // the visit runs here, under the caller's lock
    PrefetchForWrite(hint.data);      // the copy below adds a reference to it
    m_cache.NotifyUsed(*hint.entry);  // what IndexedCache::GetEntry tells the policy
    out.Add(*hint.entry);
    return true;
  });
  return true;
}

void SynchronizedIndexedCache::OrderAsCandidateSet(EntryScratch& candidates) {
  // The candidate set is an EntrySet into which the hinted entries went one
  // by one, in ascending id order (the order they were gathered in here):
  // fill one the same way and take its order.
  EntrySet set;
  for (const Entry& candidate : candidates) set.insert(candidate);
  std::copy(set.begin(), set.end(), candidates.begin());
}

RefCntPtr<RefCntObject> SynchronizedIndexedCache::TryGetEntry(unsigned int id) {
  // The id's slot is on its way while the lock is taken, so the lock is held
  // for less time on a large cache.
  PrefetchIdSlot(id);
  TWriteLockGuard guard(*m_lock);
  return m_cache.UseEntry(id);
}

RefCntPtr<RefCntObject> SynchronizedIndexedCache::TryGetEntry(std::shared_ptr<EntryPredicate> predicate) {
  unsigned int scratch = 0;
  return TryGetEntryAndHint(std::move(predicate), scratch);
}

RefCntPtr<RefCntObject> SynchronizedIndexedCache::TryGetEntryAndHint(
    std::shared_ptr<EntryPredicate> predicate, unsigned int& hint) {
  if (!predicate) return nullptr;  // a null predicate matches nothing: a miss
  const unsigned int id = FindFirstMatchOf(*predicate);
  if (id == 0) return nullptr;
  RefCntPtr<RefCntObject> data = TryGetEntry(id);
  if (data) hint = id;  // an entry that vanished in between leaves the hint alone
  return data;
}

RefCntPtr<RefCntObject> SynchronizedIndexedCache::TryGetEntryUpdateHint(
    std::shared_ptr<EntryPredicate> predicate, unsigned int& hint) {
  if (!predicate) {  // a null predicate matches nothing: a miss clears the hint
    hint = 0;
    return nullptr;
  }
  if (hint != 0) {
    RefCntPtr<RefCntObject> data;
    PrefetchIdSlot(hint);  // as in TryGetEntry(id)
    {
      TWriteLockGuard guard(*m_lock);
      data = m_cache.UseEntryIfMatches(hint, *predicate);
    }
    if (data) return data;
  }
  hint = 0;
  return TryGetEntryAndHint(std::move(predicate), hint);
}

void SynchronizedIndexedCache::VisitEntries(std::shared_ptr<EntryPredicate> predicate) {
  if (!predicate) return;  // nothing to visit with
  EntryScratch snapshot;
  {
    TReadLockGuard guard(*m_lock);
    const EntrySet& entries = m_cache.GetCacheData().m_entries;
    snapshot.Reserve(entries.size());
    for (const Entry& entry : entries) snapshot.Add(entry);
  }
  for (const Entry& entry : snapshot) predicate->Matches(entry);
}

Entry SynchronizedIndexedCache::PruneHints(std::shared_ptr<EntryPredicate> predicate, unsigned int limit) {
  if (!predicate) return Entry();  // a null predicate lists nothing: nothing to prune
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
  // Entries added after the snapshot are absent from the table and never match.
  PrecomputedEntryPredicate plannedOnly(NeverMatches(), TString(), TString());
  for (const Entry& candidate : candidates) {
    if (survivors.find(candidate) == survivors.end()) {
      planned.insert(candidate);
      plannedOnly.Answer(candidate.GetID(), true);
    }
  }
  plannedOnly.Seal();
  // The byte count drops before the deletion takes place.
  AdjustCacheSize(planned, 0);
  if (planned.empty()) return {};
  TWriteLockGuard guard(*m_lock);
  return m_cache.DeleteEntries(plannedOnly, plannedOnly.IndexName(), plannedOnly.Key());
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
