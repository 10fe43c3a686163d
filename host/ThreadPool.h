// The host thread pool and dedicated threads on which asynchronous tasks run.
//
// The pool has a fixed number of workers and no queue: ScheduleOnThreadPool
// hands a task to an idle worker, which starts it at once, or refuses it
// (returns false) when every worker is busy. The caller then runs the task on
// a thread of its own (RunOnDedicatedThread); AsyncTask::Launch does exactly
// that. So a task that waits for a task it launched never waits behind itself
// in a queue: the pool can not starve, however deeply tasks nest, whatever its
// size (even 1 or 0).
//
// Hand-over: idle workers wait on a parking event of their own; a task goes to
// the worker that became idle last (its caches are warm, and it may still be
// spinning, see host/WaitEvent.h), and only that worker is woken.
//
// Dedicated threads: "a thread of its own" does not mean a new OS thread per
// task. A dedicated thread that finished its task parks for reuse, and
// RunOnDedicatedThread hands the next task to the thread that parked last. A
// parked thread ends after an idle time-out without work (default 30 s); at
// most a cap of threads park at once (default 64), further ones end when their
// task ends. When a task finds no parked thread, a spare is made with its
// thread and parks at once, since a waiter woken by a finishing task often
// starts its next one before that thread has parked. A burst of refused tasks
// therefore costs thread creations once; after that, the same concurrency
// runs on parked threads.
//
// Size: SetThreadPoolSize before the first use; afterwards it is fixed for
// the life of the process. When the system refuses threads (a limit on
// threads or processes), the pool keeps the workers that started, and
// GetThreadPoolSize says how many. Default (DefaultThreadPoolSize): the option
// ThreadPoolSize when positive, else max(8, 4 × hardware threads), since
// tasks of the external caches mostly wait for I/O or for a subtask.
//
// Lifetime: the pool is created on first use and deliberately never
// destroyed. Its workers and parked threads wait for work until the process
// ends; destroying them at exit would race their last steps with static
// destruction. Dedicated threads are detached; running ones are counted so
// that tests and shutdown can wait for them (WaitForDedicatedThreads).
//
// Fork: a child forked without exec has none of its parent's threads. It
// starts with no pool and no dedicated threads, with the parent's size and
// parked-thread limits, and makes its own threads on first use (so
// SetThreadPoolSize works in it until then). Tasks the parent was running
// at the fork are not run in the child; fork while no task runs, or ignore
// the futures of those tasks in the child.
//
// A task must not let an exception escape (AsyncTask::Launch's tasks store
// theirs in their future); one that escapes anyway is dropped, so that a
// thread never dies of it. Running out of memory while the pool starts its
// workers keeps those that started (as for a refused thread), and a
// dedicated thread that finds no memory to park ends; neither ends the
// process.
//
// Thread rules: every function is thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "host/Export.h"

namespace AsyncTask {

// max(8, 4 × hardware threads), at most kMaxThreadPoolSize: the size used
// when neither the option ThreadPoolSize nor SetThreadPoolSize gives one.
KELCACHE_EXPORT unsigned DefaultThreadPoolSize();
// The most workers a pool has: a larger size, from the option or from
// SetThreadPoolSize, is taken as this one (a mistyped size would otherwise
// take every thread the system allows, or more memory than it has, at the
// first task).
inline constexpr unsigned kMaxThreadPoolSize = 1024;
// Sets the number of workers (at most kMaxThreadPoolSize). True when
// applied; false (and no change) once the pool exists.
KELCACHE_EXPORT bool SetThreadPoolSize(unsigned workers);
// The number of workers the pool has, or will have when it is created.
KELCACHE_EXPORT unsigned GetThreadPoolSize();

// Hands `task` (copied) to an idle worker, which starts it at once, and
// returns true; returns false when no worker is idle (the task is then not
// copied and not run). Creates the pool on first use. `priority` is accepted
// for compatibility and ignored: a task never waits in a queue, so there is
// nothing to order.
KELCACHE_EXPORT bool ScheduleOnThreadPool(const std::function<void()>& task, int priority);
// Runs `task` on a thread of its own: a parked dedicated thread when there is
// one, else a new detached thread. Raises std::system_error when no thread
// can be made.
KELCACHE_EXPORT void RunOnDedicatedThread(std::function<void()> task);
// ScheduleOnThreadPool(task, 1), else RunOnDedicatedThread(task): what launch
// mode 1 (asynchronous) does. When no thread can be made at all, the task
// runs on the calling thread before this returns.
KELCACHE_EXPORT void StartOnPoolOrDedicatedThread(std::function<void()> task);

// Limits of the parked dedicated threads: at most `maxParked` park at once,
// and a parked thread ends after `idleTimeout` without work. They hold at
// once: the threads parked longest beyond a lowered cap end, and the others
// measure their idle time against the new time-out. Defaults: 64 and 30 s.
KELCACHE_EXPORT void SetParkedThreadLimits(unsigned maxParked, std::chrono::milliseconds idleTimeout);
// The number of dedicated threads parked now (a snapshot).
KELCACHE_EXPORT unsigned GetParkedThreadCount();
// The number of OS threads the pool and the dedicated threads have made since
// the process started: the pool's workers plus every new dedicated thread.
KELCACHE_EXPORT uint64_t GetThreadsCreated();

// Waits until no dedicated thread is running a task and none is still
// starting to park as a spare, at most `timeout`; true when none is. Parked
// threads do not count.
KELCACHE_EXPORT bool WaitForDedicatedThreads(std::chrono::milliseconds timeout);
// The number of dedicated threads whose task has not ended (a snapshot).
KELCACHE_EXPORT unsigned GetDedicatedThreadCount();
// Waits until every worker of the pool is idle, at most `timeout`; true when
// they are (also when the pool was never created).
KELCACHE_EXPORT bool WaitForThreadPoolIdle(std::chrono::milliseconds timeout);

}  // namespace AsyncTask
