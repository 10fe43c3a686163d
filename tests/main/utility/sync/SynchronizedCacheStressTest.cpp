// Several threads run random mixes of every operation on shared caches: one
// synchronized indexed cache with its own lock, two synchronized indexed
// caches and a synchronized cache sharing one supplied lock. Afterwards the
// indexes agree with the entries, the byte count never wrapped below 0, and
// every object was freed exactly when its last reference went (objects check
// that they are alive whenever they are used).
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "main/utility/SynchronizedCache.h"
#include "main/utility/SynchronizedIndexedCache.h"
#include "tests/main/utility/sync/SyncTestSupport.h"

namespace {

using namespace sync_test;
using CacheHelpers::Entry;

const char16_t* const kRegions[] = {u"EU", u"US", u"ASIA", u"AF"};

// No count can legitimately come near this; a wrapped count would.
constexpr uint64_t kWrapLimit = uint64_t{1} << 48;

void CheckIndexesAgree(const SynchronizedIndexedCache& cache) {
  EntrySet entries = cache.GetEntries();
  auto indexed = cache.GetIndexedEntries();
  size_t listed = 0;
  for (const auto& [key, ids] : indexed) {
    EXPECT_FALSE(ids.empty()) << "an empty key is removed";
    for (unsigned id : ids) {
      auto found = entries.find(Entry(id));
      ASSERT_NE(found, entries.end()) << "an indexed id without an entry";
      EXPECT_EQ(key, TString(u"Region|") + RegionOf(*found));
      ++listed;
    }
  }
  EXPECT_EQ(listed, entries.size()) << "every entry is listed once under its key";
}

void RandomOperations(SynchronizedIndexedCache& cache, int seed, int operations) {
  std::mt19937 random(seed);
  unsigned hint = 0;
  for (int i = 0; i < operations; ++i) {
    const TString region(kRegions[random() % 4]);
    const bool indexed = random() % 2 == 0;
    auto predicate = std::make_shared<RegionPredicate>(region, indexed);
    switch (random() % 14) {
      case 0:
      case 1:
        cache.AddEntry(MakeItem(region.u16().c_str(), random() % 1000));
        break;
      case 2:
        cache.AddEntryAndDeleteExistingEntriesItMatches(MakeItem(region.u16().c_str(), random() % 1000),
                                                        predicate, random() % 1000);
        break;
      case 3:
        cache.DeleteEntries(predicate);
        break;
      case 4:
        cache.PrecomputePredicateAndDeleteEntries(predicate);
        break;
      case 5:
        if (unsigned id = cache.FindFirstMatch(predicate)) cache.TryGetEntry(id);
        break;
      case 6:
        cache.TryGetEntryAndHint(predicate, hint);
        break;
      case 7:
        cache.TryGetEntryUpdateHint(predicate, hint);
        break;
      case 8:
        cache.VisitEntries(predicate);
        break;
      case 9:
        cache.PruneHints(std::make_shared<RegionPredicate>(region, true), 3);
        break;
      case 10:
        cache.Purge();
        break;
      case 11:
        cache.IncrementClock();
        break;
      case 12: {
        EntrySet entries = cache.GetEntries();
        std::vector<unsigned> ids;
        for (const Entry& entry : entries) {
          RegionOf(entry);  // the data of a snapshot entry must be alive
          if (random() % 3 == 0) ids.push_back(entry.GetID());
        }
        cache.OnDirty(ids);
        break;
      }
      default:
        cache.GetIndexedEntryCount();
        cache.GetEntryCount();
        break;
    }
    EXPECT_LT(cache.GetCacheSizeBytes(), kWrapLimit);
  }
}

void RandomOperations(SynchronizedCache& cache, int seed, int operations) {
  std::mt19937 random(seed);
  unsigned hint = 0;
  for (int i = 0; i < operations; ++i) {
    auto predicate = std::make_shared<RegionPredicate>(TString(kRegions[random() % 4]), false);
    switch (random() % 8) {
      case 0:
      case 1:
        cache.AddEntry(MakeItem(kRegions[random() % 4]));
        break;
      case 2:
        cache.DeleteEntries(predicate);
        break;
      case 3:
        cache.TryGetEntry(predicate, hint);
        break;
      case 4:
        cache.TryGetEntryAndHint(predicate, hint);
        break;
      case 5:
        cache.IncrementClock();
        break;
      case 6:
        cache.VisitEntries(predicate);
        break;
      default:
        cache.TryDeleteEntry(hint);
        break;
    }
  }
}

TEST(SynchronizedCacheStressTest, RandomMixesOfEveryOperation) {
  const int itemsBefore = Item::s_live;
  {
    auto policy =
        std::make_shared<CacheHelpers::CascadedPolicy>(std::make_shared<CacheHelpers::LifetimePolicy>(20));
    policy->AddPolicy(std::make_shared<CacheHelpers::MRUPolicy>(60));
    SynchronizedIndexedCache own(policy, nullptr);
    TReadWriteLock sharedLock;
    SynchronizedIndexedCache left(std::make_shared<CacheHelpers::MRUPolicy>(40), &sharedLock, nullptr);
    SynchronizedIndexedCache right(std::make_shared<CacheHelpers::LifetimePolicy>(10), &sharedLock, nullptr);
    SynchronizedCache plain(std::make_shared<CacheHelpers::MRUPolicy>(30), &sharedLock);
    for (SynchronizedIndexedCache* cache : {&own, &left, &right}) {
      ASSERT_TRUE(cache->AddIndex(TString(u"Region"), RegionKey));
    }

    constexpr int kOperations = 3000;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) threads.emplace_back([&, t] { RandomOperations(own, 10 + t, kOperations); });
    threads.emplace_back([&] { RandomOperations(left, 20, kOperations); });
    threads.emplace_back([&] { RandomOperations(right, 21, kOperations); });
    threads.emplace_back([&] { RandomOperations(plain, 22, kOperations); });
    for (auto& thread : threads) thread.join();

    for (const SynchronizedIndexedCache* cache : {&own, &left, &right}) {
      CheckIndexesAgree(*cache);
      EXPECT_LT(cache->GetCacheSizeBytes(), kWrapLimit);
    }
    EXPECT_GT(Item::s_live, itemsBefore);
  }
  EXPECT_EQ(Item::s_live, itemsBefore) << "every object is freed with its last reference";
}

}  // namespace
