// The Redis store through the whole external cache frame, side by side with
// a raw hiredis loop on the same number of connections and with the
// redis-benchmark tool (same value size and clients, no pipelining), all
// against one private redis-server that the program starts on a free
// loopback port and kills at the end.
//
//   Frame/Store|Load/<bytes>/threads:<n>   RedisExternalCache::TryStore(...).Get()
//                                          or TryLoad(...).Get(), n callers
//   Client/Set|Get/<bytes>/threads:<n>     the client services alone: a pooled
//                                          connection per command
//                                          (FindAndLockPooledConnection), no frame
//   Raw/Set|Get/<bytes>/threads:<n>        SET or GET on the same physical keys,
//                                          one hiredis connection per caller,
//                                          read buffer kept as kelcache keeps it
//   TaskHop/threads:<n>                    one host task launched and waited for
//                                          (AsyncTask::Launch(...).Get()), the
//                                          frame's unit of thread hand-over
//   RedisBenchmarkTool/<bytes>/<clients>   redis-benchmark -t set,get -d <bytes>
//                                          -c <clients> -P 1; counters set_ops
//                                          and get_ops (requests per second)
// items_per_second is the operations per second of all callers together.
//
// The benchmark programs link only kelcache, so the raw loop reaches hiredis
// (which kelcache loads) through dlsym.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/AppOptions.h"
#include "host/AsyncTask.h"
#include "host/redis/RedisConnectionPool.h"
#include "public/caching/RedisExternalCache.h"

namespace {

using kelvra::caching::RedisExternalCache;

constexpr int kKeysPerCaller = 64;
constexpr int kMaxCallers = 8;
constexpr unsigned kSlowLoadMs = 1000000;  // never skipped as "too fast to store"
const TString kNamespace(u"bench");

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
  decltype(&freeReplyObject) freeReply;
  decltype(&redisFree) free;

  Hiredis() {
    connect = reinterpret_cast<decltype(connect)>(dlsym(RTLD_DEFAULT, "redisConnectWithTimeout"));
    command = reinterpret_cast<decltype(command)>(dlsym(RTLD_DEFAULT, "redisCommandArgv"));
    freeReply = reinterpret_cast<decltype(freeReply)>(dlsym(RTLD_DEFAULT, "freeReplyObject"));
    free = reinterpret_cast<decltype(free)>(dlsym(RTLD_DEFAULT, "redisFree"));
    if (!connect || !command || !freeReply || !free) throw std::runtime_error("hiredis symbols not found");
  }
};

// The private server, the pool and the keys, made once for the whole run.
class Environment {
 public:
  static Environment& Get() {
    static Environment environment;
    return environment;
  }

  uint16_t Port() const { return m_port; }
  const Hiredis& Api() const { return m_hiredis; }
  static TString Key(int caller, int index, size_t bytes) {
    return TString::fromStdString("c" + std::to_string(caller) + "-" + std::to_string(index) + "-" +
                                  std::to_string(bytes));
  }

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
    std::string server = FindOnPath("redis-server");
    if (server.empty()) throw std::runtime_error("redis-server not found on the PATH (apt-get install redis-server)");
    m_port = FreeLoopbackPort();
    m_dir = std::filesystem::temp_directory_path() / ("kelcache-redis-bench-" + std::to_string(getpid()));
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
        TString::fromStdString("127.0.0.1:" + std::to_string(m_port)),
        TString::fromStdString("connections=" + std::to_string(kMaxCallers) + ";wait_ms=1000"));
    // Every load finds its key.
    RedisExternalCache cache(kNamespace);
    for (size_t bytes : {size_t{4096}, size_t{65536}}) {
      auto value = std::make_shared<std::vector<uint8_t>>(bytes, uint8_t{0x5A});
      for (int caller = 0; caller < kMaxCallers; ++caller) {
        for (int index = 0; index < kKeysPerCaller; ++index) {
          cache.TryStore(Key(caller, index, bytes), value, kSlowLoadMs, -1).Get();
        }
      }
    }
  }

  bool Ping() const {
    timeval timeout{1, 0};
    redisContext* context = m_hiredis.connect("127.0.0.1", m_port, timeout);
    bool up = false;
    if (context && !context->err) {
      const char* argv[] = {"PING"};
      size_t lengths[] = {4};
      if (void* reply = m_hiredis.command(context, 1, argv, lengths)) {
        up = static_cast<redisReply*>(reply)->type == REDIS_REPLY_STATUS;
        m_hiredis.freeReply(reply);
      }
    }
    if (context) m_hiredis.free(context);
    return up;
  }

  Hiredis m_hiredis;
  uint16_t m_port = 0;
  pid_t m_pid = -1;
  std::filesystem::path m_dir;
};

