// The coherence service's costs.
//
//   Propagation/Service/messages:5000
//       one delivery between two processes: from OnAdded of a newer value in
//       process A (a child of this program, the same executable started with
//       --coherence-publisher) to OnDirty of the stale entry in this process
//       (B), over a private redis-server; counters p50_us, p99_us, max_us.
//       B runs the process-wide service (RedisPubsub::GetInstance). A runs a
//       service that publishes with the process-wide function (the
//       subscription manager's TryPublish, as GetInstance's does) but holds
//       no subscription, so that, as on the raw side, the message is
//       delivered once.
//   Propagation/ServiceWithOwnDelivery/messages:5000
//       the same with the process-wide service in A too: A's subscription
//       gets the message as well (every process receives its own additions),
//       and on a machine with few processors its subscriber thread competes
//       with B's for them
//   Propagation/RawPubSub/messages:5000
//       the same delivery with hiredis alone: PUBLISH on one connection in
//       process A to the message read by a thread of process B on a
//       connection of its own that holds a PSUBSCRIBE, as the service's
//       subscription does; the same counters
//   OnAdded/tracked:100000   OnAdded of a new key hash while 10^5 entries are
//                            tracked (no-op publish, no subscription)
//   Prune/evicted:100000     one pruning pass that drops 10^5 evicted records
//                            (count limit 0)
//
// How one delivery is timed: B makes the round ready (the service side first
// adds B's stale entries for every round, before any round is timed, so that
// their own messages are not in flight during one), then writes the round's
// number to A over a pipe. A reads the clock, publishes, and keeps the time;
// B reads the clock when the message arrives. Both clocks are
// CLOCK_MONOTONIC (std::chrono::steady_clock), one clock for the whole
// machine, so A's start and B's arrival compare directly. A sends its start
// times back when B ends the run, outside every timed window. B waits for each
// round before the next, so one message is in flight at a time.
//
// The program starts redis-server on a free loopback port and kills it at the
// end. The in-process benchmarks' test instances need unit-test mode, which
// the program turns on.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/AppConfig.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisSubscriptionManager.h"
#include "main/utility/ICoherentCache.h"
#include "public/caching/RedisPubsub.h"
#include "bench/PooledRedisServer.h"
#include "bench/RawRedis.h"
#include "testing/RedisServerProcess.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using kelvra::caching::ICoherentCache;
using kelvra::caching::IRedisSubscriptionManager;
using kelvra::caching::RedisConnectionPool;
using kelvra::caching::RedisPubsub;
using kelvra::caching::RedisSubscriptionManager;

constexpr int kTracked = 100000;
constexpr uint64_t kTime = 63900000000000ULL;   // a DateTime representation (ms)
constexpr uint64_t kNewerTime = kTime + 10000;  // newer by more than the default 5 s margin
constexpr std::pair<uint64_t, uint64_t> kOldValue{0x1, 0x1};
constexpr std::pair<uint64_t, uint64_t> kNewValue{0x2, 0x2};
constexpr uint64_t kKeyFamily = 0xbe7c;  // first half of every timed key hash
const char* const kPublisherFlag = "--coherence-publisher";
const char* const kRawChannelPrefix = "rawbench.";
constexpr uint32_t kEndOfRun = UINT32_MAX;
// Rounds tried, 200 ms apart, until the first message arrives (B's
// subscription is made asynchronously); then rounds that warm both sides up.
constexpr int kReadyAttempts = 100;
constexpr int kWarmUpRounds = 50;
constexpr auto kRoundTimeout = std::chrono::seconds(5);

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Moves all `size` bytes through `io` (read or write), retried after
// interruptions and short transfers; false at the end of the stream or on an
// error.
template <class Io, class Byte>
bool TransferAll(Io io, int fd, Byte* next, size_t size) {
  while (size > 0) {
    const ssize_t moved = io(fd, next, size);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) return false;
    next += moved;
    size -= static_cast<size_t>(moved);
  }
  return true;
}
bool WriteAll(int fd, const void* data, size_t size) {
  return TransferAll(::write, fd, static_cast<const char*>(data), size);
}
bool ReadAll(int fd, void* data, size_t size) {
  return TransferAll(::read, fd, static_cast<char*>(data), size);
}

