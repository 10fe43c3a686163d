// AppOptions: defaults, run-time changes, overrides, validation and the
// environment; and the child mode that this program's environment tests run.
#include "host/AppOptions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "host/AppConfig.h"
#include "host/FeatureFlags.h"
#include "tests/host/OptionsTestSupport.h"
#include "tests/support/ChildMode.h"
#include "tests/support/TestEnvironment.h"

namespace appoptions = kelvra::appoptions;
using namespace options_test;

namespace {

// --- Child mode --------------------------------------------------------------
// Options, the configuration and the feature flags read the environment once,
// on first use, so the environment is tested in a fresh process: the test
// program runs itself again with KELCACHE_TESTS_CHILD_MODE set, and this
// static initialiser (which runs before the tests' main) prints what the
// options, the configuration and the flags say and exits.

void PrintValue(const std::string& name, const std::string& value) {
  std::printf("value %s=%s\n", name.c_str(), value.c_str());
}

void RunChildMode() {
  for (const appoptions::OptionInfo& option : appoptions::ListOptions()) {
    PrintValue(option.name, option.currentText);
    PrintValue("source." + option.name, appoptions::OptionSourceName(option.source));
  }
  // ResetOption goes back to the environment's value, not the built-in one.
  appoptions::SetInt("ExternalCacheConcurrencyLimit", 99);
  appoptions::ResetOption("ExternalCacheConcurrencyLimit");
  PrintValue("afterReset.ExternalCacheConcurrencyLimit",
             appoptions::GetOptionText("ExternalCacheConcurrencyLimit"));

  AppConfig& config = AppConfig::GetInstance();
  PrintValue("ExternalCacheEnabled", Text(config.GetExternalCacheEnabled()));
  PrintValue("ExternalCacheDir", config.GetExternalCacheDir().toStdString());
  config.SetExternalCacheDir(TString(u"/elsewhere"));
  setenv("KELCACHE_ExternalCacheDir", "/set-after-the-start", 1);  // not what an empty folder stands for
  config.SetExternalCacheDir(TString());
  PrintValue("ExternalCacheDirSetEmpty", config.GetExternalCacheDir().toStdString());
  PrintValue("TestMode", Text(config.GetTestMode()));
  PrintValue("UnitTestFlag", Text(config.GetUnitTestFlag()));
  PrintValue("IsExternalProtocolServer", Text(config.GetIsExternalProtocolServer()));
  PrintValue("Edition", AppConfig::EditionName(AppConfig::GetEdition()));
  for (FeatureFlagId id : kPrintedFlags) {
    PrintValue("flag." + std::to_string(id), Text(FeatureFlags::IsOn(id)));
  }
}

[[maybe_unused]] const bool s_childMode = kelcache_test::RunIfChildMode("options", RunChildMode);

// Every option: its built-in default, written out again so that a changed
// default is a deliberate act (docs/options.md lists the same values), and
// its accessor's value as text, which proves that each accessor reads its
// own slot of the store.
using Option = std::tuple<const char*, const char*, std::string (*)()>;  // name, default, accessor
#define KELCACHE_OPTION(name, defaultText) Option(#name, defaultText, [] { return Text(appoptions::name()); })
const Option kOptions[] = {
    KELCACHE_OPTION(AsyncCacheCoherence, "false"),
    KELCACHE_OPTION(AsyncTaskSpinMicroseconds, "50"),
    KELCACHE_OPTION(CacheSynchronizationDryRun, "false"),
    KELCACHE_OPTION(CacheSynchronizationEvictedLifetimeSec, "600"),
    KELCACHE_OPTION(CacheSynchronizationFlushOnReconnect, "true"),
    KELCACHE_OPTION(CacheSynchronizationLogging, "false"),
    KELCACHE_OPTION(CacheSynchronizationMaxEvictedEntries, "100000"),
    KELCACHE_OPTION(CacheSynchronizationMinimumDeltaSeconds, "5"),
    KELCACHE_OPTION(ExternalCacheConcurrencyLimit, "32"),
    KELCACHE_OPTION(ExternalCacheConcurrencyTimeoutMs, "500"),
    KELCACHE_OPTION(ExternalCacheDisable, "false"),
    KELCACHE_OPTION(ExternalCacheDiskLockWaitMs, "2000"),
    KELCACHE_OPTION(ExternalCacheDropTimeoutMs, "5000"),
    KELCACHE_OPTION(ExternalCacheLowerBoundLatencyMs, "100"),
    KELCACHE_OPTION(ExternalCacheRedisAlwaysSetEx, "false"),
    KELCACHE_OPTION(ExternalCacheRedisAlwaysSetExSec, "86400"),
    KELCACHE_OPTION(ExternalCacheSslTlsEnabled, "false"),
    KELCACHE_OPTION(ExternalCacheStoreTimeoutMs, "5000"),
    KELCACHE_OPTION(ExternalCacheUpperBound2SizeMb, "64"),
    KELCACHE_OPTION(ExternalCacheUpperBoundKeySizeB, "8192"),
    KELCACHE_OPTION(LockDetectionThresholdMs, "1000"),
    KELCACHE_OPTION(SyncCaches, "true"),
    KELCACHE_OPTION(ThreadPoolSize, "0"),
};
#undef KELCACHE_OPTION

}  // namespace

