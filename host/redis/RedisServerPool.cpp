#include "host/redis/RedisServerPool.h"

#include <algorithm>

#include "host/TFormatString.h"
#include "host/TLog.h"

namespace kelvra::caching {

RedisServerPool::RedisServerPool(RedisServerAddress address, RedisPoolOptions options)
    : m_address(std::move(address)), m_options(std::move(options)) {
  // Never more idle connections than places, so Release never reallocates.
  m_idle.reserve(static_cast<size_t>(m_options.connectionsPerServer));
}

RedisServerPool::~RedisServerPool() = default;

std::unique_ptr<RedisConnectionGuard> RedisServerPool::Acquire() {
  const Clock::time_point deadline = Clock::now() + m_options.waitTimeout;
  std::unique_lock<std::mutex> lock(m_mutex);
  while (m_idle.empty() && m_total >= m_options.connectionsPerServer) {
    if (m_returned.wait_until(lock, deadline) == std::cv_status::timeout && m_idle.empty() &&
        m_total >= m_options.connectionsPerServer) {
      return nullptr;
    }
  }
  if (!m_idle.empty()) {
    std::unique_ptr<RedisConnection> connection = std::move(m_idle.back());
    m_idle.pop_back();
    lock.unlock();
    return std::make_unique<RedisConnectionGuard>(shared_from_this(), std::move(connection));
  }
  if (Clock::now() < m_retryAfter) return nullptr;  // the server failed recently; do not wait on it again yet
  ++m_total;  // reserve the place, then connect without the lock
  lock.unlock();

  auto connection = std::make_unique<RedisConnection>(m_address, m_options);
  try {
    connection->Connect();
  } catch (const std::exception& error) {
    NoteConnectFailure(error);
    return nullptr;
  }
  NoteConnectSuccess();
  return std::make_unique<RedisConnectionGuard>(shared_from_this(), std::move(connection));
}

void RedisServerPool::NoteConnectFailure(const std::exception& error) {
  int failures;
  long long backOffMs;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_total;
    failures = ++m_failures;
    auto backOff = std::min<std::chrono::milliseconds>(kMaxBackOff, kFirstBackOff * (1LL << std::min(failures - 1, 5)));
    backOffMs = backOff.count();
    m_retryAfter = Clock::now() + backOff;
  }
  m_returned.notify_one();
  LogMessage(failures == 1 ? TLog::Warn : TLog::Debug,
             TFormatString(u"RedisConnectionPool: no connection to %1 (%2); new connections wait %3 ms")
                 .arg(TString::fromStdString(m_address.ToString()))
                 .arg(TString::fromStdString(error.what()))
                 .arg(backOffMs));
}

void RedisServerPool::NoteConnectSuccess() {
  int failures;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    failures = m_failures;
    m_failures = 0;
    m_retryAfter = {};
  }
  if (failures > 0) {
    LogMessage(TLog::Info, TFormatString(u"RedisConnectionPool: connected to %1 again after %2 failed attempts")
                               .arg(TString::fromStdString(m_address.ToString()))
                               .arg(failures));
  }
}

void RedisServerPool::Release(std::unique_ptr<RedisConnection> connection) noexcept {
  if (!connection) return;
  if (!connection->IsConnected()) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      --m_total;
    }
    m_returned.notify_one();
    return;  // the broken connection is closed already; destroying it here is cheap
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_idle.push_back(std::move(connection));
  }
  m_returned.notify_one();
}

}  // namespace kelvra::caching
