// AsyncTask: asynchronous and deferred launches, futures and promises,
// exceptions, cancellation, and the depth a task runs at.
#include "host/AsyncTask.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/Errors.h"
#include "host/LogFormat.h"
#include "tests/host/ConcurrencyTestSupport.h"
#include "tests/support/FailingAllocation.h"
#include "tests/support/TestEnvironment.h"

namespace {

using namespace concurrency_test;
using AsyncTask::Future;
using AsyncTask::FutureStatus;
using AsyncTask::LaunchMode;

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

// A missing outcome or task is refused where it is given, naming the check,
// rather than leaving a future that reports success or waits for good; a
// null function pointer fails its future as an empty std::function does.
TEST_F(AsyncTaskTest, NullOutcomesAndTasksAreRefusedWhereTheyAreGiven) {
  AsyncTask::Promise<void> promise;
  EXPECT_THAT(kelcache_test::LogicExceptionSite([&] { promise.SetException(nullptr); }),
              testing::MatchesRegex("host/AsyncTaskSharedState:[0-9]+ error"));
  promise.SetValue();  // the refusal left the promise pending
  AsyncTask::SharedState<int> state;
  EXPECT_THAT(kelcache_test::LogicExceptionSite([&] { state.SetDeferred({}); }),
              testing::MatchesRegex("host/AsyncTaskSharedState:[0-9]+ task"));
  int (*const none)() = nullptr;
  for (LaunchMode mode : {LaunchMode::Asynchronous, LaunchMode::Deferred}) {
    Future<int> future = AsyncTask::Launch(mode, none);
    EXPECT_THROW(future.Get(), std::bad_function_call);
  }
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
    EXPECT_TRUE(copy.Get());
    EXPECT_TRUE(onOtherThread.IsReady());
    Future<void> done = AsyncTask::Launch(mode, [&] { ++runs; });
    done.Get(), done.Get();
    EXPECT_EQ(runs, 2);
  }
  // A move-only task is accepted.
  EXPECT_EQ(AsyncTask::Launch(LaunchMode::Asynchronous, [p = std::make_unique<int>(5)] { return *p; }).Get(),
            5);

  // Timed waits, however short or long, end Timeout while it runs, Ready after.
  Gate release;
  Future<int> held = AsyncTask::Launch(LaunchMode::Asynchronous, [&] { return release.Wait(), 4; });
  for (auto wait : {10ms, 0ms, -10ms, std::chrono::milliseconds::min()}) {
    EXPECT_EQ(held.WaitFor(wait), FutureStatus::Timeout) << wait.count();
  }
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
  EXPECT_EQ(runs, 0);

  waited.Wait();
  EXPECT_EQ(ranOn, caller);
  EXPECT_EQ(waited.WaitFor(0ms), FutureStatus::Ready);
  EXPECT_EQ(waited.Get(), 11);
  EXPECT_EQ(runs, 1);

  // Claimed from outside (as a wait handler may), it runs where the claimant
  // says, once.
  Future<int> claimed = AsyncTask::Launch(LaunchMode::Deferred, [&] { return ++runs; });
  claimed.GetState()->RunDeferredTask();
  EXPECT_EQ(runs, 1) << "not claimed yet";
  ASSERT_TRUE(claimed.GetState()->TryTakingDeferredOwnership());
  EXPECT_FALSE(claimed.GetState()->TryTakingDeferredOwnership());
  claimed.GetState()->RunDeferredTask();
  claimed.GetState()->RunDeferredTask();
  EXPECT_EQ(claimed.WaitFor(0ms), FutureStatus::Ready);
  EXPECT_EQ(claimed.Get(), 2);
  EXPECT_EQ(runs, 2);

  // A deferred future that nobody waits for never runs its task, and dropping
  // it frees the task.
  auto witness = std::make_shared<int>(0);
  std::weak_ptr<int> weakWitness = witness;
  {
    Future<int> dropped =
        AsyncTask::Launch(LaunchMode::Deferred, [&runs, witness = std::move(witness)] { return ++runs; });
    EXPECT_EQ(dropped.WaitFor(10ms), FutureStatus::Deferred);
  }
  EXPECT_EQ(runs, 2);
  EXPECT_TRUE(weakWitness.expired());
}

