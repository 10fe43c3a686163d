#include "host/LockDetectionTimer.h"

#include <atomic>
#include <cmath>

#include "host/AppOptions.h"
#include "host/TFormatString.h"
#include "host/TLog.h"

namespace {

// Starts from the option LockDetectionThresholdMs (read once, on first use);
// SetThresholdMs changes it at run time.
std::atomic<double>& Threshold() {
  static std::atomic<double> threshold{static_cast<double>(kelvra::appoptions::LockDetectionThresholdMs())};
  return threshold;
}

double MillisecondsBetween(std::chrono::steady_clock::time_point from,
                           std::chrono::steady_clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace

LockDetectionTimer::LockDetectionTimer(const TString& name) : m_name(name), m_created(Clock::now()) {}

void LockDetectionTimer::StartBlock() {
  m_blockStart = Clock::now();
  m_blockStarted = true;
}

LockDetectionTimer::~LockDetectionTimer() {
  if (!m_blockStarted) return;
  const double heldMs = MillisecondsBetween(m_blockStart, Clock::now());
  const double waitedMs = MillisecondsBetween(m_created, m_blockStart);
  const double thresholdMs = GetThresholdMs();
  if ((heldMs <= thresholdMs && waitedMs <= thresholdMs) || !LoggerAcceptsSeverity(TLog::Warn)) return;
  try {
    // %1 the lock's name, %2 the whole time held or waited (over the
    // threshold), %3 the threshold.
    auto warn = [&](const wchar_t* text, double ms) {
      LogMessage(TLog::Warn, TFormatString(text)
                                 .arg(m_name)
                                 .arg(TString::number(ms, 'f', 1))
                                 .arg(TString::number(thresholdMs)));
    };
    if (heldMs > thresholdMs) warn(L"LockDetectionTimer: lock '%1' was held for %2 ms (threshold %3 ms).", heldMs);
    if (waitedMs > thresholdMs) {
      warn(L"LockDetectionTimer: waited %2 ms to acquire lock '%1' (threshold %3 ms).", waitedMs);
    }
  } catch (...) {
    // Building the text ran out of memory: the report is lost, not the caller.
  }
}

void LockDetectionTimer::SetThresholdMs(double thresholdMs) noexcept {
  if (std::isnan(thresholdMs)) return;  // no threshold: every hold would be reported
  Threshold().store(thresholdMs < 0 ? 0.0 : thresholdMs);
}

double LockDetectionTimer::GetThresholdMs() noexcept {
  return Threshold().load();
}
