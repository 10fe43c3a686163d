#include "public/caching/RedisExternalCache.h"

#include <chrono>

#include "host/AppOptions.h"
#include "host/Errors.h"
#include "host/FeatureFlags.h"
#include "host/Metrics.h"
#include "host/TFormatString.h"
#include "host/TLog.h"
#include "host/redis/RedisConnectionPool.h"

namespace kelvra::caching {

namespace {

// When on, a store's own ttlSec (if positive) is the expiry of SETEX.
constexpr FeatureFlagId kUseStoreTtlFlag = 0x94AA12A3;
constexpr uint64_t kMetricsMask = 0x20001;

void LogSslTlsOption() {
  LogMessage(TLog::Info, TFormatString(u"ExternalCacheSslTlsEnabled=%1")
                             .arg(kelvra::appoptions::ExternalCacheSslTlsEnabled() ? u"true" : u"false"));
}

}  // namespace

// A namespace may hold a line feed: it passes into the physical key as it is,
// like every other character (see the header on keys that share physical keys).
RedisExternalCache::RedisExternalCache(TString const& ns) : ExternalCache<TString, std::vector<uint8_t>>(ns) {}

RedisExternalCache::~RedisExternalCache() = default;

std::string RedisExternalCache::MakePhysicalCacheKey(TString const& ns, TString const& key) {
  return (ns + u"\n" + key).toStdString();
}

void RedisExternalCache::InitializeConnectionPool(std::vector<std::pair<TString, uint16_t>> const& servers,
                                                  TString const& options) {
  LogSslTlsOption();
  RedisConnectionPool::GetInstance().Reset(servers, options);
}

void RedisExternalCache::InitializeConnectionPool(TString const& servers, TString const& options) {
  LogSslTlsOption();
  RedisConnectionPool::GetInstance().Reset(servers, options);
}

void RedisExternalCache::Store(TString const& ns, TString const& key,
                               std::shared_ptr<std::vector<uint8_t>> const& value, long long ttlSec) {
  Metrics::Scope scope(TString(u"RedisExternalCache::TryStore"), kMetricsMask);
  std::unique_ptr<RedisConnectionGuard> guard = RedisConnectionPool::FindAndLockPooledConnection(key);
  if (!guard) return;
  std::string physicalKey = MakePhysicalCacheKey(ns, key);
  if (!kelvra::appoptions::ExternalCacheRedisAlwaysSetEx()) {
    guard->GetConnection().Set(physicalKey, value);
    return;
  }
  long long expiry = ttlSec > 0 && FeatureFlags::IsOn(kUseStoreTtlFlag)
                         ? ttlSec
                         : static_cast<long long>(kelvra::appoptions::ExternalCacheRedisAlwaysSetExSec());
  guard->GetConnection().SetEx(physicalKey, std::chrono::seconds(expiry), value);
}

std::shared_ptr<std::vector<uint8_t>> RedisExternalCache::Load(TString const& ns, TString const& key) {
  Metrics::Scope scope(TString(u"RedisExternalCache::TryLoad"), kMetricsMask);
  std::unique_ptr<RedisConnectionGuard> guard = RedisConnectionPool::FindAndLockPooledConnection(key);
  if (!guard) return nullptr;
  return guard->GetConnection().Get(MakePhysicalCacheKey(ns, key));
}

void RedisExternalCache::Drop(TString const& ns, TString const& key) {
  Metrics::Scope scope(TString(u"RedisExternalCache::TryDrop"), kMetricsMask);
  std::unique_ptr<RedisConnectionGuard> guard = RedisConnectionPool::FindAndLockPooledConnection(key);
  if (!guard) return;
  guard->GetConnection().Del(MakePhysicalCacheKey(ns, key));
}

RedisExternalCache::StoreFunc RedisExternalCache::GetStoreFunc() const {
  return [ns = m_namespace](TString key, TString /*keyHash*/, std::shared_ptr<std::vector<uint8_t>> value,
                            long long ttlSec) { Store(ns, key, value, ttlSec); };
}

RedisExternalCache::LoadFunc RedisExternalCache::GetLoadFunc() const {
  return [ns = m_namespace](TString key, TString /*keyHash*/) { return Load(ns, key); };
}

RedisExternalCache::DropFunc RedisExternalCache::GetDropFunc() const {
  return [ns = m_namespace](TString key, TString /*keyHash*/) { Drop(ns, key); };
}

}  // namespace kelvra::caching