TEST(AppOptionsTest, DefaultsReachEveryAccessorAndTheListing) {
  // Defaults in a process with no KELCACHE_* variable.
  kelcache_test::ChildModeResult child = ExpectChild({}, {});
  std::vector<appoptions::OptionInfo> listed = appoptions::ListOptions();
  ASSERT_EQ(std::size(kOptions), listed.size());
  for (size_t i = 0; i < listed.size(); ++i) {
    const auto& [name, defaultText, read] = kOptions[i];  // sorted by name, as the listing must be
    const appoptions::OptionInfo& option = listed[i];
    SCOPED_TRACE(name);
    EXPECT_EQ(name, option.name) << "listing not sorted, not unique or incomplete";
    EXPECT_EQ(defaultText, child.values[name]) << "the default in a process without KELCACHE_*";
    EXPECT_EQ(defaultText, option.defaultText);
    EXPECT_FALSE(option.description.empty());
    bool isBool = option.defaultText == "true" || option.defaultText == "false";
    EXPECT_EQ(isBool ? appoptions::OptionType::Bool : appoptions::OptionType::Int, option.type);
    // In this process too (unless its environment overrides something): the
    // accessor agrees with the listing's current value.
    EXPECT_EQ(option.currentText, read());
    EXPECT_EQ(option.currentText, appoptions::GetOptionText(option.name));
  }
}

TEST(AppOptionsTest, RunTimeChangesAreSeenAtTheNextReadAndResetGoesBack) {
  for (auto [text, value] : {std::pair{" 7 ", 7}, {"-3", -3}, {"+12", 12}}) {
    appoptions::SetOption("ExternalCacheConcurrencyLimit", text);
    EXPECT_EQ(value, appoptions::ExternalCacheConcurrencyLimit()) << text;
  }
  EXPECT_EQ("12", appoptions::GetOptionText("ExternalCacheConcurrencyLimit"));
  EXPECT_EQ(500, appoptions::ExternalCacheConcurrencyTimeoutMs()) << "the others are left alone";
  // A text that is not read throws; one read as the wrong value fails here.
  for (auto [text, on] : {std::pair{"true", true}, {"1", true}, {"ON", true}, {"Yes", true}, {" on\t", true},
                          {"false", false}, {"0", false}, {"Off", false}, {"NO", false}}) {
    appoptions::SetOption("AsyncCacheCoherence", text);
    EXPECT_EQ(on, appoptions::AsyncCacheCoherence()) << text;
  }
  appoptions::SetBool("SyncCaches", false);
  EXPECT_EQ("false", appoptions::GetOptionText("SyncCaches"));
  std::thread([] { EXPECT_FALSE(appoptions::SyncCaches()) << "on another thread"; }).join();
  appoptions::ResetOption("SyncCaches");
  appoptions::ResetOption("ExternalCacheConcurrencyLimit");
  EXPECT_TRUE(appoptions::SyncCaches());
  EXPECT_EQ(32, appoptions::ExternalCacheConcurrencyLimit());

  // A reader beside a writer only ever sees one of the values written.
  const auto written = [] { const int v = appoptions::ExternalCacheStoreTimeoutMs(); return v == 5000 || v == 1234; };
  const auto write = [](int i) { appoptions::SetInt("ExternalCacheStoreTimeoutMs", i % 2 ? 1234 : 5000); };
  EXPECT_EQ(0, ReadsBesideWritesThatFail(written, write));
  appoptions::ResetOption("ExternalCacheStoreTimeoutMs");
}