void FrameStore(benchmark::State& state) {
  Environment& environment = Environment::Get();
  const size_t bytes = static_cast<size_t>(state.range(0));
  RedisExternalCache cache(kNamespace);
  auto value = std::make_shared<std::vector<uint8_t>>(bytes, static_cast<uint8_t>(state.thread_index()));
  int index = 0;
  for (auto _ : state) {
    bool stored = cache.TryStore(environment.Key(state.thread_index(), index, bytes), value, kSlowLoadMs, -1).Get();
    if (!stored) state.SkipWithError("a store failed");
    index = (index + 1) % kKeysPerCaller;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void FrameLoad(benchmark::State& state) {
  Environment& environment = Environment::Get();
  const size_t bytes = static_cast<size_t>(state.range(0));
  RedisExternalCache cache(kNamespace);
  int index = 0;
  for (auto _ : state) {
    auto value = cache.TryLoad(environment.Key(state.thread_index(), index, bytes)).Get();
    if (!value || value->size() != bytes) state.SkipWithError("a load missed");
    index = (index + 1) % kKeysPerCaller;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// The client services without the frame: the pool and one command.
void ClientLoop(benchmark::State& state, bool set) {
  Environment& environment = Environment::Get();
  const size_t bytes = static_cast<size_t>(state.range(0));
  auto value = std::make_shared<std::vector<uint8_t>>(bytes, static_cast<uint8_t>(state.thread_index()));
  int index = 0;
  for (auto _ : state) {
    TString key = environment.Key(state.thread_index(), index, bytes);
    auto guard = kelvra::caching::RedisConnectionPool::FindAndLockPooledConnection(key);
    if (!guard) {
      state.SkipWithError("no connection");
      break;
    }
    std::string physical = RedisExternalCache::MakePhysicalCacheKey(kNamespace, key);
    try {
      if (set) {
        guard->GetConnection().Set(physical, value);
      } else if (auto loaded = guard->GetConnection().Get(physical); !loaded || loaded->size() != bytes) {
        state.SkipWithError("a load missed");
      }
    } catch (const std::exception& error) {
      state.SkipWithError(error.what());
      break;
    }
    index = (index + 1) % kKeysPerCaller;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
void ClientSet(benchmark::State& state) { ClientLoop(state, true); }
void ClientGet(benchmark::State& state) { ClientLoop(state, false); }

// One host task hop: what the frame adds per thread hand-over.
void TaskHop(benchmark::State& state) {
  for (auto _ : state) {
    bool done = AsyncTask::Launch(AsyncTask::LaunchMode::Asynchronous, [] { return true; }).Get();
    benchmark::DoNotOptimize(done);
  }
  state.SetItemsProcessed(state.iterations());
}

// One hiredis connection per caller, the same physical keys as the frame.
void RawLoop(benchmark::State& state, bool set) {
  Environment& environment = Environment::Get();
  const Hiredis& api = environment.Api();
  const size_t bytes = static_cast<size_t>(state.range(0));
  timeval timeout{5, 0};
  redisContext* context = api.connect("127.0.0.1", environment.Port(), timeout);
  // The same read-buffer setting as kelcache's connections (see
  // RedisConnection::Connect), so that both sides pay the same allocations.
  context->reader->maxbuf = 1024 * 1024;
  std::vector<std::string> keys;
  for (int index = 0; index < kKeysPerCaller; ++index) {
    keys.push_back(RedisExternalCache::MakePhysicalCacheKey(kNamespace, environment.Key(state.thread_index(), index, bytes)));
  }
  std::string value(bytes, static_cast<char>(state.thread_index()));
  int index = 0;
  for (auto _ : state) {
    const std::string& key = keys[static_cast<size_t>(index)];
    const char* argv[] = {set ? "SET" : "GET", key.data(), value.data()};
    size_t lengths[] = {3, key.size(), value.size()};
    auto* reply = static_cast<redisReply*>(api.command(context, set ? 3 : 2, argv, lengths));
    if (!reply || (!set && reply->len != bytes)) state.SkipWithError("a raw command failed");
    if (reply) api.freeReply(reply);
    index = (index + 1) % kKeysPerCaller;
  }
  api.free(context);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
void RawSet(benchmark::State& state) { RawLoop(state, true); }
void RawGet(benchmark::State& state) { RawLoop(state, false); }

// redis-benchmark -t set,get with the same size and number of clients.
void RedisBenchmarkTool(benchmark::State& state) {
  Environment& environment = Environment::Get();
  std::string tool = FindOnPath("redis-benchmark");
  if (tool.empty()) {
    state.SkipWithError("redis-benchmark not found on the PATH (apt-get install redis-tools)");
    return;
  }
  const long bytes = static_cast<long>(state.range(0));
  const long clients = static_cast<long>(state.range(1));
  const long requests = bytes > 16384 ? 10000 : 20000;
  std::string command = tool + " -h 127.0.0.1 -p " + std::to_string(environment.Port()) + " -t set,get -d " +
                        std::to_string(bytes) + " -c " + std::to_string(clients) + " -n " +
                        std::to_string(requests) + " -P 1 -r " + std::to_string(kKeysPerCaller) + " --csv 2>&1";
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
      std::string text(line);
      auto valueOf = [&text]() {
        size_t start = text.find("\",\"") + 3;
        return std::atof(text.substr(start, text.find('"', start) - start).c_str());
      };
      if (text.rfind("\"SET\"", 0) == 0) setOps = valueOf();
      if (text.rfind("\"GET\"", 0) == 0) getOps = valueOf();
    }
    pclose(pipe);
  }
  state.counters["set_ops"] = setOps;
  state.counters["get_ops"] = getOps;
}

// The server is started on the main thread before the benchmarks run: its
// PR_SET_PDEATHSIG follows the thread that started it, and benchmark threads
// end after each benchmark.
const bool kEnvironmentReady = (Environment::Get(), true);

}  // namespace

BENCHMARK(FrameStore)->Arg(4096)->Arg(65536)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(FrameLoad)->Arg(4096)->Arg(65536)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(ClientSet)->Arg(4096)->Arg(65536)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(ClientGet)->Arg(4096)->Arg(65536)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(RawSet)->Arg(4096)->Arg(65536)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(RawGet)->Arg(4096)->Arg(65536)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(TaskHop)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(RedisBenchmarkTool)
    ->Args({4096, 1})
    ->Args({4096, 8})
    ->Args({65536, 1})
    ->Args({65536, 8})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
