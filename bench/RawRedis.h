// A plain hiredis connection to a loopback server, for the benchmarks' raw
// baselines (the same I/O as kelcache's, without the library).
#pragma once

#include <hiredis/hiredis.h>
#include <sys/time.h>

#include <cstdint>
#include <memory>

namespace kelcache_bench {

using RawRedisContext = std::unique_ptr<redisContext, decltype(&redisFree)>;

// Connects with a 5 s time-out; null, or a context whose `err` is set, when
// the connection failed.
inline RawRedisContext ConnectRawRedis(uint16_t port) {
  timeval timeout{5, 0};
  return RawRedisContext(redisConnectWithTimeout("127.0.0.1", port, timeout), &redisFree);
}

inline bool RawRedisConnected(const RawRedisContext& context) {
  return context && context->err == 0;
}

}  // namespace kelcache_bench
