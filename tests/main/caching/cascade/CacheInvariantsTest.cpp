// The enforcement switches are fixed per process at the first call, so each
// configuration runs in a child process of its own (the DISABLED_ test below),
// started by the parent tests with the configuration in its environment.
#include <gtest/gtest.h>

#include "host/AppConfig.h"
#include "host/FeatureFlags.h"
#include "host/LogCapture.h"
#include "host/SessionActorInfo.h"
#include "public/caching/CacheInvariants.h"
#include "tests/support/ChildProcess.h"

namespace {

using kelvra::caching::CacheScope;
using kelvra::caching::ConstraintEnforcementResult;
using kelvra::caching::EnforceCacheInvariantsWithUpsert;
using Attributes = std::unordered_map<TString, TString>;

constexpr FeatureFlagId kEnforcementFlag = 0x6460C0E0;
const TString kSite(u"site-luid");
const TString kUser(u"user-luid");

struct Outcome {
  ConstraintEnforcementResult result;
  Attributes attributes;
  std::vector<TString> warnings;
};

Outcome Enforce(const TString& site, const TString& user, CacheScope scope, Attributes attributes = {}) {
  SessionActorInfo::ScopedThreadActor actor(site, user);
  TLog::Capture capture(TLog::Warn);
  Outcome outcome;
  outcome.result = EnforceCacheInvariantsWithUpsert(attributes, scope);
  outcome.attributes = std::move(attributes);
  outcome.warnings = capture.Lines();
  return outcome;
}

const CacheScope kPerUser = CacheScope::PerUser;
const CacheScope kPerSite = CacheScope::PerSite;
const CacheScope kOtherScope = static_cast<CacheScope>(7);  // anything but 1 is per-site

// Runs the whole decision table for the switches this process was started
// with: KELCACHE_TEST_SKIP (0/1) and KELCACHE_TEST_QUIET (0/1) say what to
// expect, the other variables set the configuration before the first call.
TEST(DISABLED_CacheInvariantsChild, DecisionTable) {
  const bool skip = kelcache_test::GetEnv("KELCACHE_TEST_SKIP") == "1";
  const bool quiet = kelcache_test::GetEnv("KELCACHE_TEST_QUIET") == "1";
  AppConfig::GetInstance().SetUnitTestFlag(kelcache_test::GetEnv("KELCACHE_TEST_UNIT_FLAG", "1") == "1");
  const TString skipText = TString::number(skip ? 1 : 0);
  const TString siteWarning =
      TString(u"CacheInvariant failure on siteLuid skipEnforcement(") + skipText + u")";
  const TString userWarning =
      TString(u"CacheInvariant failure on userLuid skipEnforcement(") + skipText + u")";
  auto expectWarnings = [&](const Outcome& outcome, std::vector<TString> expected) {
    if (quiet) expected.clear();
    EXPECT_EQ(outcome.warnings, expected);
  };

  // An existing attribute is overwritten by the thread's luid.
  Attributes stale{
      {kSite, TString(u"old-site")}, {kUser, TString(u"old-user")}, {TString(u"k"), TString(u"v")}};

  for (CacheScope perSite : {kPerSite, kOtherScope}) {
    Outcome o = Enforce(u"S1", u"U1", perSite, stale);
    EXPECT_EQ(o.result, ConstraintEnforcementResult::Passed);
    // A per-site key never reads the user, enforced or not.
    EXPECT_EQ(o.attributes.at(kUser), u"old-user");
    EXPECT_EQ(o.attributes.at(kSite), skip ? TString(u"old-site") : TString(u"S1"));
    EXPECT_EQ(o.attributes.size(), 3u);
    expectWarnings(o, {});
  }

  {
    Outcome o = Enforce(u"S1", u"U1", kPerUser, stale);
    EXPECT_EQ(o.result, ConstraintEnforcementResult::Passed);
    EXPECT_EQ(o.attributes.at(kSite), skip ? TString(u"old-site") : TString(u"S1"));
    EXPECT_EQ(o.attributes.at(kUser), u"U1");  // the user is written whatever skip says
    expectWarnings(o, {});
  }

  for (const char16_t* missingUser : {u"", u"-"}) {
    Outcome o = Enforce(u"S1", missingUser, kPerUser);
    if (skip) {
      EXPECT_EQ(o.result, ConstraintEnforcementResult::Passed);
      EXPECT_EQ(o.attributes, (Attributes{{kUser, TString(missingUser)}}));
    } else {
      EXPECT_EQ(o.result, ConstraintEnforcementResult::MissingUserLuid);
      EXPECT_EQ(o.attributes, (Attributes{{kSite, TString(u"S1")}}));  // the site stays written
    }
    expectWarnings(o, {userWarning});
  }

  for (const char16_t* missingSite : {u"", u"-"}) {
    for (CacheScope scope : {kPerSite, kPerUser}) {
      Outcome o = Enforce(missingSite, u"U1", scope);
      if (!skip) {
        // Enforced: the site is required before the user is looked at.
        EXPECT_EQ(o.result, ConstraintEnforcementResult::MissingSiteLuid);
        EXPECT_TRUE(o.attributes.empty());
        expectWarnings(o, {siteWarning});
      } else if (scope == kPerUser) {
        EXPECT_EQ(o.result, ConstraintEnforcementResult::Passed);
        EXPECT_EQ(o.attributes, (Attributes{{kUser, TString(u"U1")}}));
        expectWarnings(o, {siteWarning});
      } else {
        EXPECT_EQ(o.result, ConstraintEnforcementResult::Passed);
        EXPECT_TRUE(o.attributes.empty());
        expectWarnings(o, {siteWarning});
      }
    }
    Outcome both = Enforce(missingSite, u"-", kPerUser);
    if (skip) {
      EXPECT_EQ(both.result, ConstraintEnforcementResult::Passed);
      EXPECT_EQ(both.attributes, (Attributes{{kUser, TString(u"-")}}));
      expectWarnings(both, {siteWarning, userWarning});
    } else {
      EXPECT_EQ(both.result, ConstraintEnforcementResult::MissingSiteLuid);
      expectWarnings(both, {siteWarning});
    }
  }

  // Changing the flag and the configuration now has no effect: the switches
  // were fixed by the first call.
  FeatureFlags::Set(kEnforcementFlag, !FeatureFlags::IsOn(kEnforcementFlag));
  AppConfig::SetEdition(skip ? AppConfig::Edition::Server : AppConfig::Edition::AuthoringClient);
  AppConfig::GetInstance().SetUnitTestFlag(!skip);
  Outcome later = Enforce(u"", u"", kPerSite);
  EXPECT_EQ(later.result,
            skip ? ConstraintEnforcementResult::Passed : ConstraintEnforcementResult::MissingSiteLuid);
  expectWarnings(later, {siteWarning});
}

// One configuration of the switches: what starts the child, what it expects.
struct Configuration {
  const char* name;
  const char* flags;
  const char* edition;
  const char* unitFlag;
  const char* skip;
  const char* quiet;
};

class CacheInvariantsTest : public testing::TestWithParam<Configuration> {};

TEST_P(CacheInvariantsTest, DecisionTableHolds) {
  const Configuration& c = GetParam();
  kelcache_test::ChildResult child = kelcache_test::RunChildTest(
      "DISABLED_CacheInvariantsChild.*", {{"KELCACHE_FEATURE_FLAGS", c.flags},
                                          {"KELCACHE_Edition", c.edition},
                                          {"KELCACHE_TEST_UNIT_FLAG", c.unitFlag},
                                          {"KELCACHE_TEST_SKIP", c.skip},
                                          {"KELCACHE_TEST_QUIET", c.quiet}});
  EXPECT_TRUE(child.Passed()) << child.output;
  EXPECT_NE(child.output.find("[  PASSED  ] 1 test"), std::string::npos) << child.output;
}

INSTANTIATE_TEST_SUITE_P(
    Switches, CacheInvariantsTest,
    testing::Values(Configuration{"EnforcedOnAServerWithTheFlagOn", "0x6460C0E0", "Server", "0", "0", "0"},
                    Configuration{"SkippedWithTheFlagOffButStillWarns", "", "Server", "0", "1", "0"},
                    Configuration{"SkippedInUnitTestsEvenWithTheFlagOn", "0x6460C0E0", "Server", "1", "1", "0"},
                    Configuration{"QuietAndSkippedOnTheAuthoringClient", "0x6460C0E0", "AuthoringClient", "0",
                                  "1", "1"}),
    [](const testing::TestParamInfo<Configuration>& info) { return std::string(info.param.name); });

TEST(CacheInvariantsTexts, ResultTexts) {
  using kelvra::caching::ConstraintEnforcementResultToString;
  EXPECT_EQ(ConstraintEnforcementResultToString(ConstraintEnforcementResult::None), u"none");
  EXPECT_EQ(ConstraintEnforcementResultToString(ConstraintEnforcementResult::MissingSiteLuid),
            u"missing-site-luid");
  EXPECT_EQ(ConstraintEnforcementResultToString(ConstraintEnforcementResult::MissingUserLuid),
            u"missing-user-luid");
  EXPECT_EQ(ConstraintEnforcementResultToString(ConstraintEnforcementResult::Passed), u"passed");
  EXPECT_EQ(ConstraintEnforcementResultToString(static_cast<ConstraintEnforcementResult>(7)), u"unknown");
  EXPECT_EQ(ConstraintEnforcementResultToString(static_cast<ConstraintEnforcementResult>(-1)), u"unknown");
  EXPECT_EQ(kelvra::caching::siteLuidAttributeName, u"site-luid");
  EXPECT_EQ(kelvra::caching::userLuidAttributeName, u"user-luid");
}

}  // namespace
