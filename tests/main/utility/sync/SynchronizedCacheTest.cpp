#include <gtest/gtest.h>

#include "host/Errors.h"
#include "host/LockGuards.h"
#include "main/utility/SynchronizedCache.h"
#include "main/utility/SynchronizedIndexedCache.h"
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

TEST_F(SynchronizedCacheTest, TryGetEntryAndHintIgnoresTheIncomingHint) {
  auto eu = std::make_shared<RegionPredicate>(TString(u"EU"), false);
  auto asia = std::make_shared<RegionPredicate>(TString(u"ASIA"), false);
  unsigned a = m_cache.AddEntry(MakeItem(u"EU"));
  unsigned b = m_cache.AddEntry(MakeItem(u"EU"));
  unsigned us = m_cache.AddEntry(MakeItem(u"US"));

  // TryGetEntryAndHint ignores the incoming hint (and, unlike the indexed
  // cache's, clears it on a miss).
  unsigned hint = us;
  EXPECT_TRUE(m_cache.TryGetEntryAndHint(eu, hint));
  EXPECT_TRUE(hint == a || hint == b);
  hint = 99;
  EXPECT_FALSE(m_cache.TryGetEntryAndHint(asia, hint));
  EXPECT_EQ(hint, 0u);
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


// What both synchronized caches promise. The hinted lookup is TryGetEntry
// with a hint here and TryGetEntryUpdateHint on the indexed cache.
template <class C>
class SynchronizedCachesTest : public testing::Test {
 protected:
  // The indexed cache lists its entries under "Region".
  std::unique_ptr<C> Make(TReadWriteLock* lock) {
    auto policy = std::make_shared<CacheHelpers::MRUPolicy>(100);
    if constexpr (std::is_same_v<C, SynchronizedCache>) {
      return std::make_unique<C>(policy, lock);
    } else {
      auto cache = std::make_unique<C>(policy, lock, nullptr);
      cache->AddIndex(TString(u"Region"), RegionKey);
      return cache;
    }
  }
  static bool UpdateHint(C& cache, std::shared_ptr<RegionPredicate> predicate, unsigned& hint) {
    if constexpr (std::is_same_v<C, SynchronizedCache>) return cache.TryGetEntry(predicate, hint) != nullptr;
    else return cache.TryGetEntryUpdateHint(predicate, hint) != nullptr;
  }
  TReadWriteLock m_lock;
};
using SynchronizedCaches = testing::Types<SynchronizedCache, SynchronizedIndexedCache>;
TYPED_TEST_SUITE(SynchronizedCachesTest, SynchronizedCaches);

TYPED_TEST(SynchronizedCachesTest, AHintIsKeptWhileItMatchesAndClearedByAMiss) {
  auto cache = this->Make(&this->m_lock);
  auto eu = std::make_shared<RegionPredicate>(TString(u"EU"), true);
  const unsigned a = cache->AddEntry(MakeItem(u"EU"));
  const unsigned b = cache->AddEntry(MakeItem(u"EU"));
  const unsigned us = cache->AddEntry(MakeItem(u"US"));
  // A present, matching hint is used without a search, even when another
  // entry would be found first.
  for (unsigned wanted : {a, b}) {
    unsigned hint = wanted;
    auto counting = std::make_shared<RegionPredicate>(TString(u"EU"), true);
    EXPECT_TRUE(this->UpdateHint(*cache, counting, hint));
    EXPECT_EQ(hint, wanted);
    EXPECT_EQ(counting->m_calls, 1) << "only the hinted entry was judged";
  }
  unsigned hint = us;  // present but not matching
  EXPECT_TRUE(this->UpdateHint(*cache, eu, hint));
  EXPECT_TRUE(hint == a || hint == b);
  cache->OnDirty({a});
  hint = a;  // gone
  EXPECT_TRUE(this->UpdateHint(*cache, eu, hint));
  EXPECT_EQ(hint, b);
  EXPECT_FALSE(this->UpdateHint(*cache, std::make_shared<RegionPredicate>(TString(u"ASIA"), true), hint));
  EXPECT_EQ(hint, 0u);
}

TYPED_TEST(SynchronizedCachesTest, OnDirtyRemovesTheListedEntriesAndASuppliedLockOutlivesTheCaches) {
  auto cache = this->Make(&this->m_lock);
  const unsigned a = cache->AddEntry(MakeItem(u"EU"));
  const unsigned b = cache->AddEntry(MakeItem(u"EU"));
  cache->OnDirty({});
  cache->OnDirty({31337});
  EXPECT_TRUE(cache->TryGetEntry(a) && cache->TryGetEntry(b));
  cache->OnDirty({a, b, a});
  EXPECT_FALSE(cache->TryGetEntry(a));
  EXPECT_FALSE(cache->TryGetEntry(b));

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

}  // namespace
