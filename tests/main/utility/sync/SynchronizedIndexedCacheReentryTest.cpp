// The synchronized indexed cache copies a lookup's candidates into a buffer
// (a short list inside the call itself, a long one in a vector that the
// calling thread reuses from one call to the next). Predicates are judged
// over that buffer without the lock and may call back into the cache on the
// same thread, which then needs a buffer of its own while the outer one is
// still being read; and the copies hold references to the cached objects,
// which must be dropped when the call ends, also when a predicate throws.
// These tests nest lookups inside predicates and count references, with
// candidate lists of both lengths.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "main/utility/SynchronizedIndexedCache.h"
#include "tests/main/utility/sync/SyncTestSupport.h"

namespace {

using namespace sync_test;
using CacheHelpers::Entry;

// Matches one entry of the EU region and makes a nested call inside each
// judgement; the candidates of the outer lookup must survive it, each still
// holding its reference: after the nested call the judged object has
// `references` of them (the cache's, this lookup's copy and those of the
// lookups it is nested in; 0: not checked).
class NestingPredicate : public CacheHelpers::EntryPredicate {
 public:
  NestingPredicate(unsigned wanted, int references, std::function<void()> inside)
      : m_wanted(wanted), m_references(references), m_inside(std::move(inside)) {}
  bool Matches(const Entry& entry) override {
    m_seen.push_back(entry.GetID());
    if (m_inside) m_inside();
    EXPECT_EQ(RegionOf(entry), TString(u"EU")) << "a candidate was overwritten";
    if (m_references != 0) {
      EXPECT_EQ(entry.GetData()->GetReferenceCount(), m_references) << "a candidate lost its copy";
    }
    return entry.GetID() == m_wanted;
  }
  TString GetIndexName() override { return TString(u"Region"); }
  TString GetKeyForIndexing() override { return TString(u"EU"); }

  std::vector<unsigned> m_seen;

 private:
  unsigned m_wanted;
  int m_references;
  std::function<void()> m_inside;
};

// The parameter: how many EU entries, so how many candidates an EU lookup has.
class SynchronizedIndexedCacheReentryTest : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_cache.AddIndex(TString(u"Region"), RegionKey));
    for (int i = 0; i < GetParam(); ++i) m_eu.push_back(m_cache.AddEntry(MakeItem(u"EU")));
    m_us = m_cache.AddEntry(MakeItem(u"US"));
  }

  // True when the cache holds the only reference to every object.
  bool OnlyTheCacheHoldsReferences() {
    for (const Entry& entry : m_cache.GetEntries()) {
      // The snapshot entry itself holds one more.
      if (entry.GetData()->GetReferenceCount() != 2) return false;
    }
    return true;
  }

  SynchronizedIndexedCache m_cache{std::make_shared<CacheHelpers::MRUPolicy>(1000), nullptr};
  std::vector<unsigned> m_eu;  // ascending
  unsigned m_us = 0;
};

TEST_P(SynchronizedIndexedCacheReentryTest, NestedLookupsKeepTheOuterCandidatesAndDropTheirReferences) {
  auto us = std::make_shared<RegionPredicate>(TString(u"US"), true);
  int nested = 0;
  // Two levels: the middle predicate's own judgement nests another lookup.
  auto middle = std::make_shared<NestingPredicate>(m_eu.front(), 3, [&] {
    EXPECT_EQ(m_cache.FindFirstMatch(us), m_us);
    ++nested;
  });
  auto outer = std::make_shared<NestingPredicate>(m_eu.back(), 2, [&] {
    EXPECT_EQ(m_cache.FindFirstMatch(middle), m_eu.front());
    EXPECT_TRUE(m_cache.TryGetEntry(us));
    m_cache.VisitEntries(us);
  });

  EXPECT_EQ(m_cache.FindFirstMatch(outer), m_eu.back());
  // The candidates are judged in ascending id order (the hint order).
  EXPECT_EQ(outer->m_seen, m_eu);
  EXPECT_EQ(nested, GetParam());
  EXPECT_TRUE(OnlyTheCacheHoldsReferences());

  unsigned hint = 0;
  EXPECT_TRUE(m_cache.TryGetEntryAndHint(outer, hint));
  EXPECT_EQ(hint, m_eu.back());
  auto [id, replaced] = m_cache.AddEntryAndDeleteExistingEntriesItMatches(MakeItem(u"EU"), outer, 10);
  ASSERT_EQ(replaced.size(), 1u);
  EXPECT_EQ(replaced.begin()->GetID(), m_eu.back());
  replaced.clear();
  EXPECT_TRUE(OnlyTheCacheHoldsReferences());
  EXPECT_EQ(m_cache.GetEntryCount(), m_eu.size() + 1);
  EXPECT_TRUE(m_cache.TryGetEntry(id));
}

TEST_P(SynchronizedIndexedCacheReentryTest, APredicateThatThrowsLeavesNoReferenceAndNoBufferTaken) {
  const int liveBefore = Item::s_live;
  auto throwing = std::make_shared<NestingPredicate>(m_eu.back(), 0, [&] {
    // Throws from a nested lookup while both levels hold copies.
    auto inner =
        std::make_shared<NestingPredicate>(0, 0, [] { throw std::runtime_error("predicate failed"); });
    m_cache.FindFirstMatch(inner);
  });
  for (int i = 0; i < 3; ++i) EXPECT_THROW(m_cache.FindFirstMatch(throwing), std::runtime_error);
  EXPECT_TRUE(OnlyTheCacheHoldsReferences());

  // The buffers are usable again, and an object goes with the cache's last
  // reference to it.
  auto eu = std::make_shared<RegionPredicate>(TString(u"EU"), true);
  EXPECT_EQ(m_cache.FindFirstMatch(eu), m_eu.front());
  EXPECT_EQ(m_cache.DeleteEntries(eu).size(), m_eu.size());
  EXPECT_EQ(Item::s_live, liveBefore - GetParam());
}

// A few candidates, and more than a call keeps in itself.
INSTANTIATE_TEST_SUITE_P(ShortAndLongLists, SynchronizedIndexedCacheReentryTest, testing::Values(3, 12));

}  // namespace
