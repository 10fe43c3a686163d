// RedisExternalCache: the second-level cache whose byte buffers live in Redis,
// shared by every process that reaches the same servers.
//
// A thin store under the asynchronous frame (ExternalCache): the frame runs
// its load, store and drop functions on its workers with the frame's
// thresholds, time-outs and concurrency limit. Each function takes one pooled
// connection for the entry key (RedisConnectionPool::
// FindAndLockPooledConnection), issues one command on the physical key and
// gives the connection back:
//   load   GET; a missing value is a miss
//   store  SET, or SETEX when the option ExternalCacheRedisAlwaysSetEx is on:
//          with ttlSec seconds when ttlSec > 0 and feature flag 0x94AA12A3 is
//          on, else with ExternalCacheRedisAlwaysSetExSec seconds (both
//          options read at each store)
//   drop   DEL
// When no connection can be had (no server configured, none free, server
// unreachable) a load is a miss and a store or drop does nothing; a command
// that fails raises, and the frame reports the operation as failed.
//
// Physical key: toStdString(ns + "\n" + key), the namespace, a line feed and
// the entry key in UTF-8, without escaping (MakePhysicalCacheKey). A line
// feed inside the namespace or the key passes through unchanged, so namespace
// "a" with key "b\nc" and namespace "a\nb" with key "c" share one physical
// key: keep line feeds out of namespaces that share a server.
//
// Set-up: the host configures the process's connection pool once, before
// using any Redis cache, with InitializeConnectionPool (host/redis/
// RedisConfiguration.h gives the formats; docs/redis.md explains them).
//
// Thread rules: thread-safe; the object never changes after construction.
// The functions it hands to the frame hold their own copy of the namespace,
// so an operation may outlive the cache object that started it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/Export.h"
#include "host/TString.h"
#include "public/caching/ExternalCache.h"

namespace kelvra::caching {

class KELCACHE_EXPORT RedisExternalCache : public ExternalCache<TString, std::vector<uint8_t>> {
 public:
  explicit RedisExternalCache(TString const& ns);
  RedisExternalCache(const RedisExternalCache&) = default;
  ~RedisExternalCache() override;

  // The Redis key of an entry: toStdString(ns + "\n" + key).
  static std::string MakePhysicalCacheKey(TString const& ns, TString const& key);

  // Log "ExternalCacheSslTlsEnabled=true|false" at Info, then
  // RedisConnectionPool::GetInstance().Reset(servers, options) unchanged.
  // Raises what Reset raises for a bad configuration.
  static void InitializeConnectionPool(std::vector<std::pair<TString, uint16_t>> const& servers,
                                       TString const& options);
  static void InitializeConnectionPool(TString const& servers, TString const& options);

 protected:
  StoreFunc GetStoreFunc() const override;
  LoadFunc GetLoadFunc() const override;
  DropFunc GetDropFunc() const override;

 private:
  // The operations behind the functions above. They take the namespace, not
  // the object: an operation may still run after its cache object is gone,
  // so the functions hold a copy of the namespace and nothing else of it.
  static void Store(TString const& ns, TString const& key, std::shared_ptr<std::vector<uint8_t>> const& value,
                    long long ttlSec);
  static std::shared_ptr<std::vector<uint8_t>> Load(TString const& ns, TString const& key);
  static void Drop(TString const& ns, TString const& key);
};

}  // namespace kelvra::caching
