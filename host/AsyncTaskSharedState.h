// The shared state behind AsyncTask::Future and AsyncTask::Promise: the one
// place where a task's outcome (a value or an exception) is stored and waited
// for.
//
// A state becomes ready exactly once, with a value or an exception; setting
// either again raises PromiseAlreadySetException. Launch configures it before
// it is handed out: the cancel settings and, for a deferred task, the task
// itself (SetDeferred). States of a deferred task move through:
//
//   state                       | how it gets there            | WaitFor gives
//   ----------------------------+------------------------------+--------------
//   deferred, not taken         | SetDeferred                  | Deferred
//   taken (task running)        | TryTakingDeferredOwnership   | Ready/Timeout
//   ready                       | the task stored its outcome  | Ready
//
// An untimed Wait (also through Future::Get) takes and runs a deferred task,
// as does whoever claims it with TryTakingDeferredOwnership and then calls
// RunDeferredTask (a wait handler, say); exactly one thread wins the claim,
// other untimed waiters just wait; a timed wait never runs it.
//
// Waiting: when the waiting thread has a wait handler (TLS::SetWaitHandler),
// the handler performs waits on states that are not ready yet; it blocks with
// BlockUntilReady. Waiting on a state that is already ready never calls it.
//
// Thread rules: thread-safe. m_mutex guards every member of the state,
// including the value of the typed SharedState<T>, but the two cancel
// settings, which are atomic; m_readyEvent is set (under
// m_mutex) when the state becomes ready, and waiters wait on it without the
// mutex (a short spin, then a futex: host/WaitEvent.h), so a completion wakes
// its waiter directly. No callback runs under m_mutex: the deferred task and
// the wait handler run without it.
// Setting the event after releasing the mutex would spare a woken waiter a
// short wait on it, but measured under 8 steady callers it let the caller
// start its next task before the finishing task's thread had parked, so the
// set of dedicated threads kept growing; the event is set under the mutex.
// Ownership: futures, promises and running tasks share the state through
// std::shared_ptr. A deferred task kept in the state must not own the state
// (Launch gives it a weak reference), so that an abandoned deferred future
// frees everything.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <utility>

#include "host/Errors.h"
#include "host/Export.h"
#include "host/TMutex.h"
#include "host/ThreadAnnotations.h"
#include "host/WaitEvent.h"

namespace AsyncTask {

// How a timed wait ended.
enum class FutureStatus { Ready, Timeout, Deferred };

// The time-out that means "no time limit" for BlockUntilReady and wait
// handlers (an untimed Wait passes it).
inline constexpr std::chrono::milliseconds kNoTimeLimit = std::chrono::milliseconds::max();

class KELCACHE_EXPORT SharedStateBase {
 public:
  SharedStateBase();
  virtual ~SharedStateBase();
  SharedStateBase(const SharedStateBase&) = delete;
  SharedStateBase& operator=(const SharedStateBase&) = delete;

  bool IsReady() const;
  // True while the state holds a deferred task that nobody has taken yet.
  bool IsDeferred() const;

  // Untimed wait: first runs the deferred task on this thread when nobody has
  // taken it, then waits until the state is ready (through the thread's wait
  // handler when it has one).
  void Wait();
  // Timed wait; a negative span counts as 0. Returns Deferred at once for a
  // deferred task that nobody has taken (it is not run), Ready when the state
  // is ready, otherwise waits (through the thread's wait handler when it has
  // one) and returns Ready or Timeout.
  FutureStatus WaitFor(std::chrono::milliseconds timeout);
  // The plain blocking wait, without wait handler and without running a
  // deferred task: true when the state became ready within `timeout`
  // (kNoTimeLimit, or any span over a century, waits without limit; negative
  // counts as 0). Wait handlers use this to block.
  bool BlockUntilReady(std::chrono::milliseconds timeout);

  // Rethrows the stored exception, if the state holds one; else does nothing.
  void CheckForException() const;
  // Makes the state ready with `error`. Raises PromiseAlreadySetException
  // when the state is already ready. A null `error` is refused with a logic
  // exception ("error"): a state ready with neither a value nor an exception
  // would report success for a void task.
  void SetException(std::exception_ptr error);
  // Makes a pending state ready with `error` and returns true; leaves a
  // ready one as it is and returns false. For a task whose body may have
  // made the state ready before it raised. Refuses a null `error` as
  // SetException does.
  bool SetExceptionIfPending(std::exception_ptr error);
  // Makes a pending state ready with the exception that `make` gives, or,
  // when making it raises (out of memory), with that; does nothing to a
  // ready one. Never raises, so the state is ready whatever happens.
  void FailIfPending(std::exception_ptr (*make)()) noexcept;
  // FailIfPending with BrokenPromiseException. For the destructor of a
  // promise.
  void AbandonIfPending() noexcept;

