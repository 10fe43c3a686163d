// The synchronized indexed cache: its byte count, lookups and hints, what
// runs outside its lock, and nested lookups from inside predicates.
#include <gtest/gtest.h>

#include "host/Errors.h"
#include <functional>
#include <stdexcept>
#include <vector>

#include "main/utility/SynchronizedIndexedCache.h"
#include "tests/main/utility/sync/SyncTestSupport.h"

namespace {

using namespace sync_test;
using CacheHelpers::Entry;
using CacheHelpers::EntryPredicate;
using CacheHelpers::IPolicy;

std::shared_ptr<IPolicy> KeepAll() {
  return std::make_shared<CacheHelpers::MRUPolicy>(1000000);
}

class SynchronizedIndexedCacheTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_cache.AddIndex(TString(u"Region"), RegionKey)); }

  TReadWriteLock m_lock;
  SynchronizedIndexedCache m_cache{KeepAll(), &m_lock, nullptr};
};

TEST_F(SynchronizedIndexedCacheTest, ByteCountFollowsAdditionsAndRemovalsAndNeverWraps) {
  const uint64_t own = sizeof(SynchronizedIndexedCache);
  EXPECT_EQ(m_cache.GetCacheSizeBytes(), own);
  auto eu = std::make_shared<RegionPredicate>(TString(u"EU"), true);

  // Declared size in, sizes of what the addition replaced out.
  auto [first, none] = m_cache.AddEntryAndDeleteExistingEntriesItMatches(MakeItem(u"EU", 300), eu, 1000);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(m_cache.GetCacheSizeBytes(), own + 1000);
  auto [second, replaced] = m_cache.AddEntryAndDeleteExistingEntriesItMatches(MakeItem(u"EU", 400), eu, 500);
  ASSERT_EQ(replaced.size(), 1u);
  EXPECT_EQ(replaced.begin()->GetID(), first);
  EXPECT_EQ(m_cache.GetCacheSizeBytes(), own + 1000 + 500 - 300);

  // AddEntry, a non-indexed deletion, OnDirty and IncrementClock leave the count alone.
  unsigned plain = m_cache.AddEntry(RefCntPtr<RefCntObject>(new Plain()));
  unsigned us = m_cache.AddEntry(MakeItem(u"US", 50));
  EXPECT_EQ(m_cache.DeleteEntries(std::make_shared<RegionPredicate>(TString(u"US"), false)).size(), 1u);
  m_cache.OnDirty({plain, us, 424242});
  m_cache.IncrementClock();
  EXPECT_EQ(m_cache.GetCacheSizeBytes(), own + 1200);

  // An indexed deletion takes the entries' sizes off.
  EXPECT_EQ(m_cache.DeleteEntries(eu).size(), 1u);
  EXPECT_EQ(m_cache.GetCacheSizeBytes(), own + 1200 - 400);

  // Removals worth more than the count leave 0, not a wrapped value; entries
  // that are not KelCacheData count nothing.
  m_cache.AddEntry(MakeItem(u"EU", own * 10));
  m_cache.AddEntry(RefCntPtr<RefCntObject>(new Plain()));
  EXPECT_EQ(m_cache.DeleteEntries(eu).size(), 1u);
  EXPECT_EQ(m_cache.GetCacheSizeBytes(), 0u);
  EXPECT_EQ(m_cache.GetEntryCount(), 1u);  // the plain entry
  (void)second;
}