std::pair<uint64_t, uint64_t> KeyOfRound(uint32_t round) {
  return {kKeyFamily, round};
}
// Entry ids must not be 0.
unsigned GuidOfRound(uint32_t round) {
  return round + 1;
}

// ---- Process A: the publisher ----

// Publishes the message of one round. Made and used by A's main thread.
class Publisher {
 public:
  virtual ~Publisher() = default;
  virtual void Publish(uint32_t round) = 0;
};

// A participating cache that is never made dirty in A (A's values are the
// newest).
class IgnoringCache : public ICoherentCache {
 public:
  void OnDirty(const std::vector<unsigned int>&) override {}
};

// A subscription manager that subscribes nothing: for a service whose own
// process is not to receive its messages, and for the in-process costs.
class NoSubscriptions : public IRedisSubscriptionManager {
 public:
  void Subscribe(const TString&, const MessageCallback&) override {}
  void Unsubscribe(const TString&) override {}
};

// OnAdded of A's newer value, on the process-wide service (ownDelivery) or
// on a service that publishes the same way but does not subscribe.
class ServicePublisher : public Publisher {
 public:
  ServicePublisher(const std::string& address, bool ownDelivery) {
    RedisConnectionPool::GetInstance().Reset(TString::fromStdString(address), TString());
    if (ownDelivery) {
      m_service = RedisPubsub::GetInstance().lock();
    } else {
      AppConfig::GetInstance().SetUnitTestFlag(true);  // CreateTestInstance asks for it
      m_service = RedisPubsub::CreateTestInstance(
          TString(u"defaultns."), m_noSubscriptions, [](TString const& channel, TString const& message) {
            RedisSubscriptionManager::GetInstance().TryPublish(channel, message, {});
          });
    }
  }
  void Publish(uint32_t round) override {
    m_service->OnAdded(KeyOfRound(round), kNewValue, kNewerTime, GuidOfRound(round), m_cache);
  }

 private:
  NoSubscriptions m_noSubscriptions;
  std::shared_ptr<RedisPubsub> m_service;
  std::shared_ptr<IgnoringCache> m_cache = std::make_shared<IgnoringCache>();
};

// PUBLISH on one hiredis connection, a message of the service's size.
class RawPublisher : public Publisher {
 public:
  explicit RawPublisher(uint16_t port) : m_context(kelcache_bench::ConnectRawRedis(port)) {
    if (!kelcache_bench::RawRedisConnected(m_context)) throw std::runtime_error("publisher: cannot connect");
  }
  void Publish(uint32_t round) override {
    const std::string channel = kRawChannelPrefix + std::to_string(round);
    const char* argv[] = {"PUBLISH", channel.data(), kMessage};
    const size_t lengths[] = {7, channel.size(), std::strlen(kMessage)};
    if (void* reply = redisCommandArgv(m_context.get(), 3, argv, lengths)) freeReplyObject(reply);
  }

 private:
  static constexpr const char* kMessage = "2-2@3a1de0cd4710";
  kelcache_bench::RawRedisContext m_context;
};

