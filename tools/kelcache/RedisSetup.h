// The Redis connection of the kelcache tool's redis and watch subcommands:
// --servers and --options, the texts a host gives
// RedisExternalCache::InitializeConnectionPool (docs/redis.md), and the
// process's pool configured with them.
//
// Thread rules: the tool's main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace CLI {
class App;
}  // namespace CLI

namespace kelvra::caching {
class RedisConnectionGuard;
}  // namespace kelvra::caching

namespace kelcache_cli {

struct RedisServerOptions {
  std::string servers;
  std::string options;
};

void AddServerOptions(CLI::App* command, RedisServerOptions& options);

// Configures the process's pool. Raises UsageError for a text the pool
// refuses (its message names the item) and for a list of no server.
void ConfigurePool(const RedisServerOptions& options);

// The configured server, or "cluster:" and the listed nodes, as messages name them;
// "(none)" before ConfigurePool.
std::string PoolDescription();

// Runs `connect` (a request for one of the pool's connections, given where
// to put the pool's reason when there is none) and gives its guard. When it
// gives none, raises FailureError "cannot reach or log in to the Redis server
// <server>", followed by the reason the pool gave (a refused connection, a
// refused password).
std::unique_ptr<kelvra::caching::RedisConnectionGuard> ConnectOrFail(
    const std::string& server,
    const std::function<std::unique_ptr<kelvra::caching::RedisConnectionGuard>(std::string* whyNot)>& connect);

}  // namespace kelcache_cli
