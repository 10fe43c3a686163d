// The eviction policies and the lifetime predicate: MRUPolicy against a full
// sort, idleness in wrapping arithmetic, EntryPredicatePolicy and
// CascadedPolicy.
#include "main/utility/CachePolicies.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>

#include "host/Errors.h"
#include "tests/main/utility/CacheTestSupport.h"

using namespace CacheHelpers;
using namespace cache_test;

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
    const EntrySet input = EntriesWithClocks(clocks);

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
  // Lifetime, now, clock, idle.
  const std::tuple<uint64_t, uint64_t, uint64_t, bool> cases[] = {
      {10, 20, 9, true},           {10, 20, 10, false},  // 10 + 10 == 20 is not idle
      {10, 20, 25, false},                               // from the future: never idle
      {0, 0, 0, false},            {0, 0, UINT64_MAX, false}, {0, 5, 4, true}, {0, 5, 5, false},
      {2, 5, UINT64_MAX, true},                          // UINT64_MAX + 2 wraps to 1 < 5
      {4, 3, UINT64_MAX - 1, true},                      // wraps to 2 < 3
      {UINT64_MAX, 0, 0, false},   {UINT64_MAX, 1, 1, true},  // wraps to 0 < 1
  };
  for (const auto& [lifetime, now, clock, idle] : cases) {
    SCOPED_TRACE(::testing::Message() << "lifetime " << lifetime << " now " << now << " clock " << clock);
    EXPECT_EQ(LifetimePredicate(lifetime, now).Matches(Entry(nullptr, clock)), idle);
    EXPECT_EQ(PurgeAll(*std::make_shared<LifetimePolicy>(lifetime), EntriesWithClocks({clock}), now).empty(),
              idle);
  }
  // Of several entries, the policy keeps those that are not idle.
  EXPECT_EQ(ClocksOf(PurgeAll(*std::make_shared<LifetimePolicy>(6), EntriesWithClocks({0, 1, 7, 8}), 7)),
            (std::multiset<uint64_t>{1, 7, 8}));
}

TEST(EntryPredicatePolicyTest, DropsExactlyWhatThePredicateMatchesCallingItOncePerEntryInOrder) {
  const EntrySet set = EntriesWithClocks({1, 2, 3, 4, 5, 6});
  auto even = Unindexed([](const Record& r) { return r.m_value % 2 == 0; });
  EXPECT_EQ(ClocksOf(PurgeAll(*std::make_shared<EntryPredicatePolicy>(even), set)),
            (std::multiset<uint64_t>{1, 3, 5}));
  std::vector<unsigned> rangeOrder;
  for (const Entry& entry : set) rangeOrder.push_back(entry.GetID());
  EXPECT_EQ(even->m_seen, rangeOrder);

  EXPECT_THROW(PurgeAll(*std::make_shared<EntryPredicatePolicy>(ThrowingOnCall(1)), set), std::runtime_error);
}

TEST(CascadedPolicyTest, EachMemberJudgesWhatThePreviousOnesKept) {
  // Young enough (lifetime 6 at now 10: clock >= 4), then the two newest.
  auto cascade = std::make_shared<CascadedPolicy>(std::make_shared<LifetimePolicy>(6));
  cascade->AddPolicy(std::make_shared<MRUPolicy>(2));
  EntrySet set = EntriesWithClocks({1, 3, 4, 5, 9});
  EXPECT_EQ(ClocksOf(PurgeAll(*cascade, set, 10)), (std::multiset<uint64_t>{5, 9}));

  // Every member is called with the same now, each over the previous result,
  // even when an earlier one kept nothing; members hear no hooks.
  auto first = std::make_shared<RecordingPolicy>(), second = std::make_shared<RecordingPolicy>(),
       third = std::make_shared<RecordingPolicy>();
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
  for (const auto& member : {first, second, third}) EXPECT_TRUE(member->Take().empty());

  // An empty range still calls each member once.
  EXPECT_TRUE(PurgeAll(logged, EntrySet(), 1).empty());
  EXPECT_EQ(first->Take(), (Calls{{"purge", 0, 1}}));
  EXPECT_EQ(third->Take(), (Calls{{"purge", 0, 1}}));

  // A member's exception propagates.
  CascadedPolicy failing(std::make_shared<MRUPolicy>(10));
  failing.AddPolicy(std::make_shared<Throwing>());
  EXPECT_THROW(PurgeAll(failing, set), std::runtime_error);
}

TEST(PolicyDefaultsTest, LibraryPoliciesTrackNothingAndLeaveTheTrackingOperationsUnimplemented) {
  // A cache asks HasCapability before every purge: a library policy that
  // claimed TracksEntries would be asked for ComputeEntriesToPurge, which
  // none of them offers.
  const std::vector<std::pair<const char*, std::shared_ptr<IPolicy>>> policies = {
      {"MRUPolicy", std::make_shared<MRUPolicy>(3)},
      {"LifetimePolicy", std::make_shared<LifetimePolicy>(6)},
      {"EntryPredicatePolicy", std::make_shared<EntryPredicatePolicy>(std::make_shared<BooleanEntryPredicate>(false))},
      {"CascadedPolicy", std::make_shared<CascadedPolicy>(std::make_shared<MRUPolicy>(3))},
  };
  for (const auto& [name, policy] : policies) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(policy->HasCapability(IPolicy::TracksEntries));
    EXPECT_THROW(policy->ComputeEntriesToPurge(), NotImplementedException);
    EXPECT_THROW(policy->GetCacheSizeBytes(), NotImplementedException);
  }

  // The default catalogue hears each entry once, as an addition, in the
  // set's iteration order.
  RecordingPolicy recording;
  EntrySet entries = EntriesWithClocks({4, 8, 15});
  recording.CatalogCacheEntries(entries);
  Calls expected = {{"catalog", 3, 0}};
  for (const Entry& entry : entries) expected.push_back({"added", entry.GetID(), entry.GetClock()});
  EXPECT_EQ(recording.Take(), expected);
}
