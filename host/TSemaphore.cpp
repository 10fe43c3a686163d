#include "host/TSemaphore.h"

#include "host/Errors.h"
#include "host/LongestWait.h"
#include "host/TMutex.h"

std::shared_ptr<TSemaphore> TSemaphore::Construct(int64_t count) {
  return std::shared_ptr<TSemaphore>(new TSemaphore(count));
}

TSemaphore::TSemaphore(int64_t count) : m_available(count < 0 ? 0 : count) {}

bool TSemaphore::TryAcquire(std::chrono::milliseconds timeout) {
  timeout = host_internal::WithinACentury(timeout);  // the deadline cannot overflow
  TMutexLock lock(m_mutex);
  if (m_available == 0 && timeout.count() > 0) {
    // steady_clock: a change of the wall clock neither stretches nor cuts the
    // wait. The loop re-checks after spurious wake-ups.
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_available == 0) {
      if (!m_released.WaitUntil(lock, deadline)) break;
    }
  }
  if (m_available == 0) return false;
  --m_available;
  return true;
}

void TSemaphore::Release() {
  {
    TMutexLock lock(m_mutex);
    ++m_available;
  }
  m_released.NotifyOne();
}

int64_t TSemaphore::GetAvailableCount() const {
  TMutexLock lock(m_mutex);
  return m_available;
}

TSemaphoreScope::TSemaphoreScope(std::shared_ptr<TSemaphore> semaphore, int64_t timeoutMs)
    : m_semaphore(std::move(semaphore)), m_acquired(false) {
  if (!m_semaphore) ThrowLogicException("host/TSemaphore", __LINE__, "semaphore");
  m_acquired = m_semaphore->TryAcquire(std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs));
}

TSemaphoreScope::~TSemaphoreScope() {
  if (m_acquired) m_semaphore->Release();
}
