#include "host/redis/RedisServerLink.h"

#include <algorithm>

#include "host/redis/RedisTransportFactory.h"

namespace kelvra::caching {

namespace {

// Pooled connections per pipe. One pipe carries the requests of many callers
// (they are batched); more pipes only help against a large value holding up
// the requests behind it, and each costs the server a connection.
constexpr int kConnectionsPerPipe = 8;

}  // namespace

RedisServerLink::RedisServerLink(RedisServerAddress address, RedisPoolOptions options,
                                 RedisTransportFactory factory)
    : m_address(std::move(address)), m_backOff(m_address) {
  if (!factory) factory = MakeRedisTransportFactory(options);
  int pipes = PipesFor(options.connectionsPerServer);
  m_pipes.reserve(static_cast<size_t>(pipes));
  for (int i = 0; i < pipes; ++i)
    m_pipes.push_back(std::make_unique<RedisPipe>(m_address, options, factory, m_backOff));
}

RedisServerLink::~RedisServerLink() = default;

int RedisServerLink::PipesFor(int connections) {
  return std::max(1, (connections + kConnectionsPerPipe - 1) / kConnectionsPerPipe);
}

RedisPipe& RedisServerLink::ChoosePipe() {
  RedisPipe* best = m_pipes.front().get();
  int bestLoad = best->Load();
  for (size_t i = 1; i < m_pipes.size() && bestLoad > 0; ++i) {
    int load = m_pipes[i]->Load();
    if (load < bestLoad) {
      best = m_pipes[i].get();
      bestLoad = load;
    }
  }
  return *best;
}

RedisPipe::Outcome RedisServerLink::Execute(std::span<const std::string_view> arguments,
                                            const std::shared_ptr<const void>& keepAlive, bool asking) {
  auto encode = [&] {
    static constexpr std::string_view kAsking[] = {"ASKING"};
    return asking ? RedisCommand::EncodeAfter(kAsking, arguments, keepAlive)
                  : RedisCommand::Encode(arguments, keepAlive);
  };
  RedisPipe& pipe = ChoosePipe();
  RedisPipe::Outcome outcome = pipe.Execute(encode());
  if (outcome.failure == RedisPipe::Failure::kIo && outcome.sessionWasUsed) {
    // A socket that sat idle may have been closed by the server (a restart,
    // an idle time-out): try once more on a new one. The same pipe has
    // dropped the broken socket, so it connects anew; another pipe's socket
    // may have sat idle just as long.
    outcome = pipe.Execute(encode());
  }
  return outcome;
}

bool RedisServerLink::IsConnected() const {
  return std::any_of(m_pipes.begin(), m_pipes.end(), [](const auto& pipe) { return pipe->IsConnected(); });
}

void RedisServerLink::Connect() {
  if (!IsConnected()) m_pipes.front()->Connect();
}

bool RedisServerLink::TryConnect() noexcept {
  try {
    Connect();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace kelvra::caching
