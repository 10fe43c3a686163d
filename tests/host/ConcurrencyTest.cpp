// The concurrency facilities: AsyncTask (launches, futures and promises,
// cancellation and depth) with the wait event and deadline timer the tasks
// are built on; locks, guards, reference counts, semaphores and InitOnce, and
// the detector of long lock holds; then the thread pool and the dedicated
// threads the tasks run on.
#include "host/AsyncTask.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <latch>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/AppOptions.h"
#include "host/DeadlineTimer.h"
#include "host/Errors.h"
#include "host/InitOnce.h"
#include "host/LockDetectionTimer.h"
#include "host/LockGuards.h"
#include "host/LogCapture.h"
#include "host/LogFormat.h"
#include "host/RefCnt.h"
#include "host/TLog.h"
#include "host/TReadWriteLock.h"
#include "host/TRecursiveMutex.h"
#include "host/TSemaphore.h"
#include "host/ThreadPool.h"
#include "host/WaitEvent.h"
#include "tests/support/ChildMode.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestGate.h"

namespace {

using namespace std::chrono_literals;
using AsyncTask::Future;
using AsyncTask::FutureStatus;
using AsyncTask::LaunchMode;

// Generous bound for waits that should end soon; a test that reaches it has
// found a hang, not a slow machine.
constexpr std::chrono::milliseconds kLongWait = std::chrono::seconds(20);

// A gate that opens once `needed` threads arrived (or on Open).
struct Gate : kelcache_test::TestGate {
  explicit Gate(int needed = 1) : m_needed(needed) {}
  void Arrive() {
    if (--m_needed == 0) Open();
  }
  std::atomic<int> m_needed;
};

// Waits until the pool is idle and every dedicated thread has ended.
void ExpectNoTaskLeft() {
  EXPECT_TRUE(AsyncTask::WaitForThreadPoolIdle(kLongWait));
  EXPECT_TRUE(AsyncTask::WaitForDedicatedThreads(kLongWait));
}

// Opens `gate` when the test body leaves, also through a failed ASSERT, and
// waits for the pool and the dedicated threads, so that no task outlives the
// gates on the test's stack.
auto OpenAtExit(Gate& gate) {
  return std::unique_ptr<Gate, void (*)(Gate*)>(&gate, [](Gate* g) {
    g->Open();
    ExpectNoTaskLeft();
  });
}

// A pool of two workers, so that tests also run with it saturated. Only the
// first call in the process takes effect; every test here asks for 2. Nothing
// a test started may outlive it.
class AsyncTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AsyncTask::SetThreadPoolSize(2);
    ASSERT_EQ(AsyncTask::GetThreadPoolSize(), 2u);
  }
  void TearDown() override { ExpectNoTaskLeft(); }
};

// Expects `fn` to throw the library's exception E with this message and error
// code, the error named after its code.
template <class E, class Fn>
void ExpectThrown(Fn fn, const char* message, uint32_t code) {
  const auto described = [](const E& error) {
    return error.GetMessage().toStdString() + " " + TLog::FormatErrorCode(error.GetError().GetCode()) + " " +
           error.GetError().GetMessage().toStdString();
  };
  const std::string hex = TLog::FormatErrorCode(code);
  EXPECT_EQ(kelcache_test::RaisedText<E>(fn, described),
            message + (" " + hex) + " KelvraException_AutoGen_" + hex);
}

