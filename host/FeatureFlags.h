// FeatureFlags: numbered switches that turn individual behaviours of the
// host product on or off (the library asks for 0x6460C0E0 and 0x94AA12A3).
//
// Every flag is off unless something turns it on:
//   - the environment variable KELCACHE_FEATURE_FLAGS, read once on the first
//     use of any flag: a comma-separated list of ids in decimal or 0x-hex,
//     each optionally followed by "=1" (on, the same as nothing) or "=0"
//     (off), applied left to right. Example: "0x6460C0E0, 2494173859=1".
//     Items that do not parse are reported on stderr (naming the variable and
//     the item) and skipped; the others still apply;
//   - Set / SetFromText at run time;
//   - ScopedOverride in tests.
//
// Thread rules: thread-safe. IsOn may be called from any thread at once and
// costs one atomic load while no flag is on; otherwise a shared (reader)
// lock around a set lookup.
#pragma once

#include <boost/core/noncopyable.hpp>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "host/Export.h"

using FeatureFlagId = uint32_t;

class KELCACHE_EXPORT FeatureFlags {
 public:
  // Whether the flag is on. Set turns it on or off for the whole process,
  // at once, for every thread.
  static bool IsOn(FeatureFlagId id);
  static void Set(FeatureFlagId id, bool on);

  // Parses a flag list in the form of KELCACHE_FEATURE_FLAGS; empty items are
  // skipped. Throws std::invalid_argument naming the first bad item.
  static std::vector<std::pair<FeatureFlagId, bool>> ParseFlagList(std::string_view text);
  // Parses a flag list and applies it; nothing changes when it throws.
  static void SetFromText(std::string_view text);

  // Sets one flag for the life of the object, then puts back its earlier
  // state. Overrides of one flag nest when destroyed in reverse order.
  class KELCACHE_EXPORT ScopedOverride : boost::noncopyable {
   public:
    ScopedOverride(FeatureFlagId id, bool on);
    ~ScopedOverride();

   private:
    FeatureFlagId m_id;
    bool m_previous;
  };
};
