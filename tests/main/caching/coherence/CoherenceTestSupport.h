// Recording caches and invalidators for the coherence tests, which run the
// service over an in-process subscription manager (deterministic delivery).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "testing/InProcessSubscriptionManager.h"
#include "public/caching/CascadeInvalidator.h"
#include "public/caching/RedisPubsub.h"

namespace coherence_test {

using Hash = std::pair<uint64_t, uint64_t>;

using kelcache_testing::InProcessSubscriptionManager;

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
