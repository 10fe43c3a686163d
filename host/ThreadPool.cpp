#include "host/ThreadPool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "host/AppOptions.h"
#include "host/ThreadAnnotations.h"

namespace AsyncTask {

namespace {

// Runs a task and drops any exception that escapes it, so that the thread
// running it (a worker in particular) survives.
void RunAndDropExceptions(std::function<void()>& task) noexcept {
  try {
    if (task) task();
  } catch (...) {
  }
}

// A condition-variable wait of at most `timeout` (negative counts as 0; very
// long spans are cut to a century so that "now + timeout" can not overflow).
template <class Predicate>
bool WaitAtMost(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                std::chrono::milliseconds timeout, Predicate predicate) {
  constexpr std::chrono::milliseconds kLongest = std::chrono::hours(24 * 365 * 100);
  timeout = std::clamp(timeout, std::chrono::milliseconds(0), kLongest);
  return condition.wait_for(lock, timeout, predicate);
}

// The fixed set of workers. A task is handed to a worker only when one is
// idle, so every task in m_handoff has a worker that takes it at once: the
// hand-off list is never a queue of waiting work.
//
// Thread-safe. m_mutex guards m_handoff and m_idle. Invariant (under m_mutex):
// workers running a task + m_handoff.size() + m_idle == m_workers. Workers
// wait on m_taskArrived; WaitForIdle waits on m_idleChanged. Never destroyed
// (see the header): the workers keep `this`.
class ThreadPool {
 public:
  explicit ThreadPool(unsigned workers) : m_workers(workers), m_idle(workers) {
    for (unsigned i = 0; i < workers; ++i) std::thread([this] { WorkerLoop(); }).detach();
  }

  unsigned Size() const { return m_workers; }

  bool TrySchedule(const std::function<void()>& task) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_idle == 0) return false;
    --m_idle;
    m_handoff.push_back(task);
    m_taskArrived.notify_one();
    return true;
  }

  bool WaitForIdle(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return WaitAtMost(m_idleChanged, lock, timeout, [this] { return m_idle == m_workers; });
  }

 private:
  void WorkerLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      m_taskArrived.wait(lock, [this] { return !m_handoff.empty(); });
      std::function<void()> task = std::move(m_handoff.front());
      m_handoff.pop_front();
      lock.unlock();
      RunAndDropExceptions(task);
      // Release what the task holds before the worker counts as idle again.
      task = nullptr;
      lock.lock();
      ++m_idle;
      m_idleChanged.notify_all();
    }
  }

  const unsigned m_workers;
  std::mutex m_mutex;
  std::condition_variable m_taskArrived;
  std::condition_variable m_idleChanged;
  std::deque<std::function<void()>> m_handoff KELCACHE_GUARDED_BY(m_mutex);
  unsigned m_idle KELCACHE_GUARDED_BY(m_mutex);
};

// Counts the dedicated threads whose task has not ended.
// Thread-safe. m_mutex guards m_running; m_countChanged is notified when it
// falls. Never destroyed: ending threads touch it after their task.
class DedicatedThreads {
 public:
  void Start(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      ++m_running;
    }
    try {
      std::thread([this, task = std::move(task)]() mutable {
        RunAndDropExceptions(task);
        task = nullptr;
        Ended();
      }).detach();
    } catch (...) {
      Ended();
      throw;
    }
  }

  bool WaitForNone(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return WaitAtMost(m_countChanged, lock, timeout, [this] { return m_running == 0; });
  }

  unsigned Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running;
  }

 private:
  void Ended() {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_running;
    m_countChanged.notify_all();
  }

  std::mutex m_mutex;
  std::condition_variable m_countChanged;
  unsigned m_running KELCACHE_GUARDED_BY(m_mutex) = 0;
};

// The process-wide pool configuration and objects; created on first use and
// never destroyed. m_mutex guards m_size and the making of the pool; once made,
// the pool is published through m_published so that scheduling reads it
// without the mutex. m_mutex is never held while a pool or dedicated-thread
// lock is taken.
class Registry {
 public:
  static Registry& Get() {
    static Registry* const s_registry = new Registry();
    return *s_registry;
  }

  bool SetSize(unsigned workers) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pool) return false;
    m_size = workers;
    return true;
  }

  unsigned GetSize() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pool ? m_pool->Size() : m_size;
  }

  ThreadPool& GetOrCreatePool() {
    if (ThreadPool* pool = m_published.load(std::memory_order_acquire)) return *pool;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_pool) {
      m_pool = new ThreadPool(m_size);
      m_published.store(m_pool, std::memory_order_release);
    }
    return *m_pool;
  }

  // Null until the pool is made.
  ThreadPool* FindPool() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pool;
  }

  DedicatedThreads& Dedicated() { return m_dedicated; }

 private:
  // The option ThreadPoolSize, when positive, sets the size; SetThreadPoolSize
  // may still change it before the pool is made.
  Registry() {
    int configured = kelvra::appoptions::ThreadPoolSize();
    m_size = configured > 0 ? static_cast<unsigned>(configured) : DefaultThreadPoolSize();
  }

  std::mutex m_mutex;
  unsigned m_size KELCACHE_GUARDED_BY(m_mutex) = 0;
  ThreadPool* m_pool KELCACHE_GUARDED_BY(m_mutex) = nullptr;
  std::atomic<ThreadPool*> m_published{nullptr};
  DedicatedThreads m_dedicated;
};

}  // namespace

unsigned DefaultThreadPoolSize() {
  return std::max(4u, 2u * std::thread::hardware_concurrency());
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
  Registry::Get().Dedicated().Start(std::move(task));
}

void StartOnPoolOrDedicatedThread(std::function<void()> task) {
  if (!ScheduleOnThreadPool(task, 1)) RunOnDedicatedThread(std::move(task));
}

bool WaitForDedicatedThreads(std::chrono::milliseconds timeout) {
  return Registry::Get().Dedicated().WaitForNone(timeout);
}

unsigned GetDedicatedThreadCount() {
  return Registry::Get().Dedicated().Count();
}

bool WaitForThreadPoolIdle(std::chrono::milliseconds timeout) {
  ThreadPool* pool = Registry::Get().FindPool();
  return pool == nullptr || pool->WaitForIdle(timeout);
}

}  // namespace AsyncTask
