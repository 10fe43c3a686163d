// Cache: construction, lookups and hints, deletion, purging and its failure
// paths, policy and clock replacement.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "host/Errors.h"
#include "main/utility/Cache.h"
#include "main/utility/IndexedCache.h"
#include "tests/main/utility/CacheTestSupport.h"

using namespace CacheHelpers;
using namespace cache_test;

namespace {

class Item : public RefCntObject {
 public:
  explicit Item(int value, bool* destroyed = nullptr) : m_value(value), m_destroyed(destroyed) {}
  ~Item() override {
    if (m_destroyed) *m_destroyed = true;
  }
  int m_value;

 private:
  bool* m_destroyed;
};

RefCntPtr<RefCntObject> MakeItem(int value, bool* destroyed = nullptr) {
  return RefCntPtr<RefCntObject>(new Item(value, destroyed));
}

int ValueOf(const RefCntPtr<RefCntObject>& data) {
  return data ? static_cast<Item&>(*data).m_value : -1;
}

// Matches items by value; counts calls; may throw on a given call.
class ValuePredicate : public EntryPredicate {
 public:
  explicit ValuePredicate(std::function<bool(int)> test) : m_test(std::move(test)) {}
  bool Matches(const Entry& entry) override {
    if (++m_calls == m_throwOnCall) throw std::runtime_error("predicate failed");
    return entry.GetData() && m_test(ValueOf(entry.GetData()));
  }
  std::function<bool(int)> m_test;
  int m_calls = 0;
  int m_throwOnCall = -1;
};

std::shared_ptr<ValuePredicate> ValueIs(int value) {
  return std::make_shared<ValuePredicate>([value](int v) { return v == value; });
}

// Keeps the entries whose ids it lists, restamping its copies to a marker
// clock so that the test can tell the policy's copies from the cache's.
class KeepIds : public IPolicy {
 public:
  explicit KeepIds(std::set<unsigned> ids, uint64_t marker = 0) : m_ids(std::move(ids)), m_marker(marker) {}
  EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last, uint64_t now) override {
    m_lastNow = now;
    EntrySet kept;
    for (; first != last; ++first) {
      if (!m_ids.count(first->GetID())) continue;
      Entry copy = *first;
      if (m_marker) copy.Use(m_marker);
      kept.insert(copy);
    }
    return kept;
  }
  std::set<unsigned> m_ids;
  uint64_t m_marker;
  uint64_t m_lastNow = 0;
};

// Keeps everything; counts its purges.
class KeepAll : public IPolicy {
 public:
  EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last, uint64_t) override {
    ++m_purges;
    return EntrySet(first, last);
  }
  int m_purges = 0;
};

// Claims to track entries and counts every other call it gets.
class TrackingCounter : public KeepAll {
 public:
  void OnEntryAdded(const Entry&) override { ++m_hooks; }
  void OnEntryDeleted(const Entry&) override { ++m_hooks; }
  void OnEntryUsed(const Entry&) override { ++m_hooks; }
  bool HasCapability(Capability) override {
    ++m_hooks;
    return true;
  }
  EntrySet ComputeEntriesToPurge() override {
    ++m_hooks;
    return EntrySet();
  }
  void CatalogCacheEntries(const EntrySet&) override { ++m_hooks; }
  int m_hooks = 0;
};

template <class C>
std::map<unsigned, uint64_t> ClocksById(C& cache) {
  std::map<unsigned, uint64_t> clocks;
  for (const Entry& entry : cache.GetEntries()) clocks[entry.GetID()] = entry.GetClock();
  return clocks;
}

}  // namespace

