// Locks, guards, reference counts, semaphores and InitOnce, and the detector
// of long lock holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "host/Errors.h"
#include "host/InitOnce.h"
#include "host/LockDetectionTimer.h"
#include "host/LockGuards.h"
#include "host/LogCapture.h"
#include "host/RefCnt.h"
#include "host/TLog.h"
#include "host/TReadWriteLock.h"
#include "host/TRecursiveMutex.h"
#include "host/TSemaphore.h"

namespace {

using namespace std::chrono_literals;

// Four readers (weight 1) and two writers (weight 100) go through the lock
// while `inside` tracks who is in: a writer must be alone, readers only with
// readers. Behind a long hold, the waiters outlast the spin and sleep; the
// release must wake every one of them. The conditional hold is what the lock
// analysis cannot follow, so the body is left out of it.
static void ReadersShareWritersExclude(bool behindALongHold) KELCACHE_NO_THREAD_SAFETY_ANALYSIS {
  TReadWriteLock lock(0);
  const int rounds = behindALongHold ? 1 : 2000;
  std::atomic<int> inside{0};
  std::atomic<int> done{0};
  std::atomic<bool> overlap{false};
  int writes = 0;
  auto enter = [&](int weight) {
    const int before = inside.fetch_add(weight);
    if (weight == 100 ? before != 0 : before >= 100) overlap = true;
    if (weight == 100) ++writes;
    if (behindALongHold) std::this_thread::sleep_for(2ms);
    inside -= weight;
  };
  if (behindALongHold) lock.Lock();
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < rounds; ++i) {
        if (t < 4) {
          TReadLockGuard reading(lock);
          enter(1);
        } else {
          TWriteLockGuard writing(lock);
          enter(100);
        }
      }
      ++done;
    });
  }
  if (behindALongHold) {
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(done.load(), 0) << "nobody got past the writer";
    lock.Unlock();
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(done.load(), 6);
  EXPECT_FALSE(overlap);
  EXPECT_EQ(writes, 2 * rounds);
}

TEST(TReadWriteLockTest, ReadersShareWritersExcludeAlsoWhenWaitersSleep) {
  ReadersShareWritersExclude(false);
  ReadersShareWritersExclude(true);

  // Two readers can hold it at the same moment.
  TReadWriteLock lock;
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

// LockDetectionTimer warns about a lock held or waited for longer than the
// threshold, and stays quiet otherwise.
class LockDetectionTimerTest : public testing::Test {
 protected:
  void SetUp() override { m_savedThreshold = LockDetectionTimer::GetThresholdMs(); }
  void TearDown() override { LockDetectionTimer::SetThresholdMs(m_savedThreshold); }

  // Holds m_lock for holdMs under a timer named name.
  void HoldLock(const TString& name, int holdMs) {
    LockDetectionTimer timer(name);
    std::lock_guard<std::mutex> guard(m_lock);
    timer.StartBlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
  }

  std::mutex m_lock;
  double m_savedThreshold = 0;
};

TEST_F(LockDetectionTimerTest, WarnsOnlyAboutABlockLongerThanTheThreshold) {
  EXPECT_EQ(LockDetectionTimer::GetThresholdMs(), 1000.0);  // the default
  TLog::Capture capture(TLog::Warn);

  LockDetectionTimer::SetThresholdMs(2);
  HoldLock(u"SlowLock", 20);
  auto records = capture.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].severity, TLog::Warn);
  EXPECT_TRUE(records[0].text.startsWith(u"LockDetectionTimer: lock 'SlowLock' was held for "))
      << records[0].text;
  EXPECT_TRUE(records[0].text.contains(u" ms (threshold 2 ms)."));

  capture.Clear();
  LockDetectionTimer::SetThresholdMs(10000);
  HoldLock(u"QuickLock", 1);
  EXPECT_TRUE(capture.Records().empty());

  // Without StartBlock nothing is measured, however long the timer lives.
  LockDetectionTimer::SetThresholdMs(0);
  {
    LockDetectionTimer timer(u"NeverBlocked");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(capture.Records().empty());

  LockDetectionTimer::SetThresholdMs(-3);
  EXPECT_EQ(LockDetectionTimer::GetThresholdMs(), 0.0);
}

