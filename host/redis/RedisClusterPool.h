// RedisClusterPool: the pooled connections to a Redis Cluster, for the
// connection pool (host/redis/RedisConnectionPool.h) when it is configured
// for one.
//
// A connection to a cluster is not tied to a node: each command goes to the
// node that serves its key (host/redis/RedisCluster.h). So the pool cannot
// know which node a guard will talk to, and bounds the connections of the
// whole cluster instead: `connections` per master of the current slot map
// (at least one master's worth before the map is known), the number of
// commands that may be in flight at once. Acquire waits up to `wait_ms` for
// a place, then gives up (null), as the pool of one server does.
//
// Acquire also gives null when the cluster cannot be reached: no slot map can
// be fetched from any node (all down, none a cluster node, wrong password).
// The cluster then tries again at most once per
// RedisCluster::kMinRefreshInterval, so requests meanwhile get null at once.
//
// Thread rules: thread-safe. m_mutex guards m_inUse; while it is held the
// cluster is asked only its master count (an atomic read, no lock and no
// I/O). The cluster is thread-safe and fixed for the
// pool's life.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "host/ThreadAnnotations.h"
#include "host/redis/IRedisTransport.h"
#include "host/redis/RedisCluster.h"
#include "host/redis/RedisConfiguration.h"
#include "host/redis/RedisConnectionGuard.h"
#include "host/TConditionVariable.h"

namespace kelvra::caching {

class RedisClusterPool : public IRedisConnectionOwner, public std::enable_shared_from_this<RedisClusterPool> {
 public:
  RedisClusterPool(std::vector<RedisServerAddress> listedNodes, RedisPoolOptions options,
                   RedisTransportFactory factory = {});
  ~RedisClusterPool() override;
  RedisClusterPool(const RedisClusterPool&) = delete;
  RedisClusterPool& operator=(const RedisClusterPool&) = delete;

  // A connection for exclusive use, or null (see above); then *whyNot, when
  // given, says why: all connections in use, or why no node gave the slot
  // map.
  std::unique_ptr<RedisConnectionGuard> Acquire(std::string* whyNot = nullptr);
  // Takes a connection back (called by the guard).
  void Release(std::unique_ptr<RedisConnection> connection) noexcept override;

  const std::shared_ptr<RedisCluster>& Cluster() const { return m_cluster; }

 private:
  using Clock = std::chrono::steady_clock;

  // How many connections may be in use now.
  int Capacity() const;

  const RedisPoolOptions m_options;
  const std::shared_ptr<RedisCluster> m_cluster;  // shared with every connection made here

  TMutex m_mutex;
  TConditionVariable m_returned;  // signalled when a place frees up
  int m_inUse KELCACHE_GUARDED_BY(m_mutex) = 0;
};

}  // namespace kelvra::caching
