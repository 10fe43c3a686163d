#include "host/redis/RedisTransportFactory.h"

#include "host/redis/RedisTcpTransport.h"
#include "host/redis/RedisTlsContext.h"
#include "host/redis/RedisTlsTransport.h"

namespace kelvra::caching {

RedisTransportFactory MakeRedisTransportFactory(const RedisPoolOptions& options) {
  if (!options.tls.enabled) return RedisTcpTransport::Factory();
  return RedisTlsTransport::Factory(options.tls.context ? options.tls.context : RedisTlsContext::Make(options.tls));
}

}  // namespace kelvra::caching
