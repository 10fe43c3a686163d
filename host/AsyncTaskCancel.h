// Cancellation of asynchronous tasks: cancel events and the calling thread's
// current one.
//
// A CancelEvent is a shared flag that starts unsignalled and, once
// signalled, stays so. Each thread has a current cancel event (none by
// default); Cancel::Scope installs one for the lifetime of the scope. A task
// launched with AsyncTask::Launch takes the launching thread's event
// (Cancel::Get() at launch) and runs under it: if the event is already
// signalled when the task would start, the task is not run and its future
// holds a CancelException. A task that is running is never interrupted; it may
// poll Cancel::IsCanceled() itself.
//
// A thread without an event of its own gets a null pointer from Cancel::Get()
// (not a shared never-signalled event: a shared one could be signalled by
// mistake and cancel every task in the process). Tasks launched from such a
// thread can not be cancelled.
//
// Thread rules: CancelEvent is thread-safe (one atomic flag; Signal and
// IsSignaled from any thread). The current event is per thread; a Scope
// belongs to the thread that made it and scopes nest in LIFO order.
// Ownership: events are shared (std::shared_ptr) between the thread that
// signals them, the threads that run under them and the tasks launched there.
#pragma once

#include <atomic>
#include <boost/core/noncopyable.hpp>
#include <memory>

#include "host/Export.h"

namespace AsyncTask {

// Thread-safe: the one member is atomic; no lock.
class KELCACHE_EXPORT CancelEvent : boost::noncopyable {
 public:
  CancelEvent() = default;

  // Signals the event; signalling again does nothing.
  void Signal() noexcept { m_signaled.store(true, std::memory_order_release); }
  bool IsSignaled() const noexcept { return m_signaled.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> m_signaled{false};
};

namespace Cancel {

// The calling thread's current cancel event, or null when it has none.
KELCACHE_EXPORT std::shared_ptr<CancelEvent> Get();

// True when the calling thread has a current cancel event and it is signalled.
KELCACHE_EXPORT bool IsCanceled();

// Installs `event` (null allowed: "no event") as the calling thread's current
// cancel event until the scope ends, then puts the previous one back.
// Thread rules: use on the thread that made it only; not copyable.
class KELCACHE_EXPORT Scope {
 public:
  explicit Scope(std::shared_ptr<CancelEvent> event);
  ~Scope();
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  std::shared_ptr<CancelEvent> m_previous;
};

}  // namespace Cancel
}  // namespace AsyncTask