// A's main: reads round numbers from standard input, publishes each, and at
// the end of the run writes (round, start time) pairs to standard output.
// Arguments: <service|service-own-delivery|raw> <port> <parent pid>.
int RunPublisher(int argc, char** argv) {
  if (argc != 5) return 2;
  // No publisher outlives the benchmark that started it.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != static_cast<pid_t>(std::atoi(argv[4]))) return 1;
  const std::string mode = argv[2];
  const uint16_t port = static_cast<uint16_t>(std::atoi(argv[3]));
  std::unique_ptr<Publisher> publisher;
  if (mode == "service" || mode == "service-own-delivery") {
    publisher = std::make_unique<ServicePublisher>("127.0.0.1:" + std::to_string(port),
                                                   mode == "service-own-delivery");
  } else {
    publisher = std::make_unique<RawPublisher>(port);
  }
  const char ready = 'R';
  if (!WriteAll(STDOUT_FILENO, &ready, 1)) return 1;
  std::vector<int64_t> starts;  // round, start time (ns), ...
  uint32_t round = 0;
  while (ReadAll(STDIN_FILENO, &round, sizeof round) && round != kEndOfRun) {
    const int64_t start = NowNs();
    publisher->Publish(round);
    starts.push_back(round);
    starts.push_back(start);
  }
  const uint64_t count = starts.size() / 2;
  const bool sent = WriteAll(STDOUT_FILENO, &count, sizeof count) &&
                    WriteAll(STDOUT_FILENO, starts.data(), starts.size() * sizeof(int64_t));
  // The process-wide services are left to the kernel: taking them down is
  // not part of what is measured, and B is waiting for our exit.
  std::_Exit(sent ? 0 : 1);
}

