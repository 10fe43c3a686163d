#include "host/KelvraTls.h"

#include "host/Errors.h"
#include "host/TMutex.h"

namespace {

// The context installed on this thread (borrowed), or null.
thread_local IThreadContext* t_threadContext = nullptr;

// Installs context on this thread and returns the one it replaces.
IThreadContext* Install(IThreadContext* context) {
  IThreadContext* previous = t_threadContext;
  t_threadContext = context;
  return previous;
}

}  // namespace

IThreadContext::~IThreadContext() = default;

ThreadContext::~ThreadContext() = default;

std::shared_ptr<kelvra::caching::IInvalidatorAggregatorScope> ThreadContext::GetCurrentQueryJobScope() const {
  TMutexLock lock(m_mutex);
  return m_currentQueryJobScope;
}

void ThreadContext::SetCurrentQueryJobScope(
    std::shared_ptr<kelvra::caching::IInvalidatorAggregatorScope> scope) {
  // The previous scope is released after the lock is gone: its destruction
  // runs the scope's own code, which must not run under our mutex.
  {
    TMutexLock lock(m_mutex);
    m_currentQueryJobScope.swap(scope);
  }
}

IThreadContext& KelvraTls::GetThreadContext() {
  IThreadContext* threadContext = t_threadContext;
  if (threadContext == nullptr) ThrowLogicException("host/KelvraTls", __LINE__, "threadContext");
  return *threadContext;
}

bool KelvraTls::HasThreadContext() {
  return t_threadContext != nullptr;
}

KelvraTls::ScopedThreadContext::ScopedThreadContext()
    : m_owned(std::make_unique<ThreadContext>()),
      m_installed(m_owned.get()),
      m_previous(Install(m_installed)) {}

KelvraTls::ScopedThreadContext::ScopedThreadContext(IThreadContext& context)
    : m_installed(&context), m_previous(Install(m_installed)) {}

KelvraTls::ScopedThreadContext::~ScopedThreadContext() {
  Install(m_previous);
  // m_owned (and the scope it still holds) goes after the context is no
  // longer reachable from this thread.
}
