#include "tools/kelcache/RedisSetup.h"

#include <CLI/CLI.hpp>

#include "host/redis/RedisConnectionGuard.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisErrors.h"
#include "public/caching/RedisExternalCache.h"
#include "tools/kelcache/ToolError.h"

namespace kelcache_cli {

void AddServerOptions(CLI::App* command, RedisServerOptions& options) {
  command->add_option("--servers", options.servers,
                      "The Redis server as the host gives it, host:port, or a cluster: cluster:host:port[,host:port...]")
      ->required();
  command->add_option("--options", options.options,
                      "The pool's options text, as the host gives it: name=value;... (password, db, "
                      "command_timeout_ms, ...)");
}

void ConfigurePool(const RedisServerOptions& options) {
  try {
    kelvra::caching::RedisExternalCache::InitializeConnectionPool(TString::fromStdString(options.servers),
                                                                  TString::fromStdString(options.options));
  } catch (const kelvra::caching::RedisConfigurationError& error) {
    throw UsageError(error.GetMessage().toStdString());
  }
  if (!kelvra::caching::RedisConnectionPool::GetInstance().GetConfiguration()) {
    throw UsageError("--servers '" + options.servers + "' names no server");
  }
}

std::string PoolDescription() {
  const auto configuration = kelvra::caching::RedisConnectionPool::GetInstance().GetConfiguration();
  if (!configuration || configuration->servers.empty()) return "(none)";
  std::string text = configuration->cluster ? "cluster:" : "";
  for (size_t index = 0; index < configuration->servers.size(); ++index) {
    text += (index == 0 ? "" : ",") + configuration->servers[index].ToString();
  }
  return text;
}

std::unique_ptr<kelvra::caching::RedisConnectionGuard> ConnectOrFail(
    const std::string& server,
    const std::function<std::unique_ptr<kelvra::caching::RedisConnectionGuard>(std::string* whyNot)>& connect) {
  std::string whyNot;
  std::unique_ptr<kelvra::caching::RedisConnectionGuard> guard = connect(&whyNot);
  if (guard) return guard;
  std::string message = "cannot reach or log in to the Redis server " + server;
  if (!whyNot.empty()) message += ": " + whyNot;
  throw FailureError(message);
}

}  // namespace kelcache_cli