TEST_F(SynchronizedIndexedCacheTest, LookupsAndTheirHints) {
  auto eu = std::make_shared<RegionPredicate>(TString(u"EU"), true);
  auto euScan = std::make_shared<RegionPredicate>(TString(u"EU"), false);
  auto asia = std::make_shared<RegionPredicate>(TString(u"ASIA"), true);
  unsigned a = m_cache.AddEntry(MakeItem(u"EU"));
  unsigned b = m_cache.AddEntry(MakeItem(u"EU"));

  EXPECT_EQ(m_cache.FindFirstMatch(asia), 0u);
  unsigned hint = 77;
  EXPECT_FALSE(m_cache.TryGetEntryAndHint(asia, hint));
  EXPECT_EQ(hint, 77u) << "a miss leaves the hint";
  EXPECT_TRUE(m_cache.TryGetEntryAndHint(euScan, hint));
  EXPECT_TRUE(hint == a || hint == b);
  EXPECT_TRUE(m_cache.TryGetEntry(eu));

  // Candidates: the hinted entries of an indexed predicate, every entry otherwise.
  m_cache.AddEntry(MakeItem(u"US"));
  EXPECT_EQ(m_cache.GetPossiblyMatchingEntries(eu).size(), 2u);
  EXPECT_EQ(m_cache.GetPossiblyMatchingEntries(euScan).size(), 3u);
  auto unknownIndex = std::make_shared<RegionPredicate>(TString(u"EU"), true);
  SynchronizedIndexedCache noIndex(KeepAll(), nullptr);
  noIndex.AddEntry(MakeItem(u"EU"));
  noIndex.AddEntry(MakeItem(u"US"));
  EXPECT_EQ(noIndex.GetPossiblyMatchingEntries(unknownIndex).size(), 2u)
      << "an index the cache lacks: a scan";
}

TEST_F(SynchronizedIndexedCacheTest, PredicatesAndPolicyPurgesRunOutsideTheLock) {
  for (int i = 0; i < 3; ++i) m_cache.AddEntry(MakeItem(i == 0 ? u"EU" : u"US"));
  std::atomic<int> heldDuringCall{0};
  // Each probe checks that the cache lock is free and calls back into the cache.
  auto probe = [&](const Entry&) {
    if (!LockIsFree(m_lock)) ++heldDuringCall;
    EXPECT_GE(m_cache.GetEntryCount(), 1u);
  };
  for (bool indexed : {true, false}) {
    auto predicate = std::make_shared<RegionPredicate>(TString(u"EU"), indexed, probe);
    EXPECT_NE(m_cache.FindFirstMatch(predicate), 0u);
    auto precomputed = m_cache.MakePrecomputedPredicate(predicate);
    m_cache.VisitEntries(predicate);
    EXPECT_GT(predicate->m_calls, 0);
    // The precomputed predicate answers its candidates from its table; only
    // entries outside the table (the other regions' entries, for an indexed
    // predicate) fall back to the predicate.
    int before = predicate->m_calls;
    for (const Entry& entry : m_cache.GetPossiblyMatchingEntries(predicate)) precomputed->Matches(entry);
    EXPECT_EQ(predicate->m_calls, before);
    for (const Entry& entry : m_cache.GetEntries()) precomputed->Matches(entry);
    EXPECT_EQ(predicate->m_calls, before + (indexed ? 2 : 0));
  }

  // A policy whose Purge calls back into the cache (from Purge's removal step).
  class CallingPolicy : public IPolicy {
   public:
    explicit CallingPolicy(std::function<void()> call) : m_call(std::move(call)) {}
    EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last, uint64_t) override {
      m_call();
      EntrySet survivors(first, last);
      if (!survivors.empty()) survivors.erase(survivors.begin());  // drops one entry
      return survivors;
    }
    std::function<void()> m_call;
  };
  auto callingPolicy = std::make_shared<CallingPolicy>([&] { probe(Entry()); });
  SynchronizedIndexedCache purging(callingPolicy, &m_lock, nullptr);
  purging.AddEntry(MakeItem(u"EU"));
  purging.AddEntry(MakeItem(u"EU"));
  EXPECT_EQ(purging.Purge().size(), 1u);
  EXPECT_EQ(purging.GetEntryCount(), 1u);
  EXPECT_EQ(heldDuringCall, 0);
}

