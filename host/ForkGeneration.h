// ForkGeneration: tells a process made by fork from its parent, so that state
// a parent cached (a process id, an open lock file, connections, threads) is
// not trusted in a child.
//
// Library-internal: used by the file helpers, the disk store, the task
// machinery and the Redis client, not exported.
//
// Thread rules: every function may be called from any thread at once.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>

// How many forks made this process: 0 in a process started by exec, one more
// in each child of fork.
uint64_t ForkGeneration();

// getpid(), asked of the kernel once per fork generation rather than at each
// call (getpid is a real system call in this C library).
pid_t CurrentProcessId();

// A process-wide object whose threads a child forked without exec does not
// have: made by MakeFirst on first use, and replaced in such a child by
// MakeInChild(the parent's object), in a fork handler that runs while the
// forking thread is the child's only thread. MakeInChild must take no lock of
// the parent's object (one of its threads may have held it at the fork).
// Objects are never destroyed: the parent's stays as it was in the child.
template <class T, T* (*MakeFirst)(), T* (*MakeInChild)(const T&)>
class ForkReplacedInstance {
 public:
  static T& Get() {
    if (T* current = s_current.load(std::memory_order_acquire)) return *current;
    static T* const s_first = [] {
      T* first = MakeFirst();
      // Published before the handler exists, so that a fork finds it.
      s_current.store(first, std::memory_order_release);
      pthread_atfork(nullptr, nullptr, [] {
        s_current.store(MakeInChild(*s_current.load(std::memory_order_relaxed)), std::memory_order_release);
      });
      return first;
    }();
    (void)s_first;
    return *s_current.load(std::memory_order_acquire);
  }

 private:
  static inline std::atomic<T*> s_current{nullptr};
};
