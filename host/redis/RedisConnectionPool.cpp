#include "host/redis/RedisConnectionPool.h"

#include "host/ForkGeneration.h"
#include "host/InitOnce.h"
#include "host/redis/RedisClusterPool.h"
#include "host/redis/RedisServerPool.h"
#include "host/redis/RedisSubscriptionManager.h"
#include "host/TMutex.h"

namespace kelvra::caching {

// One configuration: immutable once installed. Either one server's pool or a
// cluster's.
struct RedisConnectionPool::State {
  explicit State(RedisPoolConfiguration configurationIn)
      : configuration(std::make_shared<const RedisPoolConfiguration>(std::move(configurationIn))) {
    if (configuration->cluster) {
      cluster = std::make_shared<RedisClusterPool>(configuration->servers, configuration->options);
    } else {
      server = std::make_shared<RedisServerPool>(configuration->servers.front(), configuration->options);
    }
  }

  std::unique_ptr<RedisConnectionGuard> Acquire(std::string* whyNot) const {
    return cluster ? cluster->Acquire(whyNot) : server->Acquire(whyNot);
  }

  std::shared_ptr<const RedisPoolConfiguration> configuration;
  std::shared_ptr<RedisServerPool> server;    // one server
  std::shared_ptr<RedisClusterPool> cluster;  // or a cluster
  // The process that made the connections: the one of this fork generation.
  const uint64_t forkGeneration = ForkGeneration();
};


RedisConnectionPool::RedisConnectionPool() = default;
RedisConnectionPool::~RedisConnectionPool() = default;

RedisConnectionPool& RedisConnectionPool::GetInstance() {
  static InitOnceSlot s_slot;
  return *InitOnceShared<RedisConnectionPool>(
      s_slot, [] {
        return std::shared_ptr<RedisConnectionPool>(new RedisConnectionPool(),
                                                    [](RedisConnectionPool* pool) { delete pool; });
      });
}

void RedisConnectionPool::Reset(const std::vector<std::pair<TString, uint16_t>>& servers, const TString& options) {
  RedisPoolConfiguration configuration = MakeRedisPoolConfiguration(servers, options);
  Install(configuration.servers.empty() ? nullptr : std::make_shared<const State>(std::move(configuration)));
}

void RedisConnectionPool::Reset(const TString& servers, const TString& options) {
  RedisPoolConfiguration configuration = ParseRedisPoolConfiguration(servers, options);
  Install(configuration.servers.empty() ? nullptr : std::make_shared<const State>(std::move(configuration)));
}

void RedisConnectionPool::Install(std::shared_ptr<const State> state) {
  std::shared_ptr<const State> previous;
  {
    TMutexLock lock(m_mutex);
    previous = std::move(m_state);
    m_state = std::move(state);
  }
  // The earlier state (and its idle connections) goes here, outside the lock.
  // In a forked child a state of the parent holds the parent's sockets and
  // TLS sessions, which the child must neither use nor close: it is kept,
  // never destroyed.
  if (previous && previous->forkGeneration != ForkGeneration()) {
    static TMutex* const s_keptMutex = new TMutex();
    static auto* const s_kept = new std::vector<std::shared_ptr<const State>>();
    TMutexLock lock(*s_keptMutex);
    s_kept->push_back(std::move(previous));
  }
  previous.reset();
  // No configuration line is logged here: RedisExternalCache::
  // InitializeConnectionPool, the usual way in, writes the one line of a
  // configuration.
  //
  // Subscriptions move to the new server before Reset returns, so that a
  // message published after it reaches them.
  RedisSubscriptionManager::FollowPoolConfiguration();
}

std::shared_ptr<const RedisConnectionPool::State> RedisConnectionPool::CurrentState() const {
  TMutexLock lock(m_mutex);
  return m_state;
}

std::unique_ptr<RedisConnectionGuard> RedisConnectionPool::FindAndLockPooledConnection(const TString& key) {
  return FindAndLockPooledConnection(key, nullptr);
}

std::unique_ptr<RedisConnectionGuard> RedisConnectionPool::FindAndLockPooledConnection(const TString& key,
                                                                                      std::string* whyNot) {
  // One server, or a cluster whose connections route each command by the key
  // it carries (the physical key): the entry key chooses nothing.
  (void)key;
  return GetInstance().Acquire(whyNot);
}

std::unique_ptr<RedisConnectionGuard> RedisConnectionPool::LockPubSubConnection(std::string* whyNot) {
  return Acquire(whyNot);
}

std::unique_ptr<RedisConnectionGuard> RedisConnectionPool::Acquire(std::string* whyNot) {
  std::shared_ptr<const State> state = CurrentState();
  if (!state) {
    SayWhyNoConnection(whyNot, "no Redis server is configured");
    return nullptr;
  }
  if (state->forkGeneration != ForkGeneration()) {
    SayWhyNoConnection(whyNot,
                       "the connections belong to the parent of this forked process: configure the pool "
                       "again in this process (RedisConnectionPool::Reset)");
    return nullptr;
  }
  return state->Acquire(whyNot);
}

std::shared_ptr<const RedisPoolConfiguration> RedisConnectionPool::GetConfiguration() const {
  std::shared_ptr<const State> state = CurrentState();
  return state ? state->configuration : nullptr;
}

std::shared_ptr<RedisCluster> RedisConnectionPool::GetCluster() const {
  std::shared_ptr<const State> state = CurrentState();
  return state && state->cluster ? state->cluster->Cluster() : nullptr;
}

std::vector<RedisServerAddress> RedisConnectionPool::SubscriptionServers() const {
  std::shared_ptr<const State> state = CurrentState();
  if (!state) return {};
  if (state->cluster) return state->cluster->Cluster()->SubscriptionServers();
  return {state->configuration->servers.front()};
}

}  // namespace kelvra::caching
