// Per-thread settings of the asynchronous-task facility: the task depth and
// the wait handler.
//
// - Depth: how deeply the running code is nested in tasks. 0 on a thread
//   that runs no task; a launched task runs with the launching thread's depth
//   plus one (also a deferred task, on the thread that runs it), and the
//   previous depth comes back when it ends.
// - Wait handler: when a thread has one, it performs that thread's waits on
//   futures that are not ready yet (Future::Wait, WaitFor, Get), for example
//   to keep serving other work while it waits. Threads have none by default.
//
// Thread rules: every function here reads or writes the calling thread's own
// settings only; the scopes belong to the thread that made them and nest in
// LIFO order. Ownership: the wait handler is borrowed; it must outlive its
// installation.
#pragma once

#include <chrono>

#include "host/AsyncTaskSharedState.h"
#include "host/Export.h"

namespace AsyncTask {

// Performs a thread's waits. Thread rules: called only on the thread where it
// is installed.
class KELCACHE_EXPORT IWaitHandler {
 public:
  virtual ~IWaitHandler() = default;
  // Waits until `state` is ready or `timeout` has passed (kNoTimeLimit: no
  // limit; never negative) and says which. Block with
  // state.BlockUntilReady(...), never with the state's or a future's Wait,
  // WaitFor or Get (they would call the handler again). After an untimed wait
  // the caller waits on for readiness whatever the handler returned.
  virtual FutureStatus Wait(SharedStateBase& state, std::chrono::milliseconds timeout) = 0;
};

namespace TLS {

// The calling thread's task depth: 0 on a thread that runs no task, and one
// more than its launcher's while a task runs (DepthScope sets and restores it).
KELCACHE_EXPORT int GetDepth();
KELCACHE_EXPORT void SetDepth(int depth);

// The calling thread's wait handler, or null.
KELCACHE_EXPORT IWaitHandler* GetWaitHandler();
// Installs `handler` (null: none) for the calling thread.
KELCACHE_EXPORT void SetWaitHandler(IWaitHandler* handler);

// Sets the calling thread's depth until the scope ends, then restores it.
class KELCACHE_EXPORT DepthScope {
 public:
  explicit DepthScope(int depth) : m_previous(GetDepth()) { SetDepth(depth); }
  ~DepthScope() { SetDepth(m_previous); }
  DepthScope(const DepthScope&) = delete;
  DepthScope& operator=(const DepthScope&) = delete;

 private:
  int m_previous;
};

// Installs a wait handler for the calling thread until the scope ends, then
// restores the previous one.
class KELCACHE_EXPORT WaitHandlerScope {
 public:
  explicit WaitHandlerScope(IWaitHandler* handler) : m_previous(GetWaitHandler()) { SetWaitHandler(handler); }
  ~WaitHandlerScope() { SetWaitHandler(m_previous); }
  WaitHandlerScope(const WaitHandlerScope&) = delete;
  WaitHandlerScope& operator=(const WaitHandlerScope&) = delete;

 private:
  IWaitHandler* m_previous;
};

}  // namespace TLS
}  // namespace AsyncTask
