// The in-memory caches and their building blocks: entry ids and references,
// the lifetime predicate and the eviction policies; then Cache and
// IndexedCache: lookups and hints, deletion, purging and the policy protocol,
// indexes, policy and clock replacement, and the failure paths. Where both
// caches make the same promise, one typed body checks both.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "host/Errors.h"
#include "main/utility/Cache.h"
#include "main/utility/CacheHelpers.h"
#include "main/utility/IndexedCache.h"
#include "tests/main/utility/CacheTestSupport.h"
#include "tests/main/utility/IndexedCacheTestAccess.h"

using namespace CacheHelpers;
using namespace cache_test;

namespace {

// Entries with the given clocks, in the order given; each record's value is
// its clock.
std::vector<Entry> EntriesWithClocks(const std::vector<uint64_t>& clocks) {
  std::vector<Entry> entries;
  for (uint64_t clock : clocks) entries.emplace_back(MakeRecord("", static_cast<int>(clock)), clock);
  return entries;
}

EntrySet SetOf(const std::vector<Entry>& entries) {
  return EntrySet(entries.begin(), entries.end());
}

std::multiset<uint64_t> ClocksOf(const EntrySet& set) {
  std::multiset<uint64_t> clocks;
  for (const Entry& entry : set) clocks.insert(entry.GetClock());
  return clocks;
}

EntrySet PurgeAll(IPolicy& policy, const EntrySet& set, uint64_t now = 0) {
  return policy.Purge(set.begin(), set.end(), now);
}

RefCntPtr<RefCntObject> MakeItem(int value, bool* destroyed = nullptr) {
  return MakeRecord("", value, destroyed);
}
TString RegionKey(const Entry& entry) {
  return TString::fromStdString(RecordOf(entry).m_region);
}

// A predicate naming an index and key, testing records, logging what it
// sees; it may throw on a given call.
class Probe : public EntryPredicate {
 public:
  Probe(TString index, TString key, std::function<bool(const Record&)> test)
      : m_index(std::move(index)), m_key(std::move(key)), m_test(std::move(test)) {}
  bool Matches(const Entry& entry) override {
    m_seen.push_back(entry.GetID());
    if (static_cast<int>(m_seen.size()) == m_throwOnCall) throw std::runtime_error("predicate failed");
    return entry.GetData() && m_test(RecordOf(entry));
  }
  TString GetIndexName() override { return m_index; }
  TString GetKeyForIndexing() override { return m_key; }
  bool HasIndex() const override { return m_claimsIndex; }

  TString m_index;
  TString m_key;
  std::function<bool(const Record&)> m_test;
  std::vector<unsigned> m_seen;
  int m_throwOnCall = -1;
  bool m_claimsIndex = false;
};

std::shared_ptr<Probe> InRegion(
    const std::string& region, std::function<bool(const Record&)> test = [](const Record&) { return true; }) {
  return std::make_shared<Probe>(u"Region", TString::fromStdString(region), std::move(test));
}
std::shared_ptr<Probe> Unindexed(std::function<bool(const Record&)> test) {
  return std::make_shared<Probe>(TString(), TString(), std::move(test));
}
std::shared_ptr<Probe> ValueIs(int value) {
  return Unindexed([value](const Record& r) { return r.m_value == value; });
}

// Claims TracksEntries without offering ComputeEntriesToPurge.
class ClaimsTracking : public IPolicy {
 public:
  EntrySet Purge(EntrySet::const_iterator, EntrySet::const_iterator, uint64_t) override { return EntrySet(); }
  bool HasCapability(Capability) override { return true; }
  void OnEntryDeleted(const Entry&) override { ++m_deletions; }
  int m_deletions = 0;
};

// Everything observable about an indexed cache, for before/after checks:
// each entry's clock, the listings and the keys of each entry.
using Snapshot = std::tuple<std::map<unsigned, uint64_t>, std::map<TString, std::set<unsigned>>,
                            std::map<unsigned, std::set<TString>>>;
Snapshot Take(IndexedCache& cache) {
  const IndexedCacheData& data = cache.GetCacheData();
  return {ClocksById(cache),
          {data.m_indexedEntries.begin(), data.m_indexedEntries.end()},
          {data.m_entryIndexKeys.begin(), data.m_entryIndexKeys.end()}};
}

// The three containers agree: the listings, turned round, are the keys of
// the entries; only present entries are listed and no id set is empty.
void ExpectConsistent(IndexedCache& cache) {
  const IndexedCacheData& data = cache.GetCacheData();
  std::map<unsigned, std::set<TString>> mirrored;
  for (const auto& [key, ids] : data.m_indexedEntries) {
    EXPECT_FALSE(ids.empty()) << key;
    for (unsigned id : ids) mirrored[id].insert(key);
  }
  EXPECT_EQ(mirrored, (std::map<unsigned, std::set<TString>>(data.m_entryIndexKeys.begin(),
                                                             data.m_entryIndexKeys.end())));
  for (const auto& [id, keys] : mirrored)
    EXPECT_EQ(data.m_entries.count(Entry(id)), 1u) << "listed absent " << id;
  EXPECT_EQ(IndexedCacheTestAccess::HintMirrorProblem(cache), "");
}

}  // namespace