TEST_F(AsyncTaskTest, AsynchronousTaskRunsOnAnotherThreadAndDeliversItsValue) {
  const auto caller = std::this_thread::get_id();
  // The mode as the int callers keep; a mode other than 1 and 2 runs
  // asynchronously too. Every fetch and every copy gives the one value.
  for (int mode : {1, 7}) {
    std::atomic<int> runs{0};
    Future<bool> onOtherThread = AsyncTask::Launch(mode, [&] {
      ++runs;
      return std::this_thread::get_id() != caller;
    });
    ASSERT_TRUE(onOtherThread.Valid());
    Future<bool> copy = onOtherThread;
    EXPECT_NE(onOtherThread.WaitFor(kLongWait), FutureStatus::Deferred);
    EXPECT_TRUE(onOtherThread.Get());
    EXPECT_TRUE(onOtherThread.Get());
    EXPECT_TRUE(copy.Get());
    EXPECT_TRUE(onOtherThread.IsReady());
    EXPECT_EQ(onOtherThread.WaitFor(0ms), FutureStatus::Ready);
    Future<void> done = AsyncTask::Launch(mode, [&] { ++runs; });
    done.Get();
    done.Get();
    EXPECT_EQ(runs, 2);
  }
  // A move-only task is accepted.
  auto owned = std::make_unique<int>(5);
  EXPECT_EQ(AsyncTask::Launch(LaunchMode::Asynchronous, [p = std::move(owned)] { return *p; }).Get(), 5);

  // Timed waits, however short or long, end Timeout while it runs, Ready after.
  Gate release;
  Future<int> held = AsyncTask::Launch(LaunchMode::Asynchronous, [&] { return release.Wait(), 4; });
  for (auto wait : {10ms, 0ms, -10ms, std::chrono::milliseconds::min()}) {
    EXPECT_EQ(held.WaitFor(wait), FutureStatus::Timeout) << wait.count();
  }
  EXPECT_FALSE(held.IsReady());
  release.Open();
  EXPECT_EQ(held.WaitFor(kLongWait), FutureStatus::Ready);
  EXPECT_EQ(held.WaitFor(-5ms), FutureStatus::Ready);
  EXPECT_EQ(held.Get(), 4);
}

TEST_F(AsyncTaskTest, DeferredTaskRunsOnlyOnUntimedWaitOrFetchOnTheWaitingThread) {
  const auto caller = std::this_thread::get_id();
  std::atomic<int> runs{0};
  std::thread::id ranOn;
  Future<int> waited = AsyncTask::Launch(LaunchMode::Deferred, [&] {
    ++runs;
    ranOn = std::this_thread::get_id();
    return 11;
  });
  // Timed waits, however long or short, never run it.
  for (auto wait : {50ms, 0ms, -5ms, AsyncTask::kNoTimeLimit}) {
    EXPECT_EQ(waited.WaitFor(wait), FutureStatus::Deferred) << wait.count();
  }
  EXPECT_FALSE(waited.IsReady());
  EXPECT_EQ(runs, 0);

  waited.Wait();
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(ranOn, caller);
  EXPECT_EQ(waited.WaitFor(0ms), FutureStatus::Ready);
  EXPECT_EQ(waited.Get(), 11);
  EXPECT_EQ(runs, 1);

  // A deferred future that nobody waits for never runs its task, and dropping
  // it frees the task.
  auto witness = std::make_shared<int>(0);
  std::weak_ptr<int> weakWitness = witness;
  {
    Future<int> dropped =
        AsyncTask::Launch(LaunchMode::Deferred, [&runs, witness = std::move(witness)] { return ++runs; });
    EXPECT_EQ(dropped.WaitFor(10ms), FutureStatus::Deferred);
  }
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(weakWitness.expired());
}

TEST_F(AsyncTaskTest, DeferredTaskRunsOnceWhenSeveralThreadsWait) {
  std::atomic<int> runs{0};
  Gate started;
  Gate release;
  Future<int> future = AsyncTask::Launch(LaunchMode::Deferred, [&] {
    ++runs;
    started.Open();
    release.Wait();
    return 3;
  });
  int first = 0;
  int second = 0;
  std::thread owner([&] { first = future.Get(); });
  EXPECT_TRUE(started.Wait());
  // Taken and running: a timed wait now times out instead of saying Deferred.
  EXPECT_EQ(future.WaitFor(10ms), FutureStatus::Timeout);
  std::thread waiter([&] { second = future.Get(); });
  release.Open();
  owner.join();
  waiter.join();
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(first, 3);
  EXPECT_EQ(second, 3);
}

TEST_F(AsyncTaskTest, ExceptionOfTaskIsRethrownByEveryGetKeepingItsType) {
  for (LaunchMode mode : {LaunchMode::Asynchronous, LaunchMode::Deferred}) {
    Future<bool> failing =
        AsyncTask::Launch(mode, []() -> bool { throw std::runtime_error("disk on fire"); });
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_EQ(kelcache_test::RaisedText<std::runtime_error>([&] { failing.Get(); }), "disk on fire");
    }
    EXPECT_EQ(failing.WaitFor(0ms), FutureStatus::Ready);
    Future<void> logic = AsyncTask::Launch(mode, [] { ThrowLogicException("host/Test", 7, "x"); });
    EXPECT_THROW(logic.Get(), LogicException);
  }
}

