#include "host/redis/RedisConnectionGuard.h"

#include "host/Errors.h"

namespace kelvra::caching {

IRedisConnectionOwner::~IRedisConnectionOwner() = default;

RedisConnectionGuard::RedisConnectionGuard(std::shared_ptr<IRedisConnectionOwner> pool,
                                           std::unique_ptr<RedisConnection> connection)
    : m_pool(std::move(pool)), m_connection(std::move(connection)) {
  // Checked here, where the mistake is, not at the first use or in the
  // destructor.
  if (!m_pool) ThrowLogicException("host/redis/RedisConnectionGuard", __LINE__, "pool");
  if (!m_connection) ThrowLogicException("host/redis/RedisConnectionGuard", __LINE__, "connection");
}

RedisConnectionGuard::~RedisConnectionGuard() { m_pool->Release(std::move(m_connection)); }

}  // namespace kelvra::caching
