// The Redis store through the whole external cache frame, side by side with
// raw hiredis on as many connections as there are callers and with the
// redis-benchmark tool (same value size and clients, no pipelining), all
// against one private redis-server that the program starts on a free
// loopback port and kills at the end.
//
//   Frame/Store|Load/bytes:<b>/real_time/threads:<n>
//       RedisExternalCache::TryStore(...).Get() or TryLoad(...).Get() from n
//       callers (1, 2, 4, 8, 16), each on its own 64 keys
//   Raw/Set|Get/bytes:<b>/real_time/threads:<n>
//       SET or GET of the same physical keys, one hiredis connection per
//       caller, one request and its response at a time: the limit of this
//       server and this loopback for n callers
//   Client/Set|Get/bytes:<b>/real_time/threads:<n>
//       the client services alone: a pooled connection per command
//       (FindAndLockPooledConnection), no frame (where the frame's time goes)
//   RedisBenchmarkTool/bytes:<b>/clients:<c>
//       redis-benchmark -t set,get -d <b> -c <c> -P 1; counters set_ops and
//       get_ops (requests per second), for the plots
//   SteadyThreadCreations/callers:8
//       8 callers storing and loading through the frame: after a warm-up,
//       the OS threads the task machinery made during 10 s
//       (AsyncTask::GetThreadsCreated); counters threads_created, ops_per_s
// Values of 4 KiB and 64 KiB. items_per_second is the operations per second
// of all callers together (wall-clock time).
#include <benchmark/benchmark.h>
#include <hiredis/hiredis.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/AsyncTask.h"
#include "host/ThreadPool.h"
#include "host/redis/RedisConnectionPool.h"
#include "public/caching/RedisExternalCache.h"
#include "bench/PooledRedisServer.h"
#include "bench/RawRedis.h"
#include "testing/RedisServerProcess.h"

