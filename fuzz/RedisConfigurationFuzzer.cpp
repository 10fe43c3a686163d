// The Redis servers and options texts on any input: a parser gives a
// configuration or raises RedisConfigurationError, never anything else, and
// what it gives is usable (every server has a host and a port).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/redis/RedisConfiguration.h"
#include "host/redis/RedisErrors.h"

using namespace kelvra::caching;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TString text = TString::fromStdString(std::string(reinterpret_cast<const char*>(data), size));
  try {
    for (const RedisServerAddress& server : ParseRedisServers(text)) {
      if (server.host.empty() || server.port == 0) std::abort();
    }
  } catch (const RedisConfigurationError&) {
  }
  try {
    const RedisPoolOptions options = RedisPoolOptions::Parse(text);
    if (options.connectionsPerServer <= 0) std::abort();
  } catch (const RedisConfigurationError&) {
  }
  return 0;
}