// B's handle on process A: started with pipes for its standard input and
// output, killed if still running when the handle goes.
class PublisherProcess {
 public:
  PublisherProcess(const std::string& mode, uint16_t port) {
    int commands[2];
    int results[2];
    if (pipe2(commands, O_CLOEXEC) != 0 || pipe2(results, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    m_commands = commands[1];
    m_results = results[0];
    std::string self = "/proc/self/exe";
    std::string flag = kPublisherFlag;
    std::string portText = std::to_string(port);
    std::string parent = std::to_string(getpid());
    std::string modeText = mode;
    std::vector<char*> argv = {self.data(),     flag.data(),   modeText.data(),
                               portText.data(), parent.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, commands[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, results[1], STDOUT_FILENO);
    const int error = posix_spawn(&m_pid, self.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(commands[0]);
    close(results[1]);
    char ready = 0;
    if (error != 0 || !ReadAll(m_results, &ready, 1) || ready != 'R') {
      throw std::runtime_error("the publisher process did not start");
    }
  }
  ~PublisherProcess() {
    close(m_commands);
    close(m_results);
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }

  bool Start(uint32_t round) { return WriteAll(m_commands, &round, sizeof round); }

  // Ends the run: A's start time of every round it published.
  std::unordered_map<uint32_t, int64_t> Finish() {
    std::unordered_map<uint32_t, int64_t> starts;
    uint64_t count = 0;
    if (!WriteAll(m_commands, &kEndOfRun, sizeof kEndOfRun) || !ReadAll(m_results, &count, sizeof count)) {
      return starts;
    }
    std::vector<int64_t> pairs(count * 2);
    if (!ReadAll(m_results, pairs.data(), pairs.size() * sizeof(int64_t))) return starts;
    for (size_t i = 0; i < pairs.size(); i += 2) starts[static_cast<uint32_t>(pairs[i])] = pairs[i + 1];
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
    return starts;
  }

 private:
  pid_t m_pid = -1;
  int m_commands = -1;  // our end of A's standard input
  int m_results = -1;   // our end of A's standard output
};

// ---- Process B: the receiver ----

// The arrival time of each round. Thread-safe: m_mutex guards m_arrivals.
class Arrivals {
 public:
  void Record(uint32_t round) {
    const int64_t now = NowNs();
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_arrivals.emplace(round, now);
    }
    m_changed.notify_all();
  }
  // The arrival time of `round`, or false after `timeout`.
  bool WaitFor(uint32_t round, std::chrono::milliseconds timeout, int64_t& at) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_changed.wait_for(lock, timeout, [&] { return m_arrivals.count(round) > 0; })) return false;
    at = m_arrivals[round];
    return true;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::unordered_map<uint32_t, int64_t> m_arrivals;
};

// Makes rounds ready and tells when each arrived.
class Receiver {
 public:
  virtual ~Receiver() = default;
  // Rounds [first, first + count) will be published by A.
  virtual void Prepare(uint32_t first, uint32_t count) = 0;
  Arrivals& GetArrivals() { return m_arrivals; }

 protected:
  Arrivals m_arrivals;
};

// B's participating cache: stamps the arrival of every dirty entry.
class StampingCache : public ICoherentCache {
 public:
  explicit StampingCache(Arrivals& arrivals) : m_arrivals(arrivals) {}
  void OnDirty(const std::vector<unsigned int>& ids) override {
    for (unsigned id : ids) m_arrivals.Record(id - 1);
  }

 private:
  Arrivals& m_arrivals;
};

// The process-wide service of B, with one stale entry per round.
class ServiceReceiver : public Receiver {
 public:
  ServiceReceiver() : m_service(RedisPubsub::GetInstance().lock()) {}
  ~ServiceReceiver() override { m_service->OnRemoved(*m_cache); }
  void Prepare(uint32_t first, uint32_t count) override {
    for (uint32_t round = first; round < first + count; ++round) {
      m_service->OnAdded(KeyOfRound(round), kOldValue, kTime, GuidOfRound(round), m_cache);
    }
  }

 private:
  std::shared_ptr<RedisPubsub> m_service;
  std::shared_ptr<StampingCache> m_cache = std::make_shared<StampingCache>(m_arrivals);
};

// A thread of B reading a PSUBSCRIBE connection.
class RawReceiver : public Receiver {
 public:
  explicit RawReceiver(uint16_t port) : m_context(kelcache_bench::ConnectRawRedis(port)) {
    if (!kelcache_bench::RawRedisConnected(m_context)) throw std::runtime_error("subscriber: cannot connect");
    const std::string pattern = std::string(kRawChannelPrefix) + "*";
    auto* reply = static_cast<redisReply*>(redisCommand(m_context.get(), "PSUBSCRIBE %s", pattern.c_str()));
    if (reply == nullptr) throw std::runtime_error("subscriber: PSUBSCRIBE failed");
    freeReplyObject(reply);
    // Reads block from now on; the destructor ends them by shutting the socket.
    timeval forever{0, 0};
    redisSetTimeout(m_context.get(), forever);
    m_thread = std::thread([this] { Read(); });
  }
  ~RawReceiver() override {
    shutdown(m_context->fd, SHUT_RDWR);
    m_thread.join();
  }
  void Prepare(uint32_t, uint32_t) override {}

 private:
  void Read() {
    const size_t prefix = std::strlen(kRawChannelPrefix);
    for (;;) {
      void* reply = nullptr;
      if (redisGetReply(m_context.get(), &reply) != REDIS_OK || reply == nullptr) return;
      const auto* message = static_cast<redisReply*>(reply);
      // pmessage, pattern, channel, message
      if (message->type == REDIS_REPLY_ARRAY && message->elements == 4) {
        const std::string channel(message->element[2]->str, message->element[2]->len);
        m_arrivals.Record(static_cast<uint32_t>(std::stoul(channel.substr(prefix))));
      }
      freeReplyObject(reply);
    }
  }

  kelcache_bench::RawRedisContext m_context;
  std::thread m_thread;
};

void ReportPercentiles(benchmark::State& state, std::vector<double> micros) {
  std::sort(micros.begin(), micros.end());
  state.counters["p50_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
  state.counters["max_us"] = micros.back();
}

// Rounds numbers are never reused within a process: B's service keeps its
// state from one repetition to the next.
uint32_t s_nextRound = 0;

// Who publishes in process A.
enum class PublisherKind { Raw, Service, ServiceWithOwnDelivery };

const char* ModeOf(PublisherKind kind) {
  switch (kind) {
    case PublisherKind::Service: return "service";
    case PublisherKind::ServiceWithOwnDelivery: return "service-own-delivery";
    case PublisherKind::Raw: break;
  }
  return "raw";
}

// Arg: the number of timed deliveries.
template <PublisherKind kind>
void Propagation(benchmark::State& state) {
  const uint16_t port = kelcache_bench::PooledRedisServer().Port();
  const uint32_t messages = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    std::unique_ptr<Receiver> receiver;
    if constexpr (kind != PublisherKind::Raw) {
      receiver = std::make_unique<ServiceReceiver>();
    } else {
      receiver = std::make_unique<RawReceiver>(port);
    }
    const uint32_t first = s_nextRound;
    const uint32_t rounds = kReadyAttempts + kWarmUpRounds + messages;
    s_nextRound += rounds;
    receiver->Prepare(first, rounds);
    PublisherProcess publisher(ModeOf(kind), port);

    uint32_t round = first;
    int64_t arrived = 0;
    bool ready = false;
    for (int attempt = 0; attempt < kReadyAttempts && !ready; ++attempt, ++round) {
      ready = publisher.Start(round) &&
              receiver->GetArrivals().WaitFor(round, std::chrono::milliseconds(200), arrived);
    }
    if (!ready) {
      state.SkipWithError("B never received a message");
      break;
    }
    round = first + kReadyAttempts;
    std::vector<uint32_t> timed;
    std::vector<int64_t> arrivals;
    bool failed = false;
    for (uint32_t i = 0; i < kWarmUpRounds + messages && !failed; ++i, ++round) {
      failed = !publisher.Start(round) || !receiver->GetArrivals().WaitFor(round, kRoundTimeout, arrived);
      if (i >= static_cast<uint32_t>(kWarmUpRounds)) {
        timed.push_back(round);
        arrivals.push_back(arrived);
      }
    }
    if (failed) {
      state.SkipWithError("a message did not arrive within 5 s");
      break;
    }
    const std::unordered_map<uint32_t, int64_t> starts = publisher.Finish();
    std::vector<double> micros;
    for (size_t i = 0; i < timed.size(); ++i) {
      auto start = starts.find(timed[i]);
      if (start != starts.end()) micros.push_back(static_cast<double>(arrivals[i] - start->second) / 1000.0);
    }
    if (micros.size() != timed.size()) {
      state.SkipWithError("the publisher did not report every round");
      break;
    }
    ReportPercentiles(state, micros);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * messages);
}

class NullCache : public ICoherentCache {
 public:
  void OnDirty(const std::vector<unsigned int>&) override {}
};

// A service that publishes nowhere, with one cache that ignores dirt.
struct LocalService {
  bool unitTestMode = (AppConfig::GetInstance().SetUnitTestFlag(true), true);
  NoSubscriptions manager;
  std::shared_ptr<RedisPubsub> service =
      RedisPubsub::CreateTestInstance(TString(u"bench."), manager, [](const TString&, const TString&) {});
  std::shared_ptr<NullCache> cache = std::make_shared<NullCache>();
};

void OnAdded(benchmark::State& state) {
  LocalService local;
  auto& service = local.service;
  auto& cache = local.cache;
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
  LocalService local;
  auto& service = local.service;
  auto& cache = local.cache;
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

// What every propagation benchmark shares: one run of 5000 timed deliveries.
void PropagationRun(benchmark::internal::Benchmark* run) {
  run->ArgName("messages")->Arg(5000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
}
BENCHMARK_TEMPLATE(Propagation, PublisherKind::Service)->Name("Propagation/Service")->Apply(PropagationRun);
BENCHMARK_TEMPLATE(Propagation, PublisherKind::ServiceWithOwnDelivery)
    ->Name("Propagation/ServiceWithOwnDelivery")
    ->Apply(PropagationRun);
BENCHMARK_TEMPLATE(Propagation, PublisherKind::Raw)->Name("Propagation/RawPubSub")->Apply(PropagationRun);
BENCHMARK(OnAdded)->Name("OnAdded/tracked:100000");
BENCHMARK(Prune)->Name("Prune/evicted:100000")->Iterations(5)->Unit(benchmark::kMillisecond);

// The program is also process A of the propagation benchmarks
// (--coherence-publisher, see RunPublisher).
int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], kPublisherFlag) == 0) return RunPublisher(argc, argv);
  AppConfig::GetInstance().SetUnitTestFlag(true);
  // The server is started on the main thread: its PR_SET_PDEATHSIG follows
  // the thread that started it.
  kelcache_bench::PooledRedisServer();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
