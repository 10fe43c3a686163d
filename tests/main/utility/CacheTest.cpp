// Cache: lookups and hints, deletion, purging and the policy protocol; then
// what Cache and IndexedCache both promise, one typed body checking both.
#include "main/utility/Cache.h"

#include <gtest/gtest.h>

#include <type_traits>

#include "host/Errors.h"
#include "tests/main/utility/CacheTestSupport.h"
#include "tests/support/TestEnvironment.h"

using namespace CacheHelpers;
using namespace cache_test;

TEST(CacheTest, AddUseAndHasStampEntriesWithTheClock) {
  Cache cache(std::make_shared<MRUPolicy>(0));  // would delete everything, but only on a purge
  const unsigned a = cache.AddEntry(MakeRecord("", 1));
  const unsigned b = cache.AddEntry(MakeRecord("", 2));
  EXPECT_TRUE(cache.HasEntry(b));
  EXPECT_FALSE(cache.HasEntry(b + 1000));
  EXPECT_FALSE(cache.HasEntry(0u));
  EXPECT_EQ(cache.GetClock(), 0u);  // adding neither advances the clock nor purges

  for (int i = 0; i < 2; ++i) cache.JustIncrementClock();
  EXPECT_TRUE(cache.HasEntry(a));
  EXPECT_TRUE(cache.HasEntry(ValueIs(2)));
  EXPECT_FALSE(cache.HasEntry(ValueIs(3)));
  EXPECT_EQ(ClocksById(cache), (std::map<unsigned, uint64_t>{{a, 0}, {b, 0}}));  // HasEntry does not restamp

  EXPECT_EQ(ValueOf(cache.UseEntry(a)), 1);
  cache.JustIncrementClock();
  ICacheEx& asInterface = cache;
  EXPECT_EQ(ValueOf(asInterface.UseEntry(ValueIs(2))), 2);
  EXPECT_EQ(ClocksById(cache), (std::map<unsigned, uint64_t>{{a, 2}, {b, 3}}));
  EXPECT_EQ(cache.UseEntry(b + 1000), nullptr);
  EXPECT_EQ(cache.UseEntry(ValueIs(9)), nullptr);

  // A null object is stored as is: present, but using it looks like a miss.
  const unsigned empty = cache.AddEntry(nullptr);
  EXPECT_TRUE(cache.HasEntry(empty));
  cache.JustIncrementClock();
  EXPECT_EQ(cache.UseEntry(empty), nullptr);
  EXPECT_EQ(ClocksById(cache)[empty], 4u);  // still stamped

  // GetEntries is a copy: restamping it leaves the cache alone.
  EntrySet copy = cache.GetEntries();
  copy.find(Entry(a))->Use(99);
  EXPECT_EQ(ClocksById(cache)[a], 2u);
}

TEST(CacheTest, HintRules) {
  Cache cache(std::make_shared<RecordingPolicy>());
  const unsigned first = cache.AddEntry(MakeRecord("", 7));
  const unsigned second = cache.AddEntry(MakeRecord("", 7));
  const unsigned other = cache.AddEntry(MakeRecord("", 8));
  cache.JustIncrementClock();

  // A valid hint wins with one predicate test, even over another match.
  auto seven = ValueIs(7);
  unsigned hint = second;
  EXPECT_EQ(ValueOf(cache.UseEntry(seven, hint)), 7);
  EXPECT_EQ(hint, second);
  EXPECT_EQ(seven->m_seen.size(), 1u);
  EXPECT_EQ(ClocksById(cache)[second], 1u);

  // A hint naming an entry that no longer matches falls back to the scan; a
  // stale one (deleted entry) too, and is rewritten; a miss sets it to 0.
  hint = other;
  EXPECT_EQ(ValueOf(cache.UseEntry(ValueIs(7), hint)), 7);
  EXPECT_TRUE(hint == first || hint == second);
  hint = first;
  cache.DeleteEntry(first);
  EXPECT_EQ(ValueOf(cache.UseEntry(ValueIs(7), hint)), 7);
  EXPECT_EQ(hint, second);
  EXPECT_EQ(cache.UseEntry(ValueIs(9), hint), nullptr);
  EXPECT_EQ(hint, 0u);

  // A predicate that throws on the hinted entry changes nothing.
  const auto before = ClocksById(cache);
  hint = second;
  EXPECT_THROW(cache.UseEntry(ThrowingOnCall(1), hint), std::runtime_error);
  EXPECT_EQ(ClocksById(cache), before);
}

