// Helpers of the Redis tests: a raw hiredis client of the test's own (to see
// what the library wrote, independently of it), waiting for a condition, and
// the pool configured for the test's servers.
#pragma once

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/TString.h"
#include "host/redis/RedisConnectionPool.h"
#include "tests/support/RedisServer.h"

namespace kelcache_test {

using namespace std::chrono_literals;

using RedisBytes = std::vector<uint8_t>;
using RedisValue = std::shared_ptr<RedisBytes>;

// A generous bound for what should happen soon: reaching it means a hang.
constexpr std::chrono::milliseconds kRedisLongWait = 15s;

inline RedisValue MakeRedisValue(const std::string& text) { return std::make_shared<RedisBytes>(text.begin(), text.end()); }
inline RedisValue MakePatternValue(size_t size, uint8_t node) {
  auto value = std::make_shared<RedisBytes>(size);
  for (size_t i = 0; i < size; ++i) (*value)[i] = static_cast<uint8_t>(node + i * 31 + (i >> 9));
  return value;
}

// Polls `condition` every 10 ms until it holds or `timeout` passes.
inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kRedisLongWait) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// Configures the process's pool for these servers.
inline void ConfigurePool(const std::vector<const RedisServer*>& servers, const std::string& options = "") {
  std::string text;
  for (const RedisServer* server : servers) {
    if (!text.empty()) text += ',';
    text += server->Address();
  }
  kelvra::caching::RedisConnectionPool::GetInstance().Reset(TString::fromStdString(text),
                                                            TString::fromStdString(options));
}

// A plain hiredis client. Each command uses a fresh connection, so a server
// that was killed or restarted in between never leaves a stale one (and no
// write ever goes to a dead peer).
class RawRedis {
 public:
  struct ReplyDeleter {
    void operator()(redisReply* reply) const { freeReplyObject(reply); }
  };
  using Reply = std::unique_ptr<redisReply, ReplyDeleter>;

  explicit RawRedis(const RedisServer& server, std::string password = "", int database = 0)
      : m_port(server.Port()), m_password(std::move(password)), m_database(database) {}

  // The reply, or null (with a test failure) when the server cannot be
  // reached.
  Reply Command(const std::vector<std::string>& arguments) const {
    timeval timeout{5, 0};
    redisContext* context = redisConnectWithTimeout("127.0.0.1", m_port, timeout);
    if (context == nullptr || context->err) {
      ADD_FAILURE() << "raw client: cannot connect to port " << m_port << ": "
                    << (context ? context->errstr : "no memory");
      if (context) redisFree(context);
      return nullptr;
    }
    redisSetTimeout(context, timeout);
    if (!m_password.empty()) Run(context, {"AUTH", m_password});
    if (m_database != 0) Run(context, {"SELECT", std::to_string(m_database)});
    Reply reply = Run(context, arguments);
    redisFree(context);
    return reply;
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
  // The server's count of connected clients, this command's included.
  long long ConnectedClients() const {
    Reply reply = Command({"INFO", "clients"});
    if (!reply || reply->type != REDIS_REPLY_STRING) return -1;
    std::string info(reply->str, reply->len);
    size_t at = info.find("connected_clients:");
    return at == std::string::npos ? -1 : std::stoll(info.substr(at + 18));
  }
  std::vector<std::string> Keys(const std::string& pattern = "*") const {
    std::vector<std::string> keys;
    Reply reply = Command({"KEYS", pattern});
    if (reply && reply->type == REDIS_REPLY_ARRAY) {
      for (size_t i = 0; i < reply->elements; ++i) keys.emplace_back(reply->element[i]->str, reply->element[i]->len);
    }
    return keys;
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
        redisCommandArgv(context, static_cast<int>(argv.size()), argv.data(), lengths.data())));
  }

  uint16_t m_port;
  std::string m_password;
  int m_database;
};

}  // namespace kelcache_test
