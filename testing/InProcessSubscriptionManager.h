// InProcessSubscriptionManager: a subscription manager without Redis, for
// tests, fuzz targets and the tour. Published messages are delivered at once,
// on the publishing thread, to every subscription whose glob pattern matches
// the channel, so every step of a caller is deterministic. As with the Redis
// manager, a pattern subscribed twice has both callbacks, Unsubscribe ends
// every subscription of the pattern, and once Unsubscribe (or
// RemoveReconnectListener) returns its callbacks never run again, even for a
// delivery already under way on another thread.
//
// Thread rules: thread-safe; m_mutex guards the subscriptions and listeners,
// and callbacks run without it (they may subscribe or unsubscribe).
#pragma once

#include <fnmatch.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/TMutex.h"
#include "host/redis/GatedCallback.h"
#include "host/redis/IRedisSubscriptionManager.h"

namespace kelcache_testing {

class InProcessSubscriptionManager : public kelvra::caching::IRedisSubscriptionManager {
 public:
  void Subscribe(const TString& pattern, const MessageCallback& callback) override {
    auto gated = std::make_shared<GatedMessageCallback>(callback);
    TMutexLock lock(m_mutex);
    m_subscriptions[pattern.toStdString()].push_back(std::move(gated));
  }
  void Unsubscribe(const TString& pattern) override {
    std::vector<std::shared_ptr<GatedMessageCallback>> ended;
    {
      TMutexLock lock(m_mutex);
      auto found = m_subscriptions.find(pattern.toStdString());
      if (found == m_subscriptions.end()) return;
      ended = std::move(found->second);
      m_subscriptions.erase(found);
    }
    for (const auto& callback : ended) callback->Close();  // waits for a delivery under way
  }
  uint64_t AddReconnectListener(ReconnectListener listener) override {
    auto gated = std::make_shared<GatedListener>(std::move(listener));
    TMutexLock lock(m_mutex);
    m_listeners[++m_nextToken] = std::move(gated);
    return m_nextToken;
  }
  void RemoveReconnectListener(uint64_t token) override {
    std::shared_ptr<GatedListener> ended;
    {
      TMutexLock lock(m_mutex);
      auto found = m_listeners.find(token);
      if (found == m_listeners.end()) return;
      ended = std::move(found->second);
      m_listeners.erase(found);
    }
    ended->Close();
  }

  // Delivers one message (its raw bytes) to every matching subscription;
  // exceptions of a callback reach the caller.
  void Deliver(const TString& channel, const std::string& message) {
    std::vector<std::shared_ptr<GatedMessageCallback>> targets;
    {
      TMutexLock lock(m_mutex);
      const std::string channelBytes = channel.toStdString();
      for (const auto& [pattern, callbacks] : m_subscriptions) {
        if (fnmatch(pattern.c_str(), channelBytes.c_str(), 0) == 0) {
          targets.insert(targets.end(), callbacks.begin(), callbacks.end());
        }
      }
    }
    for (const auto& callback : targets) {
      callback->Invoke(channel, message.data(), static_cast<int>(message.size()));
    }
  }
  // Tells every reconnect listener, as the Redis manager does after it
  // subscribed again.
  void SimulateReconnect() {
    std::vector<std::shared_ptr<GatedListener>> listeners;
    {
      TMutexLock lock(m_mutex);
      for (const auto& [token, listener] : m_listeners) listeners.push_back(listener);
    }
    for (const auto& listener : listeners) listener->Invoke();
  }
  size_t SubscriptionCount() {
    TMutexLock lock(m_mutex);
    return m_subscriptions.size();
  }

 private:
  using GatedMessageCallback = kelvra::caching::GatedCallback<const TString&, const void*, int>;
  using GatedListener = kelvra::caching::GatedCallback<>;

  TMutex m_mutex;
  std::map<std::string, std::vector<std::shared_ptr<GatedMessageCallback>>> m_subscriptions
      KELCACHE_GUARDED_BY(m_mutex);
  std::map<uint64_t, std::shared_ptr<GatedListener>> m_listeners KELCACHE_GUARDED_BY(m_mutex);
  uint64_t m_nextToken KELCACHE_GUARDED_BY(m_mutex) = 0;
};

}  // namespace kelcache_testing
