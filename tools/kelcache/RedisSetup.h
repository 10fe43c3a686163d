// The Redis connection of the kelcache tool's redis and watch subcommands:
// --servers and --options, the texts a host gives
// RedisExternalCache::InitializeConnectionPool (docs/redis.md), and the
// process's pool configured with them.
//
// Thread rules: the tool's main thread.
#pragma once

#include <string>

namespace CLI {
class App;
}  // namespace CLI

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

}  // namespace kelcache_cli
