// RedisSubscriberConnection: the one connection of the subscription manager,
// in Redis subscribe mode. It writes commands (PSUBSCRIBE, PUNSUBSCRIBE,
// PING) and waits for what the server pushes, with a time-out and a wake-up
// descriptor, so that the subscriber thread notices new requests and
// shutdown at once and never blocks for long.
//
// It runs over the configuration's transport, TLS or plain TCP like the
// pooled connections (host/redis/RedisTransportFactory.h), and speaks the
// protocol with host/redis/RedisProtocol.h: requests encoded by
// RedisCommand, replies parsed by RedisReplyParser. Waiting is the
// transport's WaitReadable with the wake-up descriptor, so a quiet connection
// is not an error. Writes cannot raise SIGPIPE: the transports never do.
//
// Thread rules: not thread-safe; used by the subscriber thread only.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "host/redis/IRedisTransport.h"
#include "host/redis/RedisConfiguration.h"
#include "host/redis/RedisProtocol.h"

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

  // Connects within the connect time-out (the TLS handshake included), then
  // sends AUTH when a password is set. Raises RedisIoError,
  // RedisTimeoutError or RedisReplyError.
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
  // One read of what the server sent, into the parser. Raises on failure.
  void Receive(const char* during);
  void TakeReplies(std::vector<Event>& events);
  [[noreturn]] void Fail(const char* during, const RedisIoResult& result) const;

  const RedisServerAddress m_address;
  const RedisPoolOptions m_options;
  std::unique_ptr<IRedisTransport> m_transport;  // made by Connect
  RedisReplyParser m_parser;
  std::unique_ptr<char[]> m_buffer;
};

}  // namespace kelvra::caching
