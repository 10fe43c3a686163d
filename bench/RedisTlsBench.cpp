// The Redis client over TLS against the same client over plain TCP, one
// private redis-server listening on both (a plain port and a TLS port, with
// certificates the program makes), so the difference is the encryption and
// nothing else.
//
//   Tls/Store|Load/bytes:4096/real_time/threads:<n>
//       a pooled connection per command (FindAndLockPooledConnection), SET or
//       GET of 4 KiB, from n callers (1, 8), each on its own 64 keys; the
//       pool configured with tls=on and the test CA
//   Plain/Store|Load/bytes:4096/real_time/threads:<n>
//       the same over the plain port
// Both use connections=16 (two shared sockets for 8 callers). The TLS
// handshakes happen once per socket, before the timed loop of the first
// benchmark of a kind. items_per_second is the operations per second of all
// callers together (wall-clock time).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/redis/RedisConnectionPool.h"
#include "testing/RedisServerProcess.h"
#include "testing/TlsCertificates.h"

namespace {

using kelvra::caching::RedisConnectionPool;

constexpr int kKeysPerCaller = 64;
constexpr int kMaxCallers = 8;
constexpr size_t kBytes = 4096;

enum class Transport { kPlain, kTls };

// A fresh folder for the certificates, removed at exit.
std::filesystem::path MakeFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kelcache-tls-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary folder");
  return pattern;
}

// The server, its certificates and the keys, made once for the whole run.
class Environment {
 public:
  static Environment& Get() {
    static Environment environment;
    return environment;
  }

  static std::string Key(int caller, int index) {
    return "tls-bench-" + std::to_string(caller) + "-" + std::to_string(index);
  }

  // Points the pool at the port of `transport`, unless it points there
  // already (a new configuration means new sockets and handshakes).
  void Use(Transport transport) {
    if (m_current == transport) return;
    const std::string common = "connections=16;wait_ms=1000";
    if (transport == Transport::kTls) {
      RedisConnectionPool::GetInstance().Reset(
          TString::fromStdString("127.0.0.1:" + std::to_string(m_tlsPort)),
          TString::fromStdString(common + ";tls=on;tls_ca_file=" + m_certificates.caFile));
    } else {
      RedisConnectionPool::GetInstance().Reset(TString::fromStdString(m_server.Address()),
                                               TString::fromStdString(common));
    }
    m_current = transport;
  }

  ~Environment() {
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
  }

 private:
  Environment()
      : m_folder(MakeFolder()),
        m_certificates(m_folder.string()),
        m_tlsPort(kelcache_testing::FindFreeLoopbackPort()),
        m_server(ServerOptions(m_certificates, m_tlsPort)) {
    // Every load finds its key.
    Use(Transport::kPlain);
    auto value = std::make_shared<std::vector<uint8_t>>(kBytes, uint8_t{0x5A});
    for (int caller = 0; caller < kMaxCallers; ++caller) {
      for (int index = 0; index < kKeysPerCaller; ++index) {
        auto guard = RedisConnectionPool::FindAndLockPooledConnection(TString::fromStdString(Key(caller, index)));
        if (!guard || !guard->GetConnection().Set(Key(caller, index), value)) {
          throw std::runtime_error("cannot fill the benchmark server");
        }
      }
    }
  }

  static kelcache_testing::RedisServerProcess::Options ServerOptions(
      const kelcache_testing::TlsCertificates& certificates, uint16_t tlsPort) {
    kelcache_testing::RedisServerProcess::Options options;
    options.arguments = {"--tls-port",         std::to_string(tlsPort), "--tls-cert-file",
                         certificates.serverCertFile, "--tls-key-file",  certificates.serverKeyFile,
                         "--tls-ca-cert-file", certificates.caFile,     "--tls-auth-clients",
                         "no"};
    return options;
  }

  const std::filesystem::path m_folder;
  const kelcache_testing::TlsCertificates m_certificates;
  const uint16_t m_tlsPort;
  kelcache_testing::RedisServerProcess m_server;  // plain port Port(), TLS port m_tlsPort
  Transport m_current = Transport::kTls;           // anything but the first Use
};

void Loop(benchmark::State& state, Transport transport, bool store) {
  // Google Benchmark starts the timed loops of all threads together, after
  // thread 0 has got here.
  if (state.thread_index() == 0) Environment::Get().Use(transport);
  auto value = std::make_shared<std::vector<uint8_t>>(kBytes, static_cast<uint8_t>(state.thread_index()));
  std::vector<std::string> keys;
  std::vector<TString> routingKeys;
  for (int index = 0; index < kKeysPerCaller; ++index) {
    keys.push_back(Environment::Key(state.thread_index(), index));
    routingKeys.push_back(TString::fromStdString(keys.back()));
  }
  size_t index = 0;
  for (auto _ : state) {
    auto guard = RedisConnectionPool::FindAndLockPooledConnection(routingKeys[index]);
    if (!guard) {
      state.SkipWithError("no connection");
      break;
    }
    try {
      if (store) {
        guard->GetConnection().Set(keys[index], value);
      } else if (auto loaded = guard->GetConnection().Get(keys[index]); !loaded || loaded->size() != kBytes) {
        state.SkipWithError("a load missed");
        break;
      }
    } catch (const std::exception& error) {
      state.SkipWithError(error.what());
      break;
    }
    index = (index + 1) % keys.size();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

void TlsStore(benchmark::State& state) { Loop(state, Transport::kTls, true); }
void TlsLoad(benchmark::State& state) { Loop(state, Transport::kTls, false); }
void PlainStore(benchmark::State& state) { Loop(state, Transport::kPlain, true); }
void PlainLoad(benchmark::State& state) { Loop(state, Transport::kPlain, false); }

void Arguments(benchmark::internal::Benchmark* benchmark) {
  benchmark->Arg(static_cast<int64_t>(kBytes))->ArgName("bytes")->UseRealTime();
}

// The server is started on the main thread before the benchmarks run: its
// parent-death signal follows the thread that started it, and Google
// Benchmark's worker threads end after each benchmark.
const bool s_environmentReady = (Environment::Get(), true);

}  // namespace

// Every one-caller benchmark before any eight-caller one: after eight
// threads have allocated and freed, glibc's dynamic malloc thresholds can
// leave a one-caller loop of the same process paying page faults on every
// operation, whichever the transport (see docs/redis.md, TLS).
BENCHMARK(TlsStore)->Name("Tls/Store")->Apply(Arguments)->Threads(1);
BENCHMARK(TlsLoad)->Name("Tls/Load")->Apply(Arguments)->Threads(1);
BENCHMARK(PlainStore)->Name("Plain/Store")->Apply(Arguments)->Threads(1);
BENCHMARK(PlainLoad)->Name("Plain/Load")->Apply(Arguments)->Threads(1);
BENCHMARK(TlsStore)->Name("Tls/Store")->Apply(Arguments)->Threads(8);
BENCHMARK(TlsLoad)->Name("Tls/Load")->Apply(Arguments)->Threads(8);
BENCHMARK(PlainStore)->Name("Plain/Store")->Apply(Arguments)->Threads(8);
BENCHMARK(PlainLoad)->Name("Plain/Load")->Apply(Arguments)->Threads(8);
