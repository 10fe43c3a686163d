// The synchronized caches: what both promise (one typed body), and for the
// indexed one its byte count, lookups and hints, what runs outside its lock,
// and nested lookups from inside predicates.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "host/Errors.h"
#include "host/LockGuards.h"
#include "tests/main/utility/sync/SyncTestSupport.h"

namespace {

using namespace sync_test;
using cache_test::IdsOf;
using cache_test::RecordingPolicy;
using CacheHelpers::Entry;
using CacheHelpers::IPolicy;

std::shared_ptr<IPolicy> KeepAll() {
  return std::make_shared<CacheHelpers::MRUPolicy>(1000000);
}

std::vector<unsigned> IdsInOrder(const EntrySet& set) {
  std::vector<unsigned> ids;
  for (const Entry& entry : set) ids.push_back(entry.GetID());
  return ids;
}

// `ids` in the order the lookups judge them: that of an EntrySet filled in
// ascending id order, as the candidate set is.
std::vector<unsigned> CandidateOrder(const std::vector<unsigned>& ids) {
  EntrySet candidateSet;
  for (unsigned id : ids) candidateSet.insert(Entry(id));
  return IdsInOrder(candidateSet);
}

TEST(SynchronizedCacheTest, PredicateLookupsStampOnlyTheirCopyAndRemovalsWorkOnASnapshot) {
  TReadWriteLock lock;
  SynchronizedCache cache(std::make_shared<CacheHelpers::LifetimePolicy>(6), &lock);
  EXPECT_TRUE(cache.DeleteEntries(Region(u"EU", false)).empty());
  const unsigned eu = cache.AddEntry(MakeItem(u"EU"));
  const unsigned us = cache.AddEntry(MakeItem(u"US"));
  const auto clockOfEU = [&] { return cache.GetCache()->GetEntries().find(Entry(eu))->GetClock(); };
  for (int i = 0; i < 2; ++i) cache.IncrementClock();
  EXPECT_TRUE(cache.TryGetEntry(Region(u"EU", false)));
  EXPECT_EQ(clockOfEU(), 0u) << "the cache's own entry keeps its clock";
  EXPECT_TRUE(cache.TryGetEntry(eu));  // by id: the use is recorded
  EXPECT_EQ(clockOfEU(), 2u);

  // The predicate runs without the lock, so it may call back into the cache;
  // an entry it adds is not in the snapshot and survives.
  unsigned late = 0;
  EntrySet deleted = cache.DeleteEntries(Region(u"EU", false, [&](const Entry&) {
    EXPECT_TRUE(LockIsFree(lock));
    if (late == 0) late = cache.AddEntry(MakeItem(u"EU"));
  }));
  EXPECT_EQ(IdsOf(deleted), std::set<unsigned>{eu});
  EXPECT_TRUE(cache.TryGetEntry(late));
  EXPECT_EQ(cache.GetSize(), 2u);

  // A lifetime purge: entries unused for more than 6 ticks go.
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(cache.IncrementClock().empty());
  cache.TryGetEntry(late);  // used at tick 6
  EXPECT_EQ(IdsOf(cache.IncrementClock()), std::set<unsigned>{us});
  CacheHelpers::MRUPolicy none(0);
  EXPECT_EQ(cache.PurgeWithPolicy(none).size(), 1u);
  EXPECT_EQ(cache.GetSize(), 0u);
  cache.AddEntry(MakeItem(u"EU"));
  EXPECT_EQ(cache.IncrementClockWithPolicy(none).size(), 1u);
}

// What both synchronized caches promise.
template <class C>
class SynchronizedCachesTest : public testing::Test {
 protected:
  static constexpr bool kIndexed = std::is_same_v<C, SynchronizedIndexedCache>;
  // The indexed cache lists its entries under "Region".
  std::unique_ptr<C> Make(TReadWriteLock* lock) {
    if constexpr (!kIndexed) {
      return std::make_unique<C>(KeepAll(), lock);
    } else {
      auto cache = std::make_unique<C>(KeepAll(), lock, nullptr);
      cache->AddIndex(TString(u"Region"), RegionOf);
      return cache;
    }
  }
  TReadWriteLock m_lock;
};
using SynchronizedCaches = testing::Types<SynchronizedCache, SynchronizedIndexedCache>;
TYPED_TEST_SUITE(SynchronizedCachesTest, SynchronizedCaches);

TYPED_TEST(SynchronizedCachesTest, AHintIsKeptWhileItMatchesAndClearedByAMiss) {
  auto cache = this->Make(&this->m_lock);
  auto eu = Region(u"EU", true);
  const unsigned a = cache->AddEntry(MakeItem(u"EU"));
  const unsigned b = cache->AddEntry(MakeItem(u"EU"));
  const unsigned us = cache->AddEntry(MakeItem(u"US"));
  // A present, matching hint is used without a search, even when another
  // entry would be found first.
  unsigned hint = b;
  auto counting = Region(u"EU", true);
  EXPECT_TRUE(UpdateHint(*cache, counting, hint));
  EXPECT_EQ(hint, b);
  EXPECT_EQ(counting->m_seen.size(), 1u) << "only the hinted entry was judged";
  hint = us;  // present but not matching
  EXPECT_TRUE(UpdateHint(*cache, eu, hint));
  EXPECT_TRUE(hint == a || hint == b);
  cache->OnDirty({a});
  hint = a;  // gone
  EXPECT_TRUE(UpdateHint(*cache, eu, hint));
  EXPECT_EQ(hint, b);
  EXPECT_FALSE(UpdateHint(*cache, Region(u"ASIA", true), hint));
  EXPECT_EQ(hint, 0u);

  // TryGetEntryAndHint ignores the incoming hint; on a miss the plain cache
  // clears it and the indexed one leaves it.
  hint = us;
  EXPECT_TRUE(cache->TryGetEntryAndHint(Region(u"EU", false), hint));
  EXPECT_EQ(hint, b);
  hint = 77;
  EXPECT_FALSE(cache->TryGetEntryAndHint(Region(u"ASIA", true), hint));
  EXPECT_EQ(hint, this->kIndexed ? 77u : 0u);
  EXPECT_FALSE(cache->TryGetEntry(Region(u"ASIA", true)));

  // Once the id counter wrapped, an entry may carry id 0. The plain cache
  // takes a hint of 0 as that entry's id like any other; the indexed one's
  // lookups keep 0 for "no entry", so a first match of id 0 is a miss that
  // leaves the hint alone.
  const unsigned saved = Entry::s_guid.exchange(0xFFFFFFFFu);
  const unsigned zero = cache->AddEntry(MakeItem(u"EU"));
  Entry::s_guid.store(saved);
  ASSERT_EQ(zero, 0u);
  const unsigned newer = cache->AddEntry(MakeItem(u"EU"));  // a newer match, which a search may meet first
  if constexpr (!TestFixture::kIndexed) {
    hint = 0;
    auto judged = Region(u"EU", true);
    EXPECT_TRUE(UpdateHint(*cache, judged, hint));
    EXPECT_EQ(hint, 0u);
    EXPECT_EQ(judged->m_seen.size(), 1u) << "only the hinted entry was judged";
  } else {
    cache->OnDirty({b, newer});  // the entry of id 0 is the only EU entry left
    hint = 55;
    EXPECT_FALSE(cache->TryGetEntryAndHint(Region(u"EU", true), hint));
    EXPECT_EQ(hint, 55u);
  }
}

TYPED_TEST(SynchronizedCachesTest, OnDirtyRemovesTheListedEntriesAndASuppliedLockOutlivesTheCaches) {
  auto cache = this->Make(&this->m_lock);
  const unsigned a = cache->AddEntry(MakeItem(u"EU"));
  const unsigned b = cache->AddEntry(MakeItem(u"EU"));
  cache->OnDirty({});
  cache->OnDirty({31337});
  EXPECT_TRUE(cache->TryGetEntry(a) && cache->TryGetEntry(b));
  cache->OnDirty({a, b, a});
  EXPECT_FALSE(cache->TryGetEntry(a) || cache->TryGetEntry(b));

  // Two caches on one supplied lock; destroying them leaves the lock usable.
  auto other = this->Make(&this->m_lock);
  const unsigned us = other->AddEntry(MakeItem(u"US"));
  {
    TWriteLockGuard guard(this->m_lock);  // the caller's hold serialises both caches
    EXPECT_TRUE(other->TryGetEntry(us));
  }
  other.reset();
  cache.reset();
  EXPECT_TRUE(LockIsFree(this->m_lock));
  EXPECT_THROW(this->Make(nullptr), LogicException);
}

// A null predicate matches nothing: lookups miss (with the hint as a miss
// leaves it), deletions delete nothing, a replacement only adds.
TYPED_TEST(SynchronizedCachesTest, ANullPredicateMatchesNothing) {
  auto cache = this->Make(&this->m_lock);
  const unsigned a = cache->AddEntry(MakeItem(u"EU"));
  const std::shared_ptr<CacheHelpers::EntryPredicate> none;
  EXPECT_FALSE(cache->TryGetEntry(none));
  unsigned hint = a;
  EXPECT_FALSE(cache->TryGetEntryAndHint(none, hint));
  EXPECT_EQ(hint, this->kIndexed ? a : 0u);
  cache->VisitEntries(none);
  EXPECT_TRUE(cache->DeleteEntries(none).empty());
  if constexpr (TestFixture::kIndexed) {
    hint = a;
    EXPECT_FALSE(cache->TryGetEntryUpdateHint(none, hint));
    EXPECT_EQ(hint, 0u);
    EXPECT_EQ(cache->FindFirstMatch(none), 0u);
    EXPECT_TRUE(cache->GetPossiblyMatchingEntries(none).empty());
    EXPECT_TRUE(cache->PrecomputePredicateAndDeleteEntries(none).empty());
    EXPECT_EQ(cache->PruneHints(none, 0).GetID(), 0u);
    const uint64_t bytesBefore = cache->GetCacheSizeBytes();
    const auto [added, deleted] = cache->AddEntryAndDeleteExistingEntriesItMatches(MakeItem(u"EU"), none, 1);
    EXPECT_TRUE(deleted.empty());
    EXPECT_TRUE(cache->TryGetEntry(added));
    EXPECT_EQ(cache->GetCacheSizeBytes(), bytesBefore + 1) << "the addition is counted";
  } else {
    hint = a;
    EXPECT_FALSE(cache->TryGetEntry(none, hint));
    EXPECT_EQ(hint, 0u);
  }
  EXPECT_TRUE(cache->TryGetEntry(a)) << "nothing removed";
  EXPECT_TRUE(LockIsFree(this->m_lock));
}

class SynchronizedIndexedCacheTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_cache.AddIndex(TString(u"Region"), RegionOf)); }

  TReadWriteLock m_lock;
  SynchronizedIndexedCache m_cache{KeepAll(), &m_lock, nullptr};
};

