// RedisSubscriptionManager: the process's Redis publish/subscribe, over the
// server of the connection pool's configuration, or any node of its Redis
// Cluster (RedisConnectionPool::SubscriptionServers; a cluster forwards every
// publication to all its nodes, replicas included).
//
// Subscriptions (IRedisSubscriptionManager) run on one connection and one
// thread of their own:
//   - The thread starts with the first Subscribe and stops when the last
//     subscription goes (and at process exit); it connects once the pool is
//     configured, and follows a new configuration.
//   - It reads with a short time-out and a wake-up descriptor, so it sees new
//     subscriptions, unsubscriptions and shutdown at once, and it sends PING
//     after a second of silence: a server that does not answer within the
//     command time-out counts as lost.
//   - After a lost connection it reconnects with a back-off that starts at
//     50 ms and doubles up to 2 s, and subscribes again to every pattern. In
//     a cluster each attempt goes to the next node (the listed nodes first, then the
//     other nodes of the slot map), so the subscription moves away from a
//     node that died; moving counts as a reconnection like any other.
//     Each loss and each reconnection is logged at Warn; messages published
//     in between are lost (publish/subscribe is at-most-once), so once every
//     pattern is subscribed again the reconnect listeners are called.
//   - Subscribe returns once the server has confirmed the pattern, so a
//     message published after it returns is delivered; for a pattern
//     subscribed again after its Unsubscribe, only a confirmation newer than
//     the server's giving it up counts. It waits at most the
//     configuration's connect and command time-outs, and no longer than the
//     subscriber's next attempt when the server cannot be reached; it does
//     not wait without a configuration, or when a callback subscribes.
//   - A new pool configuration (RedisConnectionPool::Reset) wakes every
//     manager's thread, and Reset returns once their patterns are confirmed
//     by the newly configured server, with the same bounds: a message
//     published after Reset returns is delivered.
//   - A pattern may be subscribed more than once: each callback gets every
//     message. Unsubscribe ends every subscription of the pattern.
//   - Callbacks run on the subscriber thread, one at a time. An exception
//     from a callback is logged (Error) and delivery goes on.
//   - Unsubscribe returns without waiting for the server; once it returns no
//     callback of the pattern is called again, also not for a message whose delivery
//     had already begun (it waits for a callback in progress on another
//     thread, so do not call it holding a lock that the callback takes). A
//     callback may unsubscribe itself, and a callback or reconnect listener
//     may destroy the manager: its thread then ends after the callback
//     returns, without waiting to be joined.
//
// TryPublish sends PUBLISH on a pooled connection (to the server, or to any
// node of the cluster) and gives false, without raising, when the pool has no server, no
// connection is free, or the command fails. A publication that failed while
// a server was configured is logged at Warn (rate-limited) and kept: it is
// sent again, oldest first, after the next publication that succeeds, or
// from the subscriber thread when its server answers a PING, at most 16 at a
// time (host/redis/UnsentPublications.h says why and how many are kept).
// After a PUBLISH timed out, publications are kept without trying the server
// for a second (or until a PING answer): TryPublish then gives false at once.
//
// Lifetime: GetInstance's manager is created through InitOnce and never
// destroyed. Its thread is stopped by an exit handler (std::atexit) that is
// registered when the thread first starts; the handler waits up to 2 s for
// the thread to end (then leaves it). The thread itself uses only objects
// that are never destroyed (this manager, the pool, the logging) and the
// owners' callbacks. A manager made with the public constructor (tests,
// tools) stops and joins its thread in its destructor.
//
// Thread rules: thread-safe; see the Impl in the .cpp for the locks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "host/Export.h"
#include "host/TString.h"
#include "host/redis/IRedisSubscriptionManager.h"

struct redisContext;
struct redisReply;

namespace kelvra::caching {

class KELCACHE_EXPORT RedisSubscriptionManager final : public IRedisSubscriptionManager {
 public:
  static RedisSubscriptionManager& GetInstance();

  // A manager of its own, apart from the process's one.
  RedisSubscriptionManager();
  ~RedisSubscriptionManager() override;
  RedisSubscriptionManager(const RedisSubscriptionManager&) = delete;
  RedisSubscriptionManager& operator=(const RedisSubscriptionManager&) = delete;

  void Subscribe(TString const& pattern, MessageCallback const& callback) override;
  void Unsubscribe(TString const& pattern) override;
  uint64_t AddReconnectListener(ReconnectListener listener) override;
  void RemoveReconnectListener(uint64_t token) override;

  // Publishes `message` (as UTF-8) on `channel`. onReply, when not empty, is
  // called with a null context (pooled connections have no hiredis context)
  // and the raw reply, before the reply is freed. True when the server took
  // the message.
  bool TryPublish(TString const& channel, TString const& message,
                  std::function<void(redisContext*, redisReply*, void*)> const& onReply);

  // Whether the subscriber thread is running now.
  bool IsSubscriberRunning() const;
  // How many times the subscriptions were re-established after a loss.
  uint64_t GetReconnectCount() const;
  // Whether the server has confirmed the pattern's subscription, so that it
  // is in force now (false while the server cannot be reached or refuses it,
  // for instance to a user who may not subscribe).
  bool IsConfirmed(TString const& pattern) const;

  // Called by RedisConnectionPool once it has installed a new configuration:
  // wakes the thread of every manager that has subscriptions and waits until
  // the configured server has confirmed them (see Subscribe for the bounds).
  static void FollowPoolConfiguration();

 private:
  struct Impl;
  // The exit handler of the process-wide manager (see Lifetime above).
  static void StopAtExit();

  // Shared, so that a callback or listener that destroys the manager can
  // keep the state alive until the subscriber thread's loop has ended.
  const std::shared_ptr<Impl> m_impl;
};

}  // namespace kelvra::caching
