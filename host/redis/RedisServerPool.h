// RedisServerPool: the pooled connections to one Redis server, for the
// connection pool (host/redis/RedisConnectionPool.h) when it is configured
// for one server.
//
// Up to `connections` connections (RedisConnection) are made, lazily, as
// requests need them, and reused most-recently-returned first. They are
// logical: all of them send their commands over the server's few shared,
// pipelined sockets (host/redis/RedisServerLink.h), so `connections` bounds
// how many commands may be in flight to the server at once, not the number of
// sockets. Acquire hands one out inside a RedisConnectionGuard; when all are
// in use it waits up to `wait_ms` for one to come back, then gives up (null).
//
// Acquire also gives null when the server has no live socket and none can be
// made (server down, refused, wrong password); the link's back-off
// (host/redis/RedisBackOff.h) then keeps later requests from waiting for a
// connect time-out again until the back-off time has passed. A connection
// that failed with an I/O error or a time-out is dropped on return, which
// frees its place for a new one.
//
// Thread rules: thread-safe. m_mutex guards m_idle and m_total; it is never
// held while connecting or while a command runs (take, pop, unlock, then the
// slow work). The link is thread-safe and fixed for the pool's life.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "host/ThreadAnnotations.h"
#include "host/redis/RedisConfiguration.h"
#include "host/redis/RedisConnection.h"
#include "host/redis/RedisConnectionGuard.h"
#include "host/redis/RedisServerLink.h"
#include "host/TConditionVariable.h"

namespace kelvra::caching {

class RedisServerPool : public IRedisConnectionOwner, public std::enable_shared_from_this<RedisServerPool> {
 public:
  RedisServerPool(RedisServerAddress address, RedisPoolOptions options);
  ~RedisServerPool() override;
  RedisServerPool(const RedisServerPool&) = delete;
  RedisServerPool& operator=(const RedisServerPool&) = delete;

  // A connected connection for exclusive use, or null (see above); then
  // *whyNot, when given, says why: all connections in use, or the reason
  // the server could not be reached or refused the connection.
  std::unique_ptr<RedisConnectionGuard> Acquire(std::string* whyNot = nullptr);
  // Takes a connection back (called by the guard).
  void Release(std::unique_ptr<RedisConnection> connection) noexcept override;

  const RedisServerAddress& Address() const { return m_link->Address(); }

 private:
  using Clock = std::chrono::steady_clock;

  // Frees a place taken for a connection that could not be made.
  void GiveUpPlace() noexcept;

  const RedisPoolOptions m_options;
  const std::shared_ptr<RedisServerLink> m_link;  // shared with every connection made here

  TMutex m_mutex;
  TConditionVariable m_returned;  // signalled when a place frees up
  std::vector<std::unique_ptr<RedisConnection>> m_idle KELCACHE_GUARDED_BY(m_mutex);
  int m_total KELCACHE_GUARDED_BY(m_mutex) = 0;  // idle + handed out
};

}  // namespace kelvra::caching
