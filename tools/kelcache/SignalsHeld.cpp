#include "tools/kelcache/SignalsHeld.h"

#include <csignal>

namespace kelcache_cli {
namespace {

constexpr std::array<int, 4> kHeld = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The signal that came while held (0: none). Written by the handler, on any
// thread; a lock-free atomic, so safe there.
volatile std::sig_atomic_t s_remembered = 0;

extern "C" void Remember(int signal) { s_remembered = signal; }

}  // namespace

SignalsHeld::SignalsHeld() {
  s_remembered = 0;
  struct sigaction remember {};
  remember.sa_handler = Remember;
  sigemptyset(&remember.sa_mask);
  remember.sa_flags = SA_RESTART;  // system calls under way go on, as if nothing came
  for (size_t i = 0; i < kHeld.size(); ++i) sigaction(kHeld[i], &remember, &m_previous[i]);
}

SignalsHeld::~SignalsHeld() {
  for (size_t i = 0; i < kHeld.size(); ++i) sigaction(kHeld[i], &m_previous[i], nullptr);
  if (const int signal = s_remembered; signal != 0) {
    s_remembered = 0;
    std::raise(signal);
  }
}

}  // namespace kelcache_cli
