#include "host/redis/IRedisSubscriptionManager.h"

namespace kelvra::caching {

uint64_t IRedisSubscriptionManager::AddReconnectListener(ReconnectListener) { return 0; }

void IRedisSubscriptionManager::RemoveReconnectListener(uint64_t) {}

IRedisSubscriptionManager::~IRedisSubscriptionManager() = default;

}  // namespace kelvra::caching