  // Marks the state deferred: `task` runs in the first thread that waits
  // without a time limit or fetches the value. Call before the state is
  // handed out. `task` must store the outcome in this state and must not own
  // the state; an empty one is refused with a logic exception ("task"),
  // since its waiters would wait for good.
  void SetDeferred(std::function<void()> task);
  // Atomically claims the deferred task: true for exactly one caller (who
  // must then run it with RunDeferredTask, as Wait does), false when the
  // state is not deferred or the task was taken already.
  bool TryTakingDeferredOwnership();
  // Runs the deferred task on this thread, once claimed with
  // TryTakingDeferredOwnership (a wait handler that takes the task over, for
  // example); the state is ready when it returns. Only the claimant should
  // call it (the first caller after the claim runs the task, whoever it is).
  // Does nothing when the task was not claimed, or was run already.
  void RunDeferredTask();

  // What a signal of the cancel event does to a task that is running. 0 (the
  // default, and the only value this library uses): nothing, the task runs to
  // its end and the state stays pending until then. Other values are kept but
  // at present act as 0.
  void SetWhenCanceled(int whenCanceled) { m_whenCanceled.store(whenCanceled, std::memory_order_relaxed); }
  int GetWhenCanceled() const { return m_whenCanceled.load(std::memory_order_relaxed); }
  // When true, a task whose cancel event is signalled before it starts runs
  // anyway; when false (the default) it is not run and the state holds a
  // CancelException.
  void SetIgnoreCancelBeforeStart(bool ignore) {
    m_ignoreCancelBeforeStart.store(ignore, std::memory_order_relaxed);
  }
  bool GetIgnoreCancelBeforeStart() const {
    return m_ignoreCancelBeforeStart.load(std::memory_order_relaxed);
  }

 protected:
  // Raises PromiseAlreadySetException when the state is ready already.
  void ThrowIfReadyLocked() const KELCACHE_REQUIRES(m_mutex);
  // Marks the state ready and wakes every waiter.
  void MarkReadyLocked() KELCACHE_REQUIRES(m_mutex);

  // Guards every member of the state but the cancel settings, the derived
  // value included.
  mutable TMutex m_mutex;

 private:
  // Runs the deferred task on this thread if nobody has taken it yet.
  void RunDeferredTaskIfUntaken();

  // Set once, when the state becomes ready; read without the mutex.
  WaitEvent m_readyEvent;
  std::exception_ptr m_exception KELCACHE_GUARDED_BY(m_mutex);
  bool m_deferred KELCACHE_GUARDED_BY(m_mutex) = false;
  bool m_deferredTaken KELCACHE_GUARDED_BY(m_mutex) = false;
  std::function<void()> m_deferredTask KELCACHE_GUARDED_BY(m_mutex);
  // Set before the task is handed on, which publishes them; atomic so that a
  // late setter is still no data race.
  std::atomic<int> m_whenCanceled{0};
  std::atomic<bool> m_ignoreCancelBeforeStart{false};
};

// The typed state: adds the value. Thread rules as SharedStateBase; m_value is
// guarded by the base's m_mutex and never changes once the state is ready.
template <class T>
class SharedState : public SharedStateBase {
 public:
  // Makes the state ready with `value`. Raises PromiseAlreadySetException
  // when the state is already ready.
  void SetValue(T value) {
    TMutexLock lock(m_mutex);
    ThrowIfReadyLocked();
    m_value.emplace(std::move(value));
    MarkReadyLocked();
  }

  // A copy of the value. REQUIRES: the state is ready with a value (callers
  // Wait and CheckForException first); otherwise raises a LogicException.
  T GetValue() const {
    TMutexLock lock(m_mutex);
    if (!m_value) ThrowLogicException("host/AsyncTaskSharedState", __LINE__, "m_value");
    return *m_value;
  }

 private:
  std::optional<T> m_value KELCACHE_GUARDED_BY(m_mutex);
};

template <>
class SharedState<void> : public SharedStateBase {
 public:
  void SetValue() {
    TMutexLock lock(m_mutex);
    ThrowIfReadyLocked();
    MarkReadyLocked();
  }
};

}  // namespace AsyncTask
