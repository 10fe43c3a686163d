// RedisServerPool: the connections to one Redis server, for the connection
// pool (host/redis/RedisConnectionPool.h), which keeps one per configured
// server.
//
// Up to `connections` connections are made, lazily, as requests need them,
// and reused most-recently-returned first. Acquire hands one out inside a
// RedisConnectionGuard; when all are in use it waits up to `wait_ms` for one
// to come back, then gives up (null). A connection that broke is dropped on
// return, which frees its place for a new one.
//
// When a connection cannot be made (server down, refused, wrong password),
// Acquire gives null and the server is left alone for a back-off time that
// starts at 100 ms and doubles up to 2 s while attempts keep failing;
// meanwhile requests that would need a new connection get null at once
// instead of each waiting for a connect time-out. The first failure of an
// outage is logged at Warn, the recovery at Info.
//
// Thread rules: thread-safe. m_mutex guards m_idle, m_total, m_failures and
// m_retryAfter; it is never held while connecting or closing a connection
// (take, pop, unlock, then the slow work).
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "host/ThreadAnnotations.h"
#include "host/redis/RedisConfiguration.h"
#include "host/redis/RedisConnection.h"
#include "host/redis/RedisConnectionGuard.h"

namespace kelvra::caching {

class RedisServerPool : public std::enable_shared_from_this<RedisServerPool> {
 public:
  RedisServerPool(RedisServerAddress address, RedisPoolOptions options);
  ~RedisServerPool();
  RedisServerPool(const RedisServerPool&) = delete;
  RedisServerPool& operator=(const RedisServerPool&) = delete;

  // A connected connection for exclusive use, or null (see above).
  std::unique_ptr<RedisConnectionGuard> Acquire();
  // Takes a connection back (called by the guard).
  void Release(std::unique_ptr<RedisConnection> connection) noexcept;

  const RedisServerAddress& Address() const { return m_address; }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kFirstBackOff{100};
  static constexpr std::chrono::milliseconds kMaxBackOff{2000};

  void NoteConnectFailure(const std::exception& error);
  void NoteConnectSuccess();

  const RedisServerAddress m_address;
  const RedisPoolOptions m_options;

  std::mutex m_mutex;
  std::condition_variable m_returned;                    // signalled when a place frees up
  std::vector<std::unique_ptr<RedisConnection>> m_idle KELCACHE_GUARDED_BY(m_mutex);
  int m_total KELCACHE_GUARDED_BY(m_mutex) = 0;     // idle + handed out + being made
  int m_failures KELCACHE_GUARDED_BY(m_mutex) = 0;  // connect failures in a row
  Clock::time_point m_retryAfter KELCACHE_GUARDED_BY(m_mutex){};  // no new connection before this
};

}  // namespace kelvra::caching
