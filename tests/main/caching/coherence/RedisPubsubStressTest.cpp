// Several threads add, remove and receive messages for a shared set of key
// hashes at once, some of them with the service in asynchronous mode; the
// tracking maps must agree with each other afterwards.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "host/AppOptions.h"
#include "host/ThreadPool.h"
#include "public/caching/CascadeInvalidatorHolder.h"
#include "tests/main/caching/coherence/CoherenceTestSupport.h"

namespace {

using namespace coherence_test;

void RunMix(bool asynchronous) {
  kelvra::appoptions::ScopedOptionOverride async("AsyncCacheCoherence", asynchronous);
  kelvra::appoptions::ScopedOptionOverride delta("CacheSynchronizationMinimumDeltaSeconds", 1);
  kelvra::appoptions::ScopedOptionOverride max("CacheSynchronizationMaxEvictedEntries", 50);
  kelvra::caching::CascadeInvalidatorHolderFactory::GetInstance().ResetForTest();
  RecordingInvalidator invalidator;
  kelvra::caching::CascadeInvalidatorHolderFactory::GetInstance().Initialize({&invalidator, nullptr, nullptr, nullptr});

  InProcessSubscriptionManager manager;
  std::vector<std::shared_ptr<RecordingCache>> caches = {std::make_shared<RecordingCache>(),
                                                         std::make_shared<RecordingCache>()};
  std::atomic<unsigned> nextGuid{1};
  {
    auto service = kelvra::caching::RedisPubsub::CreateTestInstance(
        TString(u"stress."), manager,
        [&](const TString& channel, const TString& message) { manager.Deliver(channel, message.toStdString()); });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937 random(300 + t);
        std::vector<std::pair<unsigned, size_t>> mine;  // added and not yet removed: (guid, cache)
        for (int i = 0; i < 1500; ++i) {
          const Hash key{random() % 20, 1};
          const size_t cacheIndex = random() % 2;
          const auto& cache = caches[cacheIndex];
          switch (random() % 4) {
            case 0:
            case 1: {
              unsigned guid = nextGuid++;
              service->OnAdded(key, {random() % 3, 0}, 1000000 + random() % 10000, guid, cache);
              mine.emplace_back(guid, cacheIndex);
              break;
            }
            case 2:
              if (!mine.empty()) {
                // Each entry is removed once, from the cache that added it.
                size_t pick = random() % mine.size();
                service->OnRemoved({mine[pick].first}, caches[mine[pick].second]);
                mine.erase(mine.begin() + static_cast<std::ptrdiff_t>(pick));
              }
              break;
            default:
              manager.Deliver(TString(u"stress.") + TString::fromStdString(HashText(key)),
                              MessageText({random() % 3, 0}, 1000000 + random() % 10000));
              break;
          }
        }
      });
    }
    for (auto& thread : threads) thread.join();
    if (asynchronous) {
      // Let the scheduled work finish before looking at the maps.
      EXPECT_TRUE(AsyncTask::WaitForThreadPoolIdle(std::chrono::seconds(30)));
      EXPECT_TRUE(AsyncTask::WaitForDedicatedThreads(std::chrono::seconds(30)));
    }
    EXPECT_EQ(service->CheckConsistencyTestOnly(), "");
    service->TriggerPruneEvictedEntriesTestOnly(0, 0);
    EXPECT_EQ(service->CheckConsistencyTestOnly(), "");
    for (const auto& cache : caches) service->OnRemoved(*cache);
    EXPECT_EQ(service->CheckConsistencyTestOnly(), "");
  }
  EXPECT_EQ(manager.SubscriptionCount(), 0u);
  kelvra::caching::CascadeInvalidatorHolderFactory::GetInstance().ResetForTest();
}

TEST(RedisPubsubStressTest, ConcurrentAdditionsRemovalsAndMessagesKeepTheMapsConsistent) { RunMix(false); }

TEST(RedisPubsubStressTest, AsynchronousModeUnderLoad) { RunMix(true); }

}  // namespace
