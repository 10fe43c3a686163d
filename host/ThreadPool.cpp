#include "host/ThreadPool.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "host/AppOptions.h"
#include "host/ForkGeneration.h"
#include "host/LongestWait.h"
#include "host/ThreadAnnotations.h"
#include "host/WaitEvent.h"
#include "host/TConditionVariable.h"

namespace AsyncTask {

namespace {

constexpr unsigned kDefaultMaxParkedThreads = 64;
constexpr std::chrono::milliseconds kDefaultParkedIdleTimeout = std::chrono::seconds(30);

// OS threads made by the pool and the dedicated threads.
std::atomic<uint64_t> s_threadsCreated{0};

// Runs a task and drops any exception that escapes it, so that the thread
// running it survives.
void RunAndDropExceptions(std::function<void()>& task) noexcept {
  try {
    if (task) task();
  } catch (...) {
  }
}

// The deadline of a wait of at most `timeout`.
std::chrono::steady_clock::time_point DeadlineAfter(std::chrono::milliseconds timeout) {
  return std::chrono::steady_clock::now() + host_internal::WithinACentury(timeout);
}

// A thread that runs handed-over tasks: a pool worker or a dedicated thread.
// Hand-over protocol: the handing thread owns the runner once it took it off
// an idle list; it writes `task`, then sets `wake`. The runner reads `task`
// after its wait returned and owns it until it puts itself on an idle list
// again. The event's release/acquire orders the two.
struct Runner {
  WaitEvent wake;
  std::function<void()> task;
};

// Runners of dedicated threads are recycled and never freed: a thread that
// hands a task over may still be inside wake.Set() (its wake-up system call)
// when the runner's thread has already run the task and ended, so the event
// must stay valid memory. At most as many runners exist as dedicated threads
// ever ran at once. Thread-safe; m_mutex guards m_free.
class RunnerStore {
 public:
  Runner* Take() {
    {
      TMutexLock lock(m_mutex);
      if (!m_free.empty()) {
        Runner* runner = m_free.back();
        m_free.pop_back();
        return runner;
      }
    }
    return new Runner();
  }
  // Never raises: it runs last on an ending thread, where an exception would
  // end the process. Without memory to list the runner, it is left unused.
  void Give(Runner* runner) noexcept {
    runner->task = nullptr;
    runner->wake.Reset();
    TMutexLock lock(m_mutex);
    try {
      m_free.push_back(runner);
    } catch (const std::bad_alloc&) {
    }
  }

 private:
  TMutex m_mutex;
  std::vector<Runner*> m_free KELCACHE_GUARDED_BY(m_mutex);
};

// The fixed set of workers. An idle worker waits on its own event; the idle
// list is a stack, so the worker that became idle last gets the next task.
//
// Thread-safe. m_mutex guards m_idle and m_idleWaiters. Invariant (under
// m_mutex): workers running or being handed a task + m_idle.size() ==
// m_workers. WaitForIdle waits on m_idleChanged. Never destroyed (see the
// header): the workers keep `this`.
class ThreadPool {
 public:
  // Starts the workers. When the system refuses a thread (a limit on
  // threads or processes), the pool keeps the workers that started, down to
  // none: a full pool refuses tasks, which then run on dedicated threads.
  explicit ThreadPool(unsigned workers) {
    m_runners.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) m_runners.push_back(std::make_unique<Runner>());
    {
      // Room first: once a worker runs, nothing here may raise (the pool
      // would go while the worker uses it).
      TMutexLock lock(m_mutex);
      m_idle.reserve(workers);
    }
    unsigned started = 0;
    for (; started < workers; ++started) {
      Runner* worker = m_runners[started].get();
      try {
        // A new worker waits for its first task (wake), so it touches
        // nothing of the pool before the pool is published.
        std::thread([this, worker] { WorkerLoop(*worker); }).detach();
      } catch (const std::system_error&) {
        break;
      } catch (const std::bad_alloc&) {
        // No memory for the thread's start: as a refused thread once a
        // worker runs (the pool must then stay). Before that nothing knows
        // the pool, so the failure passes on and a later task tries again.
        if (started == 0) throw;
        break;
      }
      s_threadsCreated.fetch_add(1, std::memory_order_relaxed);
    }
    m_runners.resize(started);  // no thread knows the runners of workers that never started
    m_workers = started;
    TMutexLock lock(m_mutex);
    for (auto& runner : m_runners) m_idle.push_back(runner.get());
  }

  unsigned Size() const { return m_workers; }

  bool TrySchedule(const std::function<void()>& task) {
    Runner* worker;
    {
      TMutexLock lock(m_mutex);
      if (m_idle.empty()) return false;
      worker = m_idle.back();
      m_idle.pop_back();
    }
    try {
      worker->task = task;
    } catch (...) {
      BecomeIdle(*worker);
      throw;
    }
    worker->wake.Set();
    return true;
  }

