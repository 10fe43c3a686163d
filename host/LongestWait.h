// The longest span the host's timed waits and time-outs take as given. A
// longer one stands for "for good": nobody tells a century from forever, and
// "now + span" then overflows no clock the library reads (steady_clock counts
// nanoseconds, about 292 years of them).
#pragma once

#include <algorithm>
#include <chrono>

namespace host_internal {

inline constexpr std::chrono::hours kCentury{24 * 365 * 100};

// `timeout` held between 0 and a century.
inline std::chrono::milliseconds WithinACentury(std::chrono::milliseconds timeout) {
  return std::clamp(timeout, std::chrono::milliseconds(0), std::chrono::milliseconds(kCentury));
}

}  // namespace host_internal