TEST_F(AsyncTaskTest, PromiseSetsOnceAndBreaksWhenAbandoned) {
  AsyncTask::Promise<int> promise;
  Future<int> future = promise.GetFuture();
  EXPECT_EQ(future.WaitFor(0ms), FutureStatus::Timeout);
  promise.SetValue(1);
  ExpectThrown<AsyncTask::PromiseAlreadySetException>([&] { promise.SetValue(2); }, "PromiseAlreadySet",
                                                      0xD45B78CE);
  EXPECT_THROW(promise.SetException(std::make_exception_ptr(std::runtime_error("late"))),
               AsyncTask::PromiseAlreadySetException);
  EXPECT_EQ(future.Get(), 1);

  // Abandoned before it was set: the state becomes ready with BrokenPromise.
  Future<void> broken;
  {
    AsyncTask::Promise<void> abandoned;
    broken = abandoned.GetFuture();
  }
  EXPECT_TRUE(broken.IsReady());
  ExpectThrown<AsyncTask::BrokenPromiseException>([&] { broken.Get(); }, "BrokenPromise", 0x84ABA352);

  // Abandoned after it was set, or after its state moved on: nothing changes.
  Future<int> kept;
  {
    AsyncTask::Promise<int> source;
    kept = source.GetFuture();
    AsyncTask::Promise<int> target = std::move(source);
    target.SetValue(9);
  }
  EXPECT_EQ(kept.Get(), 9);

  // Move-assigning over a pending promise abandons its state.
  AsyncTask::Promise<int> first;
  Future<int> firstFuture = first.GetFuture();
  first = AsyncTask::Promise<int>();
  EXPECT_THROW(firstFuture.Get(), AsyncTask::BrokenPromiseException);

  AsyncTask::Promise<void> failed;
  failed.SetException(std::make_exception_ptr(std::logic_error("no")));
  EXPECT_THROW(failed.GetFuture().Get(), std::logic_error);
}

TEST_F(AsyncTaskTest, TaskCanceledBeforeStartDoesNotRun) {
  auto event = std::make_shared<AsyncTask::CancelEvent>();
  event->Signal();
  AsyncTask::Cancel::Scope scope(event);
  for (LaunchMode mode : {LaunchMode::Asynchronous, LaunchMode::Deferred}) {
    std::atomic<bool> ran{false};
    Future<bool> future = AsyncTask::Launch(mode, [&] {
      ran = true;
      return true;
    });
    ExpectThrown<AsyncTask::CancelException>([&] { future.Get(); }, "Canceled", AsyncTask::kCancelCode);
    EXPECT_FALSE(ran);

    // Told to ignore a cancel before start, it runs anyway.
    Future<bool> stubborn = AsyncTask::Launch(
        mode, [&] { return AsyncTask::Cancel::IsCanceled(); }, AsyncTask::LaunchOptions{0, true});
    EXPECT_TRUE(stubborn.Get());
  }
  // A deferred task is judged when it would start, not at launch.
  AsyncTask::Cancel::Scope fresh(std::make_shared<AsyncTask::CancelEvent>());
  std::atomic<bool> ran{false};
  Future<void> late = AsyncTask::Launch(LaunchMode::Deferred, [&] { ran = true; });
  AsyncTask::Cancel::Get()->Signal();
  EXPECT_THROW(late.Get(), AsyncTask::CancelException);
  EXPECT_FALSE(ran);
}