TEST(MRUPolicyTest, KeepsTheMostRecentlyUsedLikeASortAtEverySizeAndNeverAsserts) {
  // The assertion on the selection cannot fire on a correct selection: run
  // many sizes, limits and tie patterns and compare with a full sort.
  std::mt19937 random(1234);
  for (int round = 0; round < 300; ++round) {
    const size_t count = random() % 200;
    const uint64_t limit = random() % 220;
    const uint64_t clockRange = 1 + random() % 50;  // small ranges make ties
    std::vector<uint64_t> clocks(count);
    for (auto& clock : clocks) clock = random() % clockRange;
    EntrySet input = SetOf(EntriesWithClocks(clocks));

    EntrySet kept;
    ASSERT_NO_THROW(kept = PurgeAll(*std::make_shared<MRUPolicy>(limit), input));
    ASSERT_EQ(kept.size(), std::min<uint64_t>(limit, count));
    // The survivors are copies of input entries, sharing their objects.
    for (const Entry& entry : kept) {
      auto original = input.find(entry);
      ASSERT_TRUE(original != input.end() && original->GetData() == entry.GetData());
    }
    std::sort(clocks.begin(), clocks.end(), std::greater<>());
    clocks.resize(kept.size());
    ASSERT_EQ(ClocksOf(kept), std::multiset<uint64_t>(clocks.begin(), clocks.end()));
  }
}

// An entry is idle when clock + lifetime < now, in 64-bit arithmetic that
// wraps; the predicate says so, and the policy drops exactly those entries.
TEST(LifetimeTest, IdleIsUnsignedWrappingAndStrictForThePredicateAndThePolicy) {
  struct Case {
    uint64_t lifetime, now, clock;
    bool idle;
  };
  const Case cases[] = {
      {10, 20, 9, true},           {10, 20, 10, false},  // 10 + 10 == 20 is not idle
      {10, 20, 25, false},                               // from the future: never idle
      {0, 0, 0, false},            {0, 0, UINT64_MAX, false}, {0, 5, 4, true}, {0, 5, 5, false},
      {2, 5, UINT64_MAX, true},                          // UINT64_MAX + 2 wraps to 1 < 5
      {4, 3, UINT64_MAX - 1, true},                      // wraps to 2 < 3
      {UINT64_MAX, 0, 0, false},   {UINT64_MAX, 1, 1, true},  // wraps to 0 < 1
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "lifetime " << c.lifetime << " now " << c.now << " clock " << c.clock);
    EXPECT_EQ(LifetimePredicate(c.lifetime, c.now).Matches(Entry(nullptr, c.clock)), c.idle);
    EXPECT_EQ(PurgeAll(*std::make_shared<LifetimePolicy>(c.lifetime), SetOf(EntriesWithClocks({c.clock})), c.now).empty(),
              c.idle);
  }
  // Of several entries, the policy keeps those that are not idle.
  EXPECT_EQ(ClocksOf(PurgeAll(*std::make_shared<LifetimePolicy>(6), SetOf(EntriesWithClocks({0, 1, 7, 8})), 7)),
            (std::multiset<uint64_t>{1, 7, 8}));
}