TEST(CacheTest, AddUseAndHasStampEntriesWithTheClock) {
  Cache cache(std::make_shared<MRUPolicy>(0));  // would delete everything, but only on a purge
  const unsigned a = cache.AddEntry(MakeItem(1));
  const unsigned b = cache.AddEntry(MakeItem(2));
  EXPECT_TRUE(cache.HasEntry(b));
  EXPECT_FALSE(cache.HasEntry(b + 1000));
  EXPECT_FALSE(cache.HasEntry(0u));
  EXPECT_EQ(cache.GetClock(), 0u);  // adding neither advances the clock nor purges

  cache.JustIncrementClock();
  cache.JustIncrementClock();
  EXPECT_TRUE(cache.HasEntry(a));
  EXPECT_TRUE(cache.HasEntry(ValueIs(2)));
  EXPECT_FALSE(cache.HasEntry(ValueIs(3)));
  EXPECT_EQ(ClocksById(cache), (std::map<unsigned, uint64_t>{{a, 0}, {b, 0}}));  // HasEntry does not restamp

  EXPECT_EQ(ValueOf(cache.UseEntry(a)), 1);
  EXPECT_EQ(cache.GetClock(), 2u);
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
  Cache cache(std::make_shared<KeepAll>());
  const unsigned first = cache.AddEntry(MakeItem(7));
  const unsigned second = cache.AddEntry(MakeItem(7));
  const unsigned other = cache.AddEntry(MakeItem(8));
  cache.JustIncrementClock();

  // A valid hint wins with one predicate test, even over another match.
  for (unsigned hinted : {first, second}) {
    auto seven = ValueIs(7);
    unsigned hint = hinted;
    EXPECT_EQ(ValueOf(cache.UseEntry(seven, hint)), 7);
    EXPECT_EQ(hint, hinted);
    EXPECT_EQ(seven->m_calls, 1);
  }
  EXPECT_EQ(ClocksById(cache)[second], 1u);

  // A hint naming an entry that no longer matches falls back to the scan.
  unsigned hint = other;
  EXPECT_EQ(ValueOf(cache.UseEntry(ValueIs(7), hint)), 7);
  EXPECT_TRUE(hint == first || hint == second);

  // A stale hint (deleted entry) falls back too and is rewritten.
  hint = first;
  cache.DeleteEntry(first);
  EXPECT_EQ(ValueOf(cache.UseEntry(ValueIs(7), hint)), 7);
  EXPECT_EQ(hint, second);

  // A miss returns null and sets the hint to 0.
  hint = second;
  EXPECT_EQ(cache.UseEntry(ValueIs(9), hint), nullptr);
  EXPECT_EQ(hint, 0u);

  // A predicate that throws on the hinted entry changes nothing.
  const auto before = ClocksById(cache);
  auto failing = std::make_shared<ValuePredicate>([](int) { return true; });
  failing->m_throwOnCall = 1;
  hint = second;
  EXPECT_THROW(cache.UseEntry(failing, hint), std::runtime_error);
  EXPECT_EQ(ClocksById(cache), before);
}

TEST(CacheTest, DeletionHandsTheEntriesToTheCaller) {
  Cache cache(std::make_shared<KeepAll>());
  bool destroyed = false;
  const unsigned a = cache.AddEntry(MakeItem(1, &destroyed));
  const unsigned b = cache.AddEntry(MakeItem(2));
  const unsigned c = cache.AddEntry(MakeItem(3));

  EXPECT_EQ(cache.DeleteEntry(c + 1000), nullptr);

  RefCntPtr<RefCntObject> taken = cache.DeleteEntry(a);
  EXPECT_EQ(ValueOf(taken), 1);
  EXPECT_EQ(taken->GetReferenceCount(), 1);  // the cache's reference passed to the caller
  EXPECT_FALSE(cache.HasEntry(a));
  taken.reset();
  EXPECT_TRUE(destroyed);

  EXPECT_TRUE(cache.DeleteEntries(ValueIs(9)).empty());
  EntrySet two = cache.DeleteEntries(ValueIs(2));
  ASSERT_EQ(two.size(), 1u);
  EXPECT_EQ(two.begin()->GetID(), b);
  EXPECT_EQ(ValueOf(two.begin()->GetData()), 2);

  cache.AddEntry(MakeItem(4));
  cache.AddEntry(MakeItem(5));
  EntrySet all = cache.DeleteEntries();
  EXPECT_EQ(all.size(), 3u);
  EXPECT_EQ(cache.GetSize(), 0u);
  EXPECT_TRUE(all.count(Entry(c)));
  EXPECT_TRUE(cache.DeleteEntries().empty());
}

TEST(CacheTest, PurgeInstallsThePolicysSurvivors) {
  auto clock = std::make_unique<ManualClock>();
  ManualClock* rawClock = clock.get();
  auto installed = std::make_shared<KeepAll>();
  Cache cache(installed, std::move(clock));
  const unsigned a = cache.AddEntry(MakeItem(1));
  const unsigned b = cache.AddEntry(MakeItem(2));
  const unsigned c = cache.AddEntry(MakeItem(3));

  // The cache ends up holding exactly the set the policy returned: its copies
  // (restamped to 99 here), not its own entries.
  rawClock->m_time = 5;
  auto keepA = std::make_shared<KeepIds>(std::set<unsigned>{a, c}, 99);
  EntrySet deleted = cache.Purge(keepA);
  EXPECT_EQ(keepA->m_lastNow, 5u);
  ASSERT_EQ(deleted.size(), 1u);
  EXPECT_EQ(deleted.begin()->GetID(), b);
  EXPECT_EQ(ValueOf(deleted.begin()->GetData()), 2);  // the deleted object lives on in the result
  EXPECT_EQ(ClocksById(cache), (std::map<unsigned, uint64_t>{{a, 99}, {c, 99}}));
  EXPECT_EQ(cache.GetPolicy(), installed);  // a purge with another policy does not install it
}

