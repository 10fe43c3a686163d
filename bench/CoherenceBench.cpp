// The coherence service's costs.
//
//   Propagation/messages:10000   OnAdded of a newer value in service A to
//                                OnDirty of the stale entry in service B, each
//                                service with its own subscription manager
//                                (its own connection and thread), through a
//                                private redis-server; counters p50_us, p99_us
//   RawRoundTrip/messages:10000  the same server with hiredis alone: PUBLISH on
//                                one connection to the message read on a
//                                subscribed one, in one thread (the physical
//                                limit); counters p50_us, p99_us
//   OnAdded/tracked:100000       OnAdded of a new key hash while 10^5 entries
//                                are tracked (no-op publish, no subscription)
//   Prune/evicted:100000         one pruning pass that drops 10^5 evicted
//                                records (count limit 0)
//
// The program starts redis-server on a free loopback port and kills it at the
// end. The service's test instances need unit-test mode, which the program
// turns on. Benchmark programs link only kelcache, so hiredis (which kelcache
// loads) is reached through dlsym.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/AppConfig.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisSubscriptionManager.h"
#include "main/utility/ICoherentCache.h"
#include "public/caching/RedisPubsub.h"

namespace {

using Clock = std::chrono::steady_clock;
using kelvra::caching::ICoherentCache;
using kelvra::caching::IRedisSubscriptionManager;
using kelvra::caching::RedisPubsub;
using kelvra::caching::RedisSubscriptionManager;

constexpr int kMessages = 10000;
constexpr int kTracked = 100000;
constexpr uint64_t kTime = 63900000000000ULL;  // a DateTime representation (ms)

std::string FindOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    std::string candidate = folder + "/" + program;
    if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::string();
}

uint16_t FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// hiredis through dlsym (see the file comment).
struct Hiredis {
  decltype(&redisConnectWithTimeout) connect;
  decltype(&redisCommandArgv) command;
  decltype(&redisGetReply) getReply;
  decltype(&freeReplyObject) freeReply;
  decltype(&redisFree) free;

  Hiredis() {
    connect = reinterpret_cast<decltype(connect)>(dlsym(RTLD_DEFAULT, "redisConnectWithTimeout"));
    command = reinterpret_cast<decltype(command)>(dlsym(RTLD_DEFAULT, "redisCommandArgv"));
    getReply = reinterpret_cast<decltype(getReply)>(dlsym(RTLD_DEFAULT, "redisGetReply"));
    freeReply = reinterpret_cast<decltype(freeReply)>(dlsym(RTLD_DEFAULT, "freeReplyObject"));
    free = reinterpret_cast<decltype(free)>(dlsym(RTLD_DEFAULT, "redisFree"));
    if (!connect || !command || !getReply || !freeReply || !free) throw std::runtime_error("hiredis symbols not found");
  }

  redisContext* Connect(uint16_t port) const {
    timeval timeout{5, 0};
    redisContext* context = connect("127.0.0.1", port, timeout);
    if (context == nullptr || context->err) {
      if (context) free(context);
      return nullptr;
    }
    return context;
  }
  // Sends a command and frees its reply; false when there is none.
  bool Run(redisContext* context, const std::vector<std::string>& arguments) const {
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    for (const std::string& argument : arguments) {
      argv.push_back(argument.data());
      lengths.push_back(argument.size());
    }
    void* reply = command(context, static_cast<int>(argv.size()), argv.data(), lengths.data());
    if (reply) freeReply(reply);
    return reply != nullptr;
  }
};

// The private server and the pool configured for it, made once for the run.
class Environment {
 public:
  static Environment& Get() {
    static Environment environment;
    return environment;
  }
  uint16_t Port() const { return m_port; }
  const Hiredis& Api() const { return m_hiredis; }