  bool WaitForIdle(std::chrono::milliseconds timeout) {
    const auto deadline = DeadlineAfter(timeout);
    TMutexLock lock(m_mutex);
    ++m_idleWaiters;
    while (m_idle.size() != m_workers) {
      if (!m_idleChanged.WaitUntil(lock, deadline)) break;
    }
    --m_idleWaiters;
    return m_idle.size() == m_workers;
  }

 private:
  void WorkerLoop(Runner& self) {
    for (;;) {
      self.wake.Wait();
      self.wake.Reset();
      RunAndDropExceptions(self.task);
      // Release what the task holds before the worker counts as idle again.
      self.task = nullptr;
      BecomeIdle(self);
    }
  }

  void BecomeIdle(Runner& worker) {
    TMutexLock lock(m_mutex);
    m_idle.push_back(&worker);
    if (m_idleWaiters > 0 && m_idle.size() == m_workers) m_idleChanged.NotifyAll();
  }

  unsigned m_workers = 0;                          // the workers that started; fixed after construction
  std::vector<std::unique_ptr<Runner>> m_runners;  // fixed after construction
  TMutex m_mutex;
  TConditionVariable m_idleChanged;
  std::vector<Runner*> m_idle KELCACHE_GUARDED_BY(m_mutex);
  unsigned m_idleWaiters KELCACHE_GUARDED_BY(m_mutex) = 0;
};

// Dedicated threads: each runs one task, then parks for reuse (see the
// header). Thread-safe. m_mutex guards m_running, m_sparesStarting, m_parked,
// the parked threads' `task` and the limits; m_countChanged is notified when
// m_running or m_sparesStarting falls. Never destroyed: ending and parked threads touch it.
class DedicatedThreads {
 public:
  // Runs the task on a parked thread or a new one. When no thread can be
  // made, the task is back in `task` and std::system_error (or, out of
  // memory, std::bad_alloc) passes on.
  void Start(std::function<void()>& task) {
    Runner* parked = nullptr;
    {
      TMutexLock lock(m_mutex);
      ++m_running;
      if (!m_parked.empty()) {
        parked = m_parked.back();
        m_parked.pop_back();
        parked->task = std::move(task);  // moving a std::function does not throw
      }
    }
    if (parked) {
      parked->wake.Set();
      return;
    }
    Runner* runner = nullptr;
    try {
      runner = m_runners.Take();
      runner->task = std::move(task);
      std::thread([this, runner] { ThreadMain(*runner); }).detach();
    } catch (...) {
      TaskEnded();
      if (runner) {
        task = std::move(runner->task);
        m_runners.Give(runner);
      }
      throw;
    }
    s_threadsCreated.fetch_add(1, std::memory_order_relaxed);
    MakeSpare();
  }

  // New limits hold at once: the threads parked longest beyond the new cap
  // are taken off the list and end; the others stay parked and are woken to
  // measure their idle time against the new time-out.
  void SetLimits(unsigned maxParked, std::chrono::milliseconds idleTimeout) {
    std::vector<Runner*> woken;
    {
      TMutexLock lock(m_mutex);
      m_maxParked = maxParked;
      m_idleTimeout = host_internal::WithinACentury(idleTimeout);  // parkedAt + it must not overflow
      woken = m_parked;
      if (m_parked.size() > maxParked) m_parked.erase(m_parked.begin(), m_parked.end() - maxParked);
    }
    for (Runner* runner : woken) runner->wake.Set();
  }

  // Also waits for spares still starting, so that every thread about to
  // park has parked (or ended) when it returns true.
  bool WaitForNone(std::chrono::milliseconds timeout) {
    const auto deadline = DeadlineAfter(timeout);
    TMutexLock lock(m_mutex);
    while (!SettledLocked()) {
      if (!m_countChanged.WaitUntil(lock, deadline)) break;
    }
    return SettledLocked();
  }

  unsigned Running() {
    TMutexLock lock(m_mutex);
    return m_running;
  }

  unsigned Parked() {
    TMutexLock lock(m_mutex);
    return static_cast<unsigned>(m_parked.size());
  }

  // The limits, for the registry of a forked child (MakeInChild). Read
  // without the mutex: in the child no other thread exists, and the mutex
  // may have been held by a parent's thread at the fork.
  std::pair<unsigned, std::chrono::milliseconds> LimitsInChild() const KELCACHE_NO_THREAD_SAFETY_ANALYSIS {
    return {m_maxParked, m_idleTimeout};
  }

 private:
  void ThreadMain(Runner& self) {
    do {
      RunAndDropExceptions(self.task);
      self.task = nullptr;
    } while (ParkForNextTask(self, /*endedTask=*/true));
    m_runners.Give(&self);
  }

