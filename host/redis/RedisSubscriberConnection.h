// RedisSubscriberConnection: the one connection of the subscription manager,
// in Redis subscribe mode. It writes commands (PSUBSCRIBE, PUNSUBSCRIBE,
// PING) and waits for what the server pushes, with a time-out and a wake-up
// descriptor, so that the subscriber thread notices new requests and
// shutdown at once and never blocks for long.
//
// Reading is done with poll(2) and non-blocking hiredis reader calls, so a
// quiet connection is not an error (hiredis's blocking reads would break the
// context on every read time-out). Every write runs under a SigpipeGuard.
//
// Thread rules: not thread-safe; used by the subscriber thread only.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "host/redis/RedisConfiguration.h"

struct redisContext;

namespace kelvra::caching {

class RedisSubscriberConnection {
 public:
  struct Event {
    enum class Kind { Message, Subscribed, Unsubscribed, Pong };
    Kind kind = Kind::Message;
    std::string pattern;  // Message, Subscribed, Unsubscribed
    std::string channel;  // Message
    std::string payload;  // Message
  };

  RedisSubscriberConnection(RedisServerAddress address, RedisPoolOptions options);
  ~RedisSubscriberConnection();
  RedisSubscriberConnection(const RedisSubscriberConnection&) = delete;
  RedisSubscriberConnection& operator=(const RedisSubscriberConnection&) = delete;

  // TCP within the connect time-out, then AUTH when a password is set.
  // Raises RedisIoError, RedisTimeoutError or RedisReplyError.
  void Connect();
  // Writes one command; each wait for the socket is bounded by the command
  // time-out. Raises RedisIoError or RedisTimeoutError.
  void Send(const std::vector<std::string>& arguments);
  // Waits up to `timeout` until the server sends something or `wakeFd`
  // becomes readable, and returns the complete replies received so far
  // (possibly none). Raises RedisIoError when the connection closed or
  // broke, RedisReplyError for an error reply.
  std::vector<Event> Wait(int wakeFd, std::chrono::milliseconds timeout);

  const RedisServerAddress& Address() const { return m_address; }

 private:
  void TakeReplies(std::vector<Event>& events);
  [[noreturn]] void Fail(const std::string& what, int savedErrno);

  const RedisServerAddress m_address;
  const RedisPoolOptions m_options;
  redisContext* m_context = nullptr;  // owned
};

}  // namespace kelvra::caching