TEST(CacheTest, TrackingPolicySeesOnlyPurgeCalls) {
  auto tracking = std::make_shared<TrackingCounter>();
  Cache cache(tracking);
  const unsigned a = cache.AddEntry(MakeItem(1));
  cache.AddEntry(MakeItem(2));
  cache.UseEntry(a);
  unsigned hint = 0;
  cache.UseEntry(ValueIs(2), hint);
  cache.DeleteEntry(a);
  cache.IncrementClock();
  cache.Purge();
  cache.DeleteEntries();
  cache.SetPolicy(tracking, nullptr);
  EXPECT_EQ(tracking->m_hooks, 0);
  EXPECT_EQ(tracking->m_purges, 2);  // DeleteEntries purges with its own policy
}

// What Cache and IndexedCache both promise, over the same calls.
template <class C>
class CacheContractTest : public testing::Test {};
using Caches = testing::Types<Cache, IndexedCache>;
TYPED_TEST_SUITE(CacheContractTest, Caches);

TYPED_TEST(CacheContractTest, ConstructionRequiresAPolicyAndDefaultsTheLifetime) {
  EXPECT_THROW(TypeParam(std::shared_ptr<IPolicy>(), CreateBasicClock()), LogicException);

  // The default cache drops an entry idle for more than 6 increments.
  TypeParam byDefault;
  const unsigned id = byDefault.AddEntry(MakeItem(1));
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(byDefault.IncrementClock().empty()) << "increment " << i + 1;
  EXPECT_EQ(IdsOf(byDefault.IncrementClock()), std::set<unsigned>{id});
  EXPECT_TRUE(byDefault.GetEntries().empty());

  // A given clock is used for stamping and judging.
  auto clock = std::make_unique<ManualClock>(100);
  clock->m_time = 1000;
  TypeParam timed(50, std::move(clock));
  const unsigned stamped = timed.AddEntry(MakeItem(2));
  EXPECT_EQ(ClocksById(timed)[stamped], 1000u);
  EXPECT_EQ(timed.IncrementClock().size(), 1u);  // 1000 + 50 < 1100
}

TYPED_TEST(CacheContractTest, UseEntryGetHintIgnoresTheIncomingHint) {
  TypeParam cache(std::make_shared<KeepAll>(), nullptr);
  const unsigned a = cache.AddEntry(MakeItem(7));
  const unsigned b = cache.AddEntry(MakeItem(8));
  cache.JustIncrementClock();
  unsigned hint = a;
  EXPECT_EQ(ValueOf(cache.UseEntryGetHint(ValueIs(8), hint)), 8);
  EXPECT_EQ(hint, b);
  EXPECT_EQ(ClocksById(cache), (std::map<unsigned, uint64_t>{{a, 0}, {b, 1}}));
  EXPECT_EQ(cache.UseEntryGetHint(ValueIs(9), hint), nullptr);
  EXPECT_EQ(hint, 0u);
}

TYPED_TEST(CacheContractTest, FailingPolicyOrPredicateLeavesTheEntriesUnchanged) {
  TypeParam cache(std::make_shared<KeepAll>(), nullptr);
  for (int v = 0; v < 10; ++v) cache.AddEntry(MakeItem(v));
  cache.JustIncrementClock();
  cache.UseEntry(ValueIs(3));
  const auto before = ClocksById(cache);

  EXPECT_THROW(cache.Purge(std::make_shared<Throwing>()), std::runtime_error);
  // The increment happens before the purge fails.
  EXPECT_THROW(cache.IncrementClock(std::make_shared<Throwing>()), std::runtime_error);
  EXPECT_EQ(cache.GetClock(), 2u);
  // A predicate that throws after several matches deletes nothing.
  auto failing = std::make_shared<ValuePredicate>([](int) { return true; });
  failing->m_throwOnCall = 6;
  EXPECT_THROW(cache.DeleteEntries(failing), std::runtime_error);
  EXPECT_EQ(ClocksById(cache), before);
}

TYPED_TEST(CacheContractTest, SetPolicyReplacesTheClockOnlyWhenGivenOne) {
  bool firstDestroyed = false;
  TypeParam cache(std::make_shared<KeepAll>(), std::make_unique<ManualClock>(1, &firstDestroyed));
  for (int i = 0; i < 3; ++i) cache.JustIncrementClock();
  const unsigned id = cache.AddEntry(MakeItem(1));

  auto lifetime = std::make_shared<LifetimePolicy>(1);
  cache.SetPolicy(lifetime, nullptr);
  EXPECT_EQ(cache.GetPolicy(), lifetime);
  EXPECT_EQ(cache.GetClock(), 3u);
  EXPECT_FALSE(firstDestroyed);

  auto fresh = std::make_unique<ManualClock>(10);
  fresh->m_time = 500;
  cache.SetPolicy(lifetime, std::move(fresh));
  EXPECT_TRUE(firstDestroyed);
  EXPECT_EQ(cache.GetClock(), 500u);
  // The entry keeps its old stamp (3) and is judged against the new clock.
  EXPECT_EQ(IdsOf(cache.Purge()), std::set<unsigned>{id});
}
