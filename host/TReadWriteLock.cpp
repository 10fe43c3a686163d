#include "host/TReadWriteLock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

namespace {

// How many times a waiter re-reads the lock's word before it sleeps: about
// 3-10 microseconds with a pause between reads, less than one sleep and wake.
constexpr int kSpinReads = 256;

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// The futex calls take the word's address; std::atomic<uint32_t> is a plain
// 32-bit word with the same address on the platforms this builds on.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

void FutexWait(std::atomic<uint32_t>& word, uint32_t expected) {
  // Returns at once when the word no longer holds `expected`; spurious
  // wake-ups are fine, every caller re-checks.
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void FutexWakeAll(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace

TReadWriteLock::TReadWriteLock(unsigned) {}

TReadWriteLock::~TReadWriteLock() = default;

bool TReadWriteLock::IsLockedByCurrentThread() const {
  // Without an owner there is no need to ask who the calling thread is.
  const std::thread::id owner = m_owner.load(std::memory_order_relaxed);
  return owner != std::thread::id() && owner == std::this_thread::get_id();
}

bool TReadWriteLock::TryAcquireShared() {
  uint32_t state = m_state.load(std::memory_order_relaxed);
  while ((state & kExclusive) == 0) {
    if (m_state.compare_exchange_weak(state, state + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
      return true;
    }
  }
  return false;
}

template <class Admits>
void TReadWriteLock::WaitUntil(Admits admits) {
  for (int i = 0; i < kSpinReads; ++i) {
    if (admits(m_state.load(std::memory_order_relaxed))) return;
    CpuRelax();
  }
  // Registering as a sleeper and then reading the word (both sequentially
  // consistent) pairs with a release's change of the word followed by its
  // read of m_sleepers: either this thread sees the release, or the release
  // sees the sleeper and wakes it; the futex refuses to sleep on a word that
  // changed in between.
  m_sleepers.fetch_add(1, std::memory_order_seq_cst);
  const uint32_t state = m_state.load(std::memory_order_seq_cst);
  if (!admits(state)) FutexWait(m_state, state);
  m_sleepers.fetch_sub(1, std::memory_order_relaxed);
}

void TReadWriteLock::WakeAll() {
  FutexWakeAll(m_state);
}

void TReadWriteLock::LockContended() {
  if (IsLockedByCurrentThread()) {
    ++m_depth;
    return;
  }
  while (!TryAcquireExclusive()) {
    WaitUntil([](uint32_t state) { return state == 0; });
  }
  m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

bool TReadWriteLock::TryLock() {
  if (IsLockedByCurrentThread()) {
    ++m_depth;
    return true;
  }
  if (!TryAcquireExclusive()) return false;
  m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
  return true;
}

void TReadWriteLock::LockReadContended() {
  // The exclusive owner reads under its own hold.
  if (IsLockedByCurrentThread()) {
    ++m_depth;
    return;
  }
  while (!TryAcquireShared()) {
    WaitUntil([](uint32_t state) { return (state & kExclusive) == 0; });
  }
}

bool TReadWriteLock::TryLockRead() {
  if (IsLockedByCurrentThread()) {
    ++m_depth;
    return true;
  }
  return TryAcquireShared();
}

