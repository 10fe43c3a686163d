// Cache-key invariants: the site and user attributes of cache keys.
//
// The host describes a cache key by a map of attribute names to values. Every
// such key must carry the site ("site-luid") on whose behalf the current
// thread works, and a per-user key also the user ("user-luid"), so that
// entries cached for one site or user are keyed apart from another's.
// EnforceCacheInvariantsWithUpsert checks and completes a key's map before the
// host files or looks up the entry.
//
// Enforcement is on only in some host editions and behind feature flag
// 0x6460C0E0; elsewhere the function reports success. Two process-wide
// switches decide it, computed once on the first call and never again:
//   skipEnforcement: the flag is off, or the host is an open gallery server,
//     an authoring client, a flow authoring client or a gateway agent, or runs
//     in test mode, as a unit test, or as an external protocol server;
//   quiet: the host is an authoring client, a flow authoring client, an open
//     gallery server or an external protocol server (no failure warnings).
//
// A luid is missing when it is empty or "-". Decision table:
//
//   | skip  | site    | scope 1 | user    | writes              | result                        |
//   |-------|---------|---------|---------|---------------------|-------------------------------|
//   | false | present | no      | any     | site                | Passed                        |
//   | false | present | yes     | present | site, user          | Passed                        |
//   | false | present | yes     | missing | site                | MissingUserLuid (warning)     |
//   | false | missing | any     | any     | nothing             | MissingSiteLuid (warning)     |
//   | true  | present | no      | any     | nothing             | Passed                        |
//   | true  | any     | yes     | present | user                | Passed (site warning if none) |
//   | true  | any     | yes     | missing | user (missing text) | Passed (warnings)             |
//   | true  | missing | no      | any     | nothing             | Passed (site warning)         |
//
// Thread rules: any thread; the switches are initialised thread-safely. The
// caller owns the map and must not share it during the call.
#pragma once

#include <unordered_map>

#include "host/Export.h"
#include "host/TString.h"

namespace kelvra::caching {

KELCACHE_EXPORT extern const TString siteLuidAttributeName;  // "site-luid"
KELCACHE_EXPORT extern const TString userLuidAttributeName;  // "user-luid"

// The scope of a cache key: a per-user key needs the user as well as the site.
enum class CacheScope : int {
  PerSite = 0,
  PerUser = 1,
};

enum class ConstraintEnforcementResult : int {
  None = 0,
  MissingSiteLuid = 1,
  MissingUserLuid = 2,
  Passed = 3,
};

// Checks and fills in "site-luid" and "user-luid" from the current thread's
// actor (see the table above). Never returns None; never throws for a missing
// luid (failures are results).
KELCACHE_EXPORT ConstraintEnforcementResult
EnforceCacheInvariantsWithUpsert(std::unordered_map<TString, TString>& attributes, CacheScope scope);

// "none", "missing-site-luid", "missing-user-luid", "passed", or "unknown" for
// any other value.
KELCACHE_EXPORT TString ConstraintEnforcementResultToString(ConstraintEnforcementResult result);

}  // namespace kelvra::caching
