#include "host/TSystem.h"

#include <atomic>
#include <cstdint>

namespace {

// Every thread gets a number of its own at its first ask, never reused within
// the process: a thread that ends while marked cannot pass the mark on to a
// later thread (as an address of thread-local storage, reused by the next
// thread, could).
constinit std::atomic<uint64_t> s_lastThreadNumber{0};

uint64_t ThisThreadNumber() {
  thread_local const uint64_t t_number = s_lastThreadNumber.fetch_add(1, std::memory_order_relaxed) + 1;
  return t_number;
}

// The marked thread's number, or 0 while none is marked. Constant-initialised,
// so the mark works from static initialisers.
constinit std::atomic<uint64_t> s_authoringClientMainThread{0};

}  // namespace

bool TSystem::IsAuthoringClientMainThread() {
  return s_authoringClientMainThread.load(std::memory_order_acquire) == ThisThreadNumber();
}

void TSystem::SetAuthoringClientMainThread() {
  s_authoringClientMainThread.store(ThisThreadNumber(), std::memory_order_release);
}

void TSystem::ClearAuthoringClientMainThread() {
  s_authoringClientMainThread.store(0, std::memory_order_release);
}
