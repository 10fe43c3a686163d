#include "host/redis/RedisServerPool.h"
#include "host/TMutex.h"

namespace kelvra::caching {

RedisServerPool::RedisServerPool(RedisServerAddress address, RedisPoolOptions options)
    : m_options(options), m_link(std::make_shared<RedisServerLink>(std::move(address), std::move(options))) {
  // Never more idle connections than places, so Release never reallocates.
  m_idle.reserve(static_cast<size_t>(m_options.connectionsPerServer));
}

RedisServerPool::~RedisServerPool() = default;

std::unique_ptr<RedisConnectionGuard> RedisServerPool::Acquire(std::string* whyNot) {
  const Clock::time_point deadline = Clock::now() + m_options.waitTimeout;
  std::unique_ptr<RedisConnection> connection;
  {
    TMutexLock lock(m_mutex);
    while (m_idle.empty() && m_total >= m_options.connectionsPerServer) {
      if (!m_returned.WaitUntil(lock, deadline) && m_idle.empty() &&
          m_total >= m_options.connectionsPerServer) {
        SayWhyNoConnection(whyNot, "all its connections stayed in use for the wait time");
        return nullptr;
      }
    }
    if (!m_idle.empty()) {
      connection = std::move(m_idle.back());
      m_idle.pop_back();
    } else {
      ++m_total;  // take the place, then make the connection without the lock
    }
  }
  if (!connection) {
    try {
      connection = std::make_unique<RedisConnection>(m_link);
    } catch (...) {
      GiveUpPlace();
      throw;
    }
  }
  if (!m_link->IsConnected()) {
    // No live socket: connect now (or learn that the back-off forbids it),
    // so that an unreachable server means no connection, not an exception.
    try {
      connection->Connect();
    } catch (const std::exception& error) {
      SayWhyNoConnection(whyNot, error.what());
      Release(std::move(connection));
      return nullptr;
    }
  }
  try {
    return std::make_unique<RedisConnectionGuard>(shared_from_this(), std::move(connection));
  } catch (...) {
    // No guard was made, so nobody else will return the connection: give it
    // back here, or its place would be lost for good.
    Release(std::move(connection));
    throw;
  }
}

void RedisServerPool::GiveUpPlace() noexcept {
  {
    TMutexLock lock(m_mutex);
    --m_total;
  }
  m_returned.NotifyOne();
}

void RedisServerPool::Release(std::unique_ptr<RedisConnection> connection) noexcept {
  if (!connection) return;
  {
    TMutexLock lock(m_mutex);
    if (connection->IsConnected()) {
      m_idle.push_back(std::move(connection));
    } else {
      --m_total;  // dropped below, outside the lock
    }
  }
  m_returned.NotifyOne();
}

}  // namespace kelvra::caching
