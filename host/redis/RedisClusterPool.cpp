#include "host/redis/RedisClusterPool.h"

#include <algorithm>

namespace kelvra::caching {

RedisClusterPool::RedisClusterPool(std::vector<RedisServerAddress> listedNodes, RedisPoolOptions options,
                                   RedisTransportFactory factory)
    : m_options(options),
      m_cluster(std::make_shared<RedisCluster>(std::move(listedNodes), std::move(options), std::move(factory))) {}

RedisClusterPool::~RedisClusterPool() = default;

int RedisClusterPool::Capacity() const {
  return m_options.connectionsPerServer * static_cast<int>(std::max<size_t>(1, m_cluster->MasterCount()));
}

std::unique_ptr<RedisConnectionGuard> RedisClusterPool::Acquire(std::string* whyNot) {
  if (!m_cluster->IsAvailable()) {
    SayWhyNoConnection(whyNot, [&] { return m_cluster->WhyUnavailable(); });
    return nullptr;
  }
  const Clock::time_point deadline = Clock::now() + m_options.waitTimeout;
  {
    TMutexLock lock(m_mutex);
    // The capacity follows the map, so it is read again after every wait.
    while (m_inUse >= Capacity()) {
      if (!m_returned.WaitUntil(lock, deadline) && m_inUse >= Capacity()) {
        SayWhyNoConnection(whyNot, "all its connections stayed in use for the wait time");
        return nullptr;
      }
    }
    ++m_inUse;
  }
  // A connection to a cluster holds no socket of its own, so a new one is as
  // cheap as a reused one.
  try {
    return std::make_unique<RedisConnectionGuard>(shared_from_this(),
                                                  std::make_unique<RedisConnection>(m_cluster));
  } catch (...) {
    {
      TMutexLock lock(m_mutex);
      --m_inUse;
    }
    m_returned.NotifyOne();
    throw;
  }
}

void RedisClusterPool::Release(std::unique_ptr<RedisConnection> connection) noexcept {
  if (!connection) return;
  connection.reset();
  {
    TMutexLock lock(m_mutex);
    --m_inUse;
  }
  m_returned.NotifyOne();
}

}  // namespace kelvra::caching