TEST(EntryPredicatePolicyTest, DropsExactlyWhatThePredicateMatchesCallingItOncePerEntryInOrder) {
  std::vector<Entry> entries = EntriesWithClocks({1, 2, 3, 4, 5, 6});
  EntrySet set = SetOf(entries);
  auto even = Unindexed([](const Record& r) { return r.m_value % 2 == 0; });
  EntryPredicatePolicy policy(even);
  EntrySet kept = PurgeAll(policy, set);
  EXPECT_EQ(ClocksOf(kept), (std::multiset<uint64_t>{1, 3, 5}));
  std::vector<unsigned> rangeOrder;
  for (const Entry& entry : set) rangeOrder.push_back(entry.GetID());
  EXPECT_EQ(even->m_seen, rangeOrder);

  auto failing = ValueIs(0);
  failing->m_throwOnCall = 1;
  EXPECT_THROW(PurgeAll(*std::make_shared<EntryPredicatePolicy>(failing), set), std::runtime_error);
}

TEST(CascadedPolicyTest, EachMemberJudgesWhatThePreviousOnesKept) {
  // Young enough (lifetime 6 at now 10: clock >= 4), then the two newest.
  auto cascade = std::make_shared<CascadedPolicy>(std::make_shared<LifetimePolicy>(6));
  cascade->AddPolicy(std::make_shared<MRUPolicy>(2));
  EntrySet set = SetOf(EntriesWithClocks({1, 3, 4, 5, 9}));
  EXPECT_EQ(ClocksOf(PurgeAll(*cascade, set, 10)), (std::multiset<uint64_t>{5, 9}));
  EXPECT_EQ(ClocksOf(PurgeAll(*cascade, set, 14)), (std::multiset<uint64_t>{9}));

  // Order matters: the two newest first, then the lifetime.
  auto reversed = std::make_shared<CascadedPolicy>(std::make_shared<MRUPolicy>(2));
  reversed->AddPolicy(std::make_shared<LifetimePolicy>(6));
  EXPECT_EQ(ClocksOf(PurgeAll(*reversed, set, 14)), (std::multiset<uint64_t>{9}));

  // Every member is called with the same now, each over the previous result,
  // even when an earlier one kept nothing; members hear no hooks.
  auto first = std::make_shared<RecordingPolicy>();
  auto second = std::make_shared<RecordingPolicy>();
  auto third = std::make_shared<RecordingPolicy>();
  second->m_victims = set;
  CascadedPolicy logged(first);
  logged.AddPolicy(second);
  logged.AddPolicy(third);
  EXPECT_TRUE(PurgeAll(logged, set, 77).empty());
  EXPECT_EQ(first->Take(), (Calls{{"purge", 5, 77}}));
  EXPECT_EQ(second->Take(), (Calls{{"purge", 5, 77}}));
  EXPECT_EQ(third->Take(), (Calls{{"purge", 0, 77}}));
  logged.OnEntryAdded(*set.begin());
  logged.CatalogCacheEntries(set);
  EXPECT_TRUE(first->Take().empty());

  // An empty range still calls each member once.
  EXPECT_TRUE(PurgeAll(logged, EntrySet(), 1).empty());
  EXPECT_EQ(first->Take(), (Calls{{"purge", 0, 1}}));
  EXPECT_EQ(third->Take(), (Calls{{"purge", 0, 1}}));

  // A member's exception propagates.
  CascadedPolicy failing(std::make_shared<MRUPolicy>(10));
  failing.AddPolicy(std::make_shared<Throwing>());
  EXPECT_THROW(PurgeAll(failing, set), std::runtime_error);
}

TEST(CacheEntryTest, IdsAreIssuedInSequenceOnlyByTheDataConstructorAndWrap) {
  const unsigned saved = Entry::s_guid.load();
  Entry first(nullptr, 0);
  Entry second(nullptr, 0);
  EXPECT_EQ(second.GetID(), first.GetID() + 1);

  // Probes and copies do not consume ids.
  const unsigned before = Entry::s_guid.load();
  Entry empty;
  Entry probe(12345u);
  Entry copy(first);
  EXPECT_EQ(Entry::s_guid.load(), before);
  EXPECT_EQ(empty.GetID(), 0u);
  EXPECT_EQ(probe.GetID(), 12345u);
  EXPECT_EQ(copy.GetID(), first.GetID());

  // After the largest id the counter wraps; 0 is issued like any id.
  Entry::s_guid.store(0xFFFFFFFEu);
  Entry last(nullptr, 0);
  Entry wrapped(nullptr, 0);
  Entry next(nullptr, 0);
  Entry::s_guid.store(saved);
  EXPECT_EQ(last.GetID(), 0xFFFFFFFFu);
  EXPECT_EQ(wrapped.GetID(), 0u);
  EXPECT_EQ(next.GetID(), 1u);
}

