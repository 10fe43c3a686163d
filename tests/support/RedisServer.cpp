#include "tests/support/RedisServer.h"

#include <utility>

namespace kelcache_test {

namespace {

kelcache_testing::RedisServerProcess::Options ProcessOptions(RedisServer::Options options) {
  kelcache_testing::RedisServerProcess::Options process;
  process.password = std::move(options.password);
  return process;
}

}  // namespace

RedisServer::RedisServer() : RedisServer(Options{}) {}

RedisServer::RedisServer(Options options) : m_process(ProcessOptions(std::move(options))) {}

}  // namespace kelcache_test
