#include "host/WaitEvent.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <thread>

#include "host/AppOptions.h"
#include "host/LongestWait.h"

namespace AsyncTask {

namespace {

using Clock = std::chrono::steady_clock;

// The first rounds of a spin only pause the core (cheap, keeps the cache line
// hot); later rounds yield the CPU to any thread that can run on it.
constexpr uint32_t kPauseRounds = 16;

// The longest spin the option AsyncTaskSpinMicroseconds may ask for: past a
// few milliseconds a spinner only keeps a core from the thread it waits for.
constexpr int kMaxSpinMicroseconds = 10000;

// Turns handed out to spinners, newest last. A spinner whose turn is
// MaxSpinners() or more behind the newest stops spinning.
std::atomic<uint64_t> s_spinTurns{0};

uint64_t MaxSpinners() {
  static const uint64_t s_max = std::max(1u, std::thread::hardware_concurrency() / 2);
  return s_max;
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, the clock
// behind std::chrono::steady_clock, so repeated waits never drift.
long FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const Clock::time_point* deadline) {
  timespec absolute{};
  if (deadline) {
    const auto sinceEpoch = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch());
    absolute.tv_sec = static_cast<time_t>(std::max<int64_t>(sinceEpoch.count(), 0) / 1000000000);
    absolute.tv_nsec = static_cast<long>(std::max<int64_t>(sinceEpoch.count(), 0) % 1000000000);
  }
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_BITSET_PRIVATE, expected,
                 deadline ? &absolute : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
}

void FutexWakeAll(std::atomic<uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace

// --- AdaptiveSpin -------------------------------------------------------------

AdaptiveSpin::AdaptiveSpin()
    : m_turn(s_spinTurns.fetch_add(1, std::memory_order_relaxed) + 1),
      m_start(Clock::now()),
      m_budget(std::chrono::microseconds(
          std::clamp(kelvra::appoptions::AsyncTaskSpinMicroseconds(), 0, kMaxSpinMicroseconds))) {}

bool AdaptiveSpin::Next() {
  if (m_budget.count() == 0) return false;
  if (s_spinTurns.load(std::memory_order_relaxed) - m_turn >= MaxSpinners()) return false;
  if (++m_rounds <= kPauseRounds) {
    CpuRelax();
    return true;
  }
  if (Clock::now() - m_start > m_budget) return false;
  // Yield between checks: the thread being waited for may be queued on this
  // very CPU, and a spinner that only paused would keep it off until the
  // budget ran out (measured: stores ten times slower).
  sched_yield();
  return true;
}

// --- WaitEvent ----------------------------------------------------------------

void WaitEvent::Set() {
  if (m_word.exchange(kSet, std::memory_order_acq_rel) == kClearWithSleepers) FutexWakeAll(&m_word);
}

void WaitEvent::Wait() {
  if (IsSet()) return;
  AdaptiveSpin spin;
  while (!IsSet()) {
    if (!spin.Next()) {
      Sleep(nullptr);
      return;
    }
  }
}

bool WaitEvent::WaitUntil(Clock::time_point deadline) {
  if (IsSet()) return true;
  AdaptiveSpin spin;
  while (!IsSet()) {
    if (Clock::now() >= deadline) return false;
    if (!spin.Next()) return Sleep(&deadline);
  }
  return true;
}

bool WaitEvent::WaitForNanoseconds(std::chrono::nanoseconds timeout) {
  if (timeout > host_internal::kCentury) {  // for good
    Wait();
    return true;
  }
  return WaitUntil(Clock::now() + std::max(timeout, std::chrono::nanoseconds(0)));
}

bool WaitEvent::Sleep(const Clock::time_point* deadline) {
  for (;;) {
    uint32_t word = m_word.load(std::memory_order_acquire);
    if (word == kSet) return true;
    if (word == kClear &&
        !m_word.compare_exchange_weak(word, kClearWithSleepers, std::memory_order_acquire)) {
      continue;  // changed meanwhile: look again
    }
    if (FutexWait(&m_word, kClearWithSleepers, deadline) != 0 && errno == ETIMEDOUT) return IsSet();
  }
}

}  // namespace AsyncTask
