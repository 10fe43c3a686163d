// Consistency services: tell other processes about new entries (coherence),
// learn which results came from an entry that went stale (cascade
// invalidation), and key entries by site and user (key attributes).
//
//   consistency [host:port]   with a Redis server, the coherence messages
//                             really go out (watch them: kelcache watch)
#include <kelcache.h>

#include <cstdio>
#include <memory>
#include <unordered_map>

using namespace kelvra::caching;

// A holder of query results: told once when a result's inputs went stale.
struct ResultHolder : IScopeDirtyHandler {
  void OnScopeDirty(const std::shared_ptr<IInvalidatorAggregatorScope>&) override {
    std::printf("a result is stale: compute it again\n");
    stale = true;
  }
  bool stale = false;
};

int main(int argc, char** argv) {
  // Key attributes: a key names the site (and for per-user entries the
  // user) on whose behalf the thread works, so tenants never share entries.
  // Where enforcement is off (feature flag 0x6460C0E0, off by default) only
  // the user of a per-user key is filled in.
  SessionActorInfo::ScopedThreadActor actor(u"site-7", u"user-42");
  std::unordered_map<TString, TString> key = {{u"query", u"SELECT 1"}};
  const ConstraintEnforcementResult checked = EnforceCacheInvariantsWithUpsert(key, CacheScope::PerUser);
  std::printf("key attributes %s:", ConstraintEnforcementResultToString(checked).toStdString().c_str());
  for (const auto& [name, value] : key) std::printf(" %s=%s", name.toStdString().c_str(), value.toStdString().c_str());
  std::printf("\n");

  // Coherence: after adding an entry, report its key hash, value hash and
  // time (UTC, as every process must); every process holding a different
  // value older by more than a margin (5 s by default) drops its copy.
  if (argc > 1) RedisExternalCache::InitializeConnectionPool(TString::fromStdString(argv[1]), TString());
  auto cache = std::make_shared<SynchronizedIndexedCache>(std::make_shared<CacheHelpers::LifetimePolicy>(6), nullptr);
  const unsigned id = cache->AddEntry(RefCntPtr<RefCntObject>(new KelCacheData()));
  std::shared_ptr<RedisPubsub> coherence = RedisPubsub::GetInstance().lock();
  coherence->OnAdded({0x5eed, 0x42}, {0xbeef, 0x1}, DateTime::GetUtcTime().GetRepresentation(), id, cache);

  // Cascade invalidation: a query job opens a scope on its thread, reports
  // the entries it uses, and result holders register on the scope.
  // With the option SyncCaches off there is no aggregator (and no scope).
  KelvraTls::ScopedThreadContext context;
  CascadeInvalidatorAggregator* aggregator = CascadeInvalidatorAggregator::TryGetSingleton();
  std::shared_ptr<IInvalidatorAggregatorScope> job = CascadeInvalidatorAggregator_CreateQueryJobScope();
  if (aggregator == nullptr || job == nullptr) {
    coherence->OnRemoved(*cache);
    return 0;
  }
  aggregator->OnEntryUsed(id, *cache);
  auto holder = std::make_shared<ResultHolder>();
  job->AddHandler(holder);
  job->EndScope();

  // When another process's message makes the entry dirty, the coherence
  // service tells the cache and the invalidators; here we play that part.
  cache->OnDirty({id});
  aggregator->OnDirty({id}, *cache);

  // Before a cache goes away, the coherence service forgets it.
  coherence->OnRemoved(*cache);
  return holder->stale ? 0 : 1;
}
