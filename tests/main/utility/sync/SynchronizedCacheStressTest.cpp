// Several threads run random mixes of every operation on shared caches: one
// synchronized indexed cache with its own lock, two synchronized indexed
// caches and a synchronized cache sharing one supplied lock. Afterwards the
// indexes agree with the entries, the byte count never wrapped below 0, and
// every object was freed exactly when its last reference went (objects check
// that they are alive whenever they are used).
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "tests/main/utility/sync/SyncTestSupport.h"

namespace {

using namespace sync_test;
using CacheHelpers::Entry;

const char16_t* const kRegions[] = {u"EU", u"US", u"ASIA", u"AF"};

// No count can legitimately come near this; a wrapped count would.
constexpr uint64_t kWrapLimit = uint64_t{1} << 48;

// The operation that only the plain cache has, and those that only the indexed
// cache has.
void OwnOperation(SynchronizedCache& cache, unsigned, const TString&,
                  std::shared_ptr<CacheHelpers::EntryPredicate>, unsigned hint) {
  cache.TryDeleteEntry(hint);
}
void OwnOperation(SynchronizedIndexedCache& cache, unsigned operation, const TString& region,
                  std::shared_ptr<CacheHelpers::EntryPredicate> predicate, unsigned) {
  switch (operation % 5) {
    case 0:
      cache.AddEntryAndDeleteExistingEntriesItMatches(MakeItem(region, operation), predicate, operation);
      break;
    case 1:
      cache.PrecomputePredicateAndDeleteEntries(predicate);
      break;
    case 2:
      if (unsigned id = cache.FindFirstMatch(predicate)) cache.TryGetEntry(id);
      break;
    case 3:
      cache.PruneHints(Region(region, true), 3);
      break;
    default:
      cache.GetIndexedEntryCount();
      cache.GetEntryCount();
      break;
  }
}

// Random operations on one cache: those both caches have, and its own
// (for the indexed cache, with more weight).
template <class C>
void RandomOperations(C& cache, unsigned sequence, int operations) {
  constexpr bool kIndexed = std::is_same_v<C, SynchronizedIndexedCache>;
  std::mt19937 random(sequence);
  unsigned hint = 0;
  for (int i = 0; i < operations; ++i) {
    const TString region(kRegions[random() % 4]);
    auto predicate = Region(region, kIndexed && random() % 2 == 0);
    const unsigned operation = random() % 1000;
    switch (operation % (kIndexed ? 15 : 10)) {
      case 0:
      case 1:
        cache.AddEntry(MakeItem(region, operation));
        break;
      case 2:
        cache.DeleteEntries(predicate);
        break;
      case 3:
        cache.TryGetEntryAndHint(predicate, hint);
        break;
      case 4:
        UpdateHint(cache, predicate, hint);
        break;
      case 5:
        cache.VisitEntries(predicate);
        break;
      case 6:
        cache.IncrementClock();
        break;
      case 7:
        cache.Purge();
        break;
      case 8:
        if constexpr (kIndexed) {
          EntrySet entries = cache.GetEntries();
          std::vector<unsigned> ids;
          for (const Entry& entry : entries) {
            RegionOf(entry);  // the data of a snapshot entry must be alive
            if (random() % 3 == 0) ids.push_back(entry.GetID());
          }
          cache.OnDirty(ids);
        } else {
          cache.OnDirty({hint});
        }
        break;
      default:
        OwnOperation(cache, operation / 15, region, predicate, hint);
        break;
    }
    if constexpr (kIndexed) EXPECT_LT(cache.GetCacheSizeBytes(), kWrapLimit);
  }
}

TEST(SynchronizedCacheStressTest, RandomMixesOfEveryOperation) {
  const int itemsBefore = Record::s_live;
  {
    auto policy =
        std::make_shared<CacheHelpers::CascadedPolicy>(std::make_shared<CacheHelpers::LifetimePolicy>(20));
    policy->AddPolicy(std::make_shared<CacheHelpers::MRUPolicy>(60));
    SynchronizedIndexedCache own(policy, nullptr);
    TReadWriteLock sharedLock;
    SynchronizedIndexedCache left(std::make_shared<CacheHelpers::MRUPolicy>(40), &sharedLock, nullptr);
    SynchronizedIndexedCache right(std::make_shared<CacheHelpers::LifetimePolicy>(10), &sharedLock, nullptr);
    SynchronizedCache plain(std::make_shared<CacheHelpers::MRUPolicy>(30), &sharedLock);
    for (auto* cache : {&own, &left, &right}) ASSERT_TRUE(cache->AddIndex(TString(u"Region"), RegionOf));

    constexpr int kOperations = 3000;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) threads.emplace_back([&, t] { RandomOperations(own, 10 + t, kOperations); });
    threads.emplace_back([&] { RandomOperations(left, 20, kOperations); });
    threads.emplace_back([&] { RandomOperations(right, 21, kOperations); });
    threads.emplace_back([&] { RandomOperations(plain, 22, kOperations); });
    for (auto& thread : threads) thread.join();

    for (const SynchronizedIndexedCache* cache : {&own, &left, &right}) {
      CheckIndexesAgree(*cache, u"Region", RegionOf);
      EXPECT_LT(cache->GetCacheSizeBytes(), kWrapLimit);
    }
    EXPECT_GT(Record::s_live, itemsBefore);
  }
  EXPECT_EQ(Record::s_live, itemsBefore) << "every object is freed with its last reference";
}

}  // namespace
