// The Redis store through the whole external cache frame on a Redis Cluster
// of 3 masters, beside the same frame on one redis-server, both private
// children of this program on free loopback ports (testing/), killed at the
// end.
//
//   Frame/Store|Load/server:<single|cluster>/real_time/threads:<n>
//       RedisExternalCache::TryStore(...).Get() or TryLoad(...).Get() of
//       4 KiB values from n callers (8, 16), each on its own 64 keys; the
//       keys of a cluster spread over its masters by their hash slots
//   Client/Set|Get/server:<single|cluster>/real_time/threads:<n>
//       the client services alone: a pooled connection per command
//       (FindAndLockPooledConnection) and one SET or GET, no frame
//
// The pool is configured with connections=16 (per server, so per master of
// the cluster) and wait_ms=1000 before each benchmark, for the deployment it
// measures. The cluster has no replicas by default (--replicas=1 gives each
// master one): replicas would only add replication work on the same cores.
// items_per_second is the operations per second of all callers together
// (wall-clock time).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/redis/RedisConnectionPool.h"
#include "public/caching/RedisExternalCache.h"
#include "testing/RedisClusterProcess.h"
#include "testing/RedisServerProcess.h"

namespace {

using kelvra::caching::RedisConnectionPool;
using kelvra::caching::RedisExternalCache;

constexpr int kKeysPerCaller = 64;
constexpr int kMaxCallers = 16;
constexpr size_t kBytes = 4096;
constexpr unsigned kSlowLoadMs = 1000000;  // never skipped as "too fast to store"
const TString kNamespace(u"bench-cluster");
int g_replicasPerMaster = 0;  // --replicas=<n>

enum Deployment : int64_t { kSingle = 0, kCluster = 1 };

// Both deployments, started once on the main thread, with every key stored.
class Environment {
 public:
  static Environment& Get() {
    static Environment environment;
    return environment;
  }

  void Use(Deployment deployment) {
    const std::string servers = deployment == kCluster ? m_cluster->ServersText() : m_server.Address();
    RedisConnectionPool::GetInstance().Reset(
        TString::fromStdString(servers),
        TString::fromStdString("connections=" + std::to_string(kMaxCallers) + ";wait_ms=1000"));
  }

  static TString Key(int caller, int index) {
    return TString::fromStdString("c" + std::to_string(caller) + "-" + std::to_string(index));
  }

 private:
  static std::unique_ptr<kelcache_testing::RedisClusterProcess> MakeCluster() {
    kelcache_testing::RedisClusterProcess::Options options;
    options.replicasPerMaster = g_replicasPerMaster;
    return std::make_unique<kelcache_testing::RedisClusterProcess>(options);
  }

  Environment() : m_cluster(MakeCluster()) {
    auto value = std::make_shared<std::vector<uint8_t>>(kBytes, uint8_t{0x5A});
    for (Deployment deployment : {kSingle, kCluster}) {
      Use(deployment);
      RedisExternalCache cache(kNamespace);
      for (int caller = 0; caller < kMaxCallers; ++caller) {
        for (int index = 0; index < kKeysPerCaller; ++index) {
          if (!cache.TryStore(Key(caller, index), value, kSlowLoadMs, -1).Get()) {
            throw std::runtime_error("cannot fill the benchmark servers");
          }
        }
      }
    }
  }

  kelcache_testing::RedisServerProcess m_server;
  std::unique_ptr<kelcache_testing::RedisClusterProcess> m_cluster;
};

void UseSingle(const benchmark::State&) {
  Environment::Get().Use(kSingle);
}
void UseCluster(const benchmark::State&) {
  Environment::Get().Use(kCluster);
}

void Report(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

void FrameStore(benchmark::State& state) {
  RedisExternalCache cache(kNamespace);
  auto value = std::make_shared<std::vector<uint8_t>>(kBytes, static_cast<uint8_t>(state.thread_index()));
  int index = 0;
  for (auto _ : state) {
    if (!cache.TryStore(Environment::Key(state.thread_index(), index), value, kSlowLoadMs, -1).Get()) {
      state.SkipWithError("a store failed");
      break;
    }
    index = (index + 1) % kKeysPerCaller;
  }
  Report(state);
}

void FrameLoad(benchmark::State& state) {
  RedisExternalCache cache(kNamespace);
  int index = 0;
  for (auto _ : state) {
    auto value = cache.TryLoad(Environment::Key(state.thread_index(), index)).Get();
    if (!value || value->size() != kBytes) {
      state.SkipWithError("a load missed");
      break;
    }
    index = (index + 1) % kKeysPerCaller;
  }
  Report(state);
}

void ClientLoop(benchmark::State& state, bool set) {
  auto value = std::make_shared<std::vector<uint8_t>>(kBytes, static_cast<uint8_t>(state.thread_index()));
  int index = 0;
  for (auto _ : state) {
    const TString key = Environment::Key(state.thread_index(), index);
    auto guard = RedisConnectionPool::FindAndLockPooledConnection(key);
    if (!guard) {
      state.SkipWithError("no connection");
      break;
    }
    const std::string physical = RedisExternalCache::MakePhysicalCacheKey(kNamespace, key);
    const bool ok =
        set ? guard->GetConnection().Set(physical, value) : guard->GetConnection().Get(physical) != nullptr;
    if (!ok) {
      state.SkipWithError(set ? "a SET failed" : "a GET missed");
      break;
    }
    index = (index + 1) % kKeysPerCaller;
  }
  Report(state);
}
void ClientSet(benchmark::State& state) {
  ClientLoop(state, true);
}
void ClientGet(benchmark::State& state) {
  ClientLoop(state, false);
}

void Register(const char* name, void (*function)(benchmark::State&)) {
  for (Deployment deployment : {kSingle, kCluster}) {
    const std::string full =
        std::string(name) + (deployment == kCluster ? "/server:cluster" : "/server:single");
    benchmark::RegisterBenchmark(full.c_str(), function)
        ->Setup(deployment == kCluster ? UseCluster : UseSingle)
        ->UseRealTime()
        ->Threads(8)
        ->Threads(16);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Our own flag first; Google Benchmark refuses flags it does not know.
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--replicas=", 11) == 0) {
      g_replicasPerMaster = std::atoi(argv[i] + 11);
    } else {
      rest.push_back(argv[i]);
    }
  }
  int restCount = static_cast<int>(rest.size());
  Register("Frame/Store", FrameStore);
  Register("Frame/Load", FrameLoad);
  Register("Client/Set", ClientSet);
  Register("Client/Get", ClientGet);
  benchmark::Initialize(&restCount, rest.data());
  if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 1;
  Environment::Get();  // both deployments up before the first measurement
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
