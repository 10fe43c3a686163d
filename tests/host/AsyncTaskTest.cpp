#include "host/AsyncTask.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/host/TaskTestSupport.h"

namespace {

using namespace std::chrono_literals;
using AsyncTask::Future;
using AsyncTask::FutureStatus;
using AsyncTask::LaunchMode;

using kelcache_test::Gate;
using kelcache_test::kLongWait;

// Expects `fn` to throw an E with this message and error code, the error
// named after its code.
template <class E, class Fn>
void ExpectThrown(Fn fn, const char* message, uint32_t code) {
  try {
    fn();
    ADD_FAILURE() << message << " not thrown";
  } catch (const E& error) {
    EXPECT_EQ(error.GetMessage(), TString(message));
    EXPECT_EQ(error.GetError().GetCode(), code);
    char name[40];
    std::snprintf(name, sizeof name, "KelvraException_AutoGen_0x%08X", code);
    EXPECT_EQ(error.GetError().GetMessage(), TString(name));
  }
}

using AsyncTaskTest = kelcache_test::TwoWorkerPoolTest;

TEST_F(AsyncTaskTest, AsynchronousTaskRunsOnAnotherThreadAndDeliversItsValue) {
  const auto caller = std::this_thread::get_id();
  std::atomic<bool> otherThread{false};
  Future<bool> flag = AsyncTask::Launch(LaunchMode::Asynchronous, [&] {
    otherThread = std::this_thread::get_id() != caller;
    return true;
  });
  ASSERT_TRUE(flag.Valid());
  EXPECT_TRUE(flag.Get());
  EXPECT_TRUE(otherThread);
  EXPECT_TRUE(flag.IsReady());
  EXPECT_EQ(flag.WaitFor(0ms), FutureStatus::Ready);

  // Buffers are shared, never copied; every fetch and every copy of the
  // future gives the same value.
  auto bytes = std::make_shared<std::vector<uint8_t>>(std::vector<uint8_t>{1, 2, 3});
  Future<std::shared_ptr<std::vector<uint8_t>>> buffer =
      AsyncTask::Launch(1, [bytes] { return bytes; });  // mode as the int callers keep
  Future<std::shared_ptr<std::vector<uint8_t>>> copy = buffer;
  EXPECT_EQ(buffer.Get(), bytes);
  EXPECT_EQ(buffer.Get(), bytes);
  EXPECT_EQ(copy.Get(), bytes);

  std::atomic<int> runs{0};
  Future<void> done = AsyncTask::Launch(LaunchMode::Asynchronous, [&] { ++runs; });
  done.Get();
  done.Get();
  EXPECT_EQ(runs, 1);

  // A mode other than 1 and 2 runs asynchronously too.
  Future<int> other = AsyncTask::Launch(7, [] { return 7; });
  EXPECT_NE(other.WaitFor(kLongWait), FutureStatus::Deferred);
  EXPECT_EQ(other.Get(), 7);

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

  // Get alone runs it too.
  Future<void> fetched = AsyncTask::Launch(LaunchMode::Deferred, [&] { ++runs; });
  fetched.Get();
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

TEST_F(AsyncTaskTest, ExceptionOfTaskIsRethrownByEveryGet) {
  for (LaunchMode mode : {LaunchMode::Asynchronous, LaunchMode::Deferred}) {
    Future<bool> failing =
        AsyncTask::Launch(mode, []() -> bool { throw std::runtime_error("disk on fire"); });
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        failing.Get();
        ADD_FAILURE() << "Get returned";
      } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "disk on fire");
      }
    }
    EXPECT_EQ(failing.WaitFor(0ms), FutureStatus::Ready);

    // The exception keeps its type.
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

  // The same rule on a ready future's state.
  Future<bool> ready = AsyncTask::MakeReadyFuture(true);
  EXPECT_THROW(ready.GetState()->SetValue(false), AsyncTask::PromiseAlreadySetException);
  EXPECT_TRUE(ready.Get());

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

  struct Seen {
    AsyncTask::CancelEvent* event;
    int depth;
    int nestedDepth;
    AsyncTask::CancelEvent* nestedEvent;
  };
  auto observe = [] {
    Future<std::pair<AsyncTask::CancelEvent*, int>> nested = AsyncTask::Launch(LaunchMode::Asynchronous, [] {
      return std::make_pair(AsyncTask::Cancel::Get().get(), AsyncTask::TLS::GetDepth());
    });
    auto [nestedEvent, nestedDepth] = nested.Get();
    return Seen{AsyncTask::Cancel::Get().get(), AsyncTask::TLS::GetDepth(), nestedDepth, nestedEvent};
  };
  for (LaunchMode mode : {LaunchMode::Asynchronous, LaunchMode::Deferred}) {
    Seen seen = AsyncTask::Launch(mode, observe).Get();
    EXPECT_EQ(seen.event, event.get());
    EXPECT_EQ(seen.depth, 6);
    EXPECT_EQ(seen.nestedEvent, event.get());
    EXPECT_EQ(seen.nestedDepth, 7);
    // The deferred task ran here; this thread's own settings are back.
    EXPECT_EQ(AsyncTask::Cancel::Get(), event);
    EXPECT_EQ(AsyncTask::TLS::GetDepth(), 5);
  }

  // Launched from a thread without an event: the task has none either, even
  // on a worker that earlier ran a task under an event.
  std::thread plain([] {
    EXPECT_EQ(AsyncTask::Cancel::Get(), nullptr);
    EXPECT_FALSE(AsyncTask::Cancel::IsCanceled());
    for (int i = 0; i < 4; ++i) {
      auto [taskEvent, taskDepth] =
          AsyncTask::Launch(LaunchMode::Asynchronous, [] {
            return std::make_pair(AsyncTask::Cancel::Get(), AsyncTask::TLS::GetDepth());
          }).Get();
      EXPECT_EQ(taskEvent, nullptr);
      EXPECT_EQ(taskDepth, 1);
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

}  // namespace
