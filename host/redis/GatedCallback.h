// GatedCallback: a callback that can be closed for good, for subscriptions
// and reconnect listeners.
//
// Invoke runs the function while holding the gate, unless Close ran before.
// Close takes the gate, so it waits for a call in progress on another thread;
// once Close returns the function never runs again. That is what lets
// Unsubscribe promise "no callback after it returns", even for a message that
// was already being delivered. The gate is recursive, so a callback may close
// its own subscription (Close from inside Invoke on the same thread returns at
// once).
//
// Thread rules: thread-safe. m_gate guards m_open and is held during calls.
// Whoever calls Close must not hold a lock that the function takes.
#pragma once

#include <functional>
#include <utility>

#include "host/LockGuards.h"
#include "host/TRecursiveMutex.h"
#include "host/ThreadAnnotations.h"

namespace kelvra::caching {

template <class... Args>
class GatedCallback {
 public:
  explicit GatedCallback(std::function<void(Args...)> function) : m_function(std::move(function)) {}

  // Calls the function unless closed; true when it was called. An exception
  // from the function passes to the caller (the gate is released).
  template <class... CallArgs>
  bool Invoke(CallArgs&&... args) {
    TWriteLockGuard gate(m_gate);
    if (!m_open) return false;
    if (m_function) m_function(std::forward<CallArgs>(args)...);
    return true;
  }

  void Close() {
    TWriteLockGuard gate(m_gate);
    m_open = false;
  }

 private:
  const std::function<void(Args...)> m_function;
  TRecursiveMutex m_gate;
  bool m_open KELCACHE_GUARDED_BY(m_gate) = true;
};

}  // namespace kelvra::caching
