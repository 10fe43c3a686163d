// The in-memory caches and their building blocks: entry ids and references,
// the lifetime predicate and the eviction policies; then Cache and
// IndexedCache: lookups and hints, deletion, purging and the policy protocol,
// indexes, policy and clock replacement, and the failure paths. Where both
// caches make the same promise, one typed body checks both. Last, IndexedCache
// against a reference model over long random sequences.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "host/Errors.h"
#include "main/utility/Cache.h"
#include "main/utility/CacheHelpers.h"
#include "main/utility/IndexedCache.h"
#include "tests/main/utility/CacheTestSupport.h"

using namespace CacheHelpers;
using namespace cache_test;

// What these tests reach inside IndexedCache (a friend of it): the
// replacement step that SynchronizedIndexedCache uses, and a check that the
// private hint table agrees with the public listings.
struct IndexedCacheTestAccess {
  // Deletes what pred matches and adds data, in one step.
  static std::pair<unsigned, EntrySet> Replace(IndexedCache& cache, CacheHelpers::EntryPredicate& pred,
                                               RefCntPtr<RefCntObject> data) {
    return cache.ReplaceEntries(pred, pred.GetIndexName(), pred.GetKeyForIndexing(), std::move(data));
  }

  // "" when the hint table holds one record per listing and no other, each
  // with its listing's size and smallest id; else what differs.
  static std::string HintMirrorProblem(IndexedCache& cache) {
    const auto& listings = cache.m_cacheData.m_indexedEntries;
    if (cache.m_hints.Size() != listings.size()) {
      return std::to_string(cache.m_hints.Size()) + " hint records for " + std::to_string(listings.size()) +
             " listings";
    }
    for (const auto& listing : listings) {
      const std::string key = listing.first.toStdString();
      const CacheHelpers::internal::HintRecord* record = cache.m_hints.Find(listing.first.u16());
      if (record == nullptr) return "no hint record for " + key;
      if (record->listing != &listing) return "the record of " + key + " names another listing";
      if (record->count != listing.second.size()) return "the record of " + key + " has a wrong count";
      if (listing.second.empty()) return "an empty listing " + key;
      const unsigned first = *listing.second.begin();
      if (record->first.id != first || record->first.entry == nullptr || record->first.entry->GetID() != first) {
        return "the first hint of " + key + " is not its smallest id";
      }
    }
    return "";
  }
};

namespace {

// Entries with the given clocks, ids in the order given; each record's value
// is its clock.
EntrySet EntriesWithClocks(const std::vector<uint64_t>& clocks) {
  EntrySet entries;
  for (uint64_t clock : clocks) entries.emplace(MakeRecord("", static_cast<int>(clock)), clock);
  return entries;
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
    EntrySet input = EntriesWithClocks(clocks);

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
    EXPECT_EQ(PurgeAll(*std::make_shared<LifetimePolicy>(c.lifetime), EntriesWithClocks({c.clock}), c.now).empty(),
              c.idle);
  }
  // Of several entries, the policy keeps those that are not idle.
  EXPECT_EQ(ClocksOf(PurgeAll(*std::make_shared<LifetimePolicy>(6), EntriesWithClocks({0, 1, 7, 8}), 7)),
            (std::multiset<uint64_t>{1, 7, 8}));
}

