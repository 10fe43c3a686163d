// The host thread pool and dedicated threads on which asynchronous tasks run.
//
// The pool has a fixed number of workers and no queue: ScheduleOnThreadPool
// hands a task to an idle worker, which starts it at once, or refuses it
// (returns false) when every worker is busy. The caller then runs the task on
// a thread of its own (RunOnDedicatedThread); AsyncTask::Launch does exactly
// that. So a task that waits for a task it launched never waits behind itself
// in a queue: the pool can not starve, however deeply tasks nest.
//
// Size: SetThreadPoolSize before the first use; afterwards it is fixed for
// the life of the process. Default: max(4, 2 × hardware threads). A size of 0
// makes the pool refuse every task.
//
// Lifetime: the pool is created on first use and deliberately never
// destroyed. Its workers wait for work until the process ends; destroying it
// at exit would race their last steps with static destruction. Dedicated
// threads are detached; they are counted so that tests and shutdown can wait
// for them (WaitForDedicatedThreads).
//
// A task must not let an exception escape (AsyncTask::Launch's tasks store
// theirs in their future); one that escapes anyway is dropped, so that a
// worker never dies.
//
// Thread rules: every function is thread-safe.
#pragma once

#include <chrono>
#include <functional>

#include "host/Export.h"

namespace AsyncTask {

// The number of workers used when SetThreadPoolSize was not called.
KELCACHE_EXPORT unsigned DefaultThreadPoolSize();
// Sets the number of workers. True when applied; false (and no change) once
// the pool exists.
KELCACHE_EXPORT bool SetThreadPoolSize(unsigned workers);
// The number of workers the pool has, or will have when it is created.
KELCACHE_EXPORT unsigned GetThreadPoolSize();

// Hands `task` (copied) to an idle worker, which starts it at once, and
// returns true; returns false when no worker is idle (the task is then not
// copied and not run). Creates the pool on first use. `priority` is accepted
// for compatibility and ignored: a task never waits in a queue, so there is
// nothing to order.
KELCACHE_EXPORT bool ScheduleOnThreadPool(const std::function<void()>& task, int priority);
// Runs `task` on a new detached thread. Raises std::system_error when no
// thread can be made.
KELCACHE_EXPORT void RunOnDedicatedThread(std::function<void()> task);
// ScheduleOnThreadPool(task, 1), else RunOnDedicatedThread(task): what launch
// mode 1 (asynchronous) does.
KELCACHE_EXPORT void StartOnPoolOrDedicatedThread(std::function<void()> task);

// Waits until no dedicated thread is running a task, at most `timeout`;
// true when none is.
KELCACHE_EXPORT bool WaitForDedicatedThreads(std::chrono::milliseconds timeout);
// The number of dedicated threads whose task has not ended (a snapshot).
KELCACHE_EXPORT unsigned GetDedicatedThreadCount();
// Waits until every worker of the pool is idle, at most `timeout`; true when
// they are (also when the pool was never created).
KELCACHE_EXPORT bool WaitForThreadPoolIdle(std::chrono::milliseconds timeout);

}  // namespace AsyncTask
