// Sixteen threads keep storing and loading values of their own through the
// pool while the server is killed, restarted, paused and resumed under them.
// Calls may fail, or miss after the restart (the server keeps nothing), but a
// load never returns another caller's value, nor one of its own older than
// the last it stored (unless a store that failed in between may have landed
// late), and every thread works again once the server is back. The Redis
// store's calls return within their time-outs meanwhile.
#include <array>
#include <map>
#include <set>

#include "host/AsyncTaskFuture.h"
#include "host/redis/RedisErrors.h"
#include "public/caching/RedisExternalCache.h"
#include "tests/main/caching/external/ExternalTestSupport.h"
#include "tests/host/redis/RedisTestSupport.h"

namespace kelcache_test {
namespace {

using kelvra::caching::RedisError;
using kelvra::caching::RedisExternalCache;

constexpr int kThreads = 16;
// Far above every time-out used here: a future not ready by then hangs.
constexpr std::chrono::milliseconds kReadyBound = 12s;

// The owner and version a loaded value claims (OwnedValue), or {-1, -1}.
std::pair<int, int> OwnerOf(const RedisBytes& value) {
  std::string text(value.begin(), value.begin() + std::min<size_t>(value.size(), 32));
  int thread = -1;
  int version = -1;
  if (sscanf(text.c_str(), "t=%d;v=%d;", &thread, &version) != 2) return {-1, -1};
  return {thread, version};
}
size_t SizeOf(int version) { return 40 + static_cast<size_t>(version) * 7919 % 20000; }

class Workers {
 public:
  Workers() {
    for (int t = 0; t < kThreads; ++t) m_threads.emplace_back([this, t] { Run(t); });
  }
  ~Workers() { Stop(); }

  void Stop() {
    m_stop = true;
    for (std::thread& thread : m_threads) {
      if (thread.joinable()) thread.join();
    }
  }
  int Operations() const { return m_operations.load(); }
  // Waits until every thread has had `count` more successful loads than now.
  bool AllSucceedAgain(int count) {
    std::array<int, kThreads> base;
    for (int t = 0; t < kThreads; ++t) base[t] = m_successes[t].load();
    return WaitUntil([&] {
      for (int t = 0; t < kThreads; ++t) {
        if (m_successes[t].load() < base[t] + count) return false;
      }
      return true;
    });
  }

 private:
  void Run(int t) {
    // Per key: the last version the server confirmed, and the versions whose
    // SET failed (a SET that timed out or lost its connection may still have
    // been applied, also later, after one confirmed since).
    std::map<std::string, int> confirmed;
    std::map<std::string, std::set<int>> uncertain;
    for (int version = 1; !m_stop; ++version) {
      std::string key = "own-" + std::to_string(t) + "-" + std::to_string(version % 3);
      auto guard = Lock(key);
      ++m_operations;
      if (!guard) {
        std::this_thread::sleep_for(1ms);
        continue;  // no connection to be had now: as a miss
      }
      auto& connection = guard->GetConnection();
      try {
        if (connection.Set(key, OwnedValue(t, version, SizeOf(version)))) {
          confirmed[key] = version;
        } else {
          uncertain[key].insert(version);
        }
      } catch (const RedisError&) {
        uncertain[key].insert(version);
      }
      try {
        RedisValue loaded = connection.Get(key);
        if (!loaded) continue;  // lost with the server
        auto [owner, loadedVersion] = OwnerOf(*loaded);
        bool mine = owner == t &&
                    (loadedVersion == confirmed[key] || uncertain[key].count(loadedVersion) > 0) &&
                    *loaded == *OwnedValue(owner, loadedVersion, SizeOf(loadedVersion));
        if (!mine) {
          ADD_FAILURE() << "thread " << t << " loaded " << key << " and got a value of thread " << owner
                        << " version " << loadedVersion << " (" << loaded->size()
                        << " bytes); its last stored version is " << confirmed[key];
          m_stop = true;
          return;
        }
        ++m_successes[t];
      } catch (const RedisError&) {
      }
    }
  }

  std::atomic<bool> m_stop{false};
  std::atomic<int> m_operations{0};
  std::array<std::atomic<int>, kThreads> m_successes{};
  std::vector<std::thread> m_threads;
};

TEST(RedisFaults, AKilledRestartedOrPausedServerNeverGivesACallerAValueThatIsNotItsOwn) {
  RedisServer server;
  Configure(server.Address(), "connections=16;connect_timeout_ms=300;command_timeout_ms=400;wait_ms=200");
  Workers workers;
  ASSERT_TRUE(workers.AllSucceedAgain(20));

  // Killed while requests are in flight; the calls fail for a while.
  server.Kill();
  int atKill = workers.Operations();
  EXPECT_TRUE(WaitUntil([&] { return workers.Operations() >= atKill + 200; }));
  std::this_thread::sleep_for(300ms);
  server.Restart();
  EXPECT_TRUE(workers.AllSucceedAgain(20)) << "the pool recovers after a restart on the same port";

  // Paused for longer than the command time-out, then resumed: the replies
  // to the requests that timed out come late and must reach nobody. The
  // store's calls meanwhile return in time (a store or drop that got no
  // connection did nothing and says so as success).
  server.Pause();
  RedisExternalCache cache(u"paused");
  auto load = cache.TryLoad(u"k");
  auto store = cache.TryStore(u"k", MakeValue(3 * 1024 * 1024, 5), kSlowLoadMs, -1);
  auto drop = cache.TryDrop(u"k");
  ASSERT_EQ(load.WaitFor(kReadyBound), AsyncTask::FutureStatus::Ready);
  ASSERT_EQ(store.WaitFor(kReadyBound), AsyncTask::FutureStatus::Ready);
  ASSERT_EQ(drop.WaitFor(kReadyBound), AsyncTask::FutureStatus::Ready);
  EXPECT_EQ(load.Get(), nullptr);
  std::this_thread::sleep_for(500ms);
  server.Resume();
  EXPECT_TRUE(workers.AllSucceedAgain(20)) << "the pool recovers after a pause";

  // Once more, killed and restarted in quick succession.
  server.Kill();
  server.Restart();
  EXPECT_TRUE(workers.AllSucceedAgain(20));
  EXPECT_TRUE(WaitUntil([&] {
    auto value = MakeValue("after the restart");
    if (!cache.TryStore(u"k", value, kSlowLoadMs, -1).Get()) return false;
    Value loaded = cache.TryLoad(u"k").Get();
    return loaded && *loaded == *value;
  })) << "the store works again";
  workers.Stop();
  EXPECT_TRUE(WaitForBackgroundTasks());
}

}  // namespace
}  // namespace kelcache_test