  // Start found no parked thread, so demand has just outgrown the threads
  // there are. A thread that finishes its task wakes the task's waiter before
  // it parks, and the waiter often runs first (the wake preempts the waker)
  // and starts its next task while nobody is parked yet. One spare thread,
  // made now and parked at once, absorbs that race, so a steady load stops
  // making threads once it has run for a moment. Failing to make it (no
  // thread, no memory) is fine, and must not throw: the caller's task has
  // been handed over already, so an exception would tell its caller it was
  // not.
  void MakeSpare() noexcept {
    {
      TMutexLock lock(m_mutex);
      if (m_parked.size() + m_sparesStarting >= m_maxParked) return;
      ++m_sparesStarting;
    }
    Runner* runner = nullptr;
    try {
      runner = m_runners.Take();
      std::thread([this, runner] {
        if (ParkForNextTask(*runner, /*endedTask=*/false)) {
          ThreadMain(*runner);
        } else {
          m_runners.Give(runner);
        }
      }).detach();
      s_threadsCreated.fetch_add(1, std::memory_order_relaxed);
    } catch (...) {
      if (runner) m_runners.Give(runner);
      TMutexLock lock(m_mutex);
      SpareStartedLocked();
    }
  }

  // Counts the task as ended (a spare thread has none), then parks the thread
  // when there is room. True when a next task was handed over; false when the
  // thread is to end: no room, its idle time-out passed, or SetLimits took it
  // off the list. The task ends in the same hold of the mutex as the thread
  // parks, so WaitForNone's callers find it parked. Start hands a task (and
  // SetLimits changes the limits) under the mutex and then sets `wake`, so the
  // state read under the mutex after any wake is current.
  bool ParkForNextTask(Runner& self, bool endedTask) {
    std::chrono::steady_clock::time_point parkedAt;
    std::chrono::steady_clock::time_point deadline;
    {
      TMutexLock lock(m_mutex);
      if (endedTask) {
        EndTaskLocked();
      } else {
        SpareStartedLocked();
      }
      if (m_parked.size() >= m_maxParked) return false;
      self.wake.Reset();
      try {
        m_parked.push_back(&self);
      } catch (const std::bad_alloc&) {
        return false;  // no memory to list it: the thread ends rather than the process
      }
      parkedAt = std::chrono::steady_clock::now();
      deadline = parkedAt + m_idleTimeout;
    }
    for (;;) {
      self.wake.WaitUntil(deadline);
      TMutexLock lock(m_mutex);
      if (self.task) return true;  // Start took it off the list
      auto found = std::find(m_parked.begin(), m_parked.end(), &self);
      if (found == m_parked.end()) return false;  // beyond a lowered cap
      deadline = parkedAt + m_idleTimeout;  // SetLimits may have changed the time-out
      if (std::chrono::steady_clock::now() >= deadline) {  // idle for the whole time-out
        m_parked.erase(found);
        return false;
      }
      self.wake.Reset();  // woken by SetLimits, or by a hand-over that found it gone
    }
  }

  void TaskEnded() {
    TMutexLock lock(m_mutex);
    EndTaskLocked();
  }

  void EndTaskLocked() KELCACHE_REQUIRES(m_mutex) {
    --m_running;
    m_countChanged.NotifyAll();
  }

  // A spare has parked, or ended, or could not be made.
  void SpareStartedLocked() KELCACHE_REQUIRES(m_mutex) {
    --m_sparesStarting;
    m_countChanged.NotifyAll();
  }

  // No task running and no spare on its way to parking.
  bool SettledLocked() const KELCACHE_REQUIRES(m_mutex) { return m_running == 0 && m_sparesStarting == 0; }

  RunnerStore m_runners;
  TMutex m_mutex;
  TConditionVariable m_countChanged;
  unsigned m_running KELCACHE_GUARDED_BY(m_mutex) = 0;
  unsigned m_sparesStarting KELCACHE_GUARDED_BY(m_mutex) = 0;
  std::vector<Runner*> m_parked KELCACHE_GUARDED_BY(m_mutex);
  unsigned m_maxParked KELCACHE_GUARDED_BY(m_mutex) = kDefaultMaxParkedThreads;
  std::chrono::milliseconds m_idleTimeout KELCACHE_GUARDED_BY(m_mutex) = kDefaultParkedIdleTimeout;
};

// The process-wide pool configuration and objects; created on first use and
// never destroyed. m_mutex guards m_size and the making of the pool; once made,
// the pool is published through m_published so that scheduling reads it
// without the mutex. m_mutex is held while a pool's lock is taken only when
// the pool is made (its constructor); neither a pool nor a dedicated thread
// ever takes m_mutex, so the order cannot reverse.
//
// Fork: a child made by fork without exec has only the thread that forked.
// The parent's workers and parked threads are not in it, and a lock of theirs
// may have been held at the fork. So the child starts with a registry of its
// own (MakeInChild, through ForkReplacedInstance), with the parent's settings,
// and makes its own threads on first use; the parent's registry is left as it
// is.
class Registry {
 public:
  static Registry& Get() { return ForkReplacedInstance<Registry, &MakeFirst, &MakeInChild>::Get(); }

