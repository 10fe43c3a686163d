// Helpers of the Redis tests: a raw hiredis client of the test's own (to see
// what the library wrote, independently of it), waiting for a condition, the
// pool configured for the test's servers, a server that speaks plain TCP or
// TLS (so that one test body checks both), a round trip through the pool,
// values that name their owner, an inbox for subscriptions and a count of
// captured log lines.
#pragma once

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/LogCapture.h"
#include "host/TString.h"
#include "host/redis/RedisConnectionPool.h"
#include "testing/TlsCertificates.h"
#include "testing/TlsRedisServer.h"
#include "tests/support/RedisServer.h"
#include "tests/support/TestEnvironment.h"

namespace kelcache_test {

using namespace std::chrono_literals;

using RedisBytes = std::vector<uint8_t>;
using RedisValue = std::shared_ptr<RedisBytes>;

// A generous bound for what should happen soon: reaching it means a hang.
constexpr std::chrono::milliseconds kRedisLongWait = 15s;

inline RedisValue MakePatternValue(size_t size, uint8_t node) {
  auto value = std::make_shared<RedisBytes>(size);
  for (size_t i = 0; i < size; ++i) (*value)[i] = static_cast<uint8_t>(node + i * 31 + (i >> 9));
  return value;
}

// Configures the process's pool from a servers text and an options text.
inline void Configure(const std::string& servers, const std::string& options = "") {
  kelvra::caching::RedisConnectionPool::GetInstance().Reset(TString::fromStdString(servers),
                                                            TString::fromStdString(options));
}

inline std::unique_ptr<kelvra::caching::RedisConnectionGuard> Lock(const std::string& key) {
  return kelvra::caching::RedisConnectionPool::FindAndLockPooledConnection(TString::fromStdString(key));
}

// How many captured lines hold `text` and `also`.
inline size_t LinesWith(const TLog::Capture& capture, const std::string& text, const std::string& also = "") {
  const std::vector<TString> lines = capture.Lines();
  return std::count_if(lines.begin(), lines.end(), [&](const TString& line) {
    const std::string shown = line.toStdString();
    return shown.find(text) != std::string::npos && shown.find(also) != std::string::npos;
  });
}

// Stores and loads one value through the pool. Empty when all went
// well, else what went wrong as the caller would learn it: the error that a
// command raised, or, when the pool gave no connection, the Warn lines that
// say why.
inline std::string RoundTrip(const std::string& key, const RedisValue& value) {
  TLog::Capture capture(TLog::Warn);
  try {
    auto guard = Lock(key);
    if (!guard) {
      std::string lines;
      for (const TString& line : capture.Lines()) lines += line.toStdString() + "\n";
      return "no connection: " + lines;
    }
    if (!guard->GetConnection().Set(key, value)) return "SET failed";
    RedisValue loaded = guard->GetConnection().Get(key);
    if (!loaded || *loaded != *value) return "GET returned another value";
  } catch (const std::exception& error) {
    return std::string("error: ") + error.what();
  }
  return std::string();
}

// A value that names its owner and version ("t=<owner>;v=<version>;"), then
// bytes derived from both, so that a value cut short, mixed with another or
// handed to the wrong caller shows.
inline RedisValue OwnedValue(int owner, int version, size_t size) {
  std::string head = "t=" + std::to_string(owner) + ";v=" + std::to_string(version) + ";";
  auto value = MakePatternValue(std::max(size, head.size()), static_cast<uint8_t>(owner * 31 + version));
  std::copy(head.begin(), head.end(), value->begin());
  return value;
}

// The test CA and its certificates, made once for the whole program (and
// removed with their folder at exit).
inline const kelcache_testing::TlsCertificates& TestCertificates() {
  static const TempDir folder;
  static const kelcache_testing::TlsCertificates certificates(folder.str());
  return certificates;
}
// The options text that turns TLS on and trusts the test CA, with `more`.
inline std::string TrustingOptions(const std::string& more = "") {
  return "tls=on;tls_ca_file=" + TestCertificates().caFile + (more.empty() ? "" : ";" + more);
}

// How the client reaches a server: plain TCP or TLS. Tests of a contract that
// holds for both run once per wire (TEST_P over kWires).
enum class Wire { kTcp, kTls };
inline const auto kWires = testing::Values(Wire::kTcp, Wire::kTls);
inline std::string WireName(const testing::TestParamInfo<Wire>& info) {
  return info.param == Wire::kTcp ? "Tcp" : "Tls";
}

// A private redis-server that listens in plain TCP or, for kTls, in TLS only
// with the test CA's server certificate.
class WireServer : public kelcache_testing::RedisServerProcess {
 public:
  explicit WireServer(Wire wire, const std::string& certFile = TestCertificates().serverCertFile,
                      const std::string& keyFile = TestCertificates().serverKeyFile, bool authClients = false)
      : RedisServerProcess(wire == Wire::kTcp ? RedisServerProcess::Options{}
                                              : kelcache_testing::TlsOnlyRedisServerOptions(
                                                    certFile, keyFile, TestCertificates().caFile, authClients)),
        m_wire(wire) {}
  // The options text for this server's wire, with `more`.
  std::string Options(const std::string& more = "") const {
    return m_wire == Wire::kTls ? TrustingOptions(more) : more;
  }
  // SIGSTOP, and waits until it took effect (state T in /proc/<pid>/stat), so
  // that nothing sent afterwards is answered.
  void Pause() {
    RedisServerProcess::Pause();
    EXPECT_TRUE(WaitUntil([&] {
      std::ifstream file("/proc/" + std::to_string(Pid()) + "/stat");
      std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      const size_t end = stat.rfind(')');  // the name may hold spaces and parentheses
      return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'T';
    }));
  }

