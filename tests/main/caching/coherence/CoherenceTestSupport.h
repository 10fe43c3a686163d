// Recording caches and invalidators for the coherence tests, which run the
// service over an in-process subscription manager (deterministic delivery);
// participants of the process-wide service and hand-shake files for the
// tests that run it between processes over real servers.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>

#include "main/utility/CachePolicies.h"
#include "main/utility/SynchronizedIndexedCache.h"
#include "testing/InProcessSubscriptionManager.h"
#include "public/caching/CascadeInvalidator.h"
#include "public/caching/RedisPubsub.h"
#include "tests/support/TestEnvironment.h"

namespace coherence_test {

using namespace std::chrono_literals;
using Hash = std::pair<uint64_t, uint64_t>;

using kelcache_testing::InProcessSubscriptionManager;

using kelcache_test::WaitUntil;

// Hand-shake files between a test and its child process.
inline void Touch(const std::string& path) { std::ofstream(path) << "1"; }
inline bool Exists(const std::string& path) { return std::ifstream(path).good(); }

struct Payload : RefCntObject {};

// One participating cache and its entries, registered with the process's
// service (made by the first participant, which reads the options then).
// Withdraws the cache from the service when it goes.
class Participant {
 public:
  Participant()
      : m_service(kelvra::caching::RedisPubsub::GetInstance().lock()),
        m_cache(std::make_shared<SynchronizedIndexedCache>(std::make_shared<CacheHelpers::LifetimePolicy>(1000000),
                                                           nullptr)) {}
  ~Participant() { m_service->OnRemoved(*m_cache); }

  unsigned Add(const Hash& key, const Hash& value, uint64_t timestamp,
               RefCntPtr<RefCntObject> data = RefCntPtr<RefCntObject>(new Payload)) {
    const unsigned id = m_cache->AddEntry(std::move(data));
    m_service->OnAdded(key, value, timestamp, id, m_cache);
    return id;
  }
  void Evict(unsigned id) {
    m_cache->OnDirty({id});
    m_service->OnRemoved({id}, m_cache);
  }
  bool Has(unsigned id) { return static_cast<bool>(m_cache->TryGetEntry(id)); }
  bool WaitGone(unsigned id, std::chrono::milliseconds timeout = 15s) {
    return WaitUntil([&] { return !Has(id); }, timeout);
  }
  kelvra::caching::RedisPubsub& Service() { return *m_service; }
  const SynchronizedIndexedCache& Cache() const { return *m_cache; }

 private:
  std::shared_ptr<kelvra::caching::RedisPubsub> m_service;
  std::shared_ptr<SynchronizedIndexedCache> m_cache;
};

// A cache that records which ids it was told are dirty, and an invalidator
// that records its dirty and evicted notifications per cache and the scopes
// whose result was used. Neither locks: every test reads them only once the
// calls that tell them have returned (the asynchronous service's work once
// the service is gone).
struct RecordingCache : kelvra::caching::ICoherentCache {
  void OnDirty(const std::vector<unsigned int>& ids) override {
    dirty.insert(dirty.end(), ids.begin(), ids.end());
  }
  std::vector<unsigned int> dirty;
};

struct RecordingInvalidator : kelvra::caching::ICascadeInvalidator {
  struct Call {
    std::vector<unsigned int> ids;
    const kelvra::caching::ICoherentCache* cache;
  };
  void OnEntryUsed(unsigned int, const kelvra::caching::ICoherentCache&) override {}
  void OnEvicted(const std::vector<unsigned int>& ids, const kelvra::caching::ICoherentCache& cache) override {
    evicted.push_back({ids, &cache});
    if (whenEvicted) whenEvicted(ids);
  }
  void OnDirty(const std::vector<unsigned int>& ids, const kelvra::caching::ICoherentCache& cache) override {
    dirtyCalls.push_back({ids, &cache});
    if (whenDirty) whenDirty(ids);
  }
  void OnResultUsed(const std::shared_ptr<kelvra::caching::IInvalidatorAggregatorScope>& scope) override {
    resultScopes.push_back(scope);
  }
  std::vector<Call> evicted;
  std::vector<Call> dirtyCalls;
  std::vector<std::shared_ptr<kelvra::caching::IInvalidatorAggregatorScope>> resultScopes;
  // Run after each dirty or evicted notification is recorded, on the
  // telling thread.
  std::function<void(const std::vector<unsigned int>&)> whenDirty;
  std::function<void(const std::vector<unsigned int>&)> whenEvicted;
};

// A scope handler that counts the notifications it hears (from any thread).
struct CountingHandler : kelvra::caching::IScopeDirtyHandler {
  void OnScopeDirty(const std::shared_ptr<kelvra::caching::IInvalidatorAggregatorScope>&) override { ++calls; }
  std::atomic<int> calls{0};
};

inline std::string HashText(const Hash& hash) {
  return TString::number(hash.first, 16).toStdString() + "-" + TString::number(hash.second, 16).toStdString();
}

inline std::string MessageText(const Hash& valueHash, uint64_t timestamp) {
  return HashText(valueHash) + "@" + TString::number(timestamp, 16).toStdString();
}

}  // namespace coherence_test
