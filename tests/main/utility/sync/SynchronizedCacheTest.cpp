#include <gtest/gtest.h>

#include "host/Errors.h"
#include "host/LockGuards.h"
#include "main/utility/SynchronizedCache.h"
#include "tests/main/utility/sync/SyncTestSupport.h"

namespace {

using namespace sync_test;
using CacheHelpers::Entry;
using CacheHelpers::IPolicy;

class SynchronizedCacheTest : public testing::Test {
 protected:
  TReadWriteLock m_lock;
  SynchronizedCache m_cache{std::make_shared<CacheHelpers::LifetimePolicy>(6), &m_lock};
};

TEST_F(SynchronizedCacheTest, HintRulesOfThePredicateLookups) {
  auto eu = std::make_shared<RegionPredicate>(TString(u"EU"), false);
  auto asia = std::make_shared<RegionPredicate>(TString(u"ASIA"), false);
  unsigned a = m_cache.AddEntry(MakeItem(u"EU"));
  unsigned b = m_cache.AddEntry(MakeItem(u"EU"));
  unsigned us = m_cache.AddEntry(MakeItem(u"US"));

  unsigned hint = b;
  EXPECT_TRUE(m_cache.TryGetEntry(eu, hint));
  EXPECT_EQ(hint, b) << "a present, matching hint is kept";
  hint = us;  // present but not matching
  EXPECT_TRUE(m_cache.TryGetEntry(eu, hint));
  EXPECT_TRUE(hint == a || hint == b);
  hint = 4242;  // absent
  EXPECT_FALSE(m_cache.TryGetEntry(asia, hint));
  EXPECT_EQ(hint, 0u);

  hint = b;
  EXPECT_TRUE(m_cache.TryGetEntryAndHint(eu, hint));
  EXPECT_TRUE(hint == a || hint == b);
  hint = 99;
  EXPECT_FALSE(m_cache.TryGetEntryAndHint(asia, hint));
  EXPECT_EQ(hint, 0u);
  EXPECT_TRUE(m_cache.TryGetEntry(eu));
  EXPECT_FALSE(m_cache.TryGetEntry(asia));
}

TEST_F(SynchronizedCacheTest, PredicateLookupsStampOnlyTheirCopy) {
  unsigned id = m_cache.AddEntry(MakeItem(u"EU"));
  m_cache.IncrementClock();
  m_cache.IncrementClock();
  EXPECT_TRUE(m_cache.TryGetEntry(std::make_shared<RegionPredicate>(TString(u"EU"), false)));
  EntrySet entries = m_cache.GetCache()->GetEntries();
  EXPECT_EQ(entries.find(Entry(id))->GetClock(), 0u) << "the cache's own entry keeps its clock";
  EXPECT_TRUE(m_cache.TryGetEntry(id));  // by id: the use is recorded
  EXPECT_EQ(m_cache.GetCache()->GetEntries().find(Entry(id))->GetClock(), 2u);
}

TEST_F(SynchronizedCacheTest, RemovalsWorkOnASnapshot) {
  EXPECT_TRUE(m_cache.DeleteEntries(std::make_shared<RegionPredicate>(TString(u"EU"), false)).empty());
  unsigned eu = m_cache.AddEntry(MakeItem(u"EU"));
  unsigned us = m_cache.AddEntry(MakeItem(u"US"));

  // The predicate runs without the lock, so it may call back into the cache;
  // an entry it adds is not in the snapshot and survives.
  unsigned late = 0;
  auto adding = std::make_shared<RegionPredicate>(TString(u"EU"), false, [&](const Entry&) {
    EXPECT_TRUE(LockIsFree(m_lock));
    if (late == 0) late = m_cache.AddEntry(MakeItem(u"EU"));
  });
  EntrySet deleted = m_cache.DeleteEntries(adding);
  ASSERT_EQ(deleted.size(), 1u);
  EXPECT_EQ(deleted.begin()->GetID(), eu);
  EXPECT_TRUE(m_cache.TryGetEntry(late));
  EXPECT_EQ(m_cache.GetSize(), 2u);

  // A lifetime purge: entries unused for more than 6 ticks go.
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(m_cache.IncrementClock().empty());
  m_cache.TryGetEntry(late);  // used at tick 6
  EntrySet aged = m_cache.IncrementClock();
  ASSERT_EQ(aged.size(), 1u);
  EXPECT_EQ(aged.begin()->GetID(), us);
  CacheHelpers::MRUPolicy none(0);
  EXPECT_EQ(m_cache.PurgeWithPolicy(none).size(), 1u);
  EXPECT_EQ(m_cache.GetSize(), 0u);
  m_cache.AddEntry(MakeItem(u"EU"));
  EXPECT_EQ(m_cache.IncrementClockWithPolicy(none).size(), 1u);
}

TEST_F(SynchronizedCacheTest, OnDirtyAndTheSuppliedLock) {
  unsigned a = m_cache.AddEntry(MakeItem(u"EU"));
  unsigned b = m_cache.AddEntry(MakeItem(u"EU"));
  m_cache.OnDirty({});
  m_cache.OnDirty({31337});
  EXPECT_EQ(m_cache.GetSize(), 2u);
  m_cache.OnDirty({a, b, a});
  EXPECT_EQ(m_cache.GetSize(), 0u);
  EXPECT_FALSE(m_cache.TryDeleteEntry(a));
  unsigned c = m_cache.AddEntry(MakeItem(u"EU"));
  EXPECT_TRUE(m_cache.TryDeleteEntry(c));

  TReadWriteLock shared;
  {
    SynchronizedCache first(std::make_shared<CacheHelpers::MRUPolicy>(10), &shared);
    SynchronizedCache second(std::make_shared<CacheHelpers::MRUPolicy>(10), &shared);
    first.AddEntry(MakeItem(u"EU"));
    second.AddEntry(MakeItem(u"EU"));
  }
  EXPECT_TRUE(LockIsFree(shared)) << "destroying the caches leaves the lock usable";
  EXPECT_THROW(SynchronizedCache cache(std::make_shared<CacheHelpers::MRUPolicy>(1), nullptr),
               LogicException);
}

}  // namespace