  ~Environment() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    std::error_code error;
    std::filesystem::remove_all(m_dir, error);
  }

 private:
  Environment() {
    AppConfig::GetInstance().SetUnitTestFlag(true);
    std::string server = FindOnPath("redis-server");
    if (server.empty()) throw std::runtime_error("redis-server not found on the PATH (apt-get install redis-server)");
    m_port = FreeLoopbackPort();
    m_dir = std::filesystem::temp_directory_path() / ("kelcache-coherence-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(m_dir);
    std::vector<std::string> arguments = {server,       "--port", std::to_string(m_port), "--bind", "127.0.0.1",
                                          "--save",     "",       "--appendonly", "no",    "--dir",
                                          m_dir.string(), "--logfile", (m_dir / "redis.log").string()};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      execv(argv[0], argv.data());
      _exit(127);
    }
    for (int attempt = 0; attempt < 500 && !Ping(); ++attempt) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kelvra::caching::RedisConnectionPool::GetInstance().Reset(
        TString::fromStdString("127.0.0.1:" + std::to_string(m_port)), TString());
  }

  bool Ping() const {
    redisContext* context = m_hiredis.Connect(m_port);
    if (!context) return false;
    const bool up = m_hiredis.Run(context, {"PING"});
    m_hiredis.free(context);
    return up;
  }

  Hiredis m_hiredis;
  uint16_t m_port = 0;
  pid_t m_pid = -1;
  std::filesystem::path m_dir;
};

void ReportPercentiles(benchmark::State& state, std::vector<double> micros) {
  std::sort(micros.begin(), micros.end());
  state.counters["p50_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
  state.counters["max_us"] = micros.back();
}

// Counts the dirty calls and stamps the last one. Thread-safe: m_mutex guards
// every member.
class StampingCache : public ICoherentCache {
 public:
  void OnDirty(const std::vector<unsigned int>&) override {
    const Clock::time_point now = Clock::now();
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      ++m_calls;
      m_last = now;
    }
    m_changed.notify_all();
  }
  // The time of the `count`th call, or false after `timeout`.
  bool WaitForCall(int count, Clock::time_point& at, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_changed.wait_for(lock, timeout, [&] { return m_calls >= count; })) return false;
    at = m_last;
    return true;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_calls = 0;
  Clock::time_point m_last;
};

void Propagation(benchmark::State& state) {
  Environment::Get();
  for (auto _ : state) {
    // Two services, each as a process would have it: its own subscription
    // connection and thread, publishing through the pool.
    RedisSubscriptionManager managerA;
    RedisSubscriptionManager managerB;
    auto publish = [](const TString& channel, const TString& message) {
      RedisSubscriptionManager::GetInstance().TryPublish(channel, message, {});
    };
    auto a = RedisPubsub::CreateTestInstance(TString(u"bench."), managerA, publish);
    auto b = RedisPubsub::CreateTestInstance(TString(u"bench."), managerB, publish);
    auto cacheA = std::make_shared<StampingCache>();
    auto cacheB = std::make_shared<StampingCache>();
    int dirtied = 0;
    uint64_t next = 0;
    // One B entry made stale by A; the time from A's OnAdded to B's OnDirty.
    auto round = [&](std::chrono::milliseconds timeout, double& micros) {
      const std::pair<uint64_t, uint64_t> key{0xbe7c, next};
      const unsigned guid = static_cast<unsigned>(++next);
      b->OnAdded(key, {0x1, 0x1}, kTime, guid, cacheB);
      const Clock::time_point start = Clock::now();
      a->OnAdded(key, {0x2, 0x2}, kTime + 10000, guid, cacheA);
      Clock::time_point received;
      if (!cacheB->WaitForCall(dirtied + 1, received, timeout)) return false;
      ++dirtied;
      micros = std::chrono::duration<double, std::micro>(received - start).count();
      return true;
    };
    // Messages sent before B's subscription is in place are lost: wait for one to arrive.
    double ignored = 0;
    bool subscribed = false;
    for (int attempt = 0; attempt < 100 && !subscribed; ++attempt) subscribed = round(std::chrono::milliseconds(100), ignored);
    if (!subscribed) state.SkipWithError("B never received a message");
    std::vector<double> micros(kMessages);
    for (int i = 0; subscribed && i < kMessages; ++i) {
      if (!round(std::chrono::seconds(5), micros[i])) {
        state.SkipWithError("a message did not arrive within 5 s");
        subscribed = false;
      }
    }
    a->OnRemoved(*cacheA);
    b->OnRemoved(*cacheB);
    if (subscribed) ReportPercentiles(state, micros);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kMessages);
}

