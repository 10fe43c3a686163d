#include "host/redis/RedisConnectionGuard.h"

#include "host/redis/RedisServerPool.h"

namespace kelvra::caching {

RedisConnectionGuard::RedisConnectionGuard(std::shared_ptr<RedisServerPool> pool,
                                           std::unique_ptr<RedisConnection> connection)
    : m_pool(std::move(pool)), m_connection(std::move(connection)) {}

RedisConnectionGuard::~RedisConnectionGuard() { m_pool->Release(std::move(m_connection)); }

}  // namespace kelvra::caching
