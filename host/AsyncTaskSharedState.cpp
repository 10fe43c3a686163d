#include "host/AsyncTaskSharedState.h"

#include <algorithm>

#include "host/AsyncTaskExceptions.h"
#include "host/AsyncTaskTLS.h"
#include "host/Errors.h"
#include "host/LongestWait.h"
#include "host/TMutex.h"

namespace AsyncTask {

SharedStateBase::SharedStateBase() = default;
SharedStateBase::~SharedStateBase() = default;

bool SharedStateBase::IsReady() const {
  return m_readyEvent.IsSet();
}

bool SharedStateBase::IsDeferred() const {
  TMutexLock lock(m_mutex);
  return m_deferred && !m_deferredTaken;
}

void SharedStateBase::Wait() {
  RunDeferredTaskIfUntaken();
  if (IsReady()) return;
  if (IWaitHandler* handler = TLS::GetWaitHandler()) handler->Wait(*this, kNoTimeLimit);
  BlockUntilReady(kNoTimeLimit);
}

FutureStatus SharedStateBase::WaitFor(std::chrono::milliseconds timeout) {
  timeout = std::max(timeout, std::chrono::milliseconds(0));
  if (m_readyEvent.IsSet()) return FutureStatus::Ready;
  {
    TMutexLock lock(m_mutex);
    if (m_deferred && !m_deferredTaken && !m_readyEvent.IsSet()) return FutureStatus::Deferred;
  }
  if (IWaitHandler* handler = TLS::GetWaitHandler()) return handler->Wait(*this, timeout);
  return BlockUntilReady(timeout) ? FutureStatus::Ready : FutureStatus::Timeout;
}

bool SharedStateBase::BlockUntilReady(std::chrono::milliseconds timeout) {
  if (timeout > host_internal::kCentury) {  // for good
    m_readyEvent.Wait();
    return true;
  }
  return m_readyEvent.WaitFor(std::max(timeout, std::chrono::milliseconds(0)));
}

void SharedStateBase::CheckForException() const {
  std::exception_ptr error;
  {
    TMutexLock lock(m_mutex);
    error = m_exception;
  }
  if (error) std::rethrow_exception(error);
}

void SharedStateBase::SetException(std::exception_ptr error) {
  if (!SetExceptionIfPending(std::move(error))) throw PromiseAlreadySetException();
}

bool SharedStateBase::SetExceptionIfPending(std::exception_ptr error) {
  if (!error) ThrowLogicException("host/AsyncTaskSharedState", __LINE__, "error");
  TMutexLock lock(m_mutex);
  if (m_readyEvent.IsSet()) return false;
  m_exception = std::move(error);
  MarkReadyLocked();
  return true;
}

void SharedStateBase::FailIfPending(std::exception_ptr (*make)()) noexcept {
  std::exception_ptr error;
  try {
    error = make();
  } catch (...) {
    error = std::current_exception();
  }
  // Refuses only a null error, which neither gives.
  SetExceptionIfPending(std::move(error));
}

void SharedStateBase::AbandonIfPending() noexcept {
  FailIfPending([] { return std::make_exception_ptr(BrokenPromiseException()); });
}

void SharedStateBase::SetDeferred(std::function<void()> task) {
  if (!task) ThrowLogicException("host/AsyncTaskSharedState", __LINE__, "task");
  TMutexLock lock(m_mutex);
  m_deferred = true;
  m_deferredTask = std::move(task);
}

bool SharedStateBase::TryTakingDeferredOwnership() {
  TMutexLock lock(m_mutex);
  if (!m_deferred || m_deferredTaken) return false;
  m_deferredTaken = true;
  return true;
}

void SharedStateBase::RunDeferredTaskIfUntaken() {
  if (TryTakingDeferredOwnership()) RunDeferredTask();
}

void SharedStateBase::RunDeferredTask() {
  std::function<void()> task;
  {
    TMutexLock lock(m_mutex);
    if (!m_deferredTaken) return;
    task = std::move(m_deferredTask);
    m_deferredTask = nullptr;
  }
  // Runs without m_mutex: the task stores its outcome through this state.
  if (task) task();
}

void SharedStateBase::ThrowIfReadyLocked() const {
  if (m_readyEvent.IsSet()) throw PromiseAlreadySetException();
}

void SharedStateBase::MarkReadyLocked() {
  // Set under m_mutex, after the outcome is stored: a waiter that sees the
  // event set finds the outcome. Every setter holds a reference to the
  // state, so the event is alive while Set wakes the waiters.
  m_readyEvent.Set();
}

}  // namespace AsyncTask
