// Holds back the signals that end the tool (Ctrl-C's SIGINT, SIGTERM,
// SIGHUP, SIGQUIT) while an entry or an output file changes, so that an
// interruption lands before or after the change, never halfway through it:
// a store cut short would leave the key with neither its old value nor the
// new one, and an output cut short a temporary file beside the target.
//
// While a holder is alive, such a signal is only remembered, whichever
// thread of the process it reaches (the library's task threads included).
// When the holder goes, the signals' earlier handling comes back and a
// remembered signal is raised again, so it ends the tool as it would have
// (or is ignored, where it was ignored before).
//
// Thread rules: one holder at a time, on the main thread.
#pragma once

#include <signal.h>

#include <array>

namespace kelcache_cli {

class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  std::array<struct sigaction, 4> m_previous{};
};

}  // namespace kelcache_cli