TEST_F(SynchronizedIndexedCacheTest, EntriesAddedDuringARemovalSurviveIt) {
  // The policy step of a purge runs outside the lock: an entry added then is
  // not in the snapshot and is kept even though the policy keeps nothing.
  class AddingPolicy : public IPolicy {
   public:
    std::function<void()> m_add;
    EntrySet Purge(EntrySet::const_iterator, EntrySet::const_iterator, uint64_t) override {
      if (m_add) std::exchange(m_add, nullptr)();
      return {};
    }
  };
  auto policy = std::make_shared<AddingPolicy>();
  SynchronizedIndexedCache cache(policy, nullptr);
  cache.AddEntry(MakeItem(u"EU"));
  unsigned late = 0;
  policy->m_add = [&] { late = cache.AddEntry(MakeItem(u"EU")); };
  EntrySet purged = cache.Purge();
  EXPECT_EQ(purged.size(), 1u);
  EXPECT_EQ(cache.GetEntryCount(), 1u);
  EXPECT_TRUE(cache.TryGetEntry(late));

  // Adding with replacement: an entry added after the table was computed is
  // judged by the caller's predicate.
  ASSERT_TRUE(cache.AddIndex(TString(u"Region"), RegionKey));
  unsigned added = 0;
  bool addOnce = true;
  auto predicate = std::make_shared<RegionPredicate>(TString(u"EU"), true, [&](const Entry&) {
    if (addOnce) {
      addOnce = false;
      added = cache.AddEntry(MakeItem(u"EU"));  // outside the lock: allowed
    }
  });
  auto [id, deleted] = cache.AddEntryAndDeleteExistingEntriesItMatches(MakeItem(u"EU"), predicate, 0);
  EXPECT_NE(added, 0u);
  EXPECT_EQ(deleted.size(), 2u) << "the listed entry and the one added meanwhile";
  EXPECT_EQ(deleted.count(Entry(added)), 1u);
  EXPECT_EQ(cache.GetEntryCount(), 1u);
  EXPECT_TRUE(cache.TryGetEntry(id));
}

TEST_F(SynchronizedIndexedCacheTest, TrackingPolicyChoosesWhatAPurgeRemoves) {
  class TrackingPolicy : public IPolicy {
   public:
    EntrySet Purge(EntrySet::const_iterator, EntrySet::const_iterator, uint64_t) override {
      ADD_FAILURE() << "Purge is not called for a tracking policy";
      return {};
    }
    bool HasCapability(Capability capability) override { return capability == TracksEntries; }
    void OnEntryAdded(const Entry& entry) override { m_entries.push_back(entry.GetID()); }
    EntrySet ComputeEntriesToPurge() override {
      EntrySet victims;
      victims.insert(Entry(m_entries.front()));
      victims.insert(Entry(999999));  // not in the cache
      return victims;
    }
    std::vector<unsigned> m_entries;
  };
  auto policy = std::make_shared<TrackingPolicy>();
  SynchronizedIndexedCache cache(policy, nullptr);
  unsigned first = cache.AddEntry(MakeItem(u"EU"));
  cache.AddEntry(MakeItem(u"EU"));
  EntrySet purged = cache.Purge();  // must not wait for its own shared lock
  EXPECT_EQ(purged.size(), 2u);
  EXPECT_FALSE(cache.TryGetEntry(first));
  EXPECT_EQ(cache.GetEntryCount(), 1u);
}

TEST_F(SynchronizedIndexedCacheTest, OnDirtyAndPruneHintsKeepTheIndexes) {
  unsigned a = m_cache.AddEntry(MakeItem(u"EU"));
  unsigned b = m_cache.AddEntry(MakeItem(u"EU"));
  EXPECT_EQ(m_cache.GetIndexedEntryCount(), 1u);

  const uint64_t bytes = m_cache.GetCacheSizeBytes();
  Entry pruned = m_cache.PruneHints(std::make_shared<RegionPredicate>(TString(u"EU"), true), 1);
  EXPECT_EQ(pruned.GetID(), std::min(a, b));
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
// Matches one entry of the EU region and makes a nested call inside each
// judgement; the candidates of the outer lookup must survive it, each still
// holding its reference: after the nested call the judged object has
// `references` of them (the cache's, this lookup's copy and those of the
// lookups it is nested in; 0: not checked).
class NestingPredicate : public CacheHelpers::EntryPredicate {
 public:
  NestingPredicate(unsigned wanted, int references, std::function<void()> inside)
      : m_wanted(wanted), m_references(references), m_inside(std::move(inside)) {}
  bool Matches(const Entry& entry) override {
    m_seen.push_back(entry.GetID());
    if (m_inside) m_inside();
    EXPECT_EQ(RegionOf(entry), TString(u"EU")) << "a candidate was overwritten";
    if (m_references != 0) {
      EXPECT_EQ(entry.GetData()->GetReferenceCount(), m_references) << "a candidate lost its copy";
    }
    return entry.GetID() == m_wanted;
  }
  TString GetIndexName() override { return TString(u"Region"); }
  TString GetKeyForIndexing() override { return TString(u"EU"); }

  std::vector<unsigned> m_seen;

 private:
  unsigned m_wanted;
  int m_references;
  std::function<void()> m_inside;
};

// The parameter: how many EU entries, so how many candidates an EU lookup has.
class SynchronizedIndexedCacheReentryTest : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_cache.AddIndex(TString(u"Region"), RegionKey));
    for (int i = 0; i < GetParam(); ++i) m_eu.push_back(m_cache.AddEntry(MakeItem(u"EU")));
    m_us = m_cache.AddEntry(MakeItem(u"US"));
  }

  // True when the cache holds the only reference to every object.
  bool OnlyTheCacheHoldsReferences() {
    for (const Entry& entry : m_cache.GetEntries()) {
      // The snapshot entry itself holds one more.
      if (entry.GetData()->GetReferenceCount() != 2) return false;
    }
    return true;
  }

  SynchronizedIndexedCache m_cache{std::make_shared<CacheHelpers::MRUPolicy>(1000), nullptr};
  std::vector<unsigned> m_eu;  // ascending
  unsigned m_us = 0;
};