TEST_F(AsyncTaskTest, TaskRunsUnderLaunchersCancelEventWithDepthPlusOne) {
  auto event = std::make_shared<AsyncTask::CancelEvent>();
  AsyncTask::Cancel::Scope scope(event);
  AsyncTask::TLS::DepthScope depth(5);

  // What a task sees: its cancel event and its depth.
  using Context = std::pair<AsyncTask::CancelEvent*, int>;
  auto context = [] { return Context{AsyncTask::Cancel::Get().get(), AsyncTask::TLS::GetDepth()}; };
  for (LaunchMode mode : {LaunchMode::Asynchronous, LaunchMode::Deferred}) {
    auto [own, nested] =
        AsyncTask::Launch(mode, [context] {
          return std::pair{context(), AsyncTask::Launch(LaunchMode::Asynchronous, context).Get()};
        }).Get();
    EXPECT_EQ(own, Context(event.get(), 6));
    EXPECT_EQ(nested, Context(event.get(), 7));
    // The deferred task ran here; this thread's own settings are back.
    EXPECT_EQ(context(), Context(event.get(), 5));
  }

  // Launched from a thread without an event: the task has none either, even
  // on a worker that earlier ran a task under an event.
  std::thread plain([context] {
    EXPECT_EQ(context().first, nullptr);
    EXPECT_FALSE(AsyncTask::Cancel::IsCanceled());
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(AsyncTask::Launch(LaunchMode::Asynchronous, context).Get(), Context(nullptr, 1));
    }
  });
  plain.join();
}

TEST_F(AsyncTaskTest, NestedTasksCompleteOnSaturatedSmallPool) {
  // Each outer task launches an inner one and waits for it. With a queue
  // behind two workers, the inner tasks would wait for workers that wait for
  // them; without one they run on dedicated threads.
  constexpr int kTasks = 200;
  std::vector<Future<int>> outers;
  outers.reserve(kTasks);
  for (int i = 0; i < kTasks; ++i) {
    outers.push_back(AsyncTask::Launch(LaunchMode::Asynchronous, [i] {
      return AsyncTask::Launch(LaunchMode::Asynchronous, [i] { return i; }).Get() + 1;
    }));
  }
  long long sum = 0;
  for (auto& outer : outers) {
    ASSERT_EQ(outer.WaitFor(kLongWait), FutureStatus::Ready);
    sum += outer.Get();
  }
  EXPECT_EQ(sum, static_cast<long long>(kTasks) * (kTasks + 1) / 2);
}

// WaitEvent and the spin that precedes its sleeps: hand-overs must never be
// lost, whether the waiter is still spinning or already asleep in the kernel,
// and every waiter must wake.
using AsyncTask::WaitEvent;
using kelvra::appoptions::ScopedOptionOverride;

// Spin budgets: 0 sends every wait to the futex at once; the default spins
// first. Both paths must behave the same.
class WaitEventTest : public ::testing::TestWithParam<int> {
 protected:
  ScopedOptionOverride m_spin{"AsyncTaskSpinMicroseconds", GetParam()};
};

INSTANTIATE_TEST_SUITE_P(SpinBudgets, WaitEventTest, ::testing::Values(0, 50),
                         [](const auto& info) { return "spin" + std::to_string(info.param) + "us"; });

TEST_P(WaitEventTest, TimedWaitsEndAtTheirDeadlineUnlessSet) {
  WaitEvent event;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.WaitFor(30ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  EXPECT_FALSE(event.WaitFor(-5ms)) << "a negative span counts as 0";
  event.Set();
  event.Set();  // setting twice is harmless
  EXPECT_TRUE(event.WaitFor(0ms));
  EXPECT_TRUE(event.WaitFor(std::chrono::hours(24 * 365 * 200))) << "no limit, and set already";
  event.Wait();
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.WaitUntil(std::chrono::steady_clock::now() - 1s));
}

TEST_P(WaitEventTest, SetWakesEveryWaiterAndPublishesWhatWasWrittenBefore) {
  WaitEvent event;
  int payload = 0;  // written before Set, read after the waits: no race
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 6; ++i) {
    waiters.emplace_back([&, i] {
      const bool set = i % 2 == 0 ? (event.Wait(), true) : event.WaitFor(20s);
      if (set && payload == 42) ++woken;
    });
  }
  std::this_thread::sleep_for(20ms);  // let most of them fall asleep
  payload = 42;
  event.Set();
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(woken.load(), 6);
}