  bool SetSize(unsigned workers) {
    TMutexLock lock(m_mutex);
    if (m_pool) return false;
    m_size = std::min(workers, kMaxThreadPoolSize);
    return true;
  }

  unsigned GetSize() {
    TMutexLock lock(m_mutex);
    return m_pool ? m_pool->Size() : m_size;
  }

  ThreadPool& GetOrCreatePool() {
    if (ThreadPool* pool = m_published.load(std::memory_order_acquire)) return *pool;
    TMutexLock lock(m_mutex);
    if (!m_pool) {
      m_pool = new ThreadPool(m_size);
      m_published.store(m_pool, std::memory_order_release);
    }
    return *m_pool;
  }

  // Null until the pool is made.
  ThreadPool* FindPool() { return m_published.load(std::memory_order_acquire); }

  DedicatedThreads& Dedicated() { return m_dedicated; }

 private:
  // Whoever asks for the size (the option, the default), it is held at
  // kMaxThreadPoolSize.
  explicit Registry(unsigned size) : m_size(std::min(size, kMaxThreadPoolSize)) {}

  // The option ThreadPoolSize, when positive, sets the size; SetThreadPoolSize
  // may still change it before the pool is made.
  static Registry* MakeFirst() {
    int configured = kelvra::appoptions::ThreadPoolSize();
    return new Registry(configured > 0 ? static_cast<unsigned>(configured) : DefaultThreadPoolSize());
  }

  // A forked child's registry: the parent's pool size and parked-thread
  // limits, no threads yet. The parent's are read without its mutexes, and
  // the options are not read (their lock may have been held at the fork).
  static Registry* MakeInChild(const Registry& parent) KELCACHE_NO_THREAD_SAFETY_ANALYSIS {
    auto* registry = new Registry(parent.m_size);
    const auto [maxParked, idleTimeout] = parent.m_dedicated.LimitsInChild();
    registry->m_dedicated.SetLimits(maxParked, idleTimeout);
    return registry;
  }

  TMutex m_mutex;
  unsigned m_size KELCACHE_GUARDED_BY(m_mutex) = 0;
  ThreadPool* m_pool KELCACHE_GUARDED_BY(m_mutex) = nullptr;
  std::atomic<ThreadPool*> m_published{nullptr};
  DedicatedThreads m_dedicated;
};

}  // namespace

unsigned DefaultThreadPoolSize() {
  return std::min(std::max(8u, 4u * std::thread::hardware_concurrency()), kMaxThreadPoolSize);
}

bool SetThreadPoolSize(unsigned workers) {
  return Registry::Get().SetSize(workers);
}

unsigned GetThreadPoolSize() {
  return Registry::Get().GetSize();
}

bool ScheduleOnThreadPool(const std::function<void()>& task, int /*priority*/) {
  return Registry::Get().GetOrCreatePool().TrySchedule(task);
}

void RunOnDedicatedThread(std::function<void()> task) {
  Registry::Get().Dedicated().Start(task);
}

void StartOnPoolOrDedicatedThread(std::function<void()> task) {
  if (ScheduleOnThreadPool(task, 1)) return;
  try {
    Registry::Get().Dedicated().Start(task);
  } catch (const std::system_error&) {
    // No thread could be made (a limit on threads or processes): the task
    // runs on the caller's thread rather than not at all.
    RunAndDropExceptions(task);
  }
}

void SetParkedThreadLimits(unsigned maxParked, std::chrono::milliseconds idleTimeout) {
  Registry::Get().Dedicated().SetLimits(maxParked, idleTimeout);
}

unsigned GetParkedThreadCount() {
  return Registry::Get().Dedicated().Parked();
}

uint64_t GetThreadsCreated() {
  return s_threadsCreated.load(std::memory_order_relaxed);
}

bool WaitForDedicatedThreads(std::chrono::milliseconds timeout) {
  return Registry::Get().Dedicated().WaitForNone(timeout);
}

unsigned GetDedicatedThreadCount() {
  return Registry::Get().Dedicated().Running();
}

bool WaitForThreadPoolIdle(std::chrono::milliseconds timeout) {
  ThreadPool* pool = Registry::Get().FindPool();
  return pool == nullptr || pool->WaitForIdle(timeout);
}

}  // namespace AsyncTask