TEST(CacheTest, DeletionHandsTheEntriesToTheCaller) {
  Cache cache(std::make_shared<RecordingPolicy>());
  bool destroyed = false;
  const unsigned a = cache.AddEntry(MakeRecord("", 1, &destroyed));
  const unsigned b = cache.AddEntry(MakeRecord("", 2));
  const unsigned c = cache.AddEntry(MakeRecord("", 3));
  EXPECT_EQ(cache.DeleteEntry(c + 1000), nullptr);

  RefCntPtr<RefCntObject> taken = cache.DeleteEntry(a);
  EXPECT_EQ(ValueOf(taken), 1);
  EXPECT_EQ(taken->GetReferenceCount(), 1);  // the cache's reference passed to the caller
  EXPECT_FALSE(cache.HasEntry(a));
  taken.reset();
  EXPECT_TRUE(destroyed);

  EXPECT_TRUE(cache.DeleteEntries(ValueIs(9)).empty());
  EntrySet two = cache.DeleteEntries(ValueIs(2));
  ASSERT_EQ(IdsOf(two), std::set<unsigned>{b});
  EXPECT_EQ(ValueOf(two.begin()->GetData()), 2);

  for (int v : {4, 5}) cache.AddEntry(MakeRecord("", v));
  EntrySet all = cache.DeleteEntries();
  EXPECT_EQ(all.size(), 3u);
  EXPECT_EQ(cache.GetSize(), 0u);
  EXPECT_TRUE(all.count(Entry(c)));
  EXPECT_TRUE(cache.DeleteEntries().empty());
}

TEST(CacheTest, PurgeInstallsThePolicysSurvivorsAndNeverCallsItsHooks) {
  auto installed = std::make_shared<RecordingPolicy>(true);  // claims tracking: Cache ignores that
  Cache cache(installed, std::make_unique<ManualClock>(1, 5));
  const unsigned a = cache.AddEntry(MakeRecord("", 1));
  const unsigned b = cache.AddEntry(MakeRecord("", 2));
  const unsigned c = cache.AddEntry(MakeRecord("", 3));

  // The cache ends up holding exactly the set the policy returned: its copies
  // (restamped to 99 here), not its own entries.
  auto other = std::make_shared<RecordingPolicy>();
  other->m_victims = {Entry(b)};
  other->m_marker = 99;
  EntrySet deleted = cache.Purge(other);
  EXPECT_EQ(other->Take(), (Calls{{"purge", 3, 5}}));
  ASSERT_EQ(IdsOf(deleted), std::set<unsigned>{b});
  EXPECT_EQ(ValueOf(deleted.begin()->GetData()), 2);  // the deleted object lives on in the result
  EXPECT_EQ(ClocksById(cache), (std::map<unsigned, uint64_t>{{a, 99}, {c, 99}}));
  EXPECT_EQ(cache.GetPolicy(), installed);  // a purge with another policy does not install it

  // The installed policy hears only its purges (DeleteEntries uses its own).
  unsigned hint = 0;
  cache.UseEntry(a);
  cache.UseEntry(ValueIs(3), hint);
  cache.DeleteEntry(a);
  cache.IncrementClock();
  cache.Purge();
  cache.DeleteEntries();
  cache.SetPolicy(installed, nullptr);
  EXPECT_EQ(installed->Take(), (Calls{{"purge", 1, 6}, {"purge", 1, 6}}));
}

// What Cache and IndexedCache both promise, over the same calls.
template <class C>
class CacheContractTest : public testing::Test {};
using Caches = testing::Types<Cache, IndexedCache>;
TYPED_TEST_SUITE(CacheContractTest, Caches);

