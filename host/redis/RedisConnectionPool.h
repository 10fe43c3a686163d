// RedisConnectionPool: the process's Redis connections to one server or to
// one Redis Cluster.
//
// Configuration (host/redis/RedisConfiguration.h gives the text formats):
//   RedisConnectionPool::GetInstance().Reset(servers, optionsText);
//   RedisConnectionPool::GetInstance().Reset("host:6379", "password=...;db=0");
//   RedisConnectionPool::GetInstance().Reset("cluster:host:6379,host2:6379", "password=...");
// Reset parses and checks everything first and raises
// RedisConfigurationError (changing nothing) when the text is bad; then it
// replaces the whole configuration. Connections of the earlier configuration
// still in use go on until their guards are destroyed, and are closed then.
// Before the first Reset, and after a Reset with no servers, the pool has no
// server and FindAndLockPooledConnection gives null.
//
// Servers: one Redis server (host/redis/RedisServerPool.h), or one Redis
// Cluster named by listed nodes (host/redis/RedisClusterPool.h). A connection
// to a cluster sends each command to the master of its key's hash slot, so
// the key a command carries decides where it goes, not the entry key the
// connection was asked for with. Publish/subscribe goes to the server, or to
// any node of the cluster (Redis Cluster forwards publications to every
// node).
//
// FindAndLockPooledConnection gives a guard holding one connection, or null
// when no connection can be had within `wait_ms` (all in use), or the server
// (every node of the cluster) cannot be reached (see
// host/redis/RedisServerPool.h for the back-off). It never raises for a
// missing or failing server.
//
// Lifetime: one pool per process, created on first use through InitOnce and
// never destroyed.
//
// Fork: a child made by fork without exec inherits the parent's sockets, and
// two processes writing on one connection would read each other's replies.
// So in a child the pool gives no connection (null, and the reason in the
// caller's log line) until the child configures it again with Reset, which
// makes connections of its own; the parent's configuration is left as it
// is, never closed from the child.
//
// Thread rules: thread-safe. m_mutex guards m_state only (a pointer swap);
// the state it points to is immutable and its per-server pools are
// thread-safe, so lookups copy the pointer and work without the lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/Export.h"
#include "host/TString.h"
#include "host/ThreadAnnotations.h"
#include "host/redis/RedisConfiguration.h"
#include "host/redis/RedisConnectionGuard.h"
#include "host/TMutex.h"

namespace kelvra::caching {

class RedisCluster;

class KELCACHE_EXPORT RedisConnectionPool {
 public:
  static RedisConnectionPool& GetInstance();

  // Servers as (host, port) pairs and the options text. Raises
  // RedisConfigurationError.
  void Reset(const std::vector<std::pair<TString, uint16_t>>& servers, const TString& options);
  // Servers and options as text. Raises RedisConfigurationError.
  void Reset(const TString& servers, const TString& options);

  // A connection to the server of `key` (the entry key), or null.
  static std::unique_ptr<RedisConnectionGuard> FindAndLockPooledConnection(const TString& key);
  // The same; when it gives null, *whyNot (when given) says why: no server
  // configured, all connections in use, or why the server or cluster could
  // not be used (the reason of the connection's failure, such as
  // "Connection refused" or the server's WRONGPASS).
  static std::unique_ptr<RedisConnectionGuard> FindAndLockPooledConnection(const TString& key,
                                                                           std::string* whyNot);
  // A connection for PUBLISH (to the server, or to any node of the
  // cluster), or null; *whyNot as above.
  std::unique_ptr<RedisConnectionGuard> LockPubSubConnection(std::string* whyNot = nullptr);

  // The configuration in force, or null when the pool has no server. Each
  // Reset makes a new object, so a change shows as a different pointer.
  std::shared_ptr<const RedisPoolConfiguration> GetConfiguration() const;
  // The cluster in force, or null when the pool has no cluster.
  std::shared_ptr<RedisCluster> GetCluster() const;
  // Where the subscriber may subscribe, in the order to try them: the server,
  // or the nodes of the cluster (RedisCluster::SubscriptionServers). Empty
  // when the pool has no server.
  std::vector<RedisServerAddress> SubscriptionServers() const;

  RedisConnectionPool(const RedisConnectionPool&) = delete;
  RedisConnectionPool& operator=(const RedisConnectionPool&) = delete;

 private:
  struct State;

  RedisConnectionPool();
  ~RedisConnectionPool();
  void Install(std::shared_ptr<const State> state);
  std::shared_ptr<const State> CurrentState() const;
  // A connection of the configuration in force, or null with the reason.
  std::unique_ptr<RedisConnectionGuard> Acquire(std::string* whyNot);

  mutable TMutex m_mutex;
  std::shared_ptr<const State> m_state KELCACHE_GUARDED_BY(m_mutex);  // null without servers
};

}  // namespace kelvra::caching
