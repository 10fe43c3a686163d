// Stores wait for the task that runs their store function, so a pool whose
// workers all run stores must never leave those functions without a thread.
// Many concurrent stores, loads and drops must complete whatever the pool
// size, down to a pool of one worker and a pool that refuses every task.
//
// The pool's size is fixed at its first use in a process, so each size runs
// in a child process of its own (this program again, in child mode), as does
// a process that can make no thread at all.

#include <cstdio>
#include <cstdlib>

#include "host/AppOptions.h"
#include "tests/main/caching/external/ExternalTestSupport.h"
#include "tests/support/ChildMode.h"

namespace {

using namespace kelcache_test;

constexpr const char* kPoolSizeVariable = "KELCACHE_TEST_POOL_SIZE";
constexpr int kCallers = 24;
constexpr int kRoundsPerCaller = 40;

// The child: sets the pool size before anything launches a task, runs the
// mix and prints how many operations did not finish within a generous bound
// (a deadlock; the callers then stop) and how many gave a wrong result.
void RunStoresOnPoolOfSize(unsigned workers) {
  AsyncTask::SetThreadPoolSize(workers);
  // A hang is what this looks for: on a loaded machine (a thread per task,
  // sanitizers) a slot or a store may take longer than the defaults allow,
  // which would count as a wrong result here.
  kelvra::appoptions::ScopedOptionOverride slotWait("ExternalCacheConcurrencyTimeoutMs", 60000);
  kelvra::appoptions::ScopedOptionOverride storeTime("ExternalCacheStoreTimeoutMs", 60000);
  kelvra::appoptions::ScopedOptionOverride dropTime("ExternalCacheDropTimeoutMs", 60000);
  ScriptedStore cache(
      u"pool-ns", 0, true,
      [](TString, TString, Value, long long) { std::this_thread::sleep_for(std::chrono::microseconds(200)); },
      [](TString key, TString) { return MakeValue(key.toStdString()); }, [](TString, TString) {});
  std::atomic<int> hung{0};
  std::atomic<int> wrong{0};
  RunTogether(kCallers, [&](int caller) {
    for (int round = 0; round < kRoundsPerCaller; ++round) {
      const TString key = TString::fromStdString("k" + std::to_string(caller) + "-" + std::to_string(round));
      auto stored = cache.TryStore(key, MakeValue("v"), kSlowLoadMs, -1);
      auto loaded = cache.TryLoad(key);
      auto dropped = cache.TryDrop(key);
      for (AsyncTask::FutureStatus status :
           {stored.WaitFor(60s), loaded.WaitFor(60s), dropped.WaitFor(60s)}) {
        if (status != AsyncTask::FutureStatus::Ready) ++hung;
      }
      if (hung > 0) return;
      if (!stored.Get() || !dropped.Get()) ++wrong;
      if (Text(loaded.Get()) != key.toStdString()) ++wrong;
    }
  });
  std::printf("value hung=%d\nvalue wrong=%d\n", hung.load(), wrong.load());
}

[[maybe_unused]] const bool s_childMode = kelcache_test::RunIfChildMode(
    "pool-size", [] { RunStoresOnPoolOfSize(static_cast<unsigned>(std::atoi(std::getenv(kPoolSizeVariable)))); });

// The child: an address space with no room for a thread stack, so neither a
// worker, nor a dedicated thread, nor the time-out timer's thread can be
// made. Timed stores and drops still run their functions and give their
// results, as on a thread of their own; none throws.
void RunStoresWithoutThreads() {
  if (!LimitAddressSpaceToCurrentPlus(2u << 20)) return;
  std::atomic<int> stores{0};
  std::atomic<int> drops{0};
  ScriptedStore cache(
      u"no-threads-ns", 0, true, [&](TString, TString, Value, long long) { ++stores; },
      [](TString, TString) { return Value(); }, [&](TString, TString) { ++drops; });
  int succeeded = 0;
  int threw = 0;
  for (int round = 0; round < 3; ++round) {
    try {
      if (cache.TryStore(u"k", MakeValue("v"), kSlowLoadMs, -1).Get()) ++succeeded;
      if (cache.TryDrop(u"k").Get()) ++succeeded;
    } catch (const std::exception& error) {
      std::printf("value error=%s\n", error.what());
      ++threw;
    }
  }
  std::printf("value succeeded=%d\nvalue threw=%d\nvalue ran=%d\n", succeeded, threw, stores + drops);
}

[[maybe_unused]] const bool s_noThreadsMode =
    kelcache_test::RunIfChildMode("no-threads", RunStoresWithoutThreads);

class FramePoolSizeTest : public ::testing::TestWithParam<unsigned> {};

INSTANTIATE_TEST_SUITE_P(Workers, FramePoolSizeTest, ::testing::Values(0u, 1u, 2u, 64u),
                         [](const auto& info) { return "pool" + std::to_string(info.param); });

TEST_P(FramePoolSizeTest, ManyConcurrentStoresLoadsAndDropsNeverDeadlock) {
  ChildModeResult child =
      RunChildMode("pool-size", {std::string(kPoolSizeVariable) + "=" + std::to_string(GetParam())});
  ASSERT_EQ(child.exitCode, 0) << child.output;
  EXPECT_EQ(child.values["hung"], "0") << child.output;
  EXPECT_EQ(child.values["wrong"], "0") << child.output;
}

}  // namespace

// Address-space limits and the sanitizers' shadow memory do not mix.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(FrameWithoutThreads, TimedStoresAndDropsRunOnTheCallersThreadWhenNoThreadCanBeMade) {
  kelcache_test::ChildModeResult child = kelcache_test::RunChildMode("no-threads", {});
  ASSERT_EQ(child.exitCode, 0) << child.output;
  EXPECT_EQ(child.values["threw"], "0") << child.output;
  EXPECT_EQ(child.values["succeeded"], "6") << child.output;
  EXPECT_EQ(child.values["ran"], "6") << child.output;
}
#endif
