// RedisConnection: one blocking connection to one Redis server, with the
// commands the caches need. Binary-safe: keys and values may hold any bytes,
// NUL included.
//
// The connection is made by Connect (TCP within the connect time-out, then
// AUTH when a password is configured and SELECT when the database is not 0),
// and again by every later command once it has broken. Every wait for the
// server, while a command is written or its reply read, ends after the
// command time-out at the latest (SO_SNDTIMEO/SO_RCVTIMEO through hiredis);
// a command that keeps receiving data goes on.
//
// Failures raise (host/redis/RedisErrors.h):
//   RedisIoError       cannot connect, or the connection broke
//   RedisTimeoutError  the server did not answer in time
//   RedisReplyError    the server answered with an error reply
// After an I/O error or a time-out the connection is closed (IsConnected()
// false), since the protocol state is unknown; a reply error leaves it open.
// When a command on a connection that had been used before fails with an I/O
// error (the server closed the connection while it sat in the pool, as after
// a restart), the command is tried once more on a new connection: GET, SET,
// SETEX and DEL are idempotent, and a repeated PUBLISH only repeats a
// coherence message. A time-out is never retried.
//
// SIGPIPE: all I/O runs under a SigpipeGuard (host/redis/SigpipeGuard.h), so a
// write to a dead server fails with an error instead of killing the process.
//
// Thread rules: not thread-safe. One thread at a time uses a connection; the
// pool hands each connection to one guard holder at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/Export.h"
#include "host/redis/RedisConfiguration.h"

// hiredis types, opaque here; only the publish callback hands them out.
struct redisContext;
struct redisReply;

namespace kelvra::caching {

class KELCACHE_EXPORT RedisConnection {
 public:
  using Value = std::shared_ptr<std::vector<uint8_t>>;
  // Called with the connection's hiredis context, the reply and a null
  // private-data pointer, before the reply is freed; the pointers are valid
  // only during the call.
  using ReplyCallback = std::function<void(redisContext*, redisReply*, void*)>;

  // Does not connect yet.
  RedisConnection(RedisServerAddress address, RedisPoolOptions options);
  ~RedisConnection();
  RedisConnection(const RedisConnection&) = delete;
  RedisConnection& operator=(const RedisConnection&) = delete;

  // Connects now when not connected (see the header comment). Raises.
  void Connect();
  bool IsConnected() const { return m_context != nullptr; }
  const RedisServerAddress& GetAddress() const { return m_address; }

  // GET: the stored bytes, or null when the key holds no value.
  Value Get(const std::string& key);
  // SET without expiry; true when the server said OK.
  bool Set(const std::string& key, const Value& value);
  // SETEX; true when the server said OK. Redis refuses a ttl below 1 s with a
  // reply error.
  bool SetEx(const std::string& key, std::chrono::seconds ttl, const Value& value);
  // DEL: the number of keys removed.
  int64_t Del(const std::string& key);
  // PUBLISH: the number of clients that received the message. onReply, when
  // not empty, sees the raw reply first.
  int64_t Publish(const std::string& channel, const std::string& message, const ReplyCallback& onReply = {});

 private:
  struct ReplyDeleter {
    void operator()(redisReply* reply) const;
  };
  using ReplyPtr = std::unique_ptr<redisReply, ReplyDeleter>;

  // Runs one command (connecting first when needed, retrying once on a stale
  // connection, see above) and returns its reply; raises on failure and on an
  // error reply.
  ReplyPtr Execute(const std::vector<std::pair<const char*, size_t>>& arguments);
  ReplyPtr ExecuteOnce(const std::vector<std::pair<const char*, size_t>>& arguments);
  void Disconnect() noexcept;
  [[noreturn]] void ThrowContextError(const char* what, int savedErrno);

  const RedisServerAddress m_address;
  const RedisPoolOptions m_options;
  redisContext* m_context = nullptr;  // owned; null while not connected
  // Whether a command completed on the current TCP connection.
  bool m_used = false;
};

}  // namespace kelvra::caching
