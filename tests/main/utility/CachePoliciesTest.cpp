// The building blocks of the in-memory caches: entry ids and references, the
// lifetime predicate, and the eviction policies (the IPolicy defaults, MRU,
// lifetime, predicate and cascaded policies).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "host/Errors.h"
#include "main/utility/CacheHelpers.h"
#include "tests/main/utility/CacheTestSupport.h"

using namespace CacheHelpers;
using namespace cache_test;

namespace {

class Item : public RefCntObject {};

// Entries with the given clocks, in the order given.
std::vector<Entry> EntriesWithClocks(const std::vector<uint64_t>& clocks) {
  std::vector<Entry> entries;
  for (uint64_t clock : clocks) entries.emplace_back(RefCntPtr<RefCntObject>(new Item), clock);
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

// True when every entry of result is in input, by id.
bool IsSubset(const EntrySet& result, const EntrySet& input) {
  return std::all_of(result.begin(), result.end(), [&](const Entry& e) { return input.count(e) == 1; });
}

// A cascade member that logs its purges (now, range size) and the additions
// it is told of; it keeps everything unless told to keep nothing.
using Purges = std::vector<std::pair<uint64_t, size_t>>;
class HookLog : public IPolicy {
 public:
  EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last, uint64_t now) override {
    m_purges.push_back({now, static_cast<size_t>(std::distance(first, last))});
    return m_keepNothing ? EntrySet() : EntrySet(first, last);
  }
  void OnEntryAdded(const Entry& entry) override { m_added.push_back(entry.GetID()); }

  bool m_keepNothing = false;
  Purges m_purges;
  std::vector<unsigned> m_added;
};

// Records the entries it is asked about, in order; matches by a test.
class RecordingPredicate : public EntryPredicate {
 public:
  explicit RecordingPredicate(std::function<bool(const Entry&)> test) : m_test(std::move(test)) {}
  bool Matches(const Entry& entry) override {
    m_seen.push_back(entry.GetID());
    return m_test(entry);
  }
  std::function<bool(const Entry&)> m_test;
  std::vector<unsigned> m_seen;
};

// A cached object that reports its destruction.
class Tracked : public RefCntObject {
 public:
  explicit Tracked(bool* destroyed = nullptr) : m_destroyed(destroyed) {}
  ~Tracked() override {
    if (m_destroyed) *m_destroyed = true;
  }

 private:
  bool* m_destroyed;
};

// Puts the id counter just before a given value for one test and restores it.
class GuidScope {
 public:
  explicit GuidScope(unsigned value) : m_saved(Entry::s_guid.load()) { Entry::s_guid.store(value); }
  ~GuidScope() { Entry::s_guid.store(m_saved); }

 private:
  unsigned m_saved;
};

}  // namespace

TEST(MRUPolicyTest, KeepsTheMostRecentlyUsedEntries) {
  // Within the limit: everything survives, as copies sharing the objects.
  // (Which entries a smaller limit keeps is the random selection test's.)
  std::vector<Entry> three = EntriesWithClocks({9, 1, 4});
  EntrySet threeSet = SetOf(three);
  const int64_t refsBefore = three[0].GetData()->GetReferenceCount();
  EntrySet kept = PurgeAll(*std::make_shared<MRUPolicy>(3), threeSet, 100);
  EXPECT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept.find(three[0])->GetData(), three[0].GetData());
  EXPECT_EQ(three[0].GetData()->GetReferenceCount(), refsBefore + 1);

}

TEST(MRUPolicyTest, SelectionMatchesASortAtEverySizeAndNeverAsserts) {
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
    ASSERT_TRUE(IsSubset(kept, input));
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
  auto even = std::make_shared<RecordingPredicate>([](const Entry& e) { return e.GetClock() % 2 == 0; });
  EntryPredicatePolicy policy(even);
  EntrySet kept = PurgeAll(policy, set);
  EXPECT_EQ(ClocksOf(kept), (std::multiset<uint64_t>{1, 3, 5}));
  std::vector<unsigned> rangeOrder;
  for (const Entry& entry : set) rangeOrder.push_back(entry.GetID());
  EXPECT_EQ(even->m_seen, rangeOrder);

  auto failing =
      std::make_shared<RecordingPredicate>([](const Entry&) -> bool { throw std::runtime_error("x"); });
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
  auto first = std::make_shared<HookLog>();
  auto second = std::make_shared<HookLog>();
  auto third = std::make_shared<HookLog>();
  second->m_keepNothing = true;
  CascadedPolicy logged(first);
  logged.AddPolicy(second);
  logged.AddPolicy(third);
  EXPECT_TRUE(PurgeAll(logged, set, 77).empty());
  EXPECT_EQ(first->m_purges, (Purges{{77, 5}}));
  EXPECT_EQ(second->m_purges, (Purges{{77, 5}}));
  EXPECT_EQ(third->m_purges, (Purges{{77, 0}}));
  logged.OnEntryAdded(*set.begin());
  logged.CatalogCacheEntries(set);
  EXPECT_TRUE(first->m_added.empty());

  // An empty range still calls each member once.
  EXPECT_TRUE(PurgeAll(logged, EntrySet(), 1).empty());
  EXPECT_EQ(first->m_purges.size(), 2u);
  EXPECT_EQ(third->m_purges.size(), 2u);

  // A member's exception propagates.
  CascadedPolicy failing(std::make_shared<MRUPolicy>(10));
  failing.AddPolicy(std::make_shared<Throwing>());
  EXPECT_THROW(PurgeAll(failing, set), std::runtime_error);
}

TEST(CacheEntryTest, IdsAreIssuedInSequenceAndOnlyByTheDataConstructor) {
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

  Entry third(nullptr, 0);
  EXPECT_EQ(third.GetID(), before + 1);
}

TEST(CacheEntryTest, IdCounterWrapsAfterTheLargestId) {
  GuidScope scope(0xFFFFFFFEu);
  Entry last(nullptr, 0);
  Entry wrapped(nullptr, 0);
  Entry next(nullptr, 0);
  EXPECT_EQ(last.GetID(), 0xFFFFFFFFu);
  EXPECT_EQ(wrapped.GetID(), 0u);  // no special case: 0 is issued like any id
  EXPECT_EQ(next.GetID(), 1u);
}

TEST(CacheEntryTest, EntryHoldsExactlyOneReference) {
  bool destroyed = false;
  Tracked* object = new Tracked(&destroyed);
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
    Entry other(new Tracked(&otherDestroyed), 0);
    other = entry;
    EXPECT_TRUE(otherDestroyed);
    EXPECT_EQ(object->GetReferenceCount(), 2);
  }
  EXPECT_TRUE(destroyed);
}
