// TReadWriteLock: the host's reader/writer lock.
//
// Lock/Unlock take and release it exclusively; LockRead/UnlockRead shared.
// A thread that holds it exclusively may take it again, exclusively or
// shared, and releases it as often (the coherence service relies on this);
// the lock is free for others only when the outermost hold is released.
// A thread that holds it only shared must not take it exclusively (that would
// deadlock, as with any reader/writer lock).
//
// Hold it through TWriteLockGuard / TReadLockGuard (LockGuards.h) so that an
// exception releases it.
//
// Waiting: a thread that finds the lock taken first spins for a few
// microseconds, reading the lock's word without writing it, and only then
// sleeps on a futex. The caches hold it for well under a microsecond, while
// putting a thread to sleep and waking it costs tens of microseconds on a
// virtual machine, so most waits end in the spin. Shared holders are admitted
// whenever no exclusive holder is in, as with the platform's default
// reader/writer lock, so a thread that already reads may take it shared
// again even while a writer waits.
//
// Lifetime: a release reads the lock's word of sleepers after it gave the lock
// up, so the lock must outlive every Unlock/UnlockRead call in progress: do
// not destroy it on the strength of having just acquired it (as one may a
// std::mutex whose last user is known); the library's caches and services
// are kept alive by their callers for the whole of each call.
//
// Thread rules: any thread may use it; that is its purpose.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "host/Export.h"
#include "host/ThreadAnnotations.h"

class KELCACHE_EXPORT KELCACHE_CAPABILITY("mutex") TReadWriteLock {
 public:
  // The spin count is accepted for compatibility; the spin before sleeping is
  // the lock's own (see above).
  explicit TReadWriteLock(unsigned spinCount = 0);
  TReadWriteLock(const TReadWriteLock&) = delete;
  TReadWriteLock& operator=(const TReadWriteLock&) = delete;
  ~TReadWriteLock();

  // The implementations manage the lock's own state, which the analysis
  // cannot follow; callers see the annotations.
  // The uncontended paths are inline: one atomic operation each, no call.
  void Lock() KELCACHE_ACQUIRE() KELCACHE_NO_THREAD_SAFETY_ANALYSIS {
    if (TryAcquireExclusive()) {
      m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
      return;
    }
    LockContended();  // re-entry too: the word then holds kExclusive
  }
  void Unlock() KELCACHE_RELEASE() KELCACHE_NO_THREAD_SAFETY_ANALYSIS {
    if (m_depth > 0) {
      --m_depth;
      return;
    }
    m_owner.store(std::thread::id(), std::memory_order_relaxed);
    m_state.store(0, std::memory_order_seq_cst);
    WakeSleepers();
  }
  void LockRead() KELCACHE_ACQUIRE_SHARED() KELCACHE_NO_THREAD_SAFETY_ANALYSIS {
    uint32_t state = m_state.load(std::memory_order_relaxed);
    if ((state & kExclusive) == 0 &&
        m_state.compare_exchange_weak(state, state + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
      return;
    }
    LockReadContended();  // the exclusive owner's re-entry too
  }
  void UnlockRead() KELCACHE_RELEASE_SHARED() KELCACHE_NO_THREAD_SAFETY_ANALYSIS {
    // While the caller holds a shared lock nobody holds the exclusive one,
    // unless the caller itself does and its shared hold was a re-entry.
    if ((m_state.load(std::memory_order_relaxed) & kExclusive) != 0) {
      Unlock();
      return;
    }
    // Only the last shared holder's release can admit a writer.
    if (m_state.fetch_sub(1, std::memory_order_seq_cst) == 1) WakeSleepers();
  }
  bool TryLock() KELCACHE_TRY_ACQUIRE(true) KELCACHE_NO_THREAD_SAFETY_ANALYSIS;
  bool TryLockRead() KELCACHE_TRY_ACQUIRE_SHARED(true) KELCACHE_NO_THREAD_SAFETY_ANALYSIS;
  // True when the calling thread holds the lock exclusively.
  bool IsLockedByCurrentThread() const;
  // Tells the lock analysis that the caller holds the lock, where it cannot
  // see it: in a lambda that runs while its caller holds the lock.
  void AssertHeld() const KELCACHE_ASSERT_CAPABILITY(this) {}
  void AssertReaderHeld() const KELCACHE_ASSERT_SHARED_CAPABILITY(this) {}

 private:
  // m_state: kExclusive while a thread holds the lock exclusively, else the
  // number of shared holds. Only compare-and-swap and fetch-sub change it.
  static constexpr uint32_t kExclusive = 0x80000000u;
  bool TryAcquireExclusive() {
    uint32_t expected = 0;
    return m_state.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                           std::memory_order_relaxed);
  }
  bool TryAcquireShared();
  void LockContended();
  void LockReadContended();
  // Wakes the sleepers, if any; after a release of the word.
  void WakeSleepers() {
    if (m_sleepers.load(std::memory_order_seq_cst) != 0) WakeAll();
  }
  void WakeAll();
  // Spins, then sleeps, until `admits(state)` holds for a state it read;
  // returns without taking anything (the caller retries its acquisition).
  template <class Admits>
  void WaitUntil(Admits admits);

  std::atomic<uint32_t> m_state{0};
  // Threads asleep, or about to sleep, on m_state: a release wakes them only
  // when there are any, so an uncontended release makes no system call.
  std::atomic<uint32_t> m_sleepers{0};
  // The exclusive holder, or a default id. Written only by the holder while
  // it holds the lock exclusively; read by any thread to recognise re-entry.
  std::atomic<std::thread::id> m_owner{};
  // Nested holds of the exclusive owner beyond the first; only the owner
  // touches it.
  unsigned m_depth = 0;
};
