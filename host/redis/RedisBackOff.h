// RedisBackOff: how long new connections to one server wait after attempts
// to connect have failed, shared by every pipe to that server.
//
// After a failed attempt no new one is made for a back-off time that starts
// at 100 ms and doubles up to 2 s while attempts keep failing; meanwhile
// requests that would need a new connection fail at once instead of each
// waiting for a connect time-out. A successful connection ends the back-off.
// The first failure of an outage is logged at Warn (later ones at Debug), the
// recovery at Info.
//
// Thread rules: thread-safe. m_mutex guards every member below it; it is a
// leaf lock (nothing is called while holding it; logging happens after it is
// released), so callers may hold their own locks around these calls.
#pragma once

#include <chrono>
#include <exception>
#include <string>

#include "host/ThreadAnnotations.h"
#include "host/redis/RedisConfiguration.h"
#include "host/TMutex.h"

namespace kelvra::caching {

class RedisBackOff {
 public:
  explicit RedisBackOff(RedisServerAddress address);
  RedisBackOff(const RedisBackOff&) = delete;
  RedisBackOff& operator=(const RedisBackOff&) = delete;

  // Whether a connection may be attempted now. When not, *lastFailure (when
  // given) says why the last attempt failed.
  bool MayConnect(std::string* lastFailure = nullptr) const;
  void NoteFailure(const std::exception& error);
  void NoteSuccess();

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kFirst{100};
  static constexpr std::chrono::milliseconds kMax{2000};

  const RedisServerAddress m_address;
  mutable TMutex m_mutex;
  int m_failures KELCACHE_GUARDED_BY(m_mutex) = 0;                // failed attempts in a row
  Clock::time_point m_retryAfter KELCACHE_GUARDED_BY(m_mutex){};  // no attempt before this
  std::string m_lastFailure KELCACHE_GUARDED_BY(m_mutex);
};

}  // namespace kelvra::caching
