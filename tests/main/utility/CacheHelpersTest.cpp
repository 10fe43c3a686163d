// Entry ids and references, and the lifetime predicate. How entries are
// found, stamped and matched is checked through the caches that use them.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

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
