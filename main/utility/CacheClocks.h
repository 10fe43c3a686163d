// Cache clocks: the logical time that a cache stamps its entries with and that
// lifetime-based eviction compares against.
//
// - BasicClockObject counts ticks from 0; time passes only through Increment.
//   Every cache that is given no clock makes one (CreateBasicClock).
// - SystemBasedClock reads the host's UTC milliseconds; it advances by itself
//   and Increment changes nothing.
//
// Ownership: a clock belongs to exactly one cache, through
// std::unique_ptr<IClock>, and dies with it or when the cache gets a new one.
//
// Thread rules: not synchronized; the owning cache serializes access.
#pragma once

#include <cstdint>
#include <memory>

#include "host/Export.h"

namespace CacheHelpers {

struct KELCACHE_EXPORT IClock {
  virtual ~IClock();
  // The current value of the clock.
  virtual uint64_t GetTime() = 0;
  // Advances the clock (by one tick, or not at all for a wall clock).
  virtual void Increment() = 0;
};

class KELCACHE_EXPORT BasicClockObject : public IClock {
 public:
  uint64_t GetTime() override;
  void Increment() override;

 private:
  uint64_t m_ticks = 0;
};

class KELCACHE_EXPORT SystemBasedClock : public IClock {
 public:
  // DateTime::TotalMillisecondsFromMinDateTimeUTC() at the moment of the call.
  uint64_t GetTime() override;
  // Does nothing: the wall clock advances by itself.
  void Increment() override;
};

// A new tick clock reading 0.
KELCACHE_EXPORT std::unique_ptr<IClock> CreateBasicClock();
// A new wall clock; pass it to a cache constructor for ageing in milliseconds.
KELCACHE_EXPORT std::unique_ptr<IClock> CreateSystemClock();

}  // namespace CacheHelpers
