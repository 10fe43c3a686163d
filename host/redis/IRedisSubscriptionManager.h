// IRedisSubscriptionManager: pattern subscriptions to Redis publish/subscribe,
// as the coherence service uses them. RedisSubscriptionManager is the real
// one; tests may give the coherence service another implementation.
//
// Virtual operations in slot order:
//   1. Subscribe(pattern, callback): from now on, for every message published
//      on a channel that matches the Redis glob pattern, callback(channel,
//      bytes, count) is called once, on the manager's thread; messages that
//      this process published arrive too.
//   2. Unsubscribe(pattern): ends that subscription; once it returns, its
//      callback is never called again.
//   3. AddReconnectListener(listener): the listener is called (on the
//      manager's thread) each time the subscriptions were re-established
//      on the servers they were lost on (not after a move to other servers
//      that the host configured). Messages published meanwhile are lost (Redis
//      publish/subscribe is at-most-once), so an owner that must not miss one
//      resynchronises here. Returns a token for RemoveReconnectListener;
//      this base implementation never reports and returns 0.
//   4. RemoveReconnectListener(token): once it returns the listener is never
//      called again. Does nothing for an unknown token (and for 0).
//   5. The destructor.
//
// Thread rules: implementations are thread-safe.
#pragma once

#include <cstdint>
#include <functional>

#include "host/Export.h"
#include "host/TString.h"

namespace kelvra::caching {

class KELCACHE_EXPORT IRedisSubscriptionManager {
 public:
  using MessageCallback = std::function<void(TString const& channel, void const* data, int length)>;
  using ReconnectListener = std::function<void()>;

  virtual void Subscribe(TString const& pattern, MessageCallback const& callback) = 0;
  virtual void Unsubscribe(TString const& pattern) = 0;
  virtual uint64_t AddReconnectListener(ReconnectListener listener);
  virtual void RemoveReconnectListener(uint64_t token);
  virtual ~IRedisSubscriptionManager();
};

}  // namespace kelvra::caching