// Two threads hand a turn back and forth through two reused events, many
// times: a lost wake-up shows as a hang (the bounded waits then fail).
TEST_P(WaitEventTest, PingPongThroughReusedEventsLosesNoWakeUp) {
  constexpr int kRounds = 20000;
  WaitEvent ping;
  WaitEvent pong;
  std::atomic<bool> lost{false};
  std::thread other([&] {
    for (int i = 0; i < kRounds && !lost; ++i) {
      if (!ping.WaitFor(10s)) lost = true;
      ping.Reset();
      pong.Set();
    }
  });
  for (int i = 0; i < kRounds && !lost; ++i) {
    ping.Set();
    if (!pong.WaitFor(10s)) lost = true;
    pong.Reset();
  }
  if (lost) ping.Set();  // let the other thread leave
  other.join();
  EXPECT_FALSE(lost.load());
}

// The deadline timer: callbacks run once, in deadline order, not before their
// deadline; a cancelled one never runs; and a deadline earlier than the one
// the timer thread sleeps for wakes it (the thread sleeps through later ones).
using AsyncTask::DeadlineTimer;
using Clock = DeadlineTimer::Clock;

// Records which callbacks ran, in order, and when; `done` opens once
// `expected` of them ran.
struct Recorder {
  explicit Recorder(int expected) : done(expected) {}
  std::function<void()> Callback(std::string name) {
    return [this, name] {
      std::lock_guard<std::mutex> lock(mutex);
      names.push_back(name);
      times.push_back(Clock::now());
      done.Arrive();
    };
  }
  std::mutex mutex;
  std::vector<std::string> names;
  std::vector<Clock::time_point> times;
  Gate done;
};

TEST(DeadlineTimerTest, CallbacksRunOnceInDeadlineOrderNeverEarlyAndNeverWhenCancelled) {
  DeadlineTimer& timer = DeadlineTimer::Instance();
  Recorder recorder(4);
  const Clock::time_point start = Clock::now();
  // Scheduled out of order; "late" first, so that the timer sleeps for it and
  // each earlier deadline has to wake it.
  const auto late = timer.Schedule(start + 300ms, recorder.Callback("late"));
  timer.Schedule(start + 150ms, recorder.Callback("middle"));
  const auto cancelled = timer.Schedule(start + 100ms, recorder.Callback("cancelled"));
  timer.Schedule(start + 50ms, recorder.Callback("early"));
  timer.Schedule(start - 1s, recorder.Callback("past"));  // runs at once
  EXPECT_TRUE(timer.Cancel(cancelled));
  EXPECT_FALSE(timer.Cancel(cancelled)) << "a second cancel finds nothing";
  EXPECT_FALSE(timer.Cancel(0)) << "0 is never a handle";
  ASSERT_TRUE(recorder.done.Wait(kLongWait));
  EXPECT_FALSE(timer.Cancel(late)) << "it has run";
  std::lock_guard<std::mutex> lock(recorder.mutex);
  ASSERT_EQ(recorder.names, (std::vector<std::string>{"past", "early", "middle", "late"}));
  EXPECT_GE(recorder.times[1], start + 50ms);
  EXPECT_LT(recorder.times[1], start + 250ms) << "an earlier deadline did not wake the sleeping timer";
  EXPECT_GE(recorder.times[3], start + 300ms);
}

// --- Locks, semaphores and InitOnce ----------------------------------------
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
  RunTogether(4, [&object](int) {
    for (int i = 0; i < 10000; ++i) {
      RefCntPtr<RefCntObject> base = object;  // take and drop references
    }
  });
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

// InitOnce: one creation per slot, however many threads ask at once.

// What InitOnce creates in these tests; counts its destructions.
struct Created {
  static std::atomic<int> s_destroyed;
  explicit Created(int value) : m_value(value) {}
  ~Created() { s_destroyed.fetch_add(1); }
  int m_value;
};
std::atomic<int> Created::s_destroyed{0};

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
}

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

// --- The thread pool and the dedicated threads --------------------------------
// A process whose address space leaves room for only a few more thread
// stacks asks for a pool of 64 workers: the pool keeps those that started,
// and tasks still run, on the pool, on dedicated threads, or at worst on the
// caller's thread, without an exception.
void RunUnderAThreadLimit() {
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t room = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (48u << 20);
  const rlimit limit{room, room};
  if (setrlimit(RLIMIT_AS, &limit) != 0) return;
  AsyncTask::SetThreadPoolSize(64);
  int ran = 0;
  for (int i = 0; i < 20; ++i) {
    AsyncTask::Future<int> future = AsyncTask::Launch(AsyncTask::LaunchMode::Asynchronous, [i] { return i; });
    if (future.Get() == i) ++ran;
  }
  std::printf("value workers=%u\nvalue ran=%d\n", AsyncTask::GetThreadPoolSize(), ran);
}

