#include "host/DeadlineTimer.h"
#include "host/TMutex.h"

#include <thread>

#include "host/ForkGeneration.h"

namespace AsyncTask {

DeadlineTimer* DeadlineTimer::MakeFresh() { return new DeadlineTimer(); }

DeadlineTimer* DeadlineTimer::MakeInChild(const DeadlineTimer&) { return new DeadlineTimer(); }

// A child forked without exec gets an empty timer of its own: the parent's
// timer thread is not in it.
DeadlineTimer& DeadlineTimer::Instance() {
  return ForkReplacedInstance<DeadlineTimer, &DeadlineTimer::MakeFresh, &DeadlineTimer::MakeInChild>::Get();
}

DeadlineTimer::Handle DeadlineTimer::Schedule(Clock::time_point deadline, std::function<void()> callback) {
  TMutexLock lock(m_mutex);
  if (!m_started) {
    std::thread([this] { Run(); }).detach();
    m_started = true;
  }
  const Handle handle = m_nextHandle++;
  auto pending = m_pending.emplace(Key{deadline, handle}, std::move(callback)).first;
  try {
    m_deadlines.emplace(handle, deadline);
  } catch (...) {
    m_pending.erase(pending);  // both or neither: a callback must stay cancellable
    throw;
  }
  if (deadline < m_sleepUntil) {
    m_sleepUntil = deadline;
    m_changed.NotifyOne();
  }
  return handle;
}

bool DeadlineTimer::Cancel(Handle handle) {
  TMutexLock lock(m_mutex);
  auto found = m_deadlines.find(handle);
  if (found == m_deadlines.end()) return false;
  m_pending.erase(Key{found->second, handle});
  m_deadlines.erase(found);
  return true;
}

size_t DeadlineTimer::PendingCount() {
  TMutexLock lock(m_mutex);
  return m_pending.size();
}

void DeadlineTimer::Run() {
  TMutexLock lock(m_mutex);
  for (;;) {
    if (m_pending.empty()) {
      // Keep the wake-up time of a deadline that was cancelled: a new one
      // later than it then notifies nobody. Operations that schedule and
      // cancel their time-outs one after another would otherwise wake this
      // thread once each, whenever it saw the queue empty between them.
      if (Clock::now() < m_sleepUntil) {
        m_changed.WaitUntil(lock, m_sleepUntil);
      } else {
        m_sleepUntil = Clock::time_point::max();
        m_changed.Wait(lock);
      }
      continue;
    }
    auto earliest = m_pending.begin();
    if (Clock::now() < earliest->first.first) {
      m_sleepUntil = earliest->first.first;
      m_changed.WaitUntil(lock, m_sleepUntil);
      continue;
    }
    std::function<void()> callback = std::move(earliest->second);
    m_deadlines.erase(earliest->first.second);
    m_pending.erase(earliest);
    lock.Unlock();
    try {
      callback();
    } catch (...) {
    }
    callback = nullptr;  // release what it holds outside the lock
    lock.Lock();
  }
}

}  // namespace AsyncTask
