// Many query jobs open scopes, record uses and add handlers while other
// threads report dirty and evicted ids. Afterwards (and after one final dirty
// report of every dirty id, which starts after every handler was added) each
// handler of a scope that used a dirty id was told exactly once per
// registration that the scope kept, no other handler was told at all, and
// only clean scopes stay registered.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "host/KelvraTls.h"
#include "public/caching/CascadeInvalidatorAggregator.h"
#include "tests/main/caching/coherence/CoherenceTestSupport.h"

namespace {

using namespace kelvra::caching;
using coherence_test::CountingHandler;

// Ids 1..100 are reported dirty (range 0), 101..200 evicted (range 1),
// 201..300 never reported (range 2): the id of a range and a number.
unsigned Id(unsigned range, unsigned number) {
  return 1 + range * 100 + number % 100;
}

struct Job {
  std::shared_ptr<IInvalidatorAggregatorScope> scope;
  std::vector<std::shared_ptr<CountingHandler>> handlers;
  bool usedDirtyId = false;
  bool addedTwice = false;  // the first handler was added a second time
};

TEST(CascadeInvalidatorStressTest, EveryHandlerOfADirtyScopeIsToldExactlyOnce) {
  CascadeInvalidatorAggregator* aggregator = CascadeInvalidatorAggregator::TryGetSingleton();
  ASSERT_NE(aggregator, nullptr);
  CascadeInvalidatorAggregator::ResetForTest();
  coherence_test::RecordingCache cache;

  constexpr int kJobThreads = 4;
  constexpr int kJobsPerThread = 300;
  constexpr int kReporterThreads = 2;
  constexpr int kReportsPerThread = 600;

  std::mutex jobsMutex;
  std::vector<Job> jobs;  // guarded by jobsMutex
  std::atomic<int> runningJobThreads{kJobThreads};

  std::vector<std::thread> threads;
  for (int t = 0; t < kJobThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(1000 + t);
      KelvraTls::ScopedThreadContext context;
      for (int j = 0; j < kJobsPerThread; ++j) {
        Job job;
        job.scope = CascadeInvalidatorAggregator_CreateQueryJobScope();
        // Three uses; about a third of the ids come from each range.
        for (int u = 0; u < 3; ++u) {
          const unsigned range = random() % 3;
          aggregator->OnEntryUsed(Id(range, random()), cache);
          job.usedDirtyId = job.usedDirtyId || range == 0;
        }
        if (random() % 4 == 0) job.scope->EndScope();
        int handlerCount = 1 + static_cast<int>(random() % 2);
        for (int h = 0; h < handlerCount; ++h) {
          job.handlers.push_back(std::make_shared<CountingHandler>());
          job.scope->AddHandler(job.handlers.back());
        }
        // The same handler added again is kept once while the scope is clean;
        // once the scope is dirty, each addition is told at once. Either way
        // it is told once or twice, never more.
        if (random() % 3 == 0) {
          job.scope->AddHandler(job.handlers.front());
          job.addedTwice = true;
        }
        std::lock_guard<std::mutex> lock(jobsMutex);
        jobs.push_back(std::move(job));
      }
      KelvraTls::GetThreadContext().SetCurrentQueryJobScope(nullptr);
      --runningJobThreads;
    });
  }
  for (int t = 0; t < kReporterThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(2000 + t);
      for (int r = 0; r < kReportsPerThread || runningJobThreads > 0; ++r) {
        if (r % 2 == 0) {
          aggregator->OnDirty({Id(0, random())}, cache);
        } else {
          aggregator->OnEvicted({Id(1, random()), Id(1, random())}, cache);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();

  // One last report of every dirty id, after every handler was added.
  std::vector<unsigned> allDirty;
  for (unsigned number = 0; number < 100; ++number) allDirty.push_back(Id(0, number));
  aggregator->OnDirty(allDirty, cache);

  ASSERT_EQ(jobs.size(), static_cast<size_t>(kJobThreads * kJobsPerThread));
  int dirtyJobs = 0;
  for (const Job& job : jobs) {
    dirtyJobs += job.usedDirtyId ? 1 : 0;
    for (size_t h = 0; h < job.handlers.size(); ++h) {
      int calls = job.handlers[h]->calls.load();
      if (!job.usedDirtyId) {
        EXPECT_EQ(calls, 0);
      } else if (h == 0 && job.addedTwice) {
        EXPECT_TRUE(calls == 1 || calls == 2) << calls;
      } else {
        EXPECT_EQ(calls, 1);
      }
    }
  }
  EXPECT_GT(dirtyJobs, 0);
  EXPECT_LT(dirtyJobs, static_cast<int>(jobs.size()));
  // Only the clean scopes (with handlers) remain registered.
  EXPECT_EQ(aggregator->GetScopeCount(), jobs.size() - static_cast<size_t>(dirtyJobs));
  CascadeInvalidatorAggregator::ResetForTest();
  EXPECT_EQ(aggregator->GetScopeCount(), 0u);
}

}  // namespace
