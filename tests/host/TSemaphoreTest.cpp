// TSemaphore: never more holders than units, timed waits, and a release that
// wakes a waiter.
#include "host/TSemaphore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "host/RefCnt.h"
#include "tests/host/ConcurrencyTestSupport.h"

namespace {

using namespace concurrency_test;
using Clock = std::chrono::steady_clock;

TEST(TSemaphoreTest, WaitsUpToTheTimeOutAndUnitsComeBackWithTheScope) {
  std::shared_ptr<TSemaphore> semaphore = TSemaphore::Construct(1);
  {
    RefCntPtr<TSemaphoreScope, RefCntObject> held(new TSemaphoreScope(semaphore, 0));
    ASSERT_TRUE(held->IsAcquired());
    EXPECT_EQ(0, semaphore->GetAvailableCount());

    // No unit free: a timed scope gives up after about its time-out.
    Clock::time_point start = Clock::now();
    TSemaphoreScope timed(semaphore, 100);
    EXPECT_FALSE(timed.IsAcquired());
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90));
    // Zero and negative time-outs try once.
    EXPECT_FALSE(TSemaphoreScope(semaphore, 0).IsAcquired());
    EXPECT_FALSE(TSemaphoreScope(semaphore, -5).IsAcquired());

    // A second reference keeps the unit: it goes back with the last one.
    RefCntPtr<TSemaphoreScope, RefCntObject> second = held;
    held.reset();
    EXPECT_EQ(0, semaphore->GetAvailableCount());
    second.reset();
    EXPECT_EQ(1, semaphore->GetAvailableCount());
  }
  // A scope that did not get a unit gives nothing back.
  EXPECT_EQ(1, semaphore->GetAvailableCount());

  // A waiter gets the unit as soon as it is released, long before its
  // (generous) time-out.
  auto holder = std::make_unique<TSemaphoreScope>(semaphore, 0);
  ASSERT_TRUE(holder->IsAcquired());
  std::thread waiter([&] {
    const Clock::time_point asked = Clock::now();
    EXPECT_TRUE(TSemaphoreScope(semaphore, 20000).IsAcquired());
    // Woken by the release, not by its time-out (which would also find the unit).
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(10));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  holder.reset();
  waiter.join();
  EXPECT_EQ(1, semaphore->GetAvailableCount());
}

TEST(TSemaphoreTest, NeverMoreHoldersThanUnits) {
  constexpr int kUnits = 3;
  std::shared_ptr<TSemaphore> semaphore = TSemaphore::Construct(kUnits);
  std::atomic<int> holders{0};
  std::atomic<int> acquired{0};
  RunTogether(12, [&](int) {
    for (int i = 0; i < 200; ++i) {
      RefCntPtr<TSemaphoreScope, RefCntObject> scope(new TSemaphoreScope(semaphore, 60000));
      if (!scope->IsAcquired()) continue;
      acquired.fetch_add(1);
      EXPECT_LE(holders.fetch_add(1) + 1, kUnits);
      std::this_thread::yield();
      holders.fetch_sub(1);
    }
  });
  EXPECT_EQ(12 * 200, acquired.load());
  // Every unit came back.
  EXPECT_EQ(kUnits, semaphore->GetAvailableCount());
}

}  // namespace
