// KelvraTls: the current thread's context object, IThreadContext, through
// which the host carries per-thread state across library calls. The library
// keeps the thread's current query-job scope there (cascade invalidation).
//
// A thread has a context only while one is installed on it:
//
//   KelvraTls::ScopedThreadContext context;   // a fresh ThreadContext
//   KelvraTls::GetThreadContext().SetCurrentQueryJobScope(scope);
//
// GetThreadContext() on a thread without a context is misuse: the host
// assertion raises LogicException with source "host/KelvraTls" and
// expression "threadContext". HasThreadContext() asks first.
//
// Thread rules: the installed context is per thread (thread-local). A
// ScopedThreadContext must be destroyed on the thread that made it, in
// reverse order of creation; it restores the context installed before it.
// ThreadContext (the default implementation) is thread-safe: a mutex guards
// its scope, so another thread that was handed the context may use it too.
// Ownership: a ScopedThreadContext owns the ThreadContext it creates, or
// borrows the one it is given (which must outlive it).
#pragma once

#include <memory>

#include "host/Export.h"
#include "host/ThreadAnnotations.h"
#include "host/TMutex.h"

namespace kelvra::caching {
class IInvalidatorAggregatorScope;
}  // namespace kelvra::caching

class KELCACHE_EXPORT IThreadContext {
 public:
  virtual ~IThreadContext();
  // A copy of the thread's current query-job scope (null when none).
  virtual std::shared_ptr<kelvra::caching::IInvalidatorAggregatorScope> GetCurrentQueryJobScope() const = 0;
  // Replaces the current query-job scope, releasing the previous one.
  virtual void SetCurrentQueryJobScope(
      std::shared_ptr<kelvra::caching::IInvalidatorAggregatorScope> scope) = 0;
};

// The default context: holds the current query-job scope under a mutex.
class KELCACHE_EXPORT ThreadContext : public IThreadContext {
 public:
  ThreadContext() = default;
  ~ThreadContext() override;
  std::shared_ptr<kelvra::caching::IInvalidatorAggregatorScope> GetCurrentQueryJobScope() const override;
  void SetCurrentQueryJobScope(std::shared_ptr<kelvra::caching::IInvalidatorAggregatorScope> scope) override;

 private:
  mutable TMutex m_mutex;
  std::shared_ptr<kelvra::caching::IInvalidatorAggregatorScope> m_currentQueryJobScope
      KELCACHE_GUARDED_BY(m_mutex);
};

class KELCACHE_EXPORT KelvraTls {
 public:
  // The current thread's context; raises LogicException ("threadContext")
  // when the thread has none.
  static IThreadContext& GetThreadContext();
  static bool HasThreadContext();

  // Installs a context on the current thread for the life of the object.
  class KELCACHE_EXPORT ScopedThreadContext {
   public:
    // Creates and installs a fresh ThreadContext, owned by this object.
    ScopedThreadContext();
    // Installs a context that the caller owns.
    explicit ScopedThreadContext(IThreadContext& context);
    ~ScopedThreadContext();
    ScopedThreadContext(const ScopedThreadContext&) = delete;
    ScopedThreadContext& operator=(const ScopedThreadContext&) = delete;

    IThreadContext& Get() const { return *m_installed; }

   private:
    std::unique_ptr<ThreadContext> m_owned;
    IThreadContext* m_installed;
    IThreadContext* m_previous;
  };
};
