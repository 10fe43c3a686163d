#include "host/redis/RedisConnectionPool.h"

#include "host/AppOptions.h"
#include "host/InitOnce.h"
#include "host/TFormatString.h"
#include "host/TLog.h"
#include "host/redis/RedisHashRing.h"
#include "host/redis/RedisServerPool.h"

namespace kelvra::caching {

// One configuration: immutable once installed.
struct RedisConnectionPool::State {
  explicit State(RedisPoolConfiguration configurationIn)
      : configuration(std::make_shared<const RedisPoolConfiguration>(std::move(configurationIn))),
        ring(configuration->servers) {
    for (const RedisServerAddress& server : configuration->servers) {
      servers.push_back(std::make_shared<RedisServerPool>(server, configuration->options));
    }
  }

  std::shared_ptr<const RedisPoolConfiguration> configuration;
  RedisHashRing ring;
  std::vector<std::shared_ptr<RedisServerPool>> servers;  // in configuration order
};

RedisConnectionPool::RedisConnectionPool() = default;
RedisConnectionPool::~RedisConnectionPool() = default;

RedisConnectionPool& RedisConnectionPool::GetInstance() {
  static InitOnceSlot s_slot;
  return *InitOnceShared<RedisConnectionPool>(
      s_slot, [] {
        return std::shared_ptr<RedisConnectionPool>(new RedisConnectionPool(),
                                                    [](RedisConnectionPool* pool) { delete pool; });
      });
}

void RedisConnectionPool::Reset(const std::vector<std::pair<TString, uint16_t>>& servers, const TString& options) {
  RedisPoolConfiguration configuration;
  configuration.servers = MakeRedisServers(servers);
  configuration.options = RedisPoolOptions::Parse(options);
  Install(configuration.servers.empty() ? nullptr : std::make_shared<const State>(std::move(configuration)));
}

void RedisConnectionPool::Reset(const TString& servers, const TString& options) {
  RedisPoolConfiguration configuration;
  configuration.servers = ParseRedisServers(servers);
  configuration.options = RedisPoolOptions::Parse(options);
  Install(configuration.servers.empty() ? nullptr : std::make_shared<const State>(std::move(configuration)));
}

void RedisConnectionPool::Install(std::shared_ptr<const State> state) {
  TString description(u"no server");
  // With no server there is no connection to be encrypted or not.
  const bool plainText = state && !state->configuration->options.tls.enabled;
  if (state) {
    std::string servers;
    for (const RedisServerAddress& server : state->configuration->servers) {
      if (!servers.empty()) servers += ',';
      servers += server.ToString();
    }
    description = TString::fromStdString(servers + " with " + state->configuration->options.Describe());
  }
  std::shared_ptr<const State> previous;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    previous = std::move(m_state);
    m_state = std::move(state);
  }
  // The earlier state (and its idle connections) goes here, outside the lock.
  previous.reset();
  LogMessage(TLog::Info, TFormatString(u"RedisConnectionPool: configured %1").arg(description));
  if (kelvra::appoptions::ExternalCacheSslTlsEnabled() && plainText) {
    // TLS is turned on by the options text (tls=on), not by this option: say
    // so rather than let the host believe the connections are encrypted.
    LogMessage(TLog::Warn, TString(u"RedisConnectionPool: ExternalCacheSslTlsEnabled is on, but the Redis options "
                                   u"do not turn TLS on (tls=on): connections are not encrypted"));
  }
}

std::shared_ptr<const RedisConnectionPool::State> RedisConnectionPool::CurrentState() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_state;
}

std::unique_ptr<RedisConnectionGuard> RedisConnectionPool::FindAndLockPooledConnection(const TString& key) {
  std::shared_ptr<const State> state = GetInstance().CurrentState();
  if (!state) return nullptr;
  return state->servers[state->ring.ServerFor(key)]->Acquire();
}

std::unique_ptr<RedisConnectionGuard> RedisConnectionPool::LockPubSubConnection() {
  std::shared_ptr<const State> state = CurrentState();
  if (!state) return nullptr;
  return state->servers.front()->Acquire();
}

std::shared_ptr<const RedisPoolConfiguration> RedisConnectionPool::GetConfiguration() const {
  std::shared_ptr<const State> state = CurrentState();
  return state ? state->configuration : nullptr;
}

std::optional<RedisServerAddress> RedisConnectionPool::ServerFor(const TString& key) const {
  std::shared_ptr<const State> state = CurrentState();
  if (!state) return std::nullopt;
  return state->configuration->servers[state->ring.ServerFor(key)];
}

}  // namespace kelvra::caching
