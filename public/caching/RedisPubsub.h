// Cache coherence between processes over Redis publish/subscribe.
//
// Several processes cache results computed from the same data. When one adds
// an entry whose key it shares with entries elsewhere but whose value differs,
// the others' copies are stale. For every entry a participating cache adds,
// the host reports its key hash, value hash and timestamp (OnAdded); the
// service publishes them on a channel derived from the key hash (unless the
// addition only settles a removal reported before it, or the new entry is
// already older, by more than the margin below, than a local entry of
// another value: it is then marked dirty at once); every
// process (the publisher too) receives them through one pattern subscription
// and removes its own entries of that key hash that carry another value and
// are older by more than a margin (the option
// CacheSynchronizationMinimumDeltaSeconds): their caches hear
// ICoherentCache::OnDirty and every cascade invalidator of the holder hears
// OnDirty. Removals are not published; they are tracked locally for a bounded
// time and count (OnRemoved), so late messages and cascade invalidation still
// find evicted entries for a while.
//
// Wire format (hexadecimal digits lower case, no leading zeros, no prefix):
//   hash text of (a, b):  hex(a) "-" hex(b)
//   channel:              <prefix> <hash text of the key hash>      prefix "defaultns."
//   message:              <hash text of the value hash> "@" hex(timestamp)
//   subscription pattern: <prefix> "*"
// Timestamps are host DateTime representations (milliseconds since
// 0001-01-01, see host/DateTime.h). The service only compares them, so every
// process must stamp its entries in one time base: UTC
// (DateTime::GetUtcTime()). Local time would go back an hour when daylight
// saving ends, and differ between time zones, so that a newer value could
// look older than the one it replaces.
//
// Redis pub/sub is at-most-once: messages published while a subscriber is
// disconnected are lost. When the subscription manager reports that it
// reconnected and the option CacheSynchronizationFlushOnReconnect is on (the
// default; read at each reconnect), every live tracked entry is treated as
// possibly stale: marked dirty (caches and invalidators told as for a received
// message) and forgotten.
//
// Ownership: the service does not own the caches. It keeps each cache's
// address, calls OnDirty through it, and relies on the host to withdraw a
// cache with OnRemoved(cache) before destroying it.
//
// Thread rules: every operation may be called from any thread. One
// reader/writer lock, taken exclusively only and re-entrant for its holder,
// guards all tracking maps. Lock order: this service's lock, then a cache's
// lock (OnDirty of caches and invalidators runs with it held), then the
// aggregator's and scopes' mutexes; the scope-dirty handlers of the cascade
// invalidation run with this service's lock still held. Publishing and
// OnAdded's log line happen after the lock is released. Subscription
// callbacks arrive on the subscription manager's thread, inside the
// subscription's gate: a thread that holds a cache's lock must not destroy
// the service or unsubscribe it. Nor may the service be destroyed from one
// of its own callbacks (a cache's or invalidator's OnDirty or OnEvicted, a
// dirty scope's handler): the call that made the callback still uses it, and
// with AsyncCacheCoherence on its destruction would wait for that very call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/Export.h"
#include "host/TString.h"
#include "host/redis/IRedisSubscriptionManager.h"
#include "main/utility/ICoherentCache.h"
#include "public/caching/CacheSynchronizationLogLevel.h"
#include "public/caching/CoherenceMetrics.h"

namespace kelvra::caching {

// What the host reports to the coherence service. Any thread.
class KELCACHE_EXPORT ICacheCoherence {
 public:
  // `cache` added entry `guid` whose key hashes to `entryKeyHash` and whose
  // value hashes to `valueHash`, at `timestamp` (a DateTime representation).
  virtual OnAddedMetrics OnAdded(std::pair<uint64_t, uint64_t> entryKeyHash,
                                 std::pair<uint64_t, uint64_t> valueHash, uint64_t timestamp, unsigned guid,
                                 std::weak_ptr<ICoherentCache> cache) = 0;
  // `cache` goes away: forget all its entries. Call before destroying it.
  virtual void OnRemoved(const ICoherentCache& cache) = 0;
  // The same, given the cache as the other operations take it (a shared
  // pointer converts). A pointer whose cache is gone names no cache: nothing
  // happens, and the service cannot forget that cache (withdraw it before its
  // last owner lets go).
  void OnRemoved(const std::weak_ptr<ICoherentCache>& cache) {
    if (std::shared_ptr<ICoherentCache> alive = cache.lock()) OnRemoved(*alive);
  }
  // These entries left `cache`.
  virtual OnRemovedMetrics OnRemoved(const std::vector<unsigned>& guids,
                                     std::weak_ptr<ICoherentCache> cache) = 0;
  // Unit tests only: replace the pruning limits (negative keeps one) and prune.
  virtual void TriggerPruneEvictedEntriesTestOnly(int maxEvictedEntries, int evictedLifetimeSec) = 0;
  virtual ~ICacheCoherence() = default;
};

class KELCACHE_EXPORT RedisPubsub : public ICacheCoherence {
 public:
  using PublishFunction = std::function<void(const TString& channel, const TString& message)>;
  class Impl;

  // The process-wide service on the channel prefix "defaultns.", created on
  // the first call (after making sure the subscription manager exists) and
  // kept until the process ends.
  static std::weak_ptr<RedisPubsub> GetInstance();
  // Unit tests only (else LogicException
  // "AppConfig::GetInstance().GetUnitTestFlag()"): a separate service with
  // the given prefix, subscription manager and publish function (with an
  // empty one, publications go nowhere). The manager must outlive the
  // service.
  static std::shared_ptr<RedisPubsub> CreateTestInstance(const TString& channel,
                                                         IRedisSubscriptionManager& subscriptionManager,
                                                         PublishFunction publish);
  ~RedisPubsub() override;

  OnAddedMetrics OnAdded(std::pair<uint64_t, uint64_t> entryKeyHash, std::pair<uint64_t, uint64_t> valueHash,
                         uint64_t timestamp, unsigned guid, std::weak_ptr<ICoherentCache> cache) override;
  using ICacheCoherence::OnRemoved;
  void OnRemoved(const ICoherentCache& cache) override;
  OnRemovedMetrics OnRemoved(const std::vector<unsigned>& guids,
                             std::weak_ptr<ICoherentCache> cache) override;
  void TriggerPruneEvictedEntriesTestOnly(int maxEvictedEntries, int evictedLifetimeSec) override;

  // Unit tests only (else LogicException
  // "AppConfig::GetInstance().GetUnitTestFlag()"): checks that the tracking
  // maps describe the same entries from every side; returns a description of
  // each disagreement, or an empty text.
  std::string CheckConsistencyTestOnly();

 private:
  explicit RedisPubsub(const TString& channel = TString(u"defaultns."));
  RedisPubsub(const TString& channel, IRedisSubscriptionManager& subscriptionManager,
              PublishFunction publish);

  std::unique_ptr<Impl> m_impl;
};

}  // namespace kelvra::caching