TEST(AppOptionsTest, ScopedOverridesRestoreTheEarlierValue) {
  appoptions::SetInt("ExternalCacheDropTimeoutMs", 42);  // a run-time value is restored too
  {
    appoptions::ScopedOptionOverride outer("ExternalCacheDropTimeoutMs", 1);
    {
      appoptions::ScopedOptionOverride inner("ExternalCacheDropTimeoutMs", "2");
      EXPECT_EQ(2, appoptions::ExternalCacheDropTimeoutMs());
    }
    EXPECT_EQ(1, appoptions::ExternalCacheDropTimeoutMs());
    // A string literal picks the text constructor, not the bool one.
    appoptions::ScopedOptionOverride literal("SyncCaches", "false");
    EXPECT_FALSE(appoptions::SyncCaches());
    appoptions::ScopedOptionOverride typed("CacheSynchronizationDryRun", true);
    EXPECT_TRUE(appoptions::CacheSynchronizationDryRun());
  }
  EXPECT_EQ(42, appoptions::ExternalCacheDropTimeoutMs());
  EXPECT_TRUE(appoptions::SyncCaches());
  EXPECT_FALSE(appoptions::CacheSynchronizationDryRun());
  appoptions::ResetOption("ExternalCacheDropTimeoutMs");

  // A failed override changes nothing.
  EXPECT_THROW(appoptions::ScopedOptionOverride("SyncCaches", 3), std::invalid_argument);
  EXPECT_THROW(appoptions::ScopedOptionOverride("SyncCaches", "maybe"), std::invalid_argument);
  EXPECT_THAT(kelcache_test::LogicExceptionSite(
                  [] { appoptions::ScopedOptionOverride("SyncCaches", static_cast<const char*>(nullptr)); }),
              testing::MatchesRegex("host/AppOptions:[0-9]+ text"));
  EXPECT_TRUE(appoptions::SyncCaches());
}

TEST(AppOptionsTest, BadNamesAndValuesAreRejectedWithClearMessages) {
  EXPECT_THAT(kelcache_test::RaisedText<std::invalid_argument>(
                  [] { appoptions::SetOption("ExternalCacheConcurencyLimit", "4"); }),
              testing::AllOf(testing::HasSubstr("ExternalCacheConcurencyLimit"), testing::HasSubstr("unknown")));
  EXPECT_THROW(appoptions::SetOption("synccaches", "true"), std::invalid_argument) << "names are exact";
  EXPECT_THROW(appoptions::GetOptionText("Nope"), std::invalid_argument);
  EXPECT_THROW(appoptions::ResetOption("Nope"), std::invalid_argument);

  // Each bad value is named with its option; the option keeps its value.
  auto expectRejected = [](const char* name, const char* value) {
    EXPECT_THAT(kelcache_test::RaisedText<std::invalid_argument>([&] { appoptions::SetOption(name, value); }),
                testing::AllOf(testing::HasSubstr(name), testing::HasSubstr(std::string("\"") + value + "\"")));
  };
  for (const char* value : {"12abc", "99999999999", "1.5", "", "+-1", "0x10"}) {
    expectRejected("ExternalCacheConcurrencyLimit", value);
  }
  for (const char* value : {"maybe", "2", ""}) expectRejected("SyncCaches", value);
  EXPECT_EQ(32, appoptions::ExternalCacheConcurrencyLimit());
  EXPECT_TRUE(appoptions::SyncCaches());
  // Typed setters refuse the other type.
  EXPECT_THROW(appoptions::SetBool("ExternalCacheConcurrencyLimit", true), std::invalid_argument);
  EXPECT_THROW(appoptions::SetInt("SyncCaches", 0), std::invalid_argument);
  EXPECT_TRUE(appoptions::SyncCaches());

  // The int parser at the edges of int; a failed parse leaves the value.
  int value = 5;
  EXPECT_TRUE(appoptions::ParseIntText("-2147483648", value));
  EXPECT_EQ(-2147483648LL, value);
  EXPECT_TRUE(appoptions::ParseIntText("2147483647", value));
  EXPECT_FALSE(appoptions::ParseIntText("2147483648", value));
  EXPECT_EQ(2147483647, value);
}

TEST(AppOptionsTest, EnvironmentOverridesAreReadAtFirstUse) {
  // A bad or empty variable leaves the default, as the listing's sources say
  // (the command-line tool's config test checks the other sources);
  // ResetOption returns to the environment's value.
  kelcache_test::ChildModeResult child =
      ExpectChild({"KELCACHE_ExternalCacheConcurrencyLimit=7", "KELCACHE_SyncCaches=off",
                   "KELCACHE_AsyncCacheCoherence= TRUE ", "KELCACHE_ExternalCacheStoreTimeoutMs=abc",
                   "KELCACHE_CacheSynchronizationLogging=", "KELCACHE_NoSuchOption=1"},
                  {{"ExternalCacheConcurrencyLimit", "7"},
                   {"SyncCaches", "false"},
                   {"AsyncCacheCoherence", "true"},
                   {"ExternalCacheStoreTimeoutMs", "5000"},
                   {"CacheSynchronizationLogging", "false"},
                   {"source.SyncCaches", "environment"},
                   {"source.ExternalCacheStoreTimeoutMs", "default"},
                   {"source.CacheSynchronizationLogging", "default"},
                   {"afterReset.ExternalCacheConcurrencyLimit", "7"}});
  // A bad value is reported by its variable; an empty one counts as not set.
  EXPECT_THAT(child.output, testing::AllOf(testing::HasSubstr("KELCACHE_ExternalCacheStoreTimeoutMs=\"abc\""),
                                           testing::Not(testing::HasSubstr("KELCACHE_CacheSynchronizationLogging"))));
}
