// RedisServerLink: the connections to one Redis server, shared by all the
// pooled connections (RedisConnection) to it.
//
// It holds a few pipes (host/redis/RedisPipe.h), each one shared, pipelined
// connection: PipesFor(connections) of them, made as load needs them. A
// command goes to the first pipe that has no request in flight, else to the
// least busy one; so one caller always uses the first pipe, and many callers
// share the pipes (their requests batched on each) while a large value on one
// pipe does not hold up every other request. Which server a key goes to is
// decided above this class; the link only talks to its one server.
//
// Connecting: the pipes share one back-off (host/redis/RedisBackOff.h), so a
// server that cannot be reached is tried again only after the back-off time,
// by whichever pipe needs it first.
//
// Thread rules: thread-safe; the pipe list is fixed at construction and the
// pipes are thread-safe.
#pragma once

#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "host/Export.h"
#include "host/redis/IRedisTransport.h"
#include "host/redis/RedisBackOff.h"
#include "host/redis/RedisConfiguration.h"
#include "host/redis/RedisPipe.h"

namespace kelvra::caching {

class KELCACHE_EXPORT RedisServerLink {
 public:
  // The configuration's transport (TLS or plain TCP,
  // host/redis/RedisTransportFactory.h) unless another is given.
  RedisServerLink(RedisServerAddress address, RedisPoolOptions options, RedisTransportFactory factory = {});
  ~RedisServerLink();
  RedisServerLink(const RedisServerLink&) = delete;
  RedisServerLink& operator=(const RedisServerLink&) = delete;

  // How many pipes serve `connections` pooled connections.
  static int PipesFor(int connections);

  // The pipe for the next command (see above).
  RedisPipe& ChoosePipe();
  // Runs one command on the pipe ChoosePipe picks, preceded by ASKING in the
  // same write when `asking` is set, and gives what became of it. When it
  // failed with an I/O error on a socket that had answered before (closed by
  // the server while it sat idle, as after a restart), it is tried once more
  // on a new socket: the commands sent this way are idempotent (GET, SET,
  // SETEX, DEL, CLUSTER SLOTS), or harmless to repeat (PUBLISH repeats a
  // coherence message). A time-out is never retried. Raises as
  // RedisPipe::Execute does when no socket can be made. `keepAlive` owns the
  // large arguments (RedisCommand::Encode).
  RedisPipe::Outcome Execute(std::span<const std::string_view> arguments,
                             const std::shared_ptr<const void>& keepAlive = nullptr, bool asking = false);
  // Whether some pipe is connected.
  bool IsConnected() const;
  // Connects the first pipe unless some pipe is connected. Raises as
  // RedisPipe::Connect does.
  void Connect();
  // Connect, giving false instead of raising.
  bool TryConnect() noexcept;

  const RedisServerAddress& Address() const { return m_address; }
  size_t PipeCount() const { return m_pipes.size(); }

 private:
  const RedisServerAddress m_address;
  RedisBackOff m_backOff;
  std::vector<std::unique_ptr<RedisPipe>> m_pipes;  // fixed after construction; they use m_backOff
};

}  // namespace kelvra::caching