namespace {

using kelvra::caching::RedisConnectionPool;
using kelvra::caching::RedisExternalCache;

constexpr int kKeysPerCaller = 64;
constexpr int kMaxCallers = 16;
constexpr size_t kSizes[] = {4096, 65536};
constexpr unsigned kSlowLoadMs = 1000000;  // never skipped as "too fast to store"
const TString kNamespace(u"bench");

// The keys of one caller's loop.
TString Key(int caller, int index, size_t bytes) {
  return TString::fromStdString("c" + std::to_string(caller) + "-" + std::to_string(index) + "-" +
                                std::to_string(bytes));
}

// The private server with one pooled connection per caller, as the raw loop
// has, filled once so that every load finds its key.
kelcache_testing::RedisServerProcess& FilledServer() {
  static const bool filled = [] {
    kelcache_bench::PooledRedisServer("connections=" + std::to_string(kMaxCallers) + ";wait_ms=1000");
    RedisExternalCache cache(kNamespace);
    for (size_t bytes : kSizes) {
      auto value = std::make_shared<std::vector<uint8_t>>(bytes, uint8_t{0x5A});
      for (int caller = 0; caller < kMaxCallers; ++caller) {
        for (int index = 0; index < kKeysPerCaller; ++index) {
          if (!cache.TryStore(Key(caller, index, bytes), value, kSlowLoadMs, -1).Get()) {
            throw std::runtime_error("cannot fill the benchmark server");
          }
        }
      }
    }
    return true;
  }();
  static_cast<void>(filled);
  return kelcache_bench::PooledRedisServer();
}

void Report(benchmark::State& state, size_t bytes) {
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// Runs one step per iteration over this caller's keys, in turn. A step
// returns an empty text, or what went wrong, which stops the run.
template <class Step>
void RunOverKeys(benchmark::State& state, size_t bytes, Step step) {
  int index = 0;
  for (auto _ : state) {
    if (const std::string error = step(index); !error.empty()) {
      state.SkipWithError(error.c_str());
      break;
    }
    index = (index + 1) % kKeysPerCaller;
  }
  Report(state, bytes);
}

void FrameStore(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  RedisExternalCache cache(kNamespace);
  auto value = std::make_shared<std::vector<uint8_t>>(bytes, static_cast<uint8_t>(state.thread_index()));
  RunOverKeys(state, bytes, [&](int index) -> std::string {
    return cache.TryStore(Key(state.thread_index(), index, bytes), value, kSlowLoadMs, -1).Get() ? ""
                                                                                                 : "a store failed";
  });
}

void FrameLoad(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  RedisExternalCache cache(kNamespace);
  RunOverKeys(state, bytes, [&](int index) -> std::string {
    auto value = cache.TryLoad(Key(state.thread_index(), index, bytes)).Get();
    return value && value->size() == bytes ? "" : "a load missed";
  });
}

// The client services without the frame: the pool and one command.
void ClientLoop(benchmark::State& state, bool set) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  auto value = std::make_shared<std::vector<uint8_t>>(bytes, static_cast<uint8_t>(state.thread_index()));
  RunOverKeys(state, bytes, [&](int index) -> std::string {
    TString key = Key(state.thread_index(), index, bytes);
    auto guard = RedisConnectionPool::FindAndLockPooledConnection(key);
    if (!guard) return "no connection";
    std::string physical = RedisExternalCache::MakePhysicalCacheKey(kNamespace, key);
    try {
      if (set) {
        guard->GetConnection().Set(physical, value);
      } else if (auto loaded = guard->GetConnection().Get(physical); !loaded || loaded->size() != bytes) {
        return "a load missed";
      }
    } catch (const std::exception& error) {
      return error.what();
    }
    return "";
  });
}
void ClientSet(benchmark::State& state) {
  ClientLoop(state, true);
}
void ClientGet(benchmark::State& state) {
  ClientLoop(state, false);
}

// One hiredis connection per caller, the same physical keys as the frame,
// one request and its response at a time.
void RawLoop(benchmark::State& state, bool set) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  kelcache_bench::RawRedisContext context = kelcache_bench::ConnectRawRedis(FilledServer().Port());
  if (!kelcache_bench::RawRedisConnected(context)) {
    state.SkipWithError("cannot connect");
    return;
  }
  // The same read-buffer setting as kelcache's connections (see
  // RedisConnection::Connect), so that both sides pay the same allocations.
  context->reader->maxbuf = 1024 * 1024;
  std::vector<std::string> keys;
  for (int index = 0; index < kKeysPerCaller; ++index) {
    keys.push_back(RedisExternalCache::MakePhysicalCacheKey(
        kNamespace, Key(state.thread_index(), index, bytes)));
  }
  const std::string value(bytes, static_cast<char>(state.thread_index()));
  RunOverKeys(state, bytes, [&](int index) -> std::string {
    const std::string& key = keys[static_cast<size_t>(index)];
    const char* argv[] = {set ? "SET" : "GET", key.data(), value.data()};
    const size_t lengths[] = {3, key.size(), value.size()};
    auto* reply = static_cast<redisReply*>(redisCommandArgv(context.get(), set ? 3 : 2, argv, lengths));
    const bool ok = reply != nullptr && (set || reply->len == bytes);
    if (reply) freeReplyObject(reply);
    return ok ? "" : "a raw command failed";
  });
}
void RawSet(benchmark::State& state) {
  RawLoop(state, true);
}
void RawGet(benchmark::State& state) {
  RawLoop(state, false);
}

// redis-benchmark -t set,get with the same size and number of clients.
void RedisBenchmarkTool(benchmark::State& state) {
  const std::string tool = kelcache_testing::FindOnPath("redis-benchmark");
  if (tool.empty()) {
    state.SkipWithError("redis-benchmark not found on the PATH (apt-get install redis-tools)");
    return;
  }
  const long bytes = static_cast<long>(state.range(0));
  const long clients = static_cast<long>(state.range(1));
  const long requests = bytes > 16384 ? 10000 : 20000;
  const std::string command = tool + " -h 127.0.0.1 -p " + std::to_string(FilledServer().Port()) +
                              " -t set,get -d " + std::to_string(bytes) + " -c " + std::to_string(clients) +
                              " -n " + std::to_string(requests) + " -P 1 -r " +
                              std::to_string(kKeysPerCaller) + " --csv 2>&1";
  double setOps = 0;
  double getOps = 0;
  for (auto _ : state) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
      state.SkipWithError("cannot run redis-benchmark");
      return;
    }
    char line[512];
    while (fgets(line, sizeof line, pipe)) {
      // "SET","85034.02",...  (CSV: test name, requests per second, ...)
      const std::string text(line);
      auto valueOf = [&text]() {
        const size_t start = text.find("\",\"") + 3;
        return std::atof(text.substr(start, text.find('"', start) - start).c_str());
      };
      if (text.rfind("\"SET\"", 0) == 0) setOps = valueOf();
      if (text.rfind("\"GET\"", 0) == 0) getOps = valueOf();
    }
    pclose(pipe);
  }
  if (setOps == 0 || getOps == 0) state.SkipWithError("redis-benchmark printed no figures");
  state.counters["set_ops"] = setOps;
  state.counters["get_ops"] = getOps;
}