TEST_F(SynchronizedIndexedCacheTest, ByteCountFollowsAdditionsAndRemovalsAndNeverWraps) {
  const uint64_t own = sizeof(SynchronizedIndexedCache);
  EXPECT_EQ(m_cache.GetCacheSizeBytes(), own);
  auto eu = Region(u"EU", true);

  // Declared size in, sizes of what the addition replaced out.
  auto [first, none] = m_cache.AddEntryAndDeleteExistingEntriesItMatches(MakeItem(u"EU", 300), eu, 1000);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(m_cache.GetCacheSizeBytes(), own + 1000);
  EntrySet replaced = m_cache.AddEntryAndDeleteExistingEntriesItMatches(MakeItem(u"EU", 400), eu, 500).second;
  EXPECT_EQ(IdsOf(replaced), std::set<unsigned>{first});
  EXPECT_EQ(m_cache.GetCacheSizeBytes(), own + 1000 + 500 - 300);

  // AddEntry, a non-indexed deletion, OnDirty and IncrementClock leave the count alone.
  unsigned plain = m_cache.AddEntry(RefCntPtr<RefCntObject>(new RefCntObject()));  // no KelCacheData: 0 bytes
  unsigned us = m_cache.AddEntry(MakeItem(u"US", 50));
  EXPECT_EQ(m_cache.DeleteEntries(Region(u"US", false)).size(), 1u);
  m_cache.OnDirty({plain, us, 424242});
  m_cache.IncrementClock();
  EXPECT_EQ(m_cache.GetCacheSizeBytes(), own + 1200);

  // An indexed deletion takes the entries' sizes off.
  EXPECT_EQ(m_cache.DeleteEntries(eu).size(), 1u);
  EXPECT_EQ(m_cache.GetCacheSizeBytes(), own + 1200 - 400);

  // Removals worth more than the count leave 0, not a wrapped value; entries
  // that are not KelCacheData count nothing.
  m_cache.AddEntry(MakeItem(u"EU", own * 10));
  m_cache.AddEntry(RefCntPtr<RefCntObject>(new RefCntObject()));
  EXPECT_EQ(m_cache.DeleteEntries(eu).size(), 1u);
  EXPECT_EQ(m_cache.GetCacheSizeBytes(), 0u);
  EXPECT_EQ(m_cache.GetEntryCount(), 1u);  // the plain entry
}

