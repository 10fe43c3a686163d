#include "host/redis/SigpipeGuard.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <ctime>

namespace kelvra::caching {

namespace {

std::atomic<uint64_t> s_suppressedSigpipes{0};

sigset_t SigpipeSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  return set;
}

bool SigpipePending() {
  sigset_t pending;
  sigemptyset(&pending);
  return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

}  // namespace

SigpipeGuard::SigpipeGuard() noexcept {
  int savedErrno = errno;
  sigset_t block = SigpipeSet();
  sigemptyset(&m_previousMask);
  pthread_sigmask(SIG_BLOCK, &block, &m_previousMask);
  m_wasBlocked = sigismember(&m_previousMask, SIGPIPE) == 1;
  // While SIGPIPE was not blocked here, none can be pending for this thread
  // (it would have been delivered), so only an already blocked one needs the
  // extra look.
  m_wasPending = m_wasBlocked && SigpipePending();
  errno = savedErrno;
}

SigpipeGuard::~SigpipeGuard() {
  // Keep errno as the I/O left it: callers read it to classify failures.
  int savedErrno = errno;
  if (!m_wasPending && SigpipePending()) {
    sigset_t set = SigpipeSet();
    timespec zero{0, 0};
    int taken;
    do {
      taken = sigtimedwait(&set, nullptr, &zero);
    } while (taken == -1 && errno == EINTR);
    if (taken == SIGPIPE) s_suppressedSigpipes.fetch_add(1, std::memory_order_relaxed);
  }
  if (!m_wasBlocked) pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
  errno = savedErrno;
}

uint64_t SuppressedSigpipeCount() noexcept { return s_suppressedSigpipes.load(std::memory_order_relaxed); }

}  // namespace kelvra::caching
