// LogRateLimiter: keeps a line that can repeat fast (a failing callback fed
// by a burst of bad messages, say) from flooding the log. The first `burst`
// lines are written in full; after that one line per `interval`, carrying
// the number of lines left out since the last one written.
//
//   static LogRateLimiter limiter(5, std::chrono::seconds(10));
//   if (auto decision = limiter.Next(); decision.write) {
//     LogMessage(TLog::Warn, TString(u"...") + decision.LeftOutNote());
//   }
//
// A line that carries its values as fields (TLog::LogCurrentException) puts
// the count in the value "suppressed" instead.
//
// Thread rules: thread-safe; m_mutex guards every member.
#pragma once

#include <chrono>
#include <cstdint>

#include "host/Export.h"
#include "host/TMutex.h"
#include "host/TString.h"
#include "host/ThreadAnnotations.h"

class KELCACHE_EXPORT LogRateLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  struct Decision {
    bool write = false;
    uint64_t suppressed = 0;  // lines left out before this one (when written)

    // The end of a written line that says how many were left out before it:
    // " (N more such lines left out)", or nothing when none was. One wording
    // for every rate-limited line, so that a reader can search for it.
    TString LeftOutNote() const;
  };

  LogRateLimiter(unsigned burst, std::chrono::milliseconds interval);

  // Whether the line at hand is to be written.
  Decision Next();
  // The same at a given time (for tests).
  Decision NextAt(Clock::time_point now);

 private:
  const unsigned m_burst;
  const std::chrono::milliseconds m_interval;
  TMutex m_mutex;
  // Lines that may still be written at once: the burst, then one more for
  // each whole interval since m_refilledAt (never more than the burst).
  unsigned m_tokens KELCACHE_GUARDED_BY(m_mutex);
  Clock::time_point m_refilledAt KELCACHE_GUARDED_BY(m_mutex);
  uint64_t m_suppressed KELCACHE_GUARDED_BY(m_mutex) = 0;
  bool m_started KELCACHE_GUARDED_BY(m_mutex) = false;
};