// Candidates go into an EntrySet one by one in ascending id order, and are
// judged in that set's order: among several matches the set's order, not the
// ids, decides which entry a lookup finds, and a precomputation asks about
// them in the same order.
TEST_F(SynchronizedIndexedCacheTest, SeveralMatchesAreJudgedInTheCandidateSetsOrder) {
  for (const int listed : {2, 3, 5, 20}) {
    SCOPED_TRACE(listed);
    SynchronizedIndexedCache cache(KeepAll());
    ASSERT_TRUE(cache.AddIndex(TString(u"Region"), RegionOf));
    std::vector<unsigned> ids;
    for (int i = 0; i < listed; ++i) {
      ids.push_back(cache.AddEntry(MakeItem(u"EU")));
      cache.AddEntry(MakeItem(u"US"));
    }
    const std::vector<unsigned> setOrder = CandidateOrder(ids);
    // The candidates handed out iterate in the order the lookups judge them,
    // through the index and (judging every entry) without one.
    EXPECT_EQ(IdsInOrder(cache.GetPossiblyMatchingEntries(Region(u"EU", true))), setOrder);
    auto none = Region(u"nowhere", false);
    EXPECT_EQ(cache.FindFirstMatch(none), 0u);
    EXPECT_EQ(IdsInOrder(cache.GetPossiblyMatchingEntries(Region(u"nowhere", false))), none->m_seen);
    EXPECT_EQ(none->m_seen.size(), 2u * listed) << "an unindexed predicate judges every entry";
    EXPECT_EQ(cache.FindFirstMatch(Region(u"ASIA", true)), 0u);

    auto found = Region(u"EU", true);
    EXPECT_EQ(cache.FindFirstMatch(found), setOrder.front());
    EXPECT_EQ(found->m_seen, std::vector<unsigned>{setOrder.front()}) << "judging stops at the first match";
    unsigned hint = 0;
    EXPECT_TRUE(cache.TryGetEntryAndHint(Region(u"EU", true), hint));
    EXPECT_EQ(hint, setOrder.front());

    auto precomputed = Region(u"EU", true);
    cache.MakePrecomputedPredicate(precomputed);
    EXPECT_EQ(precomputed->m_seen, setOrder);
    auto replacing = Region(u"EU", true);
    EXPECT_EQ(IdsOf(cache.AddEntryAndDeleteExistingEntriesItMatches(MakeItem(u"EU"), replacing, 0).second),
              std::set<unsigned>(ids.begin(), ids.end()));
    EXPECT_EQ(replacing->m_seen, setOrder) << "the replacement judges them in the same order";
  }
  // An index the cache lacks: a scan of every entry.
  SynchronizedIndexedCache noIndex(KeepAll());
  noIndex.AddEntry(MakeItem(u"EU"));
  noIndex.AddEntry(MakeItem(u"US"));
  EXPECT_EQ(noIndex.GetPossiblyMatchingEntries(Region(u"EU", true)).size(), 2u);
}

