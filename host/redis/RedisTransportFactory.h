// The transport that a pool configuration's connections use: TLS
// (RedisTlsTransport over the configuration's shared RedisTlsContext) with
// tls=on, plain TCP (RedisTcpTransport) otherwise. The pooled pipes
// (RedisServerLink) and the subscriber connection both get theirs here, so
// they never differ.
#pragma once

#include "host/Export.h"
#include "host/redis/IRedisTransport.h"
#include "host/redis/RedisConfiguration.h"

namespace kelvra::caching {

// With tls on and no context yet (options made by hand rather than parsed),
// makes the context first, which raises RedisConfigurationError as
// RedisPoolOptions::Parse does.
KELCACHE_EXPORT RedisTransportFactory MakeRedisTransportFactory(const RedisPoolOptions& options);

}  // namespace kelvra::caching