TEST(EntryPredicatePolicyTest, DropsExactlyWhatThePredicateMatchesCallingItOncePerEntryInOrder) {
  EntrySet set = EntriesWithClocks({1, 2, 3, 4, 5, 6});
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
  EntrySet set = EntriesWithClocks({1, 3, 4, 5, 9});
  EXPECT_EQ(ClocksOf(PurgeAll(*cascade, set, 10)), (std::multiset<uint64_t>{5, 9}));

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
  cache.AddIndex(u"Region", RegionOf);
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
  EXPECT_FALSE(cache.AddIndex(TString(), RegionOf));
  EXPECT_FALSE(cache.AddIndex(u"Region", nullptr));
  EXPECT_TRUE(cache.AddIndex(u"Region", RegionOf));
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
  cache.AddIndex(u"Region", RegionOf);
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
  cache.AddIndex(u"Region", RegionOf);
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

// IndexedCache against a reference model: long random sequences of additions,
// index additions, uses, deletions, hint pruning and purges, with the cache's
// three containers compared with the model after every step.
namespace {

// The model's records: region a number 0..4, value a bucket 0..7.
RefCntPtr<Record> RandomRecord(int region, int bucket) {
  return RefCntPtr<Record>(new Record(std::to_string(region), bucket));
}

// The indexes the test may add; "a|b" and "a" can produce the same qualified
// key ("a|b|c").
const std::vector<std::string> kIndexNames = {"Region", "Bucket", "Parity", "Blank", "a|b", "a"};

std::string KeyFor(const std::string& index, const Record& p) {
  if (index == "Region") return "r" + p.m_region;
  if (index == "Bucket") return std::to_string(p.m_value);
  if (index == "Parity") return (std::stoi(p.m_region) + p.m_value) % 2 ? "odd" : "even";
  if (index == "Blank") return "";
  if (index == "a|b") return p.m_region == "0" ? "c" : "x";
  return p.m_value == 0 ? "b|c" : "y";  // "a"
}

// The qualified key as the model forms it, independently of the cache.
TString Qualified(const TString& index, const TString& key) {
  return index + u"|" + key;
}

// The installed policy: a lifetime policy that also keeps its own record of
// the ids it was told about, to prove that every path notifies it.
class ShadowPolicy : public LifetimePolicy {
 public:
  explicit ShadowPolicy(uint64_t lifetime) : LifetimePolicy(lifetime) {}
  void OnEntryAdded(const Entry& entry) override { m_ids.insert(entry.GetID()); }
  void OnEntryDeleted(const Entry& entry) override { m_ids.erase(entry.GetID()); }
  std::set<unsigned> m_ids;
};

struct ModelEntry {
  RefCntPtr<Record> payload;
  uint64_t clock = 0;
  std::set<TString> keys;  // qualified keys the entry was listed under
};

class Model {
 public:
  static constexpr uint64_t kLifetime = 10;

  explicit Model(unsigned sequence) : m_random(sequence) {
    m_shadow = std::make_shared<ShadowPolicy>(kLifetime);
    m_cache = std::make_unique<IndexedCache>(m_shadow, nullptr);
  }

  void Step();
  ::testing::AssertionResult Agrees() const;

 private:
  int Roll(int n) { return static_cast<int>(m_random() % static_cast<unsigned>(n)); }
  bool HasIndex(const std::string& name) const { return m_indexes.count(name) == 1; }
  void ListUnderIndexes(ModelEntry& entry) {
    for (const std::string& index : m_indexes)
      entry.keys.insert(
          Qualified(TString::fromStdString(index), TString::fromStdString(KeyFor(index, *entry.payload))));
  }
  std::map<TString, std::set<unsigned>> Listings() const {
    std::map<TString, std::set<unsigned>> listings;
    for (const auto& [id, entry] : m_entries) {
      for (const TString& key : entry.keys) listings[key].insert(id);
    }
    return listings;
  }
  unsigned SomeId() {
    if (m_entries.empty() || Roll(5) == 0) return static_cast<unsigned>(m_random());  // most likely absent
    auto it = m_entries.begin();
    std::advance(it, Roll(static_cast<int>(m_entries.size())));
    return it->first;
  }
  // A test of the bucket (a multiple of 1, 2 or 3) that may name an index and
  // the key of a random record there; `drawn`, when given, gets that record.
  std::shared_ptr<Probe> SomeTest(bool indexed, RefCntPtr<Record>* drawn = nullptr) {
    const std::string index = indexed ? kIndexNames[Roll(static_cast<int>(kIndexNames.size()))] : "";
    RefCntPtr<Record> sample = RandomRecord(Roll(5), Roll(8));
    if (drawn) *drawn = sample;
    return std::make_shared<Probe>(
        TString::fromStdString(index), TString::fromStdString(indexed ? KeyFor(index, *sample) : ""),
        [modulo = 1 + Roll(3)](const Record& r) { return r.m_value % modulo == 0; });
  }
  void Add(RefCntPtr<Record> payload, unsigned id) {
    ModelEntry& entry = m_entries[id];
    entry.payload = std::move(payload);
    entry.clock = m_now;
    ListUnderIndexes(entry);
  }
  // The ids listed under the test's qualified key, ascending.
  std::set<unsigned> Listed(const Probe& test) const {
    auto listings = Listings();
    auto found = listings.find(Qualified(test.m_index, test.m_key));
    return found == listings.end() ? std::set<unsigned>() : found->second;
  }
  unsigned IdOf(const RefCntPtr<RefCntObject>& data) const {
    for (const auto& [id, entry] : m_entries) {
      if (entry.payload.get() == data.get()) return id;
    }
    return 0;
  }
  void Forget(const EntrySet& deleted) {
    for (const Entry& entry : deleted) {
      ASSERT_EQ(m_entries.count(entry.GetID()), 1u) << "deleted an unknown id " << entry.GetID();
      m_entries.erase(entry.GetID());
    }
  }
  // The ids among `ids` (all entries when absent) whose payload the test accepts.
  std::set<unsigned> Accepted(const Probe& test, std::optional<std::set<unsigned>> ids = std::nullopt) const {
    std::set<unsigned> accepted;
    for (const auto& [id, entry] : m_entries) {
      if ((!ids || ids->count(id)) && test.m_test(*entry.payload)) accepted.insert(id);
    }
    return accepted;
  }
  // What a deletion by the test takes: the accepted listed entries when the
  // cache has its index, else every accepted entry.
  std::set<unsigned> Matching(const Probe& test) const {
    return HasIndex(test.m_index.toStdString()) ? Accepted(test, Listed(test)) : Accepted(test);
  }
  void UseIndexed(std::shared_ptr<Probe> test, bool updateHint);

  std::mt19937 m_random;
  std::shared_ptr<ShadowPolicy> m_shadow;
  std::unique_ptr<IndexedCache> m_cache;
  std::map<unsigned, ModelEntry> m_entries;
  std::set<std::string> m_indexes;
  uint64_t m_now = 0;
};

void Model::UseIndexed(std::shared_ptr<Probe> test, bool updateHint) {
  unsigned hint = updateHint ? SomeId() : 0;
  const unsigned hintBefore = hint;
  // The outcome is determined by a valid matching hint or by an index (oldest
  // listed match); a scan may pick any match.
  const bool hintTaken = updateHint && m_entries.count(hint) && test->m_test(*m_entries.at(hint).payload);
  const bool indexed = HasIndex(test->m_index.toStdString());
  unsigned expected = hintTaken ? hint : 0;
  if (!hintTaken && indexed) {
    const std::set<unsigned> accepted = Accepted(*test, Listed(*test));
    if (!accepted.empty()) expected = *accepted.begin();
  }

  RefCntPtr<RefCntObject> data =
      updateHint ? m_cache->UseEntryUpdateHint(test, hint) : m_cache->UseEntry(test);
  const unsigned used = IdOf(data);
  if (hintTaken || indexed) {
    ASSERT_EQ(used, expected) << "index " << test->m_index << " key " << test->m_key;
  } else if (used != 0) {
    ASSERT_TRUE(test->m_test(*m_entries.at(used).payload));
  } else {
    ASSERT_TRUE(Accepted(*test).empty()) << "the scan missed a match";
  }
  if (used) m_entries.at(used).clock = m_now;
  if (updateHint) ASSERT_EQ(hint, used ? used : hintBefore);
}

void Model::Step() {
  const int roll = Roll(100);
  if (roll < 24) {
    auto payload = RandomRecord(Roll(5), Roll(8));
    Add(payload, m_cache->AddEntry(payload));
  } else if (roll < 30) {
    // Replacement: mostly by a payload under the key that was deleted, as a
    // cache replaces a value, sometimes by one under another key.
    RefCntPtr<Record> payload;
    auto test = SomeTest(Roll(4) != 0, &payload);
    if (Roll(3) == 0) payload = RandomRecord(Roll(5), Roll(8));
    const std::set<unsigned> expected = Matching(*test);
    auto [id, deleted] = IndexedCacheTestAccess::Replace(*m_cache, *test, payload);
    ASSERT_EQ(IdsOf(deleted), expected);
    Forget(deleted);
    Add(payload, id);
  } else if (roll < 33) {
    const std::string name = kIndexNames[Roll(static_cast<int>(kIndexNames.size()))];
    const bool added = m_cache->AddIndex(TString::fromStdString(name), [name](const Entry& e) {
      return TString::fromStdString(KeyFor(name, RecordOf(e)));
    });
    ASSERT_EQ(added, !HasIndex(name));
    if (added) {
      m_indexes.insert(name);
      for (auto& [id, entry] : m_entries) ListUnderIndexes(entry);
    }
  } else if (roll < 41) {
    const unsigned id = SomeId();
    RefCntPtr<RefCntObject> data = m_cache->UseEntry(id);
    auto it = m_entries.find(id);
    ASSERT_EQ(data.get(), it == m_entries.end() ? nullptr : it->second.payload.get());
    if (it != m_entries.end()) it->second.clock = m_now;
  } else if (roll < 56) {
    UseIndexed(SomeTest(roll < 51), Roll(2) == 0);
  } else if (roll < 62) {
    const unsigned id = SomeId();
    m_cache->DeleteEntry(id);
    m_entries.erase(id);
  } else if (roll < 72) {
    auto test = SomeTest(roll < 68);
    const std::set<unsigned> expected = Matching(*test);
    EntrySet deleted = m_cache->DeleteEntries(test);
    ASSERT_EQ(IdsOf(deleted), expected);
    Forget(deleted);
  } else if (roll < 78) {
    auto test = SomeTest(true);
    const unsigned maxHints = static_cast<unsigned>(Roll(4));
    const std::set<unsigned> listed = Listed(*test);  // whether or not the index exists
    const unsigned expected = listed.size() > maxHints ? *listed.begin() : 0;
    Entry pruned = m_cache->PruneHints(test, maxHints);
    ASSERT_EQ(pruned.GetID(), expected);
    m_entries.erase(expected);
  } else if (roll < 82) {
    const uint64_t limit = static_cast<uint64_t>(Roll(static_cast<int>(m_entries.size()) + 2));
    EntrySet deleted = m_cache->Purge(std::make_shared<MRUPolicy>(limit));
    ASSERT_EQ(m_entries.size() - deleted.size(), std::min<uint64_t>(limit, m_entries.size()));
    Forget(deleted);
    for (const Entry& gone : deleted) {
      for (const auto& [id, kept] : m_entries) ASSERT_LE(gone.GetClock(), kept.clock);
    }
  } else if (roll < 88) {
    ++m_now;
    std::set<unsigned> expected;
    for (const auto& [id, entry] : m_entries) {
      if (entry.clock + kLifetime < m_now) expected.insert(id);
    }
    EntrySet deleted = m_cache->IncrementClock();
    ASSERT_EQ(IdsOf(deleted), expected);
    Forget(deleted);
  } else if (roll < 94) {
    ++m_now;
    m_cache->JustIncrementClock();
  } else {
    // Change an object in place: its listings stay until an index is added.
    if (m_entries.empty()) return;
    ModelEntry& entry = m_entries.at(SomeId() % 2 ? m_entries.begin()->first : m_entries.rbegin()->first);
    entry.payload->m_region = std::to_string(Roll(5));
    entry.payload->m_value = Roll(8);
  }
}

::testing::AssertionResult Model::Agrees() const {
  const IndexedCacheData& data = m_cache->GetCacheData();
  std::map<unsigned, std::pair<uint64_t, const void*>> entries, expectedEntries;
  for (const Entry& entry : data.m_entries) entries[entry.GetID()] = {entry.GetClock(), entry.GetData().get()};
  std::map<unsigned, std::set<TString>> keys(data.m_entryIndexKeys.begin(), data.m_entryIndexKeys.end());
  std::map<unsigned, std::set<TString>> expectedKeys;
  std::set<unsigned> ids;
  for (const auto& [id, entry] : m_entries) {
    expectedEntries[id] = {entry.clock, static_cast<const RefCntObject*>(entry.payload.get())};
    if (!entry.keys.empty()) expectedKeys[id] = entry.keys;
    ids.insert(id);
  }
  // Key to ids, in both the cache's directions, against the model.
  const auto listings = Listings();
  if (entries != expectedEntries) return ::testing::AssertionFailure() << "the entries or their clocks differ";
  if (std::map<TString, std::set<unsigned>>(data.m_indexedEntries.begin(), data.m_indexedEntries.end()) != listings)
    return ::testing::AssertionFailure() << "the listings differ";
  if (keys != expectedKeys) return ::testing::AssertionFailure() << "the keys of the entries differ";
  if (m_shadow->m_ids != ids) return ::testing::AssertionFailure() << "the policy's record of the entries differs";
  if (m_cache->GetIndexedEntryCount() != listings.size()) return ::testing::AssertionFailure() << "key count";
  if (std::string problem = IndexedCacheTestAccess::HintMirrorProblem(*m_cache); !problem.empty())
    return ::testing::AssertionFailure() << problem;
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST(IndexedCacheModelTest, RandomSequencesKeepTheContainersInAgreementWithTheModel) {
  constexpr int kSteps = 5000;
  for (unsigned sequence : {11u, 2024u, 777777u}) {  // three fixed, reproducible sequences
    Model model(sequence);
    for (int step = 0; step < kSteps; ++step) {
      SCOPED_TRACE(::testing::Message() << "sequence " << sequence << " step " << step);
      model.Step();
      if (::testing::Test::HasFatalFailure()) return;
      ASSERT_TRUE(model.Agrees());
    }
  }
}
