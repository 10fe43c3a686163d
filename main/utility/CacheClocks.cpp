// The logical clocks of the in-memory caches.
#include "main/utility/CacheClocks.h"

#include "host/DateTime.h"

namespace CacheHelpers {

IClock::~IClock() = default;

uint64_t BasicClockObject::GetTime() {
  return m_ticks;
}
void BasicClockObject::Increment() {
  ++m_ticks;
}

uint64_t SystemBasedClock::GetTime() {
  return DateTime::TotalMillisecondsFromMinDateTimeUTC();
}
void SystemBasedClock::Increment() {}

std::unique_ptr<IClock> CreateBasicClock() {
  return std::make_unique<BasicClockObject>();
}
std::unique_ptr<IClock> CreateSystemClock() {
  return std::make_unique<SystemBasedClock>();
}

}  // namespace CacheHelpers
