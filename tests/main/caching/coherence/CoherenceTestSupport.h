// An in-process subscription manager and recording caches and invalidators
// for the coherence tests: published messages are delivered at once, on the
// publishing thread, to every subscription whose pattern matches, so every
// step of a test is deterministic.
#pragma once

#include <gtest/gtest.h>

#include <fnmatch.h>

#include <map>
#include <mutex>

#include "host/redis/IRedisSubscriptionManager.h"
#include "public/caching/CascadeInvalidator.h"
#include "public/caching/RedisPubsub.h"

namespace coherence_test {

using Hash = std::pair<uint64_t, uint64_t>;

class InProcessSubscriptionManager : public kelvra::caching::IRedisSubscriptionManager {
 public:
  void Subscribe(const TString& pattern, const MessageCallback& callback) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_subscriptions[pattern.toStdString()] = callback;
  }
  void Unsubscribe(const TString& pattern) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_subscriptions.erase(pattern.toStdString());
  }
  uint64_t AddReconnectListener(ReconnectListener listener) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listeners[++m_nextToken] = std::move(listener);
    return m_nextToken;
  }
  void RemoveReconnectListener(uint64_t token) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listeners.erase(token);
  }

  // Delivers one message (the raw bytes of `message`) to every matching
  // subscription; exceptions of a callback reach the caller.
  void Deliver(const TString& channel, const std::string& message) {
    std::vector<MessageCallback> targets;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      for (const auto& [pattern, callback] : m_subscriptions) {
        if (fnmatch(pattern.c_str(), channel.toStdString().c_str(), 0) == 0) targets.push_back(callback);
      }
    }
    for (const auto& callback : targets) callback(channel, message.data(), static_cast<int>(message.size()));
  }
  void SimulateReconnect() {
    std::vector<ReconnectListener> listeners;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      for (const auto& [token, listener] : m_listeners) listeners.push_back(listener);
    }
    for (const auto& listener : listeners) listener();
  }
  size_t SubscriptionCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_subscriptions.size();
  }

 private:
  std::mutex m_mutex;
  std::map<std::string, MessageCallback> m_subscriptions;
  std::map<uint64_t, ReconnectListener> m_listeners;
  uint64_t m_nextToken = 0;
};

// A cache that records which ids it was told are dirty.
class RecordingCache : public kelvra::caching::ICoherentCache {
 public:
  void OnDirty(const std::vector<unsigned int>& ids) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dirty.insert(m_dirty.end(), ids.begin(), ids.end());
  }
  std::vector<unsigned int> Dirty() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dirty;
  }

 private:
  std::mutex m_mutex;
  std::vector<unsigned int> m_dirty;
};

// An invalidator that records dirty and evicted notifications per cache.
class RecordingInvalidator : public kelvra::caching::ICascadeInvalidator {
 public:
  struct Call {
    std::vector<unsigned int> ids;
    const kelvra::caching::ICoherentCache* cache;
  };
  void OnEntryUsed(unsigned int, const kelvra::caching::ICoherentCache&) override {}
  void OnEvicted(const std::vector<unsigned int>& ids, const kelvra::caching::ICoherentCache& cache) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_evicted.push_back({ids, &cache});
  }
  void OnDirty(const std::vector<unsigned int>& ids, const kelvra::caching::ICoherentCache& cache) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dirty.push_back({ids, &cache});
  }
  std::vector<Call> Evicted() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_evicted;
  }
  std::vector<Call> DirtyCalls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dirty;
  }

 private:
  std::mutex m_mutex;
  std::vector<Call> m_evicted;
  std::vector<Call> m_dirty;
};

inline std::string HashText(const Hash& hash) {
  return TString::number(hash.first, 16).toStdString() + "-" + TString::number(hash.second, 16).toStdString();
}

inline std::string MessageText(const Hash& valueHash, uint64_t timestamp) {
  return HashText(valueHash) + "@" + TString::number(timestamp, 16).toStdString();
}

}  // namespace coherence_test
