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
  const ConstraintEnforcementResult result = EnforceCacheInvariantsWithUpsert(attributes, scope);
  return {result, std::move(attributes), capture.Lines()};
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
  using R = ConstraintEnforcementResult;
  struct Expected {
    R result;
    Attributes attributes;
    std::vector<TString> warnings;  // unless quiet
  };
  struct Row {
    TString site;
    TString user;
    CacheScope scope;
    bool stale;  // the attributes start with other luids (and a key of their own)
    Expected enforced;
    Expected skipped;
  };
  const Attributes none;
  const Attributes stale{{kSite, u"old-site"}, {kUser, u"old-user"}, {u"k", u"v"}};
  const Attributes siteOverwritten{{kSite, u"S1"}, {kUser, u"old-user"}, {u"k", u"v"}};
  const std::vector<TString> quietly, site{siteWarning}, user{userWarning}, both{siteWarning, userWarning};
  const Row rows[] = {
      // An existing attribute is overwritten by the thread's luid; a per-site
      // key (any scope but per-user) never reads the user, enforced or not.
      {u"S1", u"U1", kPerSite, true, {R::Passed, siteOverwritten, quietly}, {R::Passed, stale, quietly}},
      {u"S1", u"U1", kOtherScope, true, {R::Passed, siteOverwritten, quietly}, {R::Passed, stale, quietly}},
      // The user is written whatever skip says.
      {u"S1", u"U1", kPerUser, true, {R::Passed, {{kSite, u"S1"}, {kUser, u"U1"}, {u"k", u"v"}}, quietly},
       {R::Passed, {{kSite, u"old-site"}, {kUser, u"U1"}, {u"k", u"v"}}, quietly}},
      // A missing user: enforced, the site stays written.
      {u"S1", u"", kPerUser, false, {R::MissingUserLuid, {{kSite, u"S1"}}, user}, {R::Passed, {{kUser, u""}}, user}},
      {u"S1", u"-", kPerUser, false, {R::MissingUserLuid, {{kSite, u"S1"}}, user}, {R::Passed, {{kUser, u"-"}}, user}},
      // A missing site: enforced, the site is required before the user is looked at.
      {u"", u"U1", kPerSite, false, {R::MissingSiteLuid, none, site}, {R::Passed, none, site}},
      {u"-", u"U1", kPerSite, false, {R::MissingSiteLuid, none, site}, {R::Passed, none, site}},
      {u"", u"U1", kPerUser, false, {R::MissingSiteLuid, none, site}, {R::Passed, {{kUser, u"U1"}}, site}},
      {u"-", u"U1", kPerUser, false, {R::MissingSiteLuid, none, site}, {R::Passed, {{kUser, u"U1"}}, site}},
      {u"", u"-", kPerUser, false, {R::MissingSiteLuid, none, site}, {R::Passed, {{kUser, u"-"}}, both}},
      {u"-", u"-", kPerUser, false, {R::MissingSiteLuid, none, site}, {R::Passed, {{kUser, u"-"}}, both}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("site '" + row.site.toStdString() + "', user '" + row.user.toStdString() + "', scope " +
                 std::to_string(static_cast<int>(row.scope)));
    const Outcome o = Enforce(row.site, row.user, row.scope, row.stale ? stale : none);
    const Expected& e = skip ? row.skipped : row.enforced;
    EXPECT_EQ(o.result, e.result);
    EXPECT_EQ(o.attributes, e.attributes);
    EXPECT_EQ(o.warnings, quiet ? quietly : e.warnings);
  }

  // Changing the flag and the configuration now has no effect: the switches
  // were fixed by the first call.
  FeatureFlags::Set(kEnforcementFlag, !FeatureFlags::IsOn(kEnforcementFlag));
  AppConfig::SetEdition(skip ? AppConfig::Edition::Server : AppConfig::Edition::AuthoringClient);
  AppConfig::GetInstance().SetUnitTestFlag(!skip);
  Outcome later = Enforce(u"", u"", kPerSite);
  EXPECT_EQ(later.result, skip ? R::Passed : R::MissingSiteLuid);
  EXPECT_EQ(later.warnings, quiet ? quietly : site);
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
  using R = ConstraintEnforcementResult;
  const std::pair<R, const char16_t*> texts[] = {
      {R::None, u"none"},     {R::MissingSiteLuid, u"missing-site-luid"}, {R::MissingUserLuid, u"missing-user-luid"},
      {R::Passed, u"passed"}, {static_cast<R>(7), u"unknown"},             {static_cast<R>(-1), u"unknown"}};
  for (const auto& [result, text] : texts) {
    EXPECT_EQ(kelvra::caching::ConstraintEnforcementResultToString(result), text) << static_cast<int>(result);
  }
}

}  // namespace
