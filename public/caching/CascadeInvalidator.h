// The interfaces of cascade invalidation.
//
// A query job computes results from cache entries. When the coherence service
// learns that one of those entries is dirty (another process changed the data
// behind it), every result computed from it is stale too. Cascade invalidators
// carry that dirtiness from entries to results:
//
// - ICascadeInvalidator: receives entry uses (from the host, on the job's
//   thread), dirty and evicted entries (from the coherence service, on its
//   threads and the host's; dirty ones always while it holds its own lock,
//   evicted ones with it held when pruned in the course of other work,
//   without it when a cache was withdrawn or a prune runs alone) and result
//   uses (from scopes).
//   The process keeps one per invalidator type in the holder
//   (CascadeInvalidatorHolder.h).
// - IInvalidatorAggregatorScope: one query job's scope; holders of the job's
//   results register IScopeDirtyHandlers on it and are told once when any
//   entry the job used becomes dirty.
// - IScopeDirtyHandler: implemented by the host's result holders.
//
// Every interface derives from virtual_enable_shared_from_this, so an object
// that implements several of them shares one self-reference.
#pragma once

#include <memory>
#include <vector>

#include "host/Export.h"
#include "main/utility/ICoherentCache.h"
#include "public/caching/VirtualEnableSharedFromThis.h"

namespace kelvra::caching {

class IInvalidatorAggregatorScope;

// Told by the coherence service which entries went dirty or were evicted.
// Thread rules: implementations must accept calls from any thread at once;
// OnDirty and OnEvicted may arrive while the coherence service holds its lock:
// they may call back into the service on the same thread (its lock admits
// its holder again), but must not wait for another thread that calls into it.
class KELCACHE_EXPORT ICascadeInvalidator : public virtual_enable_shared_from_this<ICascadeInvalidator> {
 public:
  // The current thread's query job used entry `id` of `cache`.
  virtual void OnEntryUsed(unsigned int id, const ICoherentCache& cache) = 0;
  // Reserved for a further notification; never called by the library.
  virtual void OnReserved1() {}
  // These entries were removed from `cache`.
  virtual void OnEvicted(const std::vector<unsigned int>& ids, const ICoherentCache& cache) = 0;
  // These entries of `cache` were made dirty by another process.
  virtual void OnDirty(const std::vector<unsigned int>& ids, const ICoherentCache& cache) = 0;
  // A result of `scope`'s job was used.
  virtual void OnResultUsed(const std::shared_ptr<IInvalidatorAggregatorScope>& /*scope*/) {}
  // Reserved for a further notification; never called by the library.
  virtual void OnReserved2() {}
};

// Implemented by holders of query results. Called once per registration, on
// the thread that reported the dirtiness (or that added the handler to a scope
// that was already dirty), with no lock of the aggregator or scope held, so it
// may call back into them. When the dirtiness came from the coherence service,
// that service's lock is still held (and, for a message from another process,
// the subscription's gate on the subscriber thread): the handler may call the
// service on the same thread, but must not wait for a lock or a thread that
// is held, or waits, around calls into the service.
// A plain interface: a holder may derive from std::enable_shared_from_this
// of its own class. Further virtual operations of a holder come after these.
class KELCACHE_EXPORT IScopeDirtyHandler {
 public:
  virtual void OnScopeDirty(const std::shared_ptr<IInvalidatorAggregatorScope>& scope) = 0;
  virtual ~IScopeDirtyHandler() = default;
};

// One query job's scope. Thread rules: every operation may be called from any
// thread.
class KELCACHE_EXPORT IInvalidatorAggregatorScope
    : public virtual_enable_shared_from_this<IInvalidatorAggregatorScope> {
 public:
  // The job has finished; later entry uses are not recorded. A second call
  // raises LogicException "!m_endedScope".
  virtual void EndScope() = 0;
  // A result of this job was used: every invalidator of the holder hears it.
  virtual void OnResultUsed() = 0;
  // Tell `handler` when the scope becomes dirty; at once when it already is.
  // A null handler raises LogicException "handler". A handler that adds
  // itself again to the dirty scope from OnScopeDirty is told again at once,
  // without end: it must not.
  virtual void AddHandler(std::shared_ptr<IScopeDirtyHandler> handler) = 0;
};

}  // namespace kelvra::caching