TEST(CacheEntryTest, EntryHoldsExactlyOneReference) {
  bool destroyed = false;
  RefCntObject* object = new Record("", 0, &destroyed);
  {
    Entry entry(RefCntPtr<RefCntObject>(object), 0);
    EXPECT_EQ(object->GetReferenceCount(), 1);  // the temporary's reference passed to the entry
    {
      Entry copy(entry);
      EXPECT_EQ(object->GetReferenceCount(), 2);
      RefCntPtr<RefCntObject> used = copy.Use(1);
      EXPECT_EQ(object->GetReferenceCount(), 3);
    }
    EXPECT_EQ(object->GetReferenceCount(), 1);

    // Self-assignment of the only holder must not destroy the object.
    Entry& alias = entry;
    entry = alias;
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(object->GetReferenceCount(), 1);

    // Assignment releases the old object.
    bool otherDestroyed = false;
    Entry other(new Record("", 0, &otherDestroyed), 0);
    other = entry;
    EXPECT_TRUE(otherDestroyed);
    EXPECT_EQ(object->GetReferenceCount(), 2);
  }
  EXPECT_TRUE(destroyed);
}

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
    EXPECT_EQ(seven->m_seen.size(), 1u);
  }
  EXPECT_EQ(ClocksById(cache)[second], 1u);

  // A hint naming an entry that no longer matches falls back to the scan; a
  // stale one (deleted entry) too, and is rewritten; a miss sets it to 0.
  unsigned hint = other;
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
  auto failing = Unindexed([](const Record&) { return true; });
  failing->m_throwOnCall = 1;
  hint = second;
  EXPECT_THROW(cache.UseEntry(failing, hint), std::runtime_error);
  EXPECT_EQ(ClocksById(cache), before);
}

TEST(CacheTest, DeletionHandsTheEntriesToTheCaller) {
  Cache cache(std::make_shared<RecordingPolicy>());
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
  ASSERT_EQ(IdsOf(two), std::set<unsigned>{b});
  EXPECT_EQ(ValueOf(two.begin()->GetData()), 2);

  cache.AddEntry(MakeItem(4));
  cache.AddEntry(MakeItem(5));
  EntrySet all = cache.DeleteEntries();
  EXPECT_EQ(all.size(), 3u);
  EXPECT_EQ(cache.GetSize(), 0u);
  EXPECT_TRUE(all.count(Entry(c)));
  EXPECT_TRUE(cache.DeleteEntries().empty());
}

TEST(CacheTest, PurgeInstallsThePolicysSurvivorsAndNeverCallsItsHooks) {
  auto clock = std::make_unique<ManualClock>();
  ManualClock* rawClock = clock.get();
  auto installed = std::make_shared<RecordingPolicy>(true);  // claims tracking: Cache ignores that
  Cache cache(installed, std::move(clock));
  const unsigned a = cache.AddEntry(MakeItem(1));
  const unsigned b = cache.AddEntry(MakeItem(2));
  const unsigned c = cache.AddEntry(MakeItem(3));

  // The cache ends up holding exactly the set the policy returned: its copies
  // (restamped to 99 here), not its own entries.
  rawClock->m_time = 5;
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
  TypeParam cache(std::make_shared<RecordingPolicy>(), nullptr);
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
  TypeParam cache(std::make_shared<RecordingPolicy>(), nullptr);
  for (int v = 0; v < 10; ++v) cache.AddEntry(MakeItem(v));
  cache.JustIncrementClock();
  cache.UseEntry(ValueIs(3));
  const auto before = ClocksById(cache);

  EXPECT_THROW(cache.Purge(std::make_shared<Throwing>()), std::runtime_error);
  // The increment happens before the purge fails.
  EXPECT_THROW(cache.IncrementClock(std::make_shared<Throwing>()), std::runtime_error);
  EXPECT_EQ(cache.GetClock(), 2u);
  // A predicate that throws after several matches deletes nothing.
  auto failing = Unindexed([](const Record&) { return true; });
  failing->m_throwOnCall = 6;
  EXPECT_THROW(cache.DeleteEntries(failing), std::runtime_error);
  EXPECT_EQ(ClocksById(cache), before);
}

