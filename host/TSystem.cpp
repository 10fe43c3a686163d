#include "host/TSystem.h"

#include <atomic>

namespace {

// A thread is named by the address of its own copy of this variable: unique
// among running threads, and (unlike std::thread::id) usable in a
// constant-initialised atomic, so the mark works from static initialisers.
thread_local const char t_threadMarker = 0;

// The marked thread, or null while none is marked.
constinit std::atomic<const void*> s_authoringClientMainThread{nullptr};

}  // namespace

bool TSystem::IsAuthoringClientMainThread() {
  return s_authoringClientMainThread.load(std::memory_order_acquire) == &t_threadMarker;
}

void TSystem::SetAuthoringClientMainThread() {
  s_authoringClientMainThread.store(&t_threadMarker, std::memory_order_release);
}

void TSystem::ClearAuthoringClientMainThread() {
  s_authoringClientMainThread.store(nullptr, std::memory_order_release);
}