TEST_F(SynchronizedIndexedCacheTest, PredicatesRunOutsideTheLock) {
  for (int i = 0; i < 3; ++i) m_cache.AddEntry(MakeItem(i == 0 ? u"EU" : u"US"));
  std::atomic<int> heldDuringCall{0};
  // Each probe checks that the cache lock is free and calls back into the cache.
  auto probe = [&](const Entry&) {
    if (!LockIsFree(m_lock)) ++heldDuringCall;
    EXPECT_GE(m_cache.GetEntryCount(), 1u);
  };
  for (bool indexed : {true, false}) {
    auto predicate = Region(u"EU", indexed, probe);
    EXPECT_NE(m_cache.FindFirstMatch(predicate), 0u);
    auto precomputed = m_cache.MakePrecomputedPredicate(predicate);
    m_cache.VisitEntries(predicate);
    EXPECT_FALSE(predicate->m_seen.empty());
    // The precomputed predicate answers its candidates from its table; only
    // entries outside the table (the other regions' entries, for an indexed
    // predicate) fall back to the predicate.
    const size_t before = predicate->m_seen.size();
    for (const Entry& entry : m_cache.GetPossiblyMatchingEntries(predicate)) precomputed->Matches(entry);
    EXPECT_EQ(predicate->m_seen.size(), before);
    for (const Entry& entry : m_cache.GetEntries()) precomputed->Matches(entry);
    EXPECT_EQ(predicate->m_seen.size(), before + (indexed ? 2 : 0));
  }
  EXPECT_EQ(heldDuringCall, 0);
}

