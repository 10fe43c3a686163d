#include "host/redis/RedisBackOff.h"

#include <algorithm>

#include "host/TFormatString.h"
#include "host/TLog.h"
#include "host/TMutex.h"

namespace kelvra::caching {

RedisBackOff::RedisBackOff(RedisServerAddress address) : m_address(std::move(address)) {}

bool RedisBackOff::MayConnect(std::string* lastFailure) const {
  TMutexLock lock(m_mutex);
  if (Clock::now() >= m_retryAfter) return true;
  if (lastFailure) *lastFailure = m_lastFailure;
  return false;
}

void RedisBackOff::NoteFailure(const std::exception& error) {
  int failures;
  long long backOffMs;
  {
    TMutexLock lock(m_mutex);
    failures = ++m_failures;
    auto backOff = std::min<std::chrono::milliseconds>(kMax, kFirst * (1LL << std::min(failures - 1, 5)));
    backOffMs = backOff.count();
    m_retryAfter = Clock::now() + backOff;
    m_lastFailure = error.what();
  }
  LogMessage(failures == 1 ? TLog::Warn : TLog::Debug,
             TFormatString(u"RedisConnectionPool: no connection to %1 (%2); new connections wait %3 ms")
                 .arg(TString::fromStdString(m_address.ToString()))
                 .arg(TString::fromStdString(error.what()))
                 .arg(backOffMs));
}

void RedisBackOff::NoteSuccess() {
  int failures;
  {
    TMutexLock lock(m_mutex);
    failures = m_failures;
    m_failures = 0;
    m_retryAfter = {};
    m_lastFailure.clear();
  }
  if (failures > 0) {
    LogMessage(TLog::Info,
               TFormatString(u"RedisConnectionPool: connected to %1 again after %2 failed attempts")
                   .arg(TString::fromStdString(m_address.ToString()))
                   .arg(failures));
  }
}

}  // namespace kelvra::caching
