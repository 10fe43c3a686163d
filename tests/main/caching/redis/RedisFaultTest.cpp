// Faults of the server under the Redis store and the pool: a server killed
// while many operations run, restarted on the same port, paused; and SIGPIPE,
// which must never reach the process's default action.
#include <pthread.h>
#include <signal.h>

#include "host/AsyncTaskFuture.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/SigpipeGuard.h"
#include "public/caching/RedisExternalCache.h"
#include "tests/main/caching/external/ExternalTestSupport.h"
#include "tests/host/redis/RedisTestSupport.h"

namespace kelcache_test {
namespace {

using namespace kelvra::caching;

// Far above every time-out used here: a future not ready by then hangs.
constexpr std::chrono::milliseconds kReadyBound = 12s;

bool StoreAndLoadWork(const RedisExternalCache& cache, const TString& key) {
  auto value = MakeValue("after the restart");
  if (!cache.TryStore(key, value, kSlowLoadMs, -1).Get()) return false;
  Value loaded = cache.TryLoad(key).Get();
  return loaded && *loaded == *value;
}

TEST(RedisFaults, AServerKilledDuringManyOperationsFailsThemInTimeAndThePoolRecoversAfterARestart) {
  RedisServer server;
  ConfigurePool({&server}, "connections=4;connect_timeout_ms=300;command_timeout_ms=500;wait_ms=100");
  RedisExternalCache cache(u"fault");
  std::atomic<bool> stop{false};
  std::atomic<int> notReady{0};
  std::atomic<int> operations{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 8; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; !stop; ++i) {
        TString key = TString(u"w") + TString::number(t) + u"-" + TString::number(i % 20);
        auto store = cache.TryStore(key, MakeValue(1000 + 97 * (i % 50), static_cast<uint8_t>(t)), kSlowLoadMs, -1);
        auto load = cache.TryLoad(key);
        auto drop = cache.TryDrop(TString(u"w") + TString::number(t) + u"-" + TString::number((i + 7) % 20));
        notReady += store.WaitFor(kReadyBound) != AsyncTask::FutureStatus::Ready;
        notReady += load.WaitFor(kReadyBound) != AsyncTask::FutureStatus::Ready;
        notReady += drop.WaitFor(kReadyBound) != AsyncTask::FutureStatus::Ready;
        operations += 3;
      }
    });
  }
  // Kill the server while the operations are in full swing, and let them run
  // on against the dead server for a while.
  EXPECT_TRUE(WaitUntil([&] { return operations.load() >= 60; }));
  server.Kill();
  int afterKill = operations.load();
  EXPECT_TRUE(WaitUntil([&] { return operations.load() >= afterKill + 60; }));
  stop = true;
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(notReady.load(), 0);

  // Every failed operation was a miss or a failure, never a crash; after a
  // restart on the same port the same process works again.
  server.Restart();
  EXPECT_TRUE(WaitUntil([&] { return StoreAndLoadWork(cache, u"recovered"); }));
  EXPECT_EQ(RawRedis(server).Get("fault\nrecovered"), "after the restart");
}

TEST(RedisFaults, CallsToAPausedServerReturnWithinTheirTimeOuts) {
  RedisServer server;
  ConfigurePool({&server}, "connections=4;command_timeout_ms=300;wait_ms=1000");
  RedisExternalCache cache(u"paused");
  ASSERT_TRUE(cache.TryStore(u"k", MakeValue("v"), kSlowLoadMs, -1).Get());

  server.Pause();
  {
    auto guard = RedisConnectionPool::FindAndLockPooledConnection(u"k");
    ASSERT_NE(guard, nullptr);
    EXPECT_THROW(guard->GetConnection().Get("paused\nk"), RedisTimeoutError);
    EXPECT_FALSE(guard->GetConnection().IsConnected()) << "a timed-out connection is dropped";
  }
  auto load = cache.TryLoad(u"k");
  auto store = cache.TryStore(u"k2", MakeValue(3 * 1024 * 1024, 5), kSlowLoadMs, -1);
  auto drop = cache.TryDrop(u"k");
  ASSERT_EQ(load.WaitFor(kReadyBound), AsyncTask::FutureStatus::Ready);
  ASSERT_EQ(store.WaitFor(kReadyBound), AsyncTask::FutureStatus::Ready);
  ASSERT_EQ(drop.WaitFor(kReadyBound), AsyncTask::FutureStatus::Ready);
  EXPECT_EQ(load.Get(), nullptr);
  EXPECT_FALSE(store.Get());
  EXPECT_FALSE(drop.Get());

  server.Resume();
  EXPECT_TRUE(WaitUntil([&] { return StoreAndLoadWork(cache, u"resumed"); }));
  EXPECT_TRUE(WaitForBackgroundTasks());
}

TEST(RedisFaults, SigpipeNeverKillsTheProcess) {
  // The process keeps SIGPIPE's default action (termination) throughout: the
  // library must not change it.
  ASSERT_TRUE(SigpipeHasItsDefaultActionAndIsNotBlocked());

  // The guard takes a SIGPIPE raised at this thread while it is alive.
  uint64_t before = kelvra::caching::SuppressedSigpipeCount();
  {
    kelvra::caching::SigpipeGuard guard;
    raise(SIGPIPE);
  }
  EXPECT_EQ(kelvra::caching::SuppressedSigpipeCount(), before + 1);
  EXPECT_TRUE(SigpipeHasItsDefaultActionAndIsNotBlocked());

  // Writes to a server that is gone: large values, so a write is still going
  // on when the peer's reset arrives and the next one meets a broken pipe.
  // The process keeps SIGPIPE's default action, so a SIGPIPE raised by the
  // pooled connections would end the test here; they write with
  // MSG_NOSIGNAL, so none is raised, not even one for a guard to take.
  RedisServer server;
  ConfigurePool({&server}, "connections=4;wait_ms=0");
  {
    auto guard = RedisConnectionPool::FindAndLockPooledConnection(u"k");
    ASSERT_NE(guard, nullptr);
    ASSERT_TRUE(guard->GetConnection().Set("warm", MakeValue("v")));
  }
  server.Kill();
  std::this_thread::sleep_for(100ms);
  before = kelvra::caching::SuppressedSigpipeCount();
  auto large = MakeValue(8 * 1024 * 1024, 3);
  int failures = 0;
  for (int i = 0; i < 4; ++i) {
    auto guard = RedisConnectionPool::FindAndLockPooledConnection(u"k");
    if (!guard) continue;  // the server is known to be gone and none can be made
    try {
      guard->GetConnection().Set("big", large);
    } catch (const RedisIoError&) {
      ++failures;
    }
  }
  EXPECT_GT(failures, 0);
  EXPECT_EQ(kelvra::caching::SuppressedSigpipeCount(), before) << "no SIGPIPE was raised at all";
  EXPECT_TRUE(SigpipeHasItsDefaultActionAndIsNotBlocked());
}

}  // namespace
}  // namespace kelcache_test
