#include "host/redis/RedisConnectionGuard.h"

namespace kelvra::caching {

IRedisConnectionOwner::~IRedisConnectionOwner() = default;

RedisConnectionGuard::RedisConnectionGuard(std::shared_ptr<IRedisConnectionOwner> pool,
                                           std::unique_ptr<RedisConnection> connection)
    : m_pool(std::move(pool)), m_connection(std::move(connection)) {}

RedisConnectionGuard::~RedisConnectionGuard() { m_pool->Release(std::move(m_connection)); }

}  // namespace kelvra::caching