TYPED_TEST(CacheContractTest, SetPolicyReplacesTheClockOnlyWhenGivenOne) {
  bool firstDestroyed = false;
  TypeParam cache(std::make_shared<RecordingPolicy>(), std::make_unique<ManualClock>(1, &firstDestroyed));
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

TEST(IndexedCacheTest, IndexedPredicatesReadOnlyTheListedEntries) {
  IndexedCache cache(std::make_shared<RecordingPolicy>(), nullptr);
  cache.AddIndex(u"Region", RegionKey);
  const unsigned eu1 = cache.AddEntry(MakeRecord("EU", 1));
  const unsigned eu2 = cache.AddEntry(MakeRecord("EU", 2));
  const unsigned eu3 = cache.AddEntry(MakeRecord("EU", 2));
  const unsigned us = cache.AddEntry(MakeRecord("US", 2));
  EXPECT_FALSE(cache.HasIndex(nullptr));
  EXPECT_TRUE(cache.HasIndex(InRegion("nowhere")));
  EXPECT_FALSE(cache.HasIndex(std::make_shared<Probe>(u"Nope", u"EU", [](const Record&) { return true; })));

  // The oldest listed entry that matches wins; only listed entries are tried,
  // in ascending id order, and the search stops at the match.
  auto two = InRegion("EU", [](const Record& r) { return r.m_value == 2; });
  EXPECT_EQ(ValueOf(cache.UseEntry(two)), 2);
  EXPECT_EQ(two->m_seen, (std::vector<unsigned>{eu1, eu2}));

  // A key with no listed entry is a miss without any scan, although a
  // matching entry sits under another key.
  auto unlisted = InRegion("APAC");
  EXPECT_EQ(cache.UseEntry(unlisted), nullptr);
  EXPECT_TRUE(unlisted->m_seen.empty());
  auto usOnlyInEU = InRegion("EU", [](const Record& r) { return r.m_region == "US"; });
  EXPECT_EQ(cache.UseEntry(usOnlyInEU), nullptr);
  EXPECT_EQ(usOnlyInEU->m_seen, (std::vector<unsigned>{eu1, eu2, eu3}));

  // A predicate that only claims HasIndex() means a scan of all entries (as
  // does an index the cache lacks, which the model test covers).
  auto claims = Unindexed([](const Record& r) { return r.m_region == "US"; });
  claims->m_claimsIndex = true;
  EXPECT_EQ(ValueOf(cache.UseEntry(claims)), 2);
  EXPECT_EQ(claims->m_seen.back(), us);
}

// What the random sequences of IndexedCacheModelTest do not pin down: the
// operations that judge one entry only, and the calls that are refused.
TEST(IndexedCacheTest, SingleEntryOperationsAndRefusedCalls) {
  auto clock = std::make_unique<ManualClock>();
  ManualClock* time = clock.get();
  auto recording = std::make_shared<RecordingPolicy>();
  IndexedCache cache(recording, std::move(clock));
  EXPECT_FALSE(cache.AddIndex(TString(), RegionKey));
  EXPECT_FALSE(cache.AddIndex(u"Region", nullptr));
  EXPECT_TRUE(cache.AddIndex(u"Region", RegionKey));
  EXPECT_FALSE(cache.AddIndex(u"Region", [](const Entry&) { return TString(u"other"); }));  // the first stays
  const unsigned a = cache.AddEntry(MakeRecord("EU", 1));
  const unsigned b = cache.AddEntry(MakeRecord("EU", 2));
  time->m_time = 5;

  // GetEntry: a copy, clock untouched; Entry() when absent.
  Entry got = cache.GetEntry(a);
  EXPECT_EQ(got.GetID(), a);
  EXPECT_EQ(got.GetClock(), 0u);
  EXPECT_EQ(ValueOf(got.GetData()), 1);
  EXPECT_EQ(cache.GetEntry(b + 100).GetID(), 0u);

  // UseEntryIfMatchesPredicate: that entry only, no search.
  auto one = ValueIs(1);
  EXPECT_EQ(cache.UseEntryIfMatchesPredicate(b, one), nullptr);
  EXPECT_EQ(one->m_seen, std::vector<unsigned>{b});
  EXPECT_EQ(cache.UseEntryIfMatchesPredicate(b + 100, one), nullptr);
  EXPECT_EQ(ValueOf(cache.UseEntryIfMatchesPredicate(a, one)), 1);
  EXPECT_EQ(cache.GetEntry(a).GetClock(), 5u);

  // A null predicate finds nothing and leaves the hint; deletes nothing.
  unsigned hint = b;
  EXPECT_EQ(cache.UseEntryUpdateHint(nullptr, hint), nullptr);
  EXPECT_EQ(hint, b);
  EXPECT_TRUE(cache.DeleteEntries(nullptr).empty());

  // A pruned entry comes back as its id only, and the policy hears of it.
  recording->Take();
  Entry pruned = cache.PruneHints(InRegion("EU"), 1);
  EXPECT_EQ(pruned.GetID(), a);
  EXPECT_EQ(pruned.GetData(), nullptr);
  EXPECT_EQ(recording->Take(), (Calls{{"deleted", a, 5}}));
  ExpectConsistent(cache);
}

TEST(IndexedCacheTest, PolicyHearsEveryHookInOrderWithTheRightClock) {
  auto clock = std::make_unique<ManualClock>();
  ManualClock* time = clock.get();
  auto policy = std::make_shared<RecordingPolicy>(true);
  IndexedCache cache(policy, std::move(clock));
  policy->m_watched = &cache;
  cache.AddIndex(u"Region", RegionKey);
  EXPECT_TRUE(policy->Take().empty());  // indexes are not the policy's business

  time->m_time = 10;
  const unsigned a = cache.AddEntry(MakeRecord("EU", 1));
  const unsigned b = cache.AddEntry(MakeRecord("EU", 2));
  const unsigned c = cache.AddEntry(MakeRecord("US", 3));
  EXPECT_EQ(policy->Take(), (Calls{{"added", a, 10}, {"added", b, 10}, {"added", c, 10}}));

  // Reads by id report the old clock; the other uses the new one. Each use
  // is made at its own time.
  unsigned hint = 0;
  const std::pair<uint64_t, std::function<void()>> uses[] = {
      {20, [&] { cache.UseEntry(a); }},
      {20, [&] { cache.GetEntry(b); }},
      {30, [&] { cache.UseEntry(InRegion("EU", [](const Record& r) { return r.m_value == 2; })); }},
      {31, [&] { cache.UseEntryGetHint(ValueIs(3), hint); }},
      {32, [&] { cache.UseEntryIfMatchesPredicate(a, ValueIs(1)); }},
      {33, [&] { cache.UseEntryUpdateHint(ValueIs(3), hint = c); }},
      {34, [&] { cache.UseEntryUpdateHint(ValueIs(2), hint = 0); }},
  };
  for (const auto& [at, use] : uses) {
    time->m_time = at;
    use();
  }
  EXPECT_EQ(policy->Take(), (Calls{{"used", a, 10},
                                   {"used", b, 10},
                                   {"used", b, 30},
                                   {"used", c, 31},
                                   {"used", a, 32},
                                   {"used", c, 33},
                                   {"used", b, 34}}));
  // Misses call nothing.
  cache.UseEntry(c + 100);
  cache.GetEntry(c + 100);
  cache.UseEntry(ValueIs(9));
  cache.UseEntryIfMatchesPredicate(a, ValueIs(9));
  cache.UseEntryUpdateHint(ValueIs(9), hint);
  EXPECT_TRUE(policy->Take().empty());

  // A tracking purge asks the policy that was passed for its victims and
  // never calls Purge; absent victims are skipped; the result holds the
  // cache's own entries. The hooks come after all deletions.
  time->m_time = 40;
  const unsigned d = cache.AddEntry(MakeRecord("EU", 4));
  policy->Take();
  policy->m_victims = {Entry(a), Entry(c), Entry(d + 100)};
  EntrySet purged = cache.Purge();
  EXPECT_EQ(IdsOf(purged), (std::set<unsigned>{a, c}));
  EXPECT_EQ(ValueOf(purged.find(Entry(a))->GetData()), 1);
  Calls calls = policy->Take();
  ASSERT_EQ(calls.size(), 4u);
  // The deletions in id order (a < c).
  std::sort(calls.begin() + 2, calls.end(), [](const Call& x, const Call& y) { return x.id < y.id; });
  EXPECT_EQ(calls, (Calls{{"capability", IPolicy::TracksEntries, 0},
                          {"compute", 0, 0},
                          {"deleted", a, 32},
                          {"deleted", c, 33}}));
  EXPECT_EQ(policy->m_deletedWhileStored, (std::vector<bool>{false, false}));
  ExpectConsistent(cache);

  // DeleteEntry: the stored entry, still in the cache, already out of the
  // indexes. PruneHints goes the same way.
  policy->m_deletedWhileStored.clear();
  const unsigned e = cache.AddEntry(MakeRecord("EU", 5));
  policy->Take();
  cache.DeleteEntry(b);
  cache.PruneHints(InRegion("EU"), 1);  // d and e listed: d goes
  EXPECT_EQ(policy->Take(), (Calls{{"deleted", b, 34}, {"deleted", d, 40}}));
  EXPECT_EQ(policy->m_deletedWhileStored, (std::vector<bool>{true, true}));
  EXPECT_EQ(policy->m_deletedWhileIndexed, (std::vector<bool>{false, false, false, false}));

  // SetPolicy: the same policy is not catalogued again; another one is, over
  // all entries, before it is installed; hooks then go to the new one only.
  cache.SetPolicy(policy, nullptr);
  EXPECT_TRUE(policy->Take().empty());
  auto next = std::make_shared<RecordingPolicy>(true);
  next->m_watched = &cache;
  cache.SetPolicy(next, nullptr);
  EXPECT_EQ(next->Take(), (Calls{{"catalog", 1, 0}, {"added", e, 40}}));
  EXPECT_EQ(next->m_installedDuringCatalog, policy);
  EXPECT_EQ(cache.GetPolicy(), next);
  cache.UseEntry(e);
  EXPECT_TRUE(policy->Take().empty());
  EXPECT_EQ(next->Take(), (Calls{{"used", e, 40}}));

  // A purge with another policy: that policy decides (capability, then its
  // survivors), the installed one hears of the deletions.
  time->m_time = 50;
  const unsigned f = cache.AddEntry(MakeRecord("US", 6));
  next->Take();
  auto survivorPolicy = std::make_shared<RecordingPolicy>(false);
  survivorPolicy->m_victims = {Entry(f)};
  EXPECT_EQ(IdsOf(cache.IncrementClock(survivorPolicy)), std::set<unsigned>{f});
  EXPECT_EQ(survivorPolicy->Take(), (Calls{{"capability", 0, 0}, {"purge", 2, 51}}));
  EXPECT_EQ(next->Take(), (Calls{{"deleted", f, 50}}));

  auto trackingOther = std::make_shared<RecordingPolicy>(true);
  trackingOther->m_victims = {Entry(e)};
  EXPECT_EQ(IdsOf(cache.Purge(trackingOther)), std::set<unsigned>{e});
  EXPECT_EQ(trackingOther->Take(), (Calls{{"capability", 0, 0}, {"compute", 0, 0}}));
  EXPECT_EQ(next->Take(), (Calls{{"deleted", e, 40}}));

  // DeleteEntries: hooks after all deletions, one per entry.
  const unsigned g = cache.AddEntry(MakeRecord("EU", 7));
  const unsigned h = cache.AddEntry(MakeRecord("EU", 8));
  next->Take();
  next->m_deletedWhileStored.clear();
  EXPECT_EQ(IdsOf(cache.DeleteEntries(InRegion("EU"))), (std::set<unsigned>{g, h}));
  EXPECT_EQ(next->Take().size(), 2u);
  EXPECT_EQ(next->m_deletedWhileStored, (std::vector<bool>{false, false}));
  EXPECT_EQ(cache.GetEntryCount(), 0u);
}

TEST(IndexedCacheTest, FailuresLeaveTheCacheConsistent) {
  auto policy = std::make_shared<RecordingPolicy>();
  IndexedCache cache(policy, nullptr);
  cache.AddIndex(u"Region", RegionKey);
  for (int v = 0; v < 6; ++v) cache.AddEntry(MakeRecord(v % 2 ? "EU" : "US", v));
  cache.JustIncrementClock();
  cache.UseEntry(ValueIs(3));
  const Snapshot before = Take(cache);
  policy->Take();

  // A throwing predicate, indexed (after two matches) or not: nothing
  // deleted, nobody told.
  auto indexedFailing = InRegion("EU");
  indexedFailing->m_throwOnCall = 3;
  EXPECT_THROW(cache.DeleteEntries(indexedFailing), std::runtime_error);
  auto scanFailing = Unindexed([](const Record&) { return true; });
  scanFailing->m_throwOnCall = 4;
  EXPECT_THROW(cache.DeleteEntries(scanFailing), std::runtime_error);
  EXPECT_EQ(Take(cache), before);
  EXPECT_TRUE(policy->Take().empty());

  // A policy that claims tracking without ComputeEntriesToPurge.
  auto claims = std::make_shared<ClaimsTracking>();
  EXPECT_THROW(cache.Purge(claims), NotImplementedException);
  cache.SetPolicy(claims, nullptr);
  EXPECT_THROW(cache.IncrementClock(), NotImplementedException);
  EXPECT_EQ(Take(cache), before);
  EXPECT_EQ(claims->m_deletions, 0);
  cache.SetPolicy(policy, nullptr);

  // A key function that throws during AddEntry: the entry stays, unindexed,
  // and the policy is not told of it.
  cache.AddIndex(u"Strict", [](const Entry& e) -> TString {
    if (RecordOf(e).m_value == 99) throw std::runtime_error("no key");
    return TString(u"ok");
  });
  cache.AddIndex(u"Other", [](const Entry&) { return TString(u"x"); });
  policy->Take();
  const uint64_t count = cache.GetEntryCount();
  EXPECT_THROW(cache.AddEntry(MakeRecord("EU", 99)), std::runtime_error);
  EXPECT_EQ(cache.GetEntryCount(), count + 1);
  EXPECT_TRUE(policy->Take().empty());
  ExpectConsistent(cache);
  // It can still be found by a scan and deleted like any other entry.
  EntrySet odd = cache.DeleteEntries(ValueIs(99));
  ASSERT_EQ(odd.size(), 1u);
  EXPECT_EQ(policy->Take(), (Calls{{"deleted", odd.begin()->GetID(), 2}}));
  ExpectConsistent(cache);

  // A replacement whose new entry's key function throws: the old entry is
  // gone, the new one stays unindexed, and the listing the deletion emptied
  // goes with it.
  cache.AddEntry(MakeRecord("ASIA", 5));
  EXPECT_THROW(IndexedCacheTestAccess::Replace(cache, *InRegion("ASIA"), MakeRecord("ASIA", 99)),
               std::runtime_error);
  EXPECT_EQ(cache.GetCacheData().m_indexedEntries.count(TString(u"Region|ASIA")), 0u);
  ExpectConsistent(cache);
  cache.DeleteEntries(ValueIs(99));

  // A hook that throws in DeleteEntry: the exception reaches the caller, but
  // the entry is gone from the entries as well as the indexes. Likewise when
  // it throws in a replacement's deletion: nothing is added.
  policy->m_throwOnDelete = true;
  const unsigned victim = cache.AddEntry(MakeRecord("EU", 7));
  EXPECT_THROW(cache.DeleteEntry(victim), std::runtime_error);
  EXPECT_EQ(cache.GetEntry(victim).GetID(), 0u);
  ExpectConsistent(cache);
  cache.AddEntry(MakeRecord("ASIA", 6));
  const uint64_t entriesBefore = cache.GetEntryCount();
  EXPECT_THROW(IndexedCacheTestAccess::Replace(cache, *InRegion("ASIA"), MakeRecord("ASIA", 8)),
               std::runtime_error);
  EXPECT_EQ(cache.GetEntryCount(), entriesBefore - 1);
  ExpectConsistent(cache);
}
