#include "host/LogRateLimiter.h"
#include "host/TMutex.h"

#include <algorithm>

LogRateLimiter::LogRateLimiter(unsigned burst, std::chrono::milliseconds interval)
    : m_burst(std::max(1u, burst)), m_interval(std::max(interval, std::chrono::milliseconds(1))),
      m_tokens(m_burst) {}

TString LogRateLimiter::Decision::LeftOutNote() const {
  if (suppressed == 0) return TString();
  return TString(u" (") + TString::number(static_cast<unsigned long long>(suppressed)) +
         TString(u" more such lines left out)");
}

LogRateLimiter::Decision LogRateLimiter::Next() {
  return NextAt(Clock::now());
}

LogRateLimiter::Decision LogRateLimiter::NextAt(Clock::time_point now) {
  TMutexLock lock(m_mutex);
  if (!m_started) {
    m_started = true;
    m_refilledAt = now;
  }
  if (m_tokens >= m_burst) {
    m_refilledAt = now;  // a full bucket earns nothing more
  } else if (now > m_refilledAt) {
    const auto whole = (now - m_refilledAt) / m_interval;
    if (whole > 0) {
      m_tokens = static_cast<unsigned>(std::min<decltype(whole)>(m_burst, m_tokens + whole));
      m_refilledAt += whole * m_interval;
    }
  }
  Decision decision;
  if (m_tokens > 0) {
    --m_tokens;
    decision.write = true;
    decision.suppressed = m_suppressed;
    m_suppressed = 0;
  } else {
    ++m_suppressed;
  }
  return decision;
}