 private:
  Wire m_wire;
};

// The messages a subscription received, thread-safe.
class Inbox {
 public:
  void Add(const TString& channel, const void* data, int length) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.emplace_back(channel.toStdString(), std::string(static_cast<const char*>(data), length));
    m_arrived.notify_all();
  }
  auto Callback() {
    return [this](const TString& channel, const void* data, int length) { Add(channel, data, length); };
  }
  bool WaitFor(size_t count, std::chrono::milliseconds timeout = kRedisLongWait) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, timeout, [&] { return m_messages.size() >= count; });
  }
  std::vector<std::pair<std::string, std::string>> Messages() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
  }
  size_t Count() const { return Messages().size(); }

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_arrived;
  std::vector<std::pair<std::string, std::string>> m_messages;
};

// A plain hiredis client. Each command uses a fresh connection, so a server
// that was killed or restarted in between never leaves a stale one (and no
// write ever goes to a dead peer).
class RawRedis {
 public:
  using Reply = std::unique_ptr<redisReply, decltype(&freeReplyObject)>;

  explicit RawRedis(const RedisServer& server, std::string password = "", int database = 0)
      : m_port(server.Port()), m_password(std::move(password)), m_database(database) {}

  // The reply, or null (with a test failure) when the server cannot be
  // reached.
  Reply Command(const std::vector<std::string>& arguments) const {
    timeval timeout{5, 0};
    std::unique_ptr<redisContext, decltype(&redisFree)> context(
        redisConnectWithTimeout("127.0.0.1", m_port, timeout), redisFree);
    if (!context || context->err) {
      ADD_FAILURE() << "raw client: cannot connect to port " << m_port << ": "
                    << (context ? context->errstr : "no memory");
      return Reply(nullptr, freeReplyObject);
    }
    redisSetTimeout(context.get(), timeout);
    if (!m_password.empty()) Run(context.get(), {"AUTH", m_password});
    if (m_database != 0) Run(context.get(), {"SELECT", std::to_string(m_database)});
    return Run(context.get(), arguments);
  }

  std::optional<std::string> Get(const std::string& key) const {
    Reply reply = Command({"GET", key});
    if (!reply || reply->type != REDIS_REPLY_STRING) return std::nullopt;
    return std::string(reply->str, reply->len);
  }
  long long Integer(const std::vector<std::string>& arguments) const {
    Reply reply = Command(arguments);
    if (!reply || reply->type != REDIS_REPLY_INTEGER) {
      ADD_FAILURE() << "raw client: " << arguments[0] << " gave no integer";
      return -100;
    }
    return reply->integer;
  }
  long long Ttl(const std::string& key) const { return Integer({"TTL", key}); }
  long long DbSize() const { return Integer({"DBSIZE"}); }
  // A number of INFO ("connected_clients", this command's connection
  // included), or -1.
  long long Info(const std::string& field) const {
    Reply reply = Command({"INFO"});
    const std::string info = reply && reply->type == REDIS_REPLY_STRING ? std::string(reply->str, reply->len) : "";
    const size_t at = info.find("\n" + field + ":");
    return at == std::string::npos ? -1 : std::stoll(info.substr(at + field.size() + 2));
  }

 private:
  static Reply Run(redisContext* context, const std::vector<std::string>& arguments) {
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    for (const std::string& argument : arguments) {
      argv.push_back(argument.data());
      lengths.push_back(argument.size());
    }
    return Reply(static_cast<redisReply*>(
                     redisCommandArgv(context, static_cast<int>(argv.size()), argv.data(), lengths.data())),
                 freeReplyObject);
  }

  uint16_t m_port;
  std::string m_password;
  int m_database;
};

// True while SIGPIPE keeps its default action (ending the process) and the
// calling thread does not block it: the library must never change either.
inline bool SigpipeHasItsDefaultActionAndIsNotBlocked() {
  struct sigaction action {};
  sigaction(SIGPIPE, nullptr, &action);
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return action.sa_handler == SIG_DFL && sigismember(&mask, SIGPIPE) == 0;
}

}  // namespace kelcache_test
