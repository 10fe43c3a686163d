#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "host/Errors.h"
#include "host/LockGuards.h"
#include "host/RefCnt.h"
#include "host/TReadWriteLock.h"
#include "host/TRecursiveMutex.h"

namespace {

using namespace std::chrono_literals;

TEST(TReadWriteLockTest, ReadersShareWritersExclude) {
  TReadWriteLock lock(0);
  std::atomic<int> readersInside{0};
  std::atomic<bool> writerInside{false};
  std::atomic<bool> overlap{false};
  int guardedCounter = 0;

  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        TReadLockGuard guard(lock);
        ++readersInside;
        if (writerInside.load()) overlap = true;
        --readersInside;
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        TWriteLockGuard guard(lock);
        if (writerInside.exchange(true) || readersInside.load() != 0) overlap = true;
        ++guardedCounter;
        writerInside = false;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(overlap);
  EXPECT_EQ(guardedCounter, 4000);

  // Two readers can hold it at the same moment.
  std::atomic<bool> secondReaderIn{false};
  {
    TReadLockGuard first(lock);
    std::thread reader([&] {
      TReadLockGuard second(lock);
      secondReaderIn = true;
    });
    reader.join();
  }
  EXPECT_TRUE(secondReaderIn);
}

// Waiters held off longer than the lock spins go to sleep; the release must
// wake every one of them, and a writer still gets in alone. `inside` counts a
// reader as 1 and a writer as 100.
TEST(TReadWriteLockTest, SleepingReadersAndWritersAllGetInAfterALongHold) {
  TReadWriteLock lock(0);
  std::atomic<int> inside{0};
  std::atomic<int> done{0};
  std::atomic<bool> overlap{false};
  auto enter = [&](int weight) {
    const int before = inside.fetch_add(weight);
    if (weight == 100 ? before != 0 : before >= 100) overlap = true;
    std::this_thread::sleep_for(2ms);
    inside -= weight;
  };
  std::vector<std::thread> waiters;
  {
    TWriteLockGuard hold(lock);
    for (int i = 0; i < 5; ++i) {
      waiters.emplace_back([&, i] {
        if (i < 3) {
          TReadLockGuard reading(lock);
          enter(1);
        } else {
          TWriteLockGuard writing(lock);
          enter(100);
        }
        ++done;
      });
    }
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(done.load(), 0) << "nobody got past the writer";
  }
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(done.load(), 5);
  EXPECT_FALSE(overlap);
}

// Re-entry is what the lock analysis forbids and what these two check, so
// their bodies are left out of the analysis.
static void ReenterExclusiveHoldAndRelease() KELCACHE_NO_THREAD_SAFETY_ANALYSIS {
  TReadWriteLock lock;
  std::atomic<bool> otherGotIt{false};
  lock.Lock();
  lock.Lock();      // re-entry
  lock.LockRead();  // the owner may also read under its hold
  EXPECT_TRUE(lock.IsLockedByCurrentThread());
  std::thread other([&] {
    TWriteLockGuard guard(lock);
    otherGotIt = true;
  });
  lock.UnlockRead();
  lock.Unlock();
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(otherGotIt) << "released after the inner hold only";
  lock.Unlock();
  other.join();
  EXPECT_TRUE(otherGotIt);
  EXPECT_FALSE(lock.IsLockedByCurrentThread());
  EXPECT_TRUE(lock.TryLockRead());
  lock.UnlockRead();
}

TEST(TReadWriteLockTest, ExclusiveHolderMayReenterAndOthersWaitForTheOutermostRelease) {
  ReenterExclusiveHoldAndRelease();
}

static void ThrowUnderNestedGuards() KELCACHE_NO_THREAD_SAFETY_ANALYSIS {
  TReadWriteLock lock;
  TRecursiveMutex mutex;
  try {
    TWriteLockGuard guard(lock);
    TWriteLockGuard inner(mutex);
    TWriteLockGuard again(mutex);  // recursive
    ThrowLogicException("tests/host/LocksTest", 1, "forced");
  } catch (const LogicException& e) {
    EXPECT_EQ(e.GetExpression(), "forced");
  }
  std::thread other([&] {
    if (lock.TryLock()) {
      lock.Unlock();
    } else {
      ADD_FAILURE() << "the lock is still held";
    }
    if (mutex.TryLock()) {
      mutex.Unlock();
    } else {
      ADD_FAILURE() << "the mutex is still held";
    }
  });
  other.join();
}

TEST(LockGuardsTest, ExceptionReleasesTheLock) { ThrowUnderNestedGuards(); }

class Counted : public RefCntObject {
 public:
  explicit Counted(std::atomic<int>* destroyed) : m_destroyed(destroyed) {}

 protected:
  ~Counted() override { ++*m_destroyed; }

 private:
  std::atomic<int>* m_destroyed;
};

TEST(RefCntTest, LastReferenceDestroysOnceAcrossThreads) {
  std::atomic<int> destroyed{0};
  RefCntPtr<Counted> object(new Counted(&destroyed));
  {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([copy = object] {
        for (int i = 0; i < 10000; ++i) {
          RefCntPtr<RefCntObject> base = copy;  // take and drop references
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  EXPECT_EQ(destroyed.load(), 0);
  EXPECT_EQ(object->GetReferenceCount(), 1);
  RefCntPtr<RefCntObject> asBase = object;
  object.reset();
  EXPECT_EQ(destroyed.load(), 0);
  EXPECT_TRUE(boost::dynamic_pointer_cast<Counted>(asBase));
  asBase.reset();
  EXPECT_EQ(destroyed.load(), 1);
}

}  // namespace