[[maybe_unused]] const bool s_childMode = kelcache_test::RunIfChildMode("thread-limit", RunUnderAThreadLimit);

class ThreadPoolTest : public AsyncTaskTest {
 protected:
  // Schedules until a worker takes the task; the workers may still be
  // finishing earlier tasks.
  static bool ScheduleSoon(const std::function<void()>& task) {
    return AsyncTask::WaitForThreadPoolIdle(kLongWait) && AsyncTask::ScheduleOnThreadPool(task, 1);
  }
  // A task that arrives at `running`, then waits for `release`.
  static std::function<void()> Blocker(Gate& running, Gate& release) {
    return [&running, &release] {
      running.Arrive();
      release.Wait();
    };
  }
};

TEST_F(ThreadPoolTest, WorkersSurviveTasksThatThrowAndRefuseTasksWhileAllAreBusy) {
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(ScheduleSoon([] { throw std::runtime_error("escaped"); }));
  }
  ASSERT_TRUE(ScheduleSoon(std::function<void()>()));  // an empty task does nothing
  AsyncTask::RunOnDedicatedThread([] { throw std::runtime_error("escaped"); });

  // Both workers still serve.
  Gate bothRunning(2);
  Gate release;
  auto releaseAtExit = OpenAtExit(release);
  auto blocker = Blocker(bothRunning, release);
  ASSERT_TRUE(ScheduleSoon(blocker));
  ASSERT_TRUE(AsyncTask::ScheduleOnThreadPool(blocker, 1));
  // Both workers are claimed even before they start: a third task is refused
  // at once, never queued, and not run.
  std::atomic<bool> refusedRan{false};
  EXPECT_FALSE(AsyncTask::ScheduleOnThreadPool([&] { refusedRan = true; }, 1));
  ASSERT_TRUE(bothRunning.Wait());
  EXPECT_FALSE(AsyncTask::ScheduleOnThreadPool([&] { refusedRan = true; }, 5));
  EXPECT_FALSE(AsyncTask::WaitForThreadPoolIdle(10ms));

  // The fallback runs what the pool refused.
  Gate fallbackRan;
  AsyncTask::StartOnPoolOrDedicatedThread([&] { fallbackRan.Open(); });
  EXPECT_TRUE(fallbackRan.Wait());

  release.Open();
  EXPECT_TRUE(AsyncTask::WaitForThreadPoolIdle(kLongWait));
  EXPECT_FALSE(refusedRan);
  Gate again;
  EXPECT_TRUE(AsyncTask::ScheduleOnThreadPool([&] { again.Open(); }, 1));
  EXPECT_TRUE(again.Wait());
}

TEST_F(ThreadPoolTest, DedicatedThreadsAreCountedUntilTheirTaskEnds) {
  ASSERT_TRUE(AsyncTask::WaitForDedicatedThreads(kLongWait));
  Gate allRunning(3);
  Gate release;
  auto releaseAtExit = OpenAtExit(release);
  for (int i = 0; i < 3; ++i) {
    AsyncTask::RunOnDedicatedThread(Blocker(allRunning, release));
  }
  ASSERT_TRUE(allRunning.Wait());
  EXPECT_EQ(AsyncTask::GetDedicatedThreadCount(), 3u);
  EXPECT_FALSE(AsyncTask::WaitForDedicatedThreads(10ms));
  EXPECT_FALSE(AsyncTask::WaitForDedicatedThreads(-10ms));
  release.Open();
  EXPECT_TRUE(AsyncTask::WaitForDedicatedThreads(kLongWait));
  EXPECT_EQ(AsyncTask::GetDedicatedThreadCount(), 0u);
}

// Runs `count` tasks on dedicated threads at once (each waits until all have
// started, so none can reuse another's thread) and waits until they ended.
void RunDedicatedBurst(int count) {
  Gate allRunning(count);
  for (int i = 0; i < count; ++i) {
    AsyncTask::RunOnDedicatedThread([&] {
      allRunning.Arrive();
      allRunning.Wait();
    });
  }
  ASSERT_TRUE(allRunning.Wait());
  ASSERT_TRUE(AsyncTask::WaitForDedicatedThreads(kLongWait));
}