TEST_F(SynchronizedIndexedCacheTest, EntriesAddedDuringARemovalSurviveIt) {
  // The policy step of a purge runs outside the lock: an entry added then is
  // not in the snapshot and is kept even though the policy keeps nothing.
  auto policy = std::make_shared<RecordingPolicy>();
  SynchronizedIndexedCache cache(policy, &m_lock, nullptr);
  policy->m_victims = {Entry(cache.AddEntry(MakeItem(u"EU")))};
  unsigned late = 0;
  policy->m_onPurge = [&] {
    EXPECT_TRUE(LockIsFree(m_lock));
    late = cache.AddEntry(MakeItem(u"EU"));
  };
  EXPECT_EQ(cache.Purge().size(), 1u);
  EXPECT_EQ(cache.GetEntryCount(), 1u);
  EXPECT_TRUE(cache.TryGetEntry(late));

  // Adding with replacement: an entry added after the table was computed is
  // judged by the caller's predicate.
  ASSERT_TRUE(cache.AddIndex(TString(u"Region"), RegionOf));
  unsigned added = 0;
  auto predicate = Region(u"EU", true, [&](const Entry&) {
    if (added == 0) added = cache.AddEntry(MakeItem(u"EU"));  // outside the lock: allowed
  });
  auto [id, deleted] = cache.AddEntryAndDeleteExistingEntriesItMatches(MakeItem(u"EU"), predicate, 0);
  EXPECT_NE(added, 0u);
  EXPECT_EQ(deleted.size(), 2u) << "the listed entry and the one added meanwhile";
  EXPECT_EQ(deleted.count(Entry(added)), 1u);
  EXPECT_EQ(cache.GetEntryCount(), 1u);
  EXPECT_TRUE(cache.TryGetEntry(id));
}

