// NullExternalCache: the second-level cache that keeps nothing.
//
// It accepts every request and never holds a value: TryStore and TryDrop
// report true, TryLoad reports a miss (null). Every future is ready when it is
// returned, so no thread is involved and no wait blocks. No event is logged.
// The factory makes it while no other maker is installed, and for the
// authoring client's namespaces while the external cache is disabled.
//
// Thread rules: thread-safe; the object has no state.
#pragma once

#include <memory>

#include "host/AsyncTaskFuture.h"
#include "host/Export.h"
#include "public/caching/ExternalCache.h"

namespace kelvra::caching {

template <class K, class V>
class KELCACHE_EXPORT NullExternalCache : public IExternalCache<K, V> {
 public:
  // The value is dropped; true.
  AsyncTask::Future<bool> TryStore(K /*key*/, std::shared_ptr<V> /*value*/, unsigned, long long) const override {
    return AsyncTask::MakeReadyFuture(true);
  }
  // Both forms: the synchronous one of IExternalCache stays callable.
  using IExternalCache<K, V>::TryLoad;
  // Always a miss.
  AsyncTask::Future<std::shared_ptr<V>> TryLoad(K /*key*/) const override {
    return AsyncTask::MakeReadyFuture(std::shared_ptr<V>());
  }
  // Nothing to remove; true.
  AsyncTask::Future<bool> TryDrop(K /*key*/) const override { return AsyncTask::MakeReadyFuture(true); }
  ~NullExternalCache() override = default;
};

}  // namespace kelvra::caching
