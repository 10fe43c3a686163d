// AsyncTask::Future and AsyncTask::Promise: the two ends of a shared state
// (host/AsyncTaskSharedState.h) that becomes ready once, with a value or an
// exception.
//
// Future<T> (T a value type or void) reads the outcome: Valid, IsReady, Wait,
// WaitFor and Get. Futures are copyable and every copy shares the state, so
// several threads may wait for one outcome and Get may be called any number
// of times: each call returns a copy of the same value, or rethrows the same
// stored exception. A default-constructed future has no state; waiting for it
// or fetching from it raises InvalidFutureException.
//
// Promise<T> writes the outcome: SetValue or SetException, once (again raises
// PromiseAlreadySetException). A promise destroyed before its state is ready
// makes it ready with BrokenPromiseException. MakeReadyFuture gives a future
// that is ready with a value already.
//
// Thread rules: the shared state is thread-safe, so distinct Future and
// Promise objects that share it may be used on any threads at once. One Future
// or Promise object is a plain value: one writer at a time.
#pragma once

#include <chrono>
#include <exception>
#include <memory>
#include <type_traits>
#include <utility>

#include "host/AsyncTaskExceptions.h"
#include "host/AsyncTaskSharedState.h"

namespace AsyncTask {

// The reading end. Thread rules: copies may be used on any threads at once;
// one object, one writer at a time. Holds no lock of its own: the shared
// state's mutex guards the outcome.
template <class T>
class Future {
 public:
  // A future without a shared state.
  Future() = default;
  explicit Future(std::shared_ptr<SharedState<T>> state) : m_state(std::move(state)) {}

  bool Valid() const { return m_state != nullptr; }
  // False for a future without a state.
  bool IsReady() const { return m_state && m_state->IsReady(); }

  // Waits without a time limit; runs a deferred task on this thread first
  // when nobody has taken it.
  void Wait() const { CheckedState().Wait(); }
  // Waits at most `timeout` (negative counts as 0). Never runs a deferred
  // task: gives Deferred at once while one waits to be taken.
  FutureStatus WaitFor(std::chrono::milliseconds timeout) const { return CheckedState().WaitFor(timeout); }

  // Runs a deferred task if nobody took it, waits, then returns a copy of the
  // value or rethrows the stored exception.
  T Get() const {
    SharedState<T>& state = CheckedState();
    state.Wait();
    state.CheckForException();
    if constexpr (!std::is_void_v<T>) return state.GetValue();
  }

  // The shared state (null for an invalid future), for wait handlers and
  // launch code.
  const std::shared_ptr<SharedState<T>>& GetState() const { return m_state; }

 private:
  SharedState<T>& CheckedState() const {
    if (!m_state) throw InvalidFutureException();
    return *m_state;
  }

  std::shared_ptr<SharedState<T>> m_state;
};

namespace detail {

// What Promise<T> and Promise<void> share: the state, GetFuture,
// SetException and the broken-promise rule. Move-only. Thread rules: one
// object, one thread at a time; its futures may be read on any thread. Holds
// no lock of its own: the shared state's mutex guards the outcome.
template <class T>
class PromiseBase {
 public:
  PromiseBase() : m_state(std::make_shared<SharedState<T>>()) {}
  PromiseBase(PromiseBase&&) noexcept = default;
  PromiseBase& operator=(PromiseBase&& other) noexcept {
    if (this != &other) {
      Abandon();
      m_state = std::move(other.m_state);
    }
    return *this;
  }
  ~PromiseBase() { Abandon(); }

  // A future of this promise's state; may be called more than once.
  Future<T> GetFuture() const { return Future<T>(CheckedStatePtr()); }
  // Raises PromiseAlreadySetException when the state is ready already.
  void SetException(std::exception_ptr error) { CheckedStatePtr()->SetException(std::move(error)); }

 protected:
  // Raises InvalidFutureException for a moved-from promise.
  const std::shared_ptr<SharedState<T>>& CheckedStatePtr() const {
    if (!m_state) throw InvalidFutureException();
    return m_state;
  }

 private:
  void Abandon() noexcept {
    if (m_state) m_state->AbandonIfPending();
  }

  std::shared_ptr<SharedState<T>> m_state;
};

}  // namespace detail

// The writing end: SetValue or SetException, once.
template <class T>
class Promise : public detail::PromiseBase<T> {
 public:
  // Raises PromiseAlreadySetException when the state is ready already.
  void SetValue(T value) { this->CheckedStatePtr()->SetValue(std::move(value)); }
};

template <>
class Promise<void> : public detail::PromiseBase<void> {
 public:
  // Raises PromiseAlreadySetException when the state is ready already.
  void SetValue() { CheckedStatePtr()->SetValue(); }
};

// A future that is ready with `value`.
template <class T>
Future<T> MakeReadyFuture(T value) {
  auto state = std::make_shared<SharedState<T>>();
  state->SetValue(std::move(value));
  return Future<T>(std::move(state));
}

// A Future<void> that is ready.
inline Future<void> MakeReadyFuture() {
  auto state = std::make_shared<SharedState<void>>();
  state->SetValue();
  return Future<void>(std::move(state));
}

}  // namespace AsyncTask
