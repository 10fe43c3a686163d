// The thread pool and the dedicated threads: busy workers refuse tasks,
// finished dedicated threads park for the next burst within a cap and an idle
// time-out, a pool that cannot start every worker still runs tasks, running
// out of memory while threads start or park leaves no thread behind and ends
// no process, and a child forked without exec runs its tasks on threads of
// its own.
#include "host/ThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>

#include "host/AsyncTask.h"
#include "host/DeadlineTimer.h"
#include "host/WaitEvent.h"
#include "tests/host/ConcurrencyTestSupport.h"
#include "tests/support/ChildMode.h"
#include "tests/support/FailingAllocation.h"
#include "tests/support/ForkedChild.h"

namespace {

using namespace concurrency_test;

// Opens `gate` when the test body leaves, also through a failed ASSERT, and
// waits for the pool and the dedicated threads, so that no task outlives the
// gates on the test's stack.
auto OpenAtExit(Gate& gate) {
  return std::unique_ptr<Gate, void (*)(Gate*)>(&gate, [](Gate* g) {
    g->Open();
    ExpectNoTaskLeft();
  });
}

// A process whose address space leaves room for only a few more thread
// stacks asks for a pool of 64 workers: the pool keeps those that started,
// and tasks still run, on the pool, on dedicated threads, or at worst on the
// caller's thread, without an exception.
void RunUnderAThreadLimit() {
  if (!kelcache_test::LimitAddressSpaceToCurrentPlus(48u << 20)) return;
  AsyncTask::SetThreadPoolSize(64);
  int ran = 0;
  for (int i = 0; i < 20; ++i) {
    AsyncTask::Future<int> future = AsyncTask::Launch(AsyncTask::LaunchMode::Asynchronous, [i] { return i; });
    if (future.Get() == i) ++ran;
  }
  std::printf("value workers=%u\nvalue ran=%d\n", AsyncTask::GetThreadPoolSize(), ran);
}

[[maybe_unused]] const bool s_childMode = kelcache_test::RunIfChildMode("thread-limit", RunUnderAThreadLimit);

// A pool size past the cap, from the option and from SetThreadPoolSize,
// before the pool is made: both are taken as the cap (a mistyped size would
// take every thread the system allows, or reserve gigabytes, at the first
// task).
void AskForTooLargeAPool() {
  std::printf("value option=%u\n", AsyncTask::GetThreadPoolSize());
  AsyncTask::SetThreadPoolSize(4000000000u);
  std::printf("value set=%u\n", AsyncTask::GetThreadPoolSize());
}
[[maybe_unused]] const bool s_capMode = kelcache_test::RunIfChildMode("pool-cap", AskForTooLargeAPool);

// Every allocation of the pool's first task fails in turn, among them the
// start of each worker: a worker that started keeps its pool (none is left
// waiting on a pool that is gone, so every thread made is a worker of the
// pool), and tasks run on the pool afterwards.
void MakeThePoolWhileAllocationsFail() {
  AsyncTask::SetThreadPoolSize(4);
  std::atomic<int> ran{0};
  int scheduled = 0;
  const auto schedule = [&] {
    if (AsyncTask::WaitForThreadPoolIdle(10s) && AsyncTask::ScheduleOnThreadPool([&ran] { ++ran; }, 1)) ++scheduled;
  };
  for (long n = 0; kelcache_test::RunFailingAllocation(n, schedule); ++n) {
  }
  for (int i = 0; i < 10; ++i) schedule();
  AsyncTask::WaitForThreadPoolIdle(10s);
  std::printf("value created=%llu\nvalue workers=%u\nvalue scheduled=%d\nvalue ran=%d\n",
              static_cast<unsigned long long>(AsyncTask::GetThreadsCreated()), AsyncTask::GetThreadPoolSize(),
              scheduled, ran.load());
}
[[maybe_unused]] const bool s_poolAllocationMode =
    kelcache_test::RunIfChildMode("pool-allocation", MakeThePoolWhileAllocationsFail);

// A dedicated thread whose listing among the parked ones finds no memory
// ends, instead of ending the process; the next task still runs.
void ParkWhileAnAllocationFails() {
  // Leaked on purpose: it must outlive the task, so that the allocation that
  // fails is the first one after it on that thread, the parked list's growth.
  AsyncTask::RunOnDedicatedThread([] { new kelcache_test::FailAllocationAfter(0); });
  const bool settled = AsyncTask::WaitForDedicatedThreads(10s);
  AsyncTask::WaitEvent ran;
  AsyncTask::RunOnDedicatedThread([&ran] { ran.Set(); });
  std::printf("value settled=%d\nvalue ran=%d\n", settled, ran.WaitFor(10s));
  AsyncTask::WaitForDedicatedThreads(10s);
}
[[maybe_unused]] const bool s_parkAllocationMode =
    kelcache_test::RunIfChildMode("park-allocation", ParkWhileAnAllocationFails);

// Runs `count` tasks on dedicated threads at once (each waits until all have
// started and are released, so none can reuse another's thread): they are
// counted until they end, and waiting for them ends only then.
void RunDedicatedBurst(unsigned count) {
  Gate allRunning(count), release;
  auto releaseAtExit = OpenAtExit(release);
  for (unsigned i = 0; i < count; ++i) AsyncTask::RunOnDedicatedThread([&] { allRunning.Arrive(), release.Wait(); });
  ASSERT_TRUE(allRunning.Wait());
  EXPECT_EQ(AsyncTask::GetDedicatedThreadCount(), count);
  EXPECT_FALSE(AsyncTask::WaitForDedicatedThreads(10ms));
  EXPECT_FALSE(AsyncTask::WaitForDedicatedThreads(-10ms));
  release.Open();
  ASSERT_TRUE(AsyncTask::WaitForDedicatedThreads(kLongWait));
}

class ThreadPoolTest : public AsyncTaskTest {
 protected:
  // Schedules until a worker takes the task; the workers may still be
  // finishing earlier tasks.
  static bool ScheduleSoon(const std::function<void()>& task) {
    return AsyncTask::WaitForThreadPoolIdle(kLongWait) && AsyncTask::ScheduleOnThreadPool(task, 1);
  }
};

TEST_F(ThreadPoolTest, WorkersSurviveTasksThatThrowAndRefuseTasksWhileAllAreBusy) {
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(ScheduleSoon([] { throw std::runtime_error("escaped"); }));
  ASSERT_TRUE(ScheduleSoon(std::function<void()>()));  // an empty task does nothing

  // Both workers still serve.
  Gate bothRunning(2);
  Gate release;
  auto releaseAtExit = OpenAtExit(release);
  const auto blocker = [&] { bothRunning.Arrive(), release.Wait(); };
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

// Dedicated threads are counted while they run; finished ones park and serve
// the next bursts, within the cap and until the idle time-out; new limits
// hold for threads parked before them.
TEST_F(ThreadPoolTest, FinishedDedicatedThreadsParkForTheNextBurstWithinTheCapAndTheIdleTimeOut) {
  AsyncTask::SetParkedThreadLimits(64, std::chrono::milliseconds::max());  // for good
  const uint64_t createdBefore = AsyncTask::GetThreadsCreated();
  RunDedicatedBurst(5);
  const uint64_t afterFirst = AsyncTask::GetThreadsCreated();
  EXPECT_LE(afterFirst - createdBefore, 2 * 5u) << "at most one spare beside each new thread";
  ASSERT_GE(AsyncTask::GetParkedThreadCount(), 5u);
  for (int round = 0; round < 3; ++round) RunDedicatedBurst(5);
  EXPECT_EQ(AsyncTask::GetThreadsCreated(), afterFirst) << "later bursts reuse parked threads";

  // Tasks handed to parked threads still fail alone: a throwing task leaves
  // its thread parked again, and the next task runs.
  const unsigned parked = AsyncTask::GetParkedThreadCount();
  AsyncTask::RunOnDedicatedThread([] { throw std::runtime_error("escaped"); });
  EXPECT_TRUE(WaitUntil([&] { return AsyncTask::GetParkedThreadCount() == parked; }, kLongWait))
      << "the thread that ran the throwing task did not park again";
  RunDedicatedBurst(1);
  EXPECT_EQ(AsyncTask::GetThreadsCreated(), afterFirst);

  AsyncTask::SetParkedThreadLimits(2, 30s);
  EXPECT_TRUE(WaitUntil([] { return AsyncTask::GetParkedThreadCount() <= 2; }, kLongWait))
      << "threads beyond a lowered cap end";
  RunDedicatedBurst(5);
  EXPECT_LE(AsyncTask::GetParkedThreadCount(), 2u) << "threads beyond the cap end with their task";
  AsyncTask::SetParkedThreadLimits(2, 50ms);
  EXPECT_TRUE(WaitUntil([] { return AsyncTask::GetParkedThreadCount() == 0; }, kLongWait))
      << "parked threads end after a shortened time-out";

  // With no parked thread left, a new task makes a new thread (and a spare
  // that parks) and still runs.
  AsyncTask::SetParkedThreadLimits(2, 30s);
  const uint64_t before = AsyncTask::GetThreadsCreated();
  RunDedicatedBurst(1);
  EXPECT_TRUE(WaitUntil([] { return AsyncTask::GetParkedThreadCount() == 2; }, kLongWait));
  EXPECT_EQ(AsyncTask::GetThreadsCreated(), before + 2);
  AsyncTask::SetParkedThreadLimits(64, 30s);
}

// See ForkedChild.h for why ThreadSanitizer leaves this out.
#if !defined(__SANITIZE_THREAD__)
TEST_F(ThreadPoolTest, AChildForkedWithoutExecRunsTasksAndDeadlinesOnThreadsOfItsOwn) {
  // The parent's workers, a parked dedicated thread and the timer thread all
  // exist before the fork; none of them is in the child.
  ASSERT_EQ(AsyncTask::Launch(AsyncTask::LaunchMode::Asynchronous, [] { return 1; }).Get(), 1);
  ASSERT_NO_FATAL_FAILURE(RunDedicatedBurst(1));
  AsyncTask::WaitEvent fired;
  AsyncTask::DeadlineTimer::Instance().Schedule(std::chrono::steady_clock::now(), [&] { fired.Set(); });
  ASSERT_TRUE(fired.WaitFor(kLongWait));
  ASSERT_TRUE(WaitUntil([] { return AsyncTask::GetParkedThreadCount() >= 1; }, kLongWait));

  EXPECT_TRUE(kelcache_test::RunInForkedChild(
      [] {
        int failures = 0;
        if (AsyncTask::Launch(AsyncTask::LaunchMode::Asynchronous, [] { return 42; }).Get() != 42) failures |= 1;
        AsyncTask::WaitEvent dedicated;
        AsyncTask::RunOnDedicatedThread([&] { dedicated.Set(); });
        if (!dedicated.WaitFor(10s)) failures |= 2;
        AsyncTask::WaitEvent deadline;
        AsyncTask::DeadlineTimer::Instance().Schedule(std::chrono::steady_clock::now() + 10ms,
                                                      [&] { deadline.Set(); });
        if (!deadline.WaitFor(10s)) failures |= 4;
        return failures;
      },
      "1: the pool's task, 2: the dedicated thread, 4: the deadline"));
}
#endif

}  // namespace

TEST(ThreadPoolLimits, APoolSizePastTheCapIsTakenAsTheCap) {
  kelcache_test::ChildModeResult child = kelcache_test::RunChildMode("pool-cap", {"KELCACHE_ThreadPoolSize=2147483647"});
  ASSERT_EQ(child.exitCode, 0) << child.output;
  EXPECT_EQ(child.values["option"], std::to_string(AsyncTask::kMaxThreadPoolSize)) << child.output;
  EXPECT_EQ(child.values["set"], std::to_string(AsyncTask::kMaxThreadPoolSize)) << child.output;
}

// The sanitizers' runtimes own operator new, so no allocation fails there.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(ThreadPoolLimits, RunningOutOfMemoryWhileWorkersStartLeavesOnlyThePoolsWorkers) {
  kelcache_test::ChildModeResult child = kelcache_test::RunChildMode("pool-allocation", {});
  ASSERT_EQ(child.exitCode, 0) << child.output;
  EXPECT_EQ(child.values["created"], child.values["workers"]) << "a thread outlived its pool";
  EXPECT_NE(child.values["workers"], "0") << child.output;
  EXPECT_EQ(child.values["ran"], child.values["scheduled"]) << child.output;
  EXPECT_NE(child.values["scheduled"], "0") << child.output;
}

TEST(ThreadPoolLimits, RunningOutOfMemoryWhileADedicatedThreadParksEndsOnlyThatThread) {
  kelcache_test::ChildModeResult child = kelcache_test::RunChildMode("park-allocation", {});
  ASSERT_EQ(child.exitCode, 0) << child.output;
  EXPECT_EQ(child.values["settled"], "1") << child.output;
  EXPECT_EQ(child.values["ran"], "1") << child.output;
}
#endif

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