TEST_F(ThreadPoolTest, FinishedDedicatedThreadsParkAndServeTheNextBurstWithoutNewThreads) {
  AsyncTask::SetParkedThreadLimits(64, 30s);
  const unsigned parkedBefore = AsyncTask::GetParkedThreadCount();
  const uint64_t before = AsyncTask::GetThreadsCreated();
  RunDedicatedBurst(5);
  const uint64_t afterFirst = AsyncTask::GetThreadsCreated();
  EXPECT_LE(afterFirst - before, 2 * 5u) << "at most one spare beside each new thread";
  EXPECT_GE(AsyncTask::GetParkedThreadCount(), 5u);
  EXPECT_GE(afterFirst - before + parkedBefore, 5u) << "threads either new or parked before";
  for (int round = 0; round < 3; ++round) RunDedicatedBurst(5);
  EXPECT_EQ(AsyncTask::GetThreadsCreated(), afterFirst) << "later bursts reuse parked threads";

  // Tasks handed to parked threads still fail alone and still run in order
  // of their own: a throwing task leaves its thread usable.
  AsyncTask::RunOnDedicatedThread([] { throw std::runtime_error("escaped"); });
  Gate ran;
  AsyncTask::RunOnDedicatedThread([&] { ran.Open(); });
  EXPECT_TRUE(ran.Wait());
  EXPECT_EQ(AsyncTask::GetThreadsCreated(), afterFirst);
}

TEST_F(ThreadPoolTest, ParkedThreadsRespectTheCapAndEndAfterTheIdleTimeOut) {
  const auto deadline = std::chrono::steady_clock::now() + kLongWait;
  auto parkedComesTo = [&](auto wanted) {
    while (!wanted(AsyncTask::GetParkedThreadCount()) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    return wanted(AsyncTask::GetParkedThreadCount());
  };
  AsyncTask::SetParkedThreadLimits(64, 30s);
  RunDedicatedBurst(5);
  ASSERT_TRUE(parkedComesTo([](unsigned n) { return n >= 5; }));

  // New limits hold for threads parked before them too.
  AsyncTask::SetParkedThreadLimits(2, 30s);
  EXPECT_TRUE(parkedComesTo([](unsigned n) { return n <= 2; })) << "threads beyond a lowered cap end";
  RunDedicatedBurst(5);
  EXPECT_LE(AsyncTask::GetParkedThreadCount(), 2u) << "threads beyond the cap end with their task";
  AsyncTask::SetParkedThreadLimits(2, 50ms);
  EXPECT_TRUE(parkedComesTo([](unsigned n) { return n == 0; })) << "parked threads end after a shortened time-out";

  // With no parked thread left, a new task makes a new thread (and a spare
  // that parks) and still runs.
  AsyncTask::SetParkedThreadLimits(2, 30s);
  const uint64_t before = AsyncTask::GetThreadsCreated();
  Gate ran;
  AsyncTask::RunOnDedicatedThread([&] { ran.Open(); });
  EXPECT_TRUE(ran.Wait());
  EXPECT_TRUE(AsyncTask::WaitForDedicatedThreads(kLongWait));
  EXPECT_TRUE(parkedComesTo([](unsigned n) { return n == 2; }));
  EXPECT_EQ(AsyncTask::GetThreadsCreated(), before + 2);
  AsyncTask::SetParkedThreadLimits(64, 30s);
}

}  // namespace

// Address-space limits and the sanitizers' shadow memory do not mix.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(ThreadPoolLimits, APoolThatCannotStartEveryWorkerKeepsThoseThatStartedAndTasksStillRun) {
  kelcache_test::ChildModeResult child = kelcache_test::RunChildMode("thread-limit", {});
  ASSERT_EQ(child.exitCode, 0) << child.output;
  EXPECT_EQ(child.values["ran"], "20") << child.output;
  ASSERT_FALSE(child.values["workers"].empty()) << child.output;
  EXPECT_LT(std::stoi(child.values["workers"]), 64) << "the limit left room for every worker";
}
#endif