TEST_F(SynchronizedIndexedCacheTest, TrackingPolicyChoosesWhatAPurgeRemoves) {
  auto policy = std::make_shared<RecordingPolicy>(true);
  SynchronizedIndexedCache cache(policy, nullptr);
  unsigned first = cache.AddEntry(MakeItem(u"EU"));
  cache.AddEntry(MakeItem(u"EU"));
  policy->m_victims = {Entry(first), Entry(999999)};  // one absent
  EntrySet purged = cache.Purge();  // must not wait for its own shared lock
  for (const cache_test::Call& call : policy->Take()) EXPECT_NE(call.what, "purge") << "tracking: no Purge call";
  EXPECT_EQ(purged.size(), 2u);
  EXPECT_FALSE(cache.TryGetEntry(first));
  EXPECT_EQ(cache.GetEntryCount(), 1u);
}

TEST_F(SynchronizedIndexedCacheTest, OnDirtyAndPruneHintsKeepTheIndexes) {
  unsigned a = m_cache.AddEntry(MakeItem(u"EU"));
  unsigned b = m_cache.AddEntry(MakeItem(u"EU"));
  EXPECT_EQ(m_cache.GetIndexedEntryCount(), 1u);

  const uint64_t bytes = m_cache.GetCacheSizeBytes();
  EXPECT_EQ(m_cache.PruneHints(Region(u"EU", true), 1).GetID(), std::min(a, b));
  EXPECT_EQ(m_cache.GetCacheSizeBytes(), bytes) << "the pruned entry carries only its id";
  m_cache.OnDirty({b});
  EXPECT_EQ(m_cache.GetEntryCount(), 0u);
  EXPECT_TRUE(m_cache.GetIndexedEntries().empty());
}

// Nested lookups. The synchronized indexed cache copies a lookup's candidates into a buffer
// (a short list inside the call itself, a long one in a vector that the
// calling thread reuses from one call to the next). Predicates are judged
// over that buffer without the lock and may call back into the cache on the
// same thread, which then needs a buffer of its own while the outer one is
// still being read; and the copies hold references to the cached objects,
// which must be dropped when the call ends, also when a predicate throws.
// These tests nest lookups inside predicates and count references, with
// candidate lists of both lengths.
// The parameter: how many EU entries, so how many candidates an EU lookup has.
class SynchronizedIndexedCacheReentryTest : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_cache.AddIndex(TString(u"Region"), RegionOf));
    for (int i = 0; i < GetParam(); ++i) m_eu.push_back(m_cache.AddEntry(MakeItem(u"EU")));
    m_us = m_cache.AddEntry(MakeItem(u"US"));
  }

  // Matches the EU entry `wanted` (none for 0) and makes the nested call
  // `inside` in each judgement; the candidates of the outer lookup must
  // survive it, each still holding its reference: after the nested call the
  // judged object has `references` of them (the cache's, this lookup's copy
  // and those of the lookups it is nested in; 0: not checked).
  std::shared_ptr<cache_test::Probe> Nesting(unsigned wanted, int references, std::function<void()> inside) {
    const RefCntObject* record = wanted ? m_cache.GetEntries().find(Entry(wanted))->GetData().get() : nullptr;
    auto probe = Region(u"EU", true, [inside, references](const Entry& entry) {
      inside();
      EXPECT_EQ(RegionOf(entry), TString(u"EU")) << "a candidate was overwritten";
      if (references != 0)
        EXPECT_EQ(entry.GetData()->GetReferenceCount(), references) << "a candidate lost its copy";
    });
    probe->m_test = [record](const Record& candidate) { return &candidate == record; };
    return probe;
  }

  // True when the cache holds the only reference to every object.
  // (The snapshot's own entry holds one more.)
  bool OnlyTheCacheHoldsReferences() {
    const EntrySet snapshot = m_cache.GetEntries();
    return std::all_of(snapshot.begin(), snapshot.end(),
                       [](const Entry& entry) { return entry.GetData()->GetReferenceCount() == 2; });
  }

  SynchronizedIndexedCache m_cache{std::make_shared<CacheHelpers::MRUPolicy>(1000), nullptr};
  std::vector<unsigned> m_eu;  // ascending
  unsigned m_us = 0;
};

