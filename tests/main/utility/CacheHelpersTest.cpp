// Entries, predicates, clocks and KelCacheData.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "host/DateTime.h"
#include "main/utility/CacheHelpers.h"

using namespace CacheHelpers;

namespace {

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

class CountingPredicate : public EntryPredicate {
 public:
  bool Matches(const Entry& entry) override {
    ++m_calls;
    return entry.GetID() % 2 == 0;
  }
  int m_calls = 0;
};

}  // namespace

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
  EXPECT_EQ(empty.GetData(), nullptr);
  EXPECT_EQ(empty.GetClock(), 0u);
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

TEST(CacheEntryTest, ConcurrentCreationGivesDistinctIds) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 5000;
  std::vector<std::vector<unsigned>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&ids, t] {
      for (int i = 0; i < kPerThread; ++i) ids[t].push_back(Entry(nullptr, 0).GetID());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<unsigned> all;
  for (const auto& list : ids) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kPerThread));
}

TEST(CacheEntryTest, IdentityHashAndEqualityLookAtTheIdOnly) {
  Entry stored(new Tracked, 3);
  Entry probe(stored.GetID());
  EXPECT_TRUE(probe == stored);
  EXPECT_FALSE(Entry(stored.GetID() + 1) == stored);
  EXPECT_EQ(EntryHash()(Entry(5u)), 5u);
  EXPECT_EQ(EntryHash()(stored), static_cast<uint64_t>(stored.GetID()));
  EXPECT_TRUE(EntryLess()(Entry(4u), Entry(5u)));
  EXPECT_FALSE(EntryLess()(Entry(5u), Entry(5u)));

  // A probe finds the stored entry; the clock can be restamped in place.
  EntrySet set;
  set.insert(stored);
  EXPECT_FALSE(set.insert(Entry(stored.GetID())).second);  // unique by id
  auto it = set.find(probe);
  ASSERT_NE(it, set.end());
  EXPECT_EQ(it->GetData(), stored.GetData());
  RefCntPtr<RefCntObject> data = it->Use(42);
  EXPECT_EQ(data, stored.GetData());
  EXPECT_EQ(set.find(probe)->GetClock(), 42u);
  EXPECT_EQ(stored.GetClock(), 3u);  // the original copy keeps its own clock
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

TEST(CacheEntryTest, UseWithoutDataStillStampsTheClock) {
  Entry entry(nullptr, 1);
  EXPECT_EQ(entry.Use(7), nullptr);
  EXPECT_EQ(entry.GetClock(), 7u);
}

TEST(EntryPredicateTest, LifetimeIsUnsignedWrappingAndStrict) {
  auto entryAt = [](uint64_t clock) { return Entry(nullptr, clock); };
  LifetimePredicate tenAtTwenty(10, 20);
  EXPECT_TRUE(tenAtTwenty.Matches(entryAt(9)));
  EXPECT_FALSE(tenAtTwenty.Matches(entryAt(10)));  // 10 + 10 == 20 is not idle
  EXPECT_FALSE(tenAtTwenty.Matches(entryAt(25)));  // from the future: never idle

  LifetimePredicate zeroAtZero(0, 0);
  EXPECT_FALSE(zeroAtZero.Matches(entryAt(0)));
  EXPECT_FALSE(zeroAtZero.Matches(entryAt(UINT64_MAX)));

  LifetimePredicate zeroAtFive(0, 5);
  EXPECT_TRUE(zeroAtFive.Matches(entryAt(4)));
  EXPECT_FALSE(zeroAtFive.Matches(entryAt(5)));

  // clock + lifetime wraps modulo 2^64: UINT64_MAX + 2 == 1 < 5.
  LifetimePredicate wrapping(2, 5);
  EXPECT_TRUE(wrapping.Matches(entryAt(UINT64_MAX)));
  LifetimePredicate huge(UINT64_MAX, 0);
  EXPECT_FALSE(huge.Matches(entryAt(0)));                             // UINT64_MAX < 0 is false
  EXPECT_TRUE(LifetimePredicate(UINT64_MAX, 1).Matches(entryAt(1)));  // wraps to 0 < 1
}

TEST(EntryPredicateTest, DefaultsBooleanAndBinder) {
  BooleanEntryPredicate yes(true);
  BooleanEntryPredicate no(false);
  Entry entry(nullptr, 0);
  EXPECT_TRUE(yes.Matches(entry));
  EXPECT_FALSE(no.Matches(Entry()));
  EXPECT_TRUE(yes.GetIndexName().empty());
  EXPECT_TRUE(yes.GetKeyForIndexing().empty());
  EXPECT_FALSE(static_cast<const EntryPredicate&>(yes).HasIndex());

  // Binder copies share the predicate and forward every call.
  auto counting = std::make_shared<CountingPredicate>();
  EntryPredicateBinder binder(counting);
  EntryPredicateBinder copy(binder);
  EXPECT_EQ(copy.m_predicate, counting);
  EXPECT_TRUE(binder(Entry(2u)));
  EXPECT_FALSE(copy(Entry(3u)));
  EXPECT_EQ(counting->m_calls, 2);
  std::vector<Entry> entries{Entry(1u), Entry(2u), Entry(4u)};
  EXPECT_EQ(std::count_if(entries.begin(), entries.end(), copy), 2);
  EXPECT_EQ(counting->m_calls, 5);
}

namespace {

class SizedData : public KelCacheData {
 public:
  SizedData() = default;
  explicit SizedData(uint64_t bytes) { SetMemoryUsage(bytes); }
  SizedData(const SizedData&) = default;
  SizedData& operator=(const SizedData&) = default;
};

}  // namespace