TEST_F(AsyncTaskTest, DeferredTaskRunsOnceWhenSeveralThreadsWait) {
  std::atomic<int> runs{0};
  Gate started, release, waiting;
  Future<int> future = AsyncTask::Launch(LaunchMode::Deferred, [&] {
    return ++runs, started.Open(), release.Wait(), 3;
  });
  int first = 0, second = 0;
  std::thread owner([&] { first = future.Get(); });
  EXPECT_TRUE(started.Wait());
  // Taken and running: a timed wait now times out instead of saying Deferred.
  EXPECT_EQ(future.WaitFor(10ms), FutureStatus::Timeout);
  std::thread waiter([&] { waiting.Open(), second = future.Get(); });
  // Give the second waiter time to block in Get while the task still runs,
  // so that it is woken by the result rather than finding it ready.
  EXPECT_TRUE(waiting.Wait());
  std::this_thread::sleep_for(20ms);
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
  }
  // A future without a shared state has nothing to give, at every use.
  Future<bool> empty;
  for (int attempt = 0; attempt < 2; ++attempt) {
    ExpectThrown<InvalidFutureException>([&] { empty.Get(); }, "InvalidFuture", AsyncTask::kInvalidFutureCode);
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
  Future<void> broken = AsyncTask::Promise<void>().GetFuture();
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

  // Abandoned while memory runs out: whichever allocation fails, the state
  // still becomes ready, with the broken promise or with what prevented it.
  if (!kelcache_test::AllocationFailuresAvailable()) return;  // the sanitizers' builds
  for (long successes = 0;; ++successes) {
    SCOPED_TRACE(successes);
    auto abandoned = std::make_optional<AsyncTask::Promise<int>>();
    Future<int> future = abandoned->GetFuture();
    const bool failed = kelcache_test::RunFailingAllocation(successes, [&] { abandoned.reset(); });
    ASSERT_TRUE(future.IsReady());
    EXPECT_ANY_THROW(future.Get());
    if (!failed) break;
  }
}

// Setters racing on one state: exactly one outcome is stored, every waiter
// is woken and finds that outcome, and the losers learn that they lost (a
// plain setter by PromiseAlreadySetException, SetExceptionIfPending by false).
TEST_F(AsyncTaskTest, RacingSettersStoreExactlyOneOutcomeThatEveryWaiterSees) {
  constexpr int kSetters = 4;
  for (int round = 0; round < 200; ++round) {
    auto state = std::make_shared<AsyncTask::SharedState<int>>();
    Future<int> future(state);
    std::atomic<int> winner{-1}, wins{0};
    std::vector<std::thread> threads;
    for (int setter = 0; setter < kSetters; ++setter) {
      threads.emplace_back([&, setter] {
        bool won = true;
        try {
          if (setter % 2 == 0) state->SetValue(setter);
        } catch (const AsyncTask::PromiseAlreadySetException&) {
          won = false;
        }
        if (setter % 2)
          won = state->SetExceptionIfPending(std::make_exception_ptr(std::runtime_error(std::to_string(setter))));
        if (won) winner = setter, ++wins;
      });
    }
    std::string seen;
    std::thread waiter([&] {
      try {
        seen = std::to_string(future.Get());
      } catch (const std::runtime_error& error) {
        seen = error.what();
      }
    });
    for (std::thread& thread : threads) thread.join();
    waiter.join();
    ASSERT_EQ(wins.load(), 1) << "round " << round;
    ASSERT_EQ(seen, std::to_string(winner.load())) << "round " << round;
  }
}

TEST_F(AsyncTaskTest, TaskCanceledBeforeStartDoesNotRun) {
  auto event = std::make_shared<AsyncTask::CancelEvent>();
  event->Signal();
  AsyncTask::Cancel::Scope scope(event);
  for (LaunchMode mode : {LaunchMode::Asynchronous, LaunchMode::Deferred}) {
    std::atomic<bool> ran{false};
    Future<void> future = AsyncTask::Launch(mode, [&] { ran = true; });
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
  EXPECT_THROW(late.Get(), CancelException);
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
  std::thread([context] {
    EXPECT_EQ(context().first, nullptr);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(AsyncTask::Launch(LaunchMode::Asynchronous, context).Get(), Context(nullptr, 1));
    }
  }).join();
}

TEST_F(AsyncTaskTest, NestedTasksCompleteOnSaturatedSmallPool) {
  // Each outer task launches an inner one and waits for it. With a queue
  // behind two workers, the inner tasks would wait for workers that wait for
  // them; without one they run on dedicated threads.
  constexpr int kTasks = 200;
  std::vector<Future<int>> outers;
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

}  // namespace