// TSemaphore: never more holders than units, timed waits, and a release that
// wakes a waiter.
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
    EXPECT_FALSE(semaphore->TryAcquire(std::chrono::milliseconds(-1)));

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
  std::atomic<bool> waiterGotIt{false};
  Clock::duration waited{};
  std::thread waiter([&] {
    const Clock::time_point asked = Clock::now();
    waiterGotIt = TSemaphoreScope(semaphore, 20000).IsAcquired();
    waited = Clock::now() - asked;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  holder.reset();
  waiter.join();
  EXPECT_TRUE(waiterGotIt.load());
  // Woken by the release, not by its time-out (which would also find the unit).
  EXPECT_LT(waited, std::chrono::seconds(10));
  EXPECT_EQ(1, semaphore->GetAvailableCount());
}

TEST(TSemaphoreTest, NeverMoreHoldersThanUnits) {
  constexpr int kUnits = 3;
  std::shared_ptr<TSemaphore> semaphore = TSemaphore::Construct(kUnits);
  std::atomic<int> holders{0};
  std::atomic<int> acquired{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 12; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        RefCntPtr<TSemaphoreScope, RefCntObject> scope(new TSemaphoreScope(semaphore, 60000));
        if (!scope->IsAcquired()) continue;
        acquired.fetch_add(1);
        EXPECT_LE(holders.fetch_add(1) + 1, kUnits);
        std::this_thread::yield();
        holders.fetch_sub(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(12 * 200, acquired.load());
  // Every unit came back.
  EXPECT_EQ(kUnits, semaphore->GetAvailableCount());
}

}  // namespace

// InitOnce: one creation per slot, however many threads ask at once.
namespace {

// What InitOnce creates in these tests; counts its destructions.
struct Created {
  static std::atomic<int> s_destroyed;
  explicit Created(int value) : m_value(value) {}
  ~Created() { s_destroyed.fetch_add(1); }
  int m_value;
};
std::atomic<int> Created::s_destroyed{0};

// Runs fn on count threads that all start at the same moment.
template <class Fn>
void RunTogether(int count, Fn fn) {
  std::latch start(count);
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&start, &fn, i] {
      start.arrive_and_wait();
      fn(i);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace

// Many threads at once ask a fresh slot for its object; the creation is slow
// so that the others have to wait for it. When the first creation fails, its
// thread alone gets the exception and one waiting thread creates instead.
TEST(InitOnceTest, ManyThreadsAtOnceCreateOneObjectThatIsKeptForever) {
  for (bool firstFails : {false, true}) {
    SCOPED_TRACE(firstFails ? "the first creation fails" : "every creation succeeds");
    // Slots are usually statics; local ones behave the same and keep repeated
    // runs of these tests independent.
    InitOnceSlot slot;
    std::atomic<int> creations{0};
    std::atomic<int> failures{0};
    std::vector<Created*> seen(16, nullptr);
    const int destroyedBefore = Created::s_destroyed.load();
    RunTogether(16, [&](int i) {
      try {
        seen[i] = InitOnceShared<Created>(slot, [&] {
          const int attempt = creations.fetch_add(1) + 1;
          std::this_thread::sleep_for(std::chrono::milliseconds(30));
          if (firstFails && attempt == 1) throw std::runtime_error("first attempt fails");
          return std::make_shared<Created>(40 + attempt);
        });
      } catch (const std::runtime_error&) {
        failures.fetch_add(1);
      }
    });
    EXPECT_EQ(firstFails ? 2 : 1, creations.load());
    EXPECT_EQ(firstFails ? 1 : 0, failures.load());
    Created* kept = InitOnceShared<Created>(slot, []() -> std::shared_ptr<Created> {
      ADD_FAILURE() << "created again";
      return nullptr;
    });
    ASSERT_NE(nullptr, kept);
    EXPECT_EQ(creations.load() + 40, kept->m_value);
    for (Created* pointer : seen) EXPECT_TRUE(pointer == kept || pointer == nullptr);
    EXPECT_EQ(failures.load(), std::count(seen.begin(), seen.end(), nullptr));
    // Nothing was destroyed: the kept shared_ptr still owns the object.
    EXPECT_EQ(destroyedBefore, Created::s_destroyed.load());
  }

  // Without contention: a failed creation keeps nothing and is retried.
  InitOnceSlot slot;
  EXPECT_THROW(
      InitOnceShared<Created>(slot, []() -> std::shared_ptr<Created> { throw std::runtime_error("no"); }),
      std::runtime_error);
  EXPECT_EQ(nullptr, slot.m_pointer.load());
  EXPECT_EQ(2, InitOnceShared<Created>(slot, [] { return std::make_shared<Created>(2); })->m_value);
}

namespace {

// Raw form: the context is an int that the creation function reads.
boost::any MakeFromContext(void* context) {
  return boost::any(std::make_shared<Created>(*static_cast<int*>(context)));
}
void* ExtractCounted(boost::any& held) {
  return boost::any_cast<std::shared_ptr<Created>&>(held).get();
}
void* ExtractWrongType(boost::any& held) {
  return boost::any_cast<std::shared_ptr<int>&>(held).get();
}

}  // namespace

TEST(InitOnceTest, RawFormSharedPtrFormAndNesting) {
  InitOnceSlot raw;
  int context = 12;
  auto* made = static_cast<Created*>(InitOnce(raw, &MakeFromContext, &context, &ExtractCounted));
  ASSERT_NE(nullptr, made);
  EXPECT_EQ(12, made->m_value);

  // An extraction that fails (bad_any_cast) keeps nothing; a right one later
  // succeeds.
  InitOnceSlot badExtract;
  EXPECT_THROW(InitOnce(badExtract, &MakeFromContext, &context, &ExtractWrongType), boost::bad_any_cast);
  EXPECT_NE(nullptr, InitOnce(badExtract, &MakeFromContext, &context, &ExtractCounted));

  // The shared_ptr form hands out the kept shared_ptr: weak references to it
  // stay valid because it is never destroyed.
  InitOnceSlot shared;
  const std::shared_ptr<Created>& kept =
      InitOnceSharedPtr<Created>(shared, [] { return std::make_shared<Created>(5); });
  std::weak_ptr<Created> weak = kept;
  EXPECT_EQ(1, kept.use_count());
  EXPECT_EQ(&kept, &InitOnceSharedPtr<Created>(shared, [] { return std::make_shared<Created>(6); }));
  EXPECT_FALSE(weak.expired());
  EXPECT_EQ(5, weak.lock()->m_value);

  // A creation may use InitOnce for another slot (no lock is held) ...
  InitOnceSlot outerSlot;
  InitOnceSlot innerSlot;
  Created* outer = InitOnceShared<Created>(outerSlot, [&innerSlot] {
    Created* inner = InitOnceShared<Created>(innerSlot, [] { return std::make_shared<Created>(1); });
    return std::make_shared<Created>(inner->m_value + 1);
  });
  EXPECT_EQ(2, outer->m_value);

  // ... but not for its own slot: that would wait for itself forever.
  InitOnceSlot recursive;
  try {
    InitOnceShared<Created>(recursive, [&recursive] {
      InitOnceShared<Created>(recursive, [] { return std::make_shared<Created>(0); });
      return std::make_shared<Created>(1);
    });
    ADD_FAILURE() << "recursion was not refused";
  } catch (const LogicException& error) {
    EXPECT_EQ("host/InitOnce", error.GetSourceFile());
  }
  // The refusal left the slot usable.
  EXPECT_EQ(3, InitOnceShared<Created>(recursive, [] { return std::make_shared<Created>(3); })->m_value);
}