TEST_P(SynchronizedIndexedCacheReentryTest, NestedLookupsKeepTheOuterCandidatesAndDropTheirReferences) {
  auto us = Region(u"US", true);
  const std::vector<unsigned> order = CandidateOrder(m_eu);
  int nested = 0;
  // Two levels: the middle predicate's own judgement nests another lookup.
  // The outer one matches the candidate judged last, so it judges them all.
  auto middle = Nesting(order.front(), 3, [&] {
    EXPECT_EQ(m_cache.FindFirstMatch(us), m_us);
    ++nested;
  });
  auto outer = Nesting(order.back(), 2, [&] {
    EXPECT_EQ(m_cache.FindFirstMatch(middle), order.front());
    EXPECT_TRUE(m_cache.TryGetEntry(us));
    m_cache.VisitEntries(us);
  });

  EXPECT_EQ(m_cache.FindFirstMatch(outer), order.back());
  EXPECT_EQ(outer->m_seen, order);
  EXPECT_EQ(nested, GetParam());
  EXPECT_TRUE(OnlyTheCacheHoldsReferences());

  unsigned hint = 0;
  EXPECT_TRUE(m_cache.TryGetEntryAndHint(outer, hint));
  EXPECT_EQ(hint, order.back());
  auto [id, replaced] = m_cache.AddEntryAndDeleteExistingEntriesItMatches(MakeItem(u"EU"), outer, 10);
  EXPECT_EQ(IdsOf(replaced), std::set<unsigned>{order.back()});
  replaced.clear();
  EXPECT_TRUE(OnlyTheCacheHoldsReferences());
  EXPECT_EQ(m_cache.GetEntryCount(), m_eu.size() + 1);
  EXPECT_TRUE(m_cache.TryGetEntry(id));
}

TEST_P(SynchronizedIndexedCacheReentryTest, APredicateThatThrowsLeavesNoReferenceAndNoBufferTaken) {
  const int liveBefore = Record::s_live;
  auto throwing = Nesting(m_eu.back(), 0, [&] {
    // Throws from a nested lookup while both levels hold copies.
    auto inner = Nesting(0, 0, [] { throw std::runtime_error("predicate failed"); });
    m_cache.FindFirstMatch(inner);
  });
  for (int i = 0; i < 3; ++i) EXPECT_THROW(m_cache.FindFirstMatch(throwing), std::runtime_error);
  EXPECT_TRUE(OnlyTheCacheHoldsReferences());

  // The buffers are usable again, and an object goes with the cache's last
  // reference to it.
  auto eu = Region(u"EU", true);
  EXPECT_EQ(m_cache.FindFirstMatch(eu), CandidateOrder(m_eu).front());
  EXPECT_EQ(m_cache.DeleteEntries(eu).size(), m_eu.size());
  EXPECT_EQ(Record::s_live, liveBefore - GetParam());
}

TEST_P(SynchronizedIndexedCacheReentryTest,
       ALookupFromAThreadLocalDestroyedAsItsThreadEndsWorksAndKeepsNothing) {
  // Made before the thread's first lookup, so destroyed after the buffers
  // that lookup set up for the thread: its lookup must neither fail nor
  // leave buffers behind (the sanitizer builds see a leak).
  struct AtThreadExit {
    std::function<void()> run;
    ~AtThreadExit() { run(); }
  };
  const unsigned first = CandidateOrder(m_eu).front();
  unsigned foundAtExit = 0;
  std::thread([&] {
    static thread_local AtThreadExit atExit;
    auto eu = Region(u"EU", true);
    atExit.run = [this, eu, &foundAtExit] { foundAtExit = m_cache.FindFirstMatch(eu); };
    EXPECT_EQ(m_cache.FindFirstMatch(eu), first);
  }).join();
  EXPECT_EQ(foundAtExit, first);
  EXPECT_TRUE(OnlyTheCacheHoldsReferences());
}

// A few candidates, and more than a call keeps in itself.
INSTANTIATE_TEST_SUITE_P(ShortAndLongLists, SynchronizedIndexedCacheReentryTest, testing::Values(3, 12));

}  // namespace
