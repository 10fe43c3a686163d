// The private redis-server of a benchmark run, with the process's Redis
// connection pool pointed at it.
//
// Started on first use and stopped when the program exits. Call it first on
// the main thread: the server's PR_SET_PDEATHSIG follows the thread that
// started it. The first call's pool options (a pool configuration text such
// as "connections=16;wait_ms=1000") hold for the whole run.
#pragma once

#include <string>

#include "host/TString.h"
#include "host/redis/RedisConnectionPool.h"
#include "testing/RedisServerProcess.h"

namespace kelcache_bench {

inline kelcache_testing::RedisServerProcess& PooledRedisServer(const std::string& poolOptions = std::string()) {
  static kelcache_testing::RedisServerProcess server;
  static const bool pooled = [&] {
    kelvra::caching::RedisConnectionPool::GetInstance().Reset(TString::fromStdString(server.Address()),
                                                              TString::fromStdString(poolOptions));
    return true;
  }();
  static_cast<void>(pooled);
  return server;
}

}  // namespace kelcache_bench