// Callers that store and load through the frame until told to stop.
// Thread rules: Start and Stop from one thread; Operations from any.
class Callers {
 public:
  explicit Callers(int count) {
    for (int caller = 0; caller < count; ++caller) {
      m_threads.emplace_back([this, caller] {
        RedisExternalCache cache(kNamespace);
        const size_t bytes = kSizes[0];
        auto value = std::make_shared<std::vector<uint8_t>>(bytes, uint8_t{0x33});
        for (int index = 0; !m_stop.load(std::memory_order_relaxed); index = (index + 1) % kKeysPerCaller) {
          const TString key = Key(caller, index, bytes);
          cache.TryStore(key, value, kSlowLoadMs, -1).Get();
          benchmark::DoNotOptimize(cache.TryLoad(key).Get());
          m_operations.fetch_add(2, std::memory_order_relaxed);
        }
      });
    }
  }
  ~Callers() {
    m_stop = true;
    for (std::thread& thread : m_threads) thread.join();
  }
  uint64_t Operations() const { return m_operations.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> m_stop{false};
  std::atomic<uint64_t> m_operations{0};
  std::vector<std::thread> m_threads;
};

// A steady load must not make threads: every hand-over reuses a worker or a
// parked thread once the warm-up has made them.
void SteadyThreadCreations(benchmark::State& state) {
  constexpr auto kWarmUp = std::chrono::seconds(3);
  constexpr auto kMeasured = std::chrono::seconds(10);
  FilledServer();
  for (auto _ : state) {
    Callers callers(static_cast<int>(state.range(0)));
    std::this_thread::sleep_for(kWarmUp);
    const uint64_t threadsBefore = AsyncTask::GetThreadsCreated();
    const uint64_t operationsBefore = callers.Operations();
    std::this_thread::sleep_for(kMeasured);
    state.counters["threads_created"] = static_cast<double>(AsyncTask::GetThreadsCreated() - threadsBefore);
    state.counters["ops_per_s"] = static_cast<double>(callers.Operations() - operationsBefore) /
                                  std::chrono::duration<double>(kMeasured).count();
  }
}

void Callers1To16(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgName("bytes");
  for (size_t bytes : kSizes) benchmark->Arg(static_cast<int64_t>(bytes));
  benchmark->ThreadRange(1, kMaxCallers)->UseRealTime();
}

// The client services alone: 4 KiB and 64 KiB, 1 and 8 callers.
void OneAndEightCallers(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgName("bytes")->Arg(4096)->Arg(65536)->Threads(1)->Threads(8)->UseRealTime();
}

// The server is started on the main thread before the benchmarks run: its
// PR_SET_PDEATHSIG follows the thread that started it, and benchmark threads
// end after each benchmark.
const bool s_environmentReady = (FilledServer(), true);

}  // namespace

BENCHMARK(FrameStore)->Name("Frame/Store")->Apply(Callers1To16);
BENCHMARK(FrameLoad)->Name("Frame/Load")->Apply(Callers1To16);
BENCHMARK(RawSet)->Name("Raw/Set")->Apply(Callers1To16);
BENCHMARK(RawGet)->Name("Raw/Get")->Apply(Callers1To16);
BENCHMARK(ClientSet)->Name("Client/Set")->Apply(OneAndEightCallers);
BENCHMARK(ClientGet)->Name("Client/Get")->Apply(OneAndEightCallers);
BENCHMARK(RedisBenchmarkTool)
    ->ArgNames({"bytes", "clients"})
    ->ArgsProduct({{4096, 65536}, {1, 2, 4, 8, 16}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(SteadyThreadCreations)
    ->ArgName("callers")
    ->Arg(8)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