TYPED_TEST(CacheContractTest, ConstructionRequiresAPolicyAndDefaultsTheLifetime) {
  // The assertion names its source, line and expression.
  const bool indexed = std::is_same_v<TypeParam, IndexedCache>;
  EXPECT_EQ(kelcache_test::LogicExceptionSite([] { TypeParam{std::shared_ptr<IPolicy>(), CreateBasicClock()}; }),
            indexed ? "main/utility/IndexedCache:219 m_policy" : "main/utility/Cache:15 m_policy");
  if constexpr (std::is_same_v<TypeParam, Cache>) {
    EXPECT_EQ(kelcache_test::LogicExceptionSite([] { Cache{std::shared_ptr<IPolicy>()}; }),
              "main/utility/Cache:26 m_policy");
  }

  // The default cache drops an entry idle for more than 6 increments.
  TypeParam byDefault;
  const unsigned id = byDefault.AddEntry(MakeRecord("", 1));
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(byDefault.IncrementClock().empty()) << "increment " << i + 1;
  EXPECT_EQ(IdsOf(byDefault.IncrementClock()), std::set<unsigned>{id});
  EXPECT_TRUE(byDefault.GetEntries().empty());

  // A given clock is used for stamping and judging.
  TypeParam timed(50, std::make_unique<ManualClock>(100, 1000));
  const unsigned stamped = timed.AddEntry(MakeRecord("", 2));
  EXPECT_EQ(ClocksById(timed)[stamped], 1000u);
  EXPECT_EQ(timed.IncrementClock().size(), 1u);  // 1000 + 50 < 1100
}

TYPED_TEST(CacheContractTest, UseEntryGetHintIgnoresTheIncomingHint) {
  TypeParam cache(std::make_shared<RecordingPolicy>(), nullptr);
  const unsigned a = cache.AddEntry(MakeRecord("", 7));
  const unsigned b = cache.AddEntry(MakeRecord("", 8));
  cache.JustIncrementClock();
  unsigned hint = a;
  EXPECT_EQ(ValueOf(cache.UseEntryGetHint(ValueIs(8), hint)), 8);
  EXPECT_EQ(hint, b);
  EXPECT_EQ(ClocksById(cache), (std::map<unsigned, uint64_t>{{a, 0}, {b, 1}}));
  EXPECT_EQ(cache.UseEntryGetHint(ValueIs(9), hint), nullptr);
  EXPECT_EQ(hint, 0u);
}

TYPED_TEST(CacheContractTest, FailingPolicyOrPredicateLeavesTheEntriesUnchanged) {
  TypeParam cache(std::make_shared<RecordingPolicy>(), nullptr);
  for (int v = 0; v < 10; ++v) cache.AddEntry(MakeRecord("", v));
  cache.JustIncrementClock();
  cache.UseEntry(ValueIs(3));
  const auto before = ClocksById(cache);

  EXPECT_THROW(cache.Purge(std::make_shared<Throwing>()), std::runtime_error);
  // The increment happens before the purge fails.
  EXPECT_THROW(cache.IncrementClock(std::make_shared<Throwing>()), std::runtime_error);
  EXPECT_EQ(cache.GetClock(), 2u);
  // A predicate that throws after several matches deletes nothing.
  EXPECT_THROW(cache.DeleteEntries(ThrowingOnCall(6)), std::runtime_error);
  EXPECT_EQ(ClocksById(cache), before);
}

TYPED_TEST(CacheContractTest, SetPolicyReplacesTheClockOnlyWhenGivenOne) {
  bool firstDestroyed = false;
  TypeParam cache(std::make_shared<RecordingPolicy>(), std::make_unique<ManualClock>(1, 0, &firstDestroyed));
  for (int i = 0; i < 3; ++i) cache.JustIncrementClock();
  const unsigned id = cache.AddEntry(MakeRecord("", 1));

  auto lifetime = std::make_shared<LifetimePolicy>(1);
  cache.SetPolicy(lifetime, nullptr);
  EXPECT_EQ(cache.GetPolicy(), lifetime);
  EXPECT_EQ(cache.GetClock(), 3u);
  EXPECT_FALSE(firstDestroyed);

  cache.SetPolicy(lifetime, std::make_unique<ManualClock>(10, 500));
  EXPECT_TRUE(firstDestroyed);
  EXPECT_EQ(cache.GetClock(), 500u);
  // The entry keeps its old stamp (3) and is judged against the new clock.
  EXPECT_EQ(IdsOf(cache.Purge()), std::set<unsigned>{id});
}
