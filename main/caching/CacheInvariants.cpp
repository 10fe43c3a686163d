#include "public/caching/CacheInvariants.h"

#include <map>

#include "host/AppConfig.h"
#include "host/FeatureFlags.h"
#include "host/SessionActorInfo.h"
#include "host/TFormatString.h"
#include "host/TLog.h"

namespace kelvra::caching {

const TString siteLuidAttributeName(u"site-luid");
const TString userLuidAttributeName(u"user-luid");

namespace {

constexpr FeatureFlagId kEnforceCacheInvariantsFlag = 1684062432;  // 0x6460C0E0

struct Switches {
  bool skipEnforcement;
  bool quiet;
};

// Computed once per process, on the first call (thread-safe static
// initialisation), in the order the conditions are listed.
const Switches& GetSwitches() {
  static const Switches switches = [] {
    AppConfig& config = AppConfig::GetInstance();
    bool skip = !FeatureFlags::IsOn(kEnforceCacheInvariantsFlag) || AppConfig::IsOpenGalleryServer() ||
                AppConfig::IsAuthoringClient() || AppConfig::IsFlowAuthoringClient() ||
                AppConfig::IsGatewayAgent() || config.GetTestMode() || config.GetUnitTestFlag() ||
                config.GetIsExternalProtocolServer();
    bool quiet = AppConfig::IsAuthoringClient() || AppConfig::IsFlowAuthoringClient() ||
                 AppConfig::IsOpenGalleryServer() || config.GetIsExternalProtocolServer();
    return Switches{skip, quiet};
  }();
  return switches;
}

bool IsMissing(const TString& luid) {
  return luid.empty() || luid == u"-";
}

void WarnUnlessQuiet(const Switches& switches, const char16_t* pattern) {
  if (!switches.quiet) LogMessage(TLog::Warn, TFormatString(pattern).arg(switches.skipEnforcement ? 1 : 0));
}

}  // namespace

ConstraintEnforcementResult EnforceCacheInvariantsWithUpsert(std::unordered_map<TString, TString>& attributes,
                                                             CacheScope scope) {
  const Switches& switches = GetSwitches();
  SessionActorInfo actor = SessionActorInfo::GetSessionActorInfoFromThread();
  TString siteLuid = actor.GetSiteLuid();
  if (!IsMissing(siteLuid)) {
    if (!switches.skipEnforcement) attributes.insert_or_assign(siteLuidAttributeName, siteLuid);
  } else {
    WarnUnlessQuiet(switches, u"CacheInvariant failure on siteLuid skipEnforcement(%1)");
    if (!switches.skipEnforcement) return ConstraintEnforcementResult::MissingSiteLuid;
  }
  if (scope != CacheScope::PerUser) return ConstraintEnforcementResult::Passed;

  TString userLuid = actor.GetUserLuid();
  if (!IsMissing(userLuid)) {
    attributes.insert_or_assign(userLuidAttributeName, userLuid);
    return ConstraintEnforcementResult::Passed;
  }
  WarnUnlessQuiet(switches, u"CacheInvariant failure on userLuid skipEnforcement(%1)");
  if (!switches.skipEnforcement) return ConstraintEnforcementResult::MissingUserLuid;
  attributes.insert_or_assign(userLuidAttributeName, userLuid);
  return ConstraintEnforcementResult::Passed;
}

TString ConstraintEnforcementResultToString(ConstraintEnforcementResult result) {
  // Filled once, on the first call (thread-safe static initialisation), and
  // never destroyed: other threads may still call this while the process exits.
  static const std::map<int, TString>& texts = *new std::map<int, TString>{
      {static_cast<int>(ConstraintEnforcementResult::None), TString(u"none")},
      {static_cast<int>(ConstraintEnforcementResult::MissingSiteLuid), TString(u"missing-site-luid")},
      {static_cast<int>(ConstraintEnforcementResult::MissingUserLuid), TString(u"missing-user-luid")},
      {static_cast<int>(ConstraintEnforcementResult::Passed), TString(u"passed")},
  };
  auto it = texts.find(static_cast<int>(result));
  return it == texts.end() ? TString(u"unknown") : it->second;
}

}  // namespace kelvra::caching
