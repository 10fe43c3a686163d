// InProcessSubscriptionManager: a subscription manager without Redis, for
// tests, fuzz targets and the tour. Published messages are delivered at once,
// on the publishing thread, to every subscription whose glob pattern matches
// the channel, so every step of a caller is deterministic.
//
// Thread rules: thread-safe; m_mutex guards the subscriptions and listeners,
// and callbacks run without it (they may subscribe or unsubscribe).
#pragma once

#include <fnmatch.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/TMutex.h"
#include "host/redis/IRedisSubscriptionManager.h"

namespace kelcache_testing {

class InProcessSubscriptionManager : public kelvra::caching::IRedisSubscriptionManager {
 public:
  void Subscribe(const TString& pattern, const MessageCallback& callback) override {
    TMutexLock lock(m_mutex);
    m_subscriptions[pattern.toStdString()] = callback;
  }
  void Unsubscribe(const TString& pattern) override {
    TMutexLock lock(m_mutex);
    m_subscriptions.erase(pattern.toStdString());
  }
  uint64_t AddReconnectListener(ReconnectListener listener) override {
    TMutexLock lock(m_mutex);
    m_listeners[++m_nextToken] = std::move(listener);
    return m_nextToken;
  }
  void RemoveReconnectListener(uint64_t token) override {
    TMutexLock lock(m_mutex);
    m_listeners.erase(token);
  }

  // Delivers one message (its raw bytes) to every matching subscription;
  // exceptions of a callback reach the caller.
  void Deliver(const TString& channel, const std::string& message) {
    std::vector<MessageCallback> targets;
    {
      TMutexLock lock(m_mutex);
      const std::string channelBytes = channel.toStdString();
      for (const auto& [pattern, callback] : m_subscriptions) {
        if (fnmatch(pattern.c_str(), channelBytes.c_str(), 0) == 0) targets.push_back(callback);
      }
    }
    for (const auto& callback : targets) callback(channel, message.data(), static_cast<int>(message.size()));
  }
  // Tells every reconnect listener, as the Redis manager does after it
  // subscribed again.
  void SimulateReconnect() {
    std::vector<ReconnectListener> listeners;
    {
      TMutexLock lock(m_mutex);
      for (const auto& [token, listener] : m_listeners) listeners.push_back(listener);
    }
    for (const auto& listener : listeners) listener();
  }
  size_t SubscriptionCount() {
    TMutexLock lock(m_mutex);
    return m_subscriptions.size();
  }

 private:
  TMutex m_mutex;
  std::map<std::string, MessageCallback> m_subscriptions KELCACHE_GUARDED_BY(m_mutex);
  std::map<uint64_t, ReconnectListener> m_listeners KELCACHE_GUARDED_BY(m_mutex);
  uint64_t m_nextToken KELCACHE_GUARDED_BY(m_mutex) = 0;
};

}  // namespace kelcache_testing
