#include "host/ForkGeneration.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<uint64_t> s_forkGeneration{0};

// The cached process id with the generation it belongs to: (generation + 1)
// in the high 32 bits, the id in the low ones; 0 before the first call.
std::atomic<uint64_t> s_cachedProcessId{0};

}  // namespace

uint64_t ForkGeneration() {
  static const bool s_forkHandler = [] {
    pthread_atfork(nullptr, nullptr, [] { s_forkGeneration.fetch_add(1, std::memory_order_relaxed); });
    return true;
  }();
  (void)s_forkHandler;
  return s_forkGeneration.load(std::memory_order_relaxed);
}

pid_t CurrentProcessId() {
  const uint64_t tag = ((ForkGeneration() + 1) & 0xFFFFFFFFu) << 32;
  const uint64_t cached = s_cachedProcessId.load(std::memory_order_relaxed);
  if ((cached & ~uint64_t{0xFFFFFFFFu}) == tag) return static_cast<pid_t>(cached & 0xFFFFFFFFu);
  const pid_t pid = ::getpid();
  s_cachedProcessId.store(tag | static_cast<uint32_t>(pid), std::memory_order_relaxed);
  return pid;
}