void RawRoundTrip(benchmark::State& state) {
  Environment& environment = Environment::Get();
  const Hiredis& api = environment.Api();
  for (auto _ : state) {
    redisContext* subscriber = api.Connect(environment.Port());
    redisContext* publisher = api.Connect(environment.Port());
    if (!subscriber || !publisher || !api.Run(subscriber, {"SUBSCRIBE", "raw.bench"})) {
      state.SkipWithError("cannot connect or subscribe");
      break;
    }
    std::vector<double> micros;
    micros.reserve(kMessages);
    for (int i = 0; i < kMessages; ++i) {
      const Clock::time_point start = Clock::now();
      api.Run(publisher, {"PUBLISH", "raw.bench", "1-1@3a1de0cd1800"});
      void* reply = nullptr;
      if (api.getReply(subscriber, &reply) != REDIS_OK || reply == nullptr) {
        state.SkipWithError("no message");
        break;
      }
      micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      api.freeReply(reply);
    }
    api.free(subscriber);
    api.free(publisher);
    if (!micros.empty()) ReportPercentiles(state, micros);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kMessages);
}

// A subscription manager that subscribes nothing, for the in-process costs.
class NoSubscriptions : public IRedisSubscriptionManager {
 public:
  void Subscribe(const TString&, const MessageCallback&) override {}
  void Unsubscribe(const TString&) override {}
};

class NullCache : public ICoherentCache {
 public:
  void OnDirty(const std::vector<unsigned int>&) override {}
};

void OnAdded(benchmark::State& state) {
  AppConfig::GetInstance().SetUnitTestFlag(true);
  NoSubscriptions manager;
  auto service = RedisPubsub::CreateTestInstance(TString(u"bench."), manager, [](const TString&, const TString&) {});
  auto cache = std::make_shared<NullCache>();
  unsigned guid = 0;
  for (; guid < kTracked; ++guid) service->OnAdded({0x7, guid}, {0x1, guid}, kTime, guid, cache);
  for (auto _ : state) {
    service->OnAdded({0x7, guid}, {0x1, guid}, kTime, guid, cache);
    ++guid;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  service->OnRemoved(*cache);
}

void Prune(benchmark::State& state) {
  AppConfig::GetInstance().SetUnitTestFlag(true);
  NoSubscriptions manager;
  auto service = RedisPubsub::CreateTestInstance(TString(u"bench."), manager, [](const TString&, const TString&) {});
  auto cache = std::make_shared<NullCache>();
  for (auto _ : state) {
    state.PauseTiming();
    service->TriggerPruneEvictedEntriesTestOnly(kTracked, -1);  // room for all of them again
    std::vector<unsigned> guids;
    guids.reserve(kTracked);
    for (unsigned guid = 0; guid < kTracked; ++guid) {
      service->OnAdded({0x9, guid}, {0x1, guid}, kTime, guid, cache);
      guids.push_back(guid);
    }
    service->OnRemoved(guids, cache);  // now evicted records
    state.ResumeTiming();
    service->TriggerPruneEvictedEntriesTestOnly(0, -1);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kTracked);
  service->OnRemoved(*cache);
}

}  // namespace

BENCHMARK(Propagation)->Name("Propagation/messages:10000")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RawRoundTrip)->Name("RawRoundTrip/messages:10000")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(OnAdded)->Name("OnAdded/tracked:100000");
BENCHMARK(Prune)->Name("Prune/evicted:100000")->Iterations(5)->Unit(benchmark::kMillisecond);
