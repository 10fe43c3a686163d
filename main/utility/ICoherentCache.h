// ICoherentCache: how a cache is told that some of its entries are dirty.
//
// The coherence service calls OnDirty when another process changed the data
// behind entries of this cache; the cache removes them. The service knows a
// cache by its address, is handed it as a std::weak_ptr (so a participating
// cache is owned through a std::shared_ptr), and must be told to forget the
// cache (ICacheCoherence::OnRemoved(cache)) before the cache is destroyed.
//
// Thread rules: OnDirty arrives on the coherence service's threads while that
// service holds its own lock, so an implementation takes its own lock after
// it (lock order: coherence service lock, then the cache lock). It may call
// back into the service on the same thread (an OnRemoved, an OnAdded: the
// service's lock admits its holder again), but must not wait for another
// thread that calls into the service.
#pragma once

#include <vector>

#include "host/Export.h"

namespace kelvra::caching {

class KELCACHE_EXPORT ICoherentCache {
 public:
  // Removes from the cache the entries whose ids are listed; absent ids are
  // ignored.
  virtual void OnDirty(const std::vector<unsigned int>& ids) = 0;
  virtual ~ICoherentCache() = default;
};

}  // namespace kelvra::caching