TEST_P(SynchronizedIndexedCacheReentryTest, NestedLookupsKeepTheOuterCandidatesAndDropTheirReferences) {
  auto us = std::make_shared<RegionPredicate>(TString(u"US"), true);
  int nested = 0;
  // Two levels: the middle predicate's own judgement nests another lookup.
  auto middle = std::make_shared<NestingPredicate>(m_eu.front(), 3, [&] {
    EXPECT_EQ(m_cache.FindFirstMatch(us), m_us);
    ++nested;
  });
  auto outer = std::make_shared<NestingPredicate>(m_eu.back(), 2, [&] {
    EXPECT_EQ(m_cache.FindFirstMatch(middle), m_eu.front());
    EXPECT_TRUE(m_cache.TryGetEntry(us));
    m_cache.VisitEntries(us);
  });

  EXPECT_EQ(m_cache.FindFirstMatch(outer), m_eu.back());
  // The candidates are judged in ascending id order (the hint order).
  EXPECT_EQ(outer->m_seen, m_eu);
  EXPECT_EQ(nested, GetParam());
  EXPECT_TRUE(OnlyTheCacheHoldsReferences());

  unsigned hint = 0;
  EXPECT_TRUE(m_cache.TryGetEntryAndHint(outer, hint));
  EXPECT_EQ(hint, m_eu.back());
  auto [id, replaced] = m_cache.AddEntryAndDeleteExistingEntriesItMatches(MakeItem(u"EU"), outer, 10);
  ASSERT_EQ(replaced.size(), 1u);
  EXPECT_EQ(replaced.begin()->GetID(), m_eu.back());
  replaced.clear();
  EXPECT_TRUE(OnlyTheCacheHoldsReferences());
  EXPECT_EQ(m_cache.GetEntryCount(), m_eu.size() + 1);
  EXPECT_TRUE(m_cache.TryGetEntry(id));
}

TEST_P(SynchronizedIndexedCacheReentryTest, APredicateThatThrowsLeavesNoReferenceAndNoBufferTaken) {
  const int liveBefore = Item::s_live;
  auto throwing = std::make_shared<NestingPredicate>(m_eu.back(), 0, [&] {
    // Throws from a nested lookup while both levels hold copies.
    auto inner =
        std::make_shared<NestingPredicate>(0, 0, [] { throw std::runtime_error("predicate failed"); });
    m_cache.FindFirstMatch(inner);
  });
  for (int i = 0; i < 3; ++i) EXPECT_THROW(m_cache.FindFirstMatch(throwing), std::runtime_error);
  EXPECT_TRUE(OnlyTheCacheHoldsReferences());

  // The buffers are usable again, and an object goes with the cache's last
  // reference to it.
  auto eu = std::make_shared<RegionPredicate>(TString(u"EU"), true);
  EXPECT_EQ(m_cache.FindFirstMatch(eu), m_eu.front());
  EXPECT_EQ(m_cache.DeleteEntries(eu).size(), m_eu.size());
  EXPECT_EQ(Item::s_live, liveBefore - GetParam());
}

// A few candidates, and more than a call keeps in itself.
INSTANTIATE_TEST_SUITE_P(ShortAndLongLists, SynchronizedIndexedCacheReentryTest, testing::Values(3, 12));

}  // namespace
