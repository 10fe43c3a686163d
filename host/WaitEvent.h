// WaitEvent: a flag that threads wait for, cheap to hand over between threads.
//
//   AsyncTask::WaitEvent done;
//   // thread A                      // thread B
//   done.Wait();                     done.Set();
//
// A hand-over between threads costs mostly the wake-up of a thread that sleeps
// in the kernel: tens of microseconds on a virtual machine whose idle CPU has
// halted. So a waiter first spins for a short while (AdaptiveSpin below) and
// only then sleeps on a futex; Set makes a system call only when a waiter
// sleeps. Spinning is rationed process-wide, newest waiter first, so that
// spinners never take the CPUs that the threads they wait for need.
//
// States of the word: 0 clear, 1 set, 2 clear with sleepers. Set wakes every
// waiter; Reset clears a set event for reuse by its single consumer (a
// worker's parking event, say) and must not race with waiters.
//
// Memory order: Set releases and a wait that sees the event set acquires, so
// what the setter wrote before Set is visible to the waiter after its wait.
//
// Thread rules: thread-safe; any number of threads may wait, any thread may
// set. The event must outlive every Set and Wait on it (a setter that wakes
// a waiter touches the event after the waiter may have returned: hold a
// reference, as the future's shared state does).
#pragma once

#include <atomic>
#include <boost/core/noncopyable.hpp>
#include <chrono>
#include <cstdint>

#include "host/Export.h"
#include "host/LongestWait.h"

namespace AsyncTask {

class KELCACHE_EXPORT WaitEvent : boost::noncopyable {
 public:
  WaitEvent() = default;

  bool IsSet() const { return m_word.load(std::memory_order_acquire) == kSet; }
  // Sets the event and wakes every waiter. Setting a set event does nothing.
  void Set();
  // Clears a set event. Only the event's single consumer calls it, after its
  // wait returned, while nobody else waits.
  void Reset() { m_word.store(kClear, std::memory_order_relaxed); }

  // Waits until the event is set.
  void Wait();
  // Waits until the event is set or `deadline` passes; true when set.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline);
  // WaitUntil(now + timeout); negative counts as 0, spans over a century as
  // no limit, in any unit (milliseconds::max() too, which in nanoseconds
  // would overflow).
  template <class Rep, class Period>
  bool WaitFor(std::chrono::duration<Rep, Period> timeout) {
    using Seconds = std::chrono::duration<double>;
    if (Seconds(timeout) > Seconds(host_internal::kCentury)) return WaitForNanoseconds(std::chrono::nanoseconds::max());
    return WaitForNanoseconds(std::chrono::duration_cast<std::chrono::nanoseconds>(timeout));
  }

 private:
  static constexpr uint32_t kClear = 0;
  static constexpr uint32_t kSet = 1;
  static constexpr uint32_t kClearWithSleepers = 2;

  // WaitFor in nanoseconds; above a century, no limit.
  bool WaitForNanoseconds(std::chrono::nanoseconds timeout);
  // Sleeps in the kernel until set or the deadline (none when null).
  bool Sleep(const std::chrono::steady_clock::time_point* deadline);

  std::atomic<uint32_t> m_word{kClear};
};

// The spin phase of a WaitEvent's wait (idle pool workers and parked
// threads wait on WaitEvents of their own, so they spin here too). At most a few threads spin at a
// time, the most recent ones first; an older spinner gives up its turn when a
// newer one starts, and every spinner gives up after the spin budget (option
// AsyncTaskSpinMicroseconds; 0 turns spinning off). Spinners yield the CPU
// between checks, so a thread that becomes runnable on their CPU runs.
//
//   AdaptiveSpin spin;
//   while (!ready()) if (!spin.Next()) { sleep(); break; }
class KELCACHE_EXPORT AdaptiveSpin {
 public:
  AdaptiveSpin();
  AdaptiveSpin(const AdaptiveSpin&) = delete;
  AdaptiveSpin& operator=(const AdaptiveSpin&) = delete;

  // Pauses briefly; false once this spinner should stop spinning and sleep.
  bool Next();

 private:
  uint64_t m_turn;
  uint32_t m_rounds = 0;
  std::chrono::steady_clock::time_point m_start;
  std::chrono::nanoseconds m_budget;
};

}  // namespace AsyncTask
