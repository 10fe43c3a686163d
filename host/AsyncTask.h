// The host's asynchronous tasks: launch a function as a task and get a
// Future of its result.
//
//   using AsyncTask::LaunchMode;
//   AsyncTask::Future<bool> f = AsyncTask::Launch(LaunchMode::Asynchronous, [] { return Work(); });
//   bool ok = f.Get();  // waits; rethrows what the task raised
//
// Launch modes:
// - Asynchronous (1): the task is handed to the host thread pool with
//   ScheduleOnThreadPool(task, 1); when the pool refuses it (no idle worker),
//   it runs on a dedicated thread (RunOnDedicatedThread). See ThreadPool.h.
// - Deferred (2): the state is marked deferred; the task runs in the first
//   thread that waits for the future without a time limit (Wait) or fetches
//   its value (Get). A timed wait (WaitFor) never runs it and gives
//   FutureStatus::Deferred.
// - Any other value is treated as Asynchronous.
//
// Cancellation and depth: at launch, the launching thread's cancel event
// (Cancel::Get()) and task depth (TLS::GetDepth()) are captured; the task
// runs with that event installed as its thread's current one and with depth
// + 1. With the default options (whenCanceled 0, ignoreCancelBeforeStart
// false), a task whose event is signalled before it starts is not run and its
// future holds a CancelException; a running task is never interrupted and its
// future stays pending until it ends. The task's value, or the exception that
// escapes it, is stored in the future.
//
// Thread rules: Launch may be called from any thread. The task object is
// moved into the launch (it need not be copyable) and destroyed by whichever
// of the launching thread and the thread that ran it lets go of it last, or
// with the future when a deferred task never runs.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "host/AsyncTaskCancel.h"
#include "host/AsyncTaskExceptions.h"
#include "host/AsyncTaskFuture.h"
#include "host/AsyncTaskSharedState.h"
#include "host/AsyncTaskTLS.h"
#include "host/Export.h"
#include "host/ThreadPool.h"

namespace AsyncTask {

enum class LaunchMode : int { Asynchronous = 1, Deferred = 2 };

// Settings applied to the task's shared state before the task can start
// (SharedStateBase::SetWhenCanceled / SetIgnoreCancelBeforeStart).
struct LaunchOptions {
  int whenCanceled = 0;
  bool ignoreCancelBeforeStart = false;
};

namespace detail {

// What a task takes from its launching thread.
struct TaskContext {
  std::shared_ptr<CancelEvent> cancelEvent;
  int depth = 0;
};

// The calling thread's cancel event and depth + 1.
KELCACHE_EXPORT TaskContext CaptureTaskContext();

// When the task's cancel event is signalled and the state does not ignore
// that, stores a CancelException in `state` (std::bad_alloc when there is no
// memory to make it) and returns true: the task must not run. Never raises.
KELCACHE_EXPORT bool CancelBeforeStart(SharedStateBase& state, const TaskContext& context) noexcept;

// Calls `body`. A null function pointer fails as an empty std::function
// does (std::bad_function_call), into the task's future, instead of jumping
// to address 0 on a worker thread.
template <class F>
decltype(auto) Invoke(F& body) {
  if constexpr (std::is_pointer_v<F>) {
    if (body == nullptr) throw std::bad_function_call();
  }
  return body();
}

// Runs `body` under `context` and stores its outcome in `state`. Never throws
// (an exception from `body` goes into the state).
template <class R, class F>
void RunTask(SharedState<R>& state, F& body, const TaskContext& context) noexcept {
  if (CancelBeforeStart(state, context)) return;
  Cancel::Scope cancelScope(context.cancelEvent);
  TLS::DepthScope depthScope(context.depth);
  if constexpr (std::is_void_v<R>) {
    try {
      Invoke(body);
    } catch (...) {
      state.SetException(std::current_exception());
      return;
    }
    state.SetValue();
  } else {
    std::optional<R> result;
    try {
      result.emplace(Invoke(body));
    } catch (...) {
      state.SetException(std::current_exception());
      return;
    }
    state.SetValue(std::move(*result));
  }
}

}  // namespace detail

// Launches `task` (a function without arguments) in `mode` and returns the
// future of its result (the result type without reference and const). In
// the asynchronous mode, when the pool refuses the task and no dedicated
// thread can be made either, the task runs on the calling thread before
// Launch returns (StartOnPoolOrDedicatedThread): late, rather than never.
template <class F>
auto Launch(LaunchMode mode, F task, LaunchOptions options = {})
    -> Future<std::remove_cvref_t<std::invoke_result_t<F&>>> {
  using R = std::remove_cvref_t<std::invoke_result_t<F&>>;
  auto state = std::make_shared<SharedState<R>>();
  state->SetWhenCanceled(options.whenCanceled);
  state->SetIgnoreCancelBeforeStart(options.ignoreCancelBeforeStart);
  // Shared, so that the closures below are copyable whatever F is.
  auto body = std::make_shared<F>(std::move(task));
  detail::TaskContext context = detail::CaptureTaskContext();
  if (mode == LaunchMode::Deferred) {
    // The state keeps this closure, so it holds the state weakly.
    std::weak_ptr<SharedState<R>> weakState = state;
    state->SetDeferred([weakState, body, context] {
      if (auto strongState = weakState.lock()) detail::RunTask(*strongState, *body, context);
    });
  } else {
    StartOnPoolOrDedicatedThread([state, body, context] { detail::RunTask(*state, *body, context); });
  }
  return Future<R>(std::move(state));
}

// The same with the mode as a number (1 asynchronous, 2 deferred, others as
// 1), for callers that keep the mode as an int.
template <class F>
auto Launch(int mode, F task, LaunchOptions options = {}) {
  return Launch(static_cast<LaunchMode>(mode), std::move(task), options);
}

}  // namespace AsyncTask
