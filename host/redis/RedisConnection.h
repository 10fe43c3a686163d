// RedisConnection: a pooled connection to one Redis server, or to a Redis
// Cluster, with the commands the caches need. Binary-safe: keys and values
// may hold any bytes, NUL included.
//
// A RedisConnection is a logical connection: the pool hands it to one guard
// holder at a time, but its commands travel on the server's shared, pipelined
// sockets (host/redis/RedisServerLink.h, host/redis/RedisPipe.h), together with
// the commands of every other connection to that server. A command waits only
// for its own reply; replies always reach the command they answer.
//
// A connection to a cluster is not tied to one node: each command goes to the
// node that serves its key, as it is sent (host/redis/RedisCluster.h), so the
// Redis store's physical key decides where a value lies, whatever entry key
// the connection was asked for with. MOVED and ASK replies are followed there;
// the caller sees only the final reply or failure.
//
// Connecting (TCP within the connect time-out, then AUTH when a password is
// configured and SELECT when the database is not 0) happens when the server
// has no live socket: at Connect, or at the first command that needs one.
// Every wait for the server, while a command is written or its reply read,
// ends after the command time-out of silence at the latest; a command that
// keeps receiving data goes on.
//
// Failures raise (host/redis/RedisErrors.h):
//   RedisIoError       cannot connect, or the socket broke
//   RedisTimeoutError  the server did not answer in time
//   RedisReplyError    the server answered with an error reply
// After an I/O error or a time-out the socket is closed, with every command
// waiting on it failing the same way (a time-out: the server owed replies
// and sent nothing), since the protocol state is unknown; IsConnected() is
// then false until a command succeeds again. A reply error leaves everything
// usable. When a command fails with an I/O error on a socket that had
// answered before (the server closed it while it sat idle, as after a
// restart), the command is tried once more on a new socket: GET, SET, SETEX
// and DEL are idempotent, TTL and SCAN only read, and a repeated PUBLISH only
// repeats a coherence message. A time-out is never retried.
//
// A connection to a cluster fails the same ways (see RedisCluster for when
// it tries another node instead); IsConnected() then only says whether its
// last command failed with an I/O error or a time-out.
//
// SIGPIPE cannot arise: the sockets are written with MSG_NOSIGNAL.
//
// Thread rules: not thread-safe. One thread at a time uses a connection; the
// pool hands each connection to one guard holder at a time. Connections to
// the same server may be used on many threads at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/Export.h"
#include "host/redis/RedisConfiguration.h"
#include "host/redis/RedisProtocol.h"

// hiredis types, opaque here; only the publish callback hands them out.
struct redisContext;
struct redisReply;

namespace kelvra::caching {

class RedisCluster;
class RedisServerLink;

class KELCACHE_EXPORT RedisConnection {
 public:
  using Value = std::shared_ptr<std::vector<uint8_t>>;
  // Called with a null context (the connection has no hiredis context), the
  // reply in hiredis's form (PUBLISH's integer) and a null private-data
  // pointer; the reply is valid only during the call.
  using ReplyCallback = std::function<void(redisContext*, redisReply*, void*)>;

  // A connection over `link`'s sockets. Does not connect yet.
  explicit RedisConnection(std::shared_ptr<RedisServerLink> link);
  // A connection to the cluster: each command goes where its key lies.
  explicit RedisConnection(std::shared_ptr<RedisCluster> cluster);
  // (Both refuse a null link or cluster with a logic exception, "link" or
  // "cluster".)
  ~RedisConnection();
  RedisConnection(const RedisConnection&) = delete;
  RedisConnection& operator=(const RedisConnection&) = delete;

  // Makes sure the server has a live socket, connecting now when it has
  // none (see the header comment). Raises.
  void Connect();
  // Whether the server has a live socket and this connection's last command
  // did not fail with an I/O error or a time-out.
  bool IsConnected() const;
  // The server; for a cluster, the node that answered the last command (the
  // first node before any).
  const RedisServerAddress& GetAddress() const;

  // GET: the stored bytes, or null when the key holds no value.
  Value Get(const std::string& key);
  // SET without expiry; true when the server said OK.
  bool Set(const std::string& key, const Value& value);
  // SETEX; true when the server said OK. Redis refuses a ttl below 1 s with a
  // reply error.
  bool SetEx(const std::string& key, std::chrono::seconds ttl, const Value& value);
  // DEL: the number of keys removed.
  int64_t Del(const std::string& key);
  // TTL: the key's remaining time to live in whole seconds; -1 when it has
  // no expiry, -2 when it holds no value (Redis's own answers).
  int64_t Ttl(const std::string& key);

  // One page of a SCAN: the cursor to pass next (0 when the walk is over)
  // and the keys of this page, which may be none.
  struct ScanPage {
    uint64_t cursor = 0;
    std::vector<std::string> keys;
  };
  // SCAN cursor MATCH match COUNT count. Start with cursor 0 and go on with
  // each page's cursor until it is 0 again. `match` is a Redis glob pattern,
  // passed as it is (escape '*', '?', '[', ']' and '\\' in literal parts);
  // `count` is a hint of how many keys the server looks at per page. A key
  // may be given more than once in one walk, and keys added or removed
  // during it may or may not be given (the guarantees of SCAN).
  ScanPage Scan(uint64_t cursor, const std::string& match, int64_t count);
  // PUBLISH: the number of clients that received the message. onReply, when
  // not empty, sees the raw reply first.
  int64_t Publish(const std::string& channel, const std::string& message, const ReplyCallback& onReply = {});

 private:
  // Runs one command (retrying once on a stale socket, see above) and
  // returns its reply; raises on failure and on an error reply. Large
  // arguments are sent from where they lie, so `keepAlive` must own those
  // that are not copies.
  RedisReplyPtr Execute(std::span<const std::string_view> arguments,
                        const std::shared_ptr<const void>& keepAlive = nullptr);

  const std::shared_ptr<RedisServerLink> m_link;  // null for a cluster
  const std::shared_ptr<RedisCluster> m_cluster;  // null for one server
  RedisServerAddress m_lastNode;                  // a cluster's node that answered last
  // The last command failed with an I/O error or a time-out.
  bool m_failed = false;
};

}  // namespace kelvra::caching
