// CascadeInvalidatorAggregator: the process-wide tracker of query-job scopes.
//
// A query job opens a scope on its thread
// (CascadeInvalidatorAggregator_CreateQueryJobScope), which the thread context
// keeps as the thread's current scope. The host reports each entry the job
// uses (OnEntryUsed, on the job's thread); the scope records the id. Holders
// of the job's results register handlers on the scope (AddHandler); from its
// first handler on, the scope is registered with the aggregator. When the
// coherence service reports one of its used ids dirty (OnDirty), the scope
// becomes dirty for good, leaves the aggregator, and each of its handlers is
// told once. Evicted ids (OnEvicted) are forgotten by every registered scope
// and never make one dirty; a scope not registered yet (no handler) keeps
// them, and is registered with them at its first handler.
//
// Scope states:
//
//   | state              | entered by            | used ids                  | registered |
//   |--------------------|-----------------------|---------------------------|------------|
//   | open               | creation              | grow with OnEntryUsed     | no         |
//   | open with handlers | first AddHandler      | grow with OnEntryUsed     | yes        |
//   | ended (a flag)     | EndScope              | frozen; eviction removes  | unchanged  |
//   |                    |                       | them while registered     |            |
//   | dirty (final)      | OnDirty of a used id  | cleared                   | no longer  |
//
// The aggregator exists once per process, created on first request and never
// destroyed; it is reachable only while the option SyncCaches is on.
//
// Locks: the aggregator mutex guards the scope set; each scope's mutex guards
// its used ids and handlers. Order: (coherence service lock, then) aggregator
// mutex, then a scope mutex; AddHandler releases the scope mutex before it
// takes the aggregator mutex. Handlers are told with neither held.
#pragma once

#include <atomic>
#include <memory>
#include <unordered_set>
#include <vector>

#include "host/Export.h"
#include "host/TRecursiveMutex.h"
#include "public/caching/CascadeInvalidator.h"

namespace kelvra::caching {

class KELCACHE_EXPORT CascadeInvalidatorAggregator : public ICascadeInvalidator {
  struct PassKey {};

 public:
  class Scope;

  // The process-wide aggregator, created on the first call; null while the
  // option SyncCaches is off (tested on every call).
  static CascadeInvalidatorAggregator* TryGetSingleton();
  // Unit tests only (else LogicException
  // "AppConfig::GetInstance().GetUnitTestFlag()"): forgets every registered
  // scope. Static, so it also works when SyncCaches is off.
  static void ResetForTest();

  // Public for std::make_shared only: the key is private, so only the
  // aggregator itself (TryGetSingleton) can make one.
  explicit CascadeInvalidatorAggregator(PassKey) {}

  // ICascadeInvalidator
  // Records the use in the current thread's query-job scope (nothing when the
  // thread has none, or its scope has ended). Raises LogicException
  // "threadContext" on a thread without a KelvraTls::ScopedThreadContext, and
  // "scope" when the thread's scope was not made by this aggregator.
  void OnEntryUsed(unsigned int id, const ICoherentCache& cache) override;
  void OnEvicted(const std::vector<unsigned int>& ids, const ICoherentCache& cache) override;
  // Marks dirty, and tells the handlers of, every scope that used one of the
  // ids. An empty list raises LogicException "!guids.empty()".
  void OnDirty(const std::vector<unsigned int>& ids, const ICoherentCache& cache) override;

  // Registers a scope that got its first handler (a null one is refused with
  // a logic exception, "scope").
  void OnScopeHasHandler(std::shared_ptr<Scope> scope);
  // Number of registered scopes (for diagnostics and tests).
  size_t GetScopeCount();

 private:
  friend std::shared_ptr<IInvalidatorAggregatorScope> CascadeInvalidatorAggregator_CreateQueryJobScope();
  static CascadeInvalidatorAggregator& Instance();

  TRecursiveMutex m_mutex{0};
  // The scopes that have at least one handler and are not dirty; the set
  // keeps them alive.
  std::unordered_set<std::shared_ptr<Scope>> m_scopes KELCACHE_GUARDED_BY(m_mutex);
};

// A query job's scope. Created only by
// CascadeInvalidatorAggregator_CreateQueryJobScope, owned by std::shared_ptr.
class KELCACHE_EXPORT CascadeInvalidatorAggregator::Scope : public IInvalidatorAggregatorScope {
 public:
  Scope(CascadeInvalidatorAggregator* aggregator, PassKey);
  ~Scope() override;

  void EndScope() override;
  void OnResultUsed() override;
  void AddHandler(std::shared_ptr<IScopeDirtyHandler> handler) override;

  // Whether a used entry was reported dirty (set once, never cleared), and
  // whether EndScope ran.
  bool IsDirty() const { return m_dirty.load(); }
  bool IsEnded() const { return m_endedScope.load(); }

 private:
  friend class CascadeInvalidatorAggregator;
  using HandlerSet = std::unordered_set<std::shared_ptr<IScopeDirtyHandler>>;

  void RecordUse(unsigned int id);
  void ForgetIds(const std::vector<unsigned int>& ids);
  // When one of `ids` was used and the scope is not dirty yet: marks it
  // dirty, clears the used ids, moves the handlers into `handlers` and returns
  // true.
  bool BecomeDirtyIfUsed(const std::vector<unsigned int>& ids, HandlerSet& handlers);
  void NotifyHandler(const std::shared_ptr<IScopeDirtyHandler>& handler);

  TRecursiveMutex m_mutex{0};
  CascadeInvalidatorAggregator* m_aggregator;  // not owned; lives for the process
  std::unordered_set<unsigned int> m_usedIds KELCACHE_GUARDED_BY(m_mutex);
  HandlerSet m_handlers KELCACHE_GUARDED_BY(m_mutex);
  std::atomic<bool> m_endedScope{false};
  std::atomic<bool> m_dirty{false};  // set once, never cleared
};

// Opens a scope for the calling thread's query job and makes it the thread's
// current scope (the thread must have a thread context: else the host's
// assertion raises LogicException). Returns an empty pointer, and leaves the
// thread context alone, when there is no aggregator (SyncCaches off).
KELCACHE_EXPORT std::shared_ptr<IInvalidatorAggregatorScope>
CascadeInvalidatorAggregator_CreateQueryJobScope();

}  // namespace kelvra::caching
