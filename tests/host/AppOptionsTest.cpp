// AppOptions (defaults, run-time changes, overrides, validation and the
// environment), AppConfig (the edition and its settings), and the per-thread
// and per-process identity facilities: SessionActorInfo, KelvraTls and
// FeatureFlags.
#include "host/AppOptions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/AppConfig.h"
#include "host/Errors.h"
#include "host/FeatureFlags.h"
#include "host/KelvraTls.h"
#include "host/SessionActorInfo.h"
#include "tests/support/ChildMode.h"
#include "tests/support/TestEnvironment.h"

namespace appoptions = kelvra::appoptions;
using kelvra::caching::IInvalidatorAggregatorScope;

namespace {

constexpr FeatureFlagId kInvariantsFlag = 1684062432;  // 0x6460C0E0
constexpr FeatureFlagId kRedisTtlFlag = 0x94AA12A3;
constexpr FeatureFlagId kPrintedFlags[] = {kInvariantsFlag, kRedisTtlFlag, 5, 6, 7, 0xFFFFFFFF};

// --- Child mode --------------------------------------------------------------
// Options, the configuration and the feature flags read the environment once,
// on first use, so the environment is tested in a fresh process: the test
// program runs itself again with KELCACHE_TESTS_CHILD_MODE set, and this
// static initialiser (which runs before the tests' main) prints what the
// options, the configuration and the flags say and exits.

std::string Text(bool value) {
  return value ? "true" : "false";
}
std::string Text(int value) {
  return std::to_string(value);
}

void PrintValue(const std::string& name, const std::string& value) {
  std::printf("value %s=%s\n", name.c_str(), value.c_str());
}

void RunChildMode() {
  for (const appoptions::OptionInfo& option : appoptions::ListOptions()) {
    PrintValue(option.name, option.currentText);
    PrintValue("source." + option.name, appoptions::OptionSourceName(option.source));
  }
  appoptions::SetInt("ExternalCacheDropTimeoutMs", 1234);
  for (const appoptions::OptionInfo& option : appoptions::ListOptions()) {
    if (option.name == "ExternalCacheDropTimeoutMs") {
      PrintValue("source.afterSet", appoptions::OptionSourceName(option.source));
    }
  }
  PrintValue("accessor.ExternalCacheConcurrencyLimit", Text(appoptions::ExternalCacheConcurrencyLimit()));
  PrintValue("accessor.SyncCaches", Text(appoptions::SyncCaches()));
  // ResetOption goes back to the environment's value, not the built-in one.
  appoptions::SetInt("ExternalCacheConcurrencyLimit", 99);
  appoptions::ResetOption("ExternalCacheConcurrencyLimit");
  PrintValue("afterReset.ExternalCacheConcurrencyLimit",
             appoptions::GetOptionText("ExternalCacheConcurrencyLimit"));

  AppConfig& config = AppConfig::GetInstance();
  PrintValue("ExternalCacheEnabled", Text(config.GetExternalCacheEnabled()));
  PrintValue("ExternalCacheDir", config.GetExternalCacheDir().toStdString());
  PrintValue("TestMode", Text(config.GetTestMode()));
  PrintValue("UnitTestFlag", Text(config.GetUnitTestFlag()));
  PrintValue("IsExternalProtocolServer", Text(config.GetIsExternalProtocolServer()));
  PrintValue("Edition", AppConfig::EditionName(AppConfig::GetEdition()));
  PrintValue("IsGatewayAgent", Text(AppConfig::IsGatewayAgent()));
  for (FeatureFlagId id : kPrintedFlags) {
    PrintValue("flag." + std::to_string(id), Text(FeatureFlags::IsOn(id)));
  }
}

[[maybe_unused]] const bool s_childMode = kelcache_test::RunIfChildMode("options", RunChildMode);

// Runs the child with these variables set (and `unset` removed) and checks the
// values it printed.
kelcache_test::ChildModeResult ExpectChild(const std::vector<std::string>& variables,
                                           const std::map<std::string, std::string>& expected,
                                           const std::set<std::string>& unset = {}) {
  kelcache_test::ChildModeResult child = kelcache_test::RunChildMode("options", variables, unset);
  EXPECT_EQ(0, child.exitCode) << child.output;
  for (const auto& [name, value] : expected) EXPECT_EQ(value, child.values[name]) << name;
  return child;
}

// Every option: its built-in default, written out again so that a changed
// default is a deliberate act (docs/options.md lists the same values), and
// its accessor's value as text, which proves that each accessor reads its
// own slot of the store.
struct Option {
  const char* name;
  const char* defaultText;
  std::string (*read)();
};
#define KELCACHE_OPTION(name, defaultText)                      \
  Option {                                                      \
#name, defaultText, [] { return Text(appoptions::name()); } \
  }
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

// A stand-in for a query-job scope: the scope type is only declared here, so
// the pointer aliases an int that the test owns and is never dereferenced.
std::shared_ptr<IInvalidatorAggregatorScope> StandInScope(const std::shared_ptr<int>& owner) {
  return std::shared_ptr<IInvalidatorAggregatorScope>(
      owner, reinterpret_cast<IInvalidatorAggregatorScope*>(owner.get()));
}

// The calling thread's actor as "site/user".
TString ThreadActor() {
  SessionActorInfo info = SessionActorInfo::GetSessionActorInfoFromThread();
  return info.GetSiteLuid() + TString("/") + info.GetUserLuid();
}

}  // namespace

TEST(AppOptionsTest, DefaultsReachEveryAccessorAndTheListing) {
  // Defaults in a process with no KELCACHE_* variable.
  kelcache_test::ChildModeResult child = ExpectChild({}, {});
  std::vector<appoptions::OptionInfo> listed = appoptions::ListOptions();
  ASSERT_EQ(std::size(kOptions), listed.size());
  for (size_t i = 0; i < listed.size(); ++i) {
    const Option& expected = kOptions[i];  // kOptions is sorted by name, as the listing must be
    const appoptions::OptionInfo& option = listed[i];
    SCOPED_TRACE(expected.name);
    EXPECT_EQ(expected.name, option.name) << "listing not sorted, not unique or incomplete";
    EXPECT_EQ(expected.defaultText, child.values[expected.name])
        << "the default in a process without KELCACHE_*";
    EXPECT_EQ(expected.defaultText, option.defaultText);
    EXPECT_FALSE(option.description.empty());
    bool isBool = option.defaultText == "true" || option.defaultText == "false";
    EXPECT_EQ(isBool ? appoptions::OptionType::Bool : appoptions::OptionType::Int, option.type);
    // In this process too (unless its environment overrides something): the
    // accessor agrees with the listing's current value.
    EXPECT_EQ(option.currentText, expected.read());
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
  for (const char* text : {"true", "1", "ON", "Yes", " on\t"}) {
    appoptions::SetOption("AsyncCacheCoherence", text);
    EXPECT_TRUE(appoptions::AsyncCacheCoherence()) << text;
  }
  for (const char* text : {"false", "0", "Off", "NO"}) {
    appoptions::SetOption("AsyncCacheCoherence", text);
    EXPECT_FALSE(appoptions::AsyncCacheCoherence()) << text;
  }
  appoptions::SetBool("SyncCaches", false);
  EXPECT_EQ("false", appoptions::GetOptionText("SyncCaches"));
  bool seenElsewhere = true;
  std::thread([&seenElsewhere] { seenElsewhere = appoptions::SyncCaches(); }).join();
  EXPECT_FALSE(seenElsewhere);
  appoptions::ResetOption("SyncCaches");
  appoptions::ResetOption("ExternalCacheConcurrencyLimit");
  EXPECT_TRUE(appoptions::SyncCaches());
  EXPECT_EQ(32, appoptions::ExternalCacheConcurrencyLimit());

  // A reader beside a writer only ever sees one of the values written (a
  // clean race under ThreadSanitizer).
  std::atomic<bool> stop{false};
  std::atomic<int> strange{0};
  std::thread reader([&] {
    while (!stop.load()) {
      int value = appoptions::ExternalCacheStoreTimeoutMs();
      if (value != 5000 && value != 1234) strange.fetch_add(1);
    }
  });
  for (int i = 0; i < 2000; ++i) appoptions::SetInt("ExternalCacheStoreTimeoutMs", i % 2 ? 1234 : 5000);
  stop.store(true);
  reader.join();
  appoptions::ResetOption("ExternalCacheStoreTimeoutMs");
  EXPECT_EQ(0, strange.load());
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
  EXPECT_TRUE(appoptions::SyncCaches());
}

TEST(AppOptionsTest, BadNamesAndValuesAreRejectedWithClearMessages) {
  std::string message = kelcache_test::RaisedText<std::invalid_argument>(
      [] { appoptions::SetOption("ExternalCacheConcurencyLimit", "4"); });
  EXPECT_NE(std::string::npos, message.find("ExternalCacheConcurencyLimit")) << message;
  EXPECT_NE(std::string::npos, message.find("unknown")) << message;
  EXPECT_THROW(appoptions::SetOption("synccaches", "true"), std::invalid_argument) << "names are exact";
  EXPECT_THROW(appoptions::GetOptionText("Nope"), std::invalid_argument);
  EXPECT_THROW(appoptions::ResetOption("Nope"), std::invalid_argument);

  // Each bad value is named with its option; the option keeps its value.
  auto expectRejected = [&](const char* name, const char* value) {
    message = kelcache_test::RaisedText<std::invalid_argument>([&] { appoptions::SetOption(name, value); });
    EXPECT_NE(std::string::npos, message.find(name)) << message;
    EXPECT_NE(std::string::npos, message.find(std::string("\"") + value + "\"")) << message;
  };
  for (const char* value : {"12abc", "99999999999", "1.5", "", "+-1", "0x10"}) {
    expectRejected("ExternalCacheConcurrencyLimit", value);
  }
  for (const char* value : {"maybe", "2", ""}) expectRejected("SyncCaches", value);
  EXPECT_EQ(32, appoptions::ExternalCacheConcurrencyLimit());
  EXPECT_TRUE(appoptions::SyncCaches());
  // Typed setters refuse the other type.
  message = kelcache_test::RaisedText<std::invalid_argument>(
      [] { appoptions::SetBool("ExternalCacheConcurrencyLimit", true); });
  EXPECT_NE(std::string::npos, message.find("ExternalCacheConcurrencyLimit")) << message;
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
  // A bad or empty variable leaves the default; the listing says where each
  // value came from; ResetOption returns to the environment's value.
  kelcache_test::ChildModeResult child =
      ExpectChild({"KELCACHE_ExternalCacheConcurrencyLimit=7", "KELCACHE_SyncCaches=off",
                   "KELCACHE_AsyncCacheCoherence= TRUE ", "KELCACHE_ExternalCacheStoreTimeoutMs=abc",
                   "KELCACHE_CacheSynchronizationLogging=", "KELCACHE_NoSuchOption=1"},
                  {{"ExternalCacheConcurrencyLimit", "7"},
                   {"accessor.ExternalCacheConcurrencyLimit", "7"},
                   {"SyncCaches", "false"},
                   {"accessor.SyncCaches", "false"},
                   {"AsyncCacheCoherence", "true"},
                   {"ExternalCacheStoreTimeoutMs", "5000"},
                   {"CacheSynchronizationLogging", "false"},
                   {"source.ExternalCacheConcurrencyLimit", "environment"},
                   {"source.SyncCaches", "environment"},
                   {"source.ExternalCacheStoreTimeoutMs", "default"},
                   {"source.CacheSynchronizationLogging", "default"},
                   {"source.ExternalCacheConcurrencyTimeoutMs", "default"},
                   {"source.afterSet", "override"},
                   {"afterReset.ExternalCacheConcurrencyLimit", "7"}});
  // A bad value is reported by its variable; an empty one counts as not set.
  EXPECT_NE(std::string::npos, child.output.find("KELCACHE_ExternalCacheStoreTimeoutMs=\"abc\""))
      << child.output;
  EXPECT_EQ(std::string::npos, child.output.find("KELCACHE_CacheSynchronizationLogging")) << child.output;
}

// AppConfig: the edition and the settings read from the environment.
TEST(AppConfigTest, EditionPredicatesAndAFolderReadBesideItsWriter) {
  AppConfig& config = AppConfig::GetInstance();
  // Each edition turns on its own predicate and no other; names read back in
  // any case.
  using Edition = AppConfig::Edition;
  for (Edition edition : {Edition::Server, Edition::AuthoringClient, Edition::FlowAuthoringClient,
                          Edition::OpenGalleryServer, Edition::GatewayAgent}) {
    AppConfig::SetEdition(edition);
    SCOPED_TRACE(AppConfig::EditionName(edition));
    EXPECT_EQ(edition == Edition::AuthoringClient, AppConfig::IsAuthoringClient());
    EXPECT_EQ(edition == Edition::FlowAuthoringClient, AppConfig::IsFlowAuthoringClient());
    EXPECT_EQ(edition == Edition::OpenGalleryServer, AppConfig::IsOpenGalleryServer());
    EXPECT_EQ(edition == Edition::GatewayAgent, AppConfig::IsGatewayAgent());
    Edition parsed = Edition::Server;
    std::string name = AppConfig::EditionName(edition);
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(AppConfig::ParseEdition(name, parsed));
    EXPECT_EQ(edition, parsed);
  }
  Edition unchanged = Edition::GatewayAgent;
  EXPECT_FALSE(AppConfig::ParseEdition("Desktop", unchanged));
  EXPECT_EQ(Edition::GatewayAgent, unchanged);

  // A reader beside a writer: the folder is always one of the two written
  // texts, never a torn one.
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  const TString first(L"/first/folder");
  const TString second(L"/second/much/longer/folder/n\u00e4me");
  config.SetExternalCacheDir(first);
  std::thread reader([&] {
    while (!stop.load()) {
      TString folder = config.GetExternalCacheDir();
      if (folder != first && folder != second) torn.fetch_add(1);
    }
  });
  for (int i = 0; i < 2000; ++i) config.SetExternalCacheDir(i % 2 ? first : second);
  stop.store(true);
  reader.join();
  EXPECT_EQ(0, torn.load());
  EXPECT_EQ(first, config.GetExternalCacheDir()) << "the last one written";
}

TEST(AppConfigTest, EnvironmentOverridesAndDefaults) {
  ExpectChild({"KELCACHE_ExternalCacheEnabled=false", "KELCACHE_ExternalCacheDir=/srv/kelcache",
               "KELCACHE_TestMode=1", "KELCACHE_UnitTestFlag=on", "KELCACHE_IsExternalProtocolServer=YES",
               "KELCACHE_Edition=gatewayagent"},
              {{"ExternalCacheEnabled", "false"},
               {"ExternalCacheDir", "/srv/kelcache"},
               {"TestMode", "true"},
               {"UnitTestFlag", "true"},
               {"IsExternalProtocolServer", "true"},
               {"Edition", "GatewayAgent"},
               {"IsGatewayAgent", "true"}});

  // Bad values: defaults kept, each variable named on stderr. The default
  // folder follows XDG_CACHE_HOME first, then HOME, then the temporary folder.
  auto bad = ExpectChild({"KELCACHE_ExternalCacheEnabled=perhaps", "KELCACHE_TestMode=2", "KELCACHE_Edition=Desktop",
                          "XDG_CACHE_HOME=/xdg"},
                         {{"ExternalCacheEnabled", "true"},
                          {"TestMode", "false"},
                          {"Edition", "Server"},
                          {"UnitTestFlag", "false"},
                          {"IsExternalProtocolServer", "false"},
                          {"ExternalCacheDir", "/xdg/kelcache"}});
  for (const char* named : {"KELCACHE_ExternalCacheEnabled=\"perhaps\"", "KELCACHE_TestMode=\"2\"",
                            "KELCACHE_Edition=\"Desktop\""}) {
    EXPECT_NE(std::string::npos, bad.output.find(named)) << bad.output;
  }
  ExpectChild({"HOME=/home/someone"}, {{"ExternalCacheDir", "/home/someone/.cache/kelcache"}}, {"XDG_CACHE_HOME"});
  kelcache_test::TempDir temp;
  ExpectChild({"TMPDIR=" + temp.str()}, {{"ExternalCacheDir", temp.str() + "/kelcache"}}, {"XDG_CACHE_HOME", "HOME"});
}

TEST(IdentityTest, SessionActorIsPerThreadAndScoped) {
  EXPECT_EQ(TString("/"), ThreadActor());
  SessionActorInfo kept;
  {
    SessionActorInfo::ScopedThreadActor actor(TString("site-1"), TString("user-1"));
    EXPECT_EQ(TString("site-1/user-1"), ThreadActor());
    // Another thread does not see this thread's actor, and its own actor does
    // not leak back.
    std::thread other([] {
      EXPECT_EQ(TString("/"), ThreadActor());
      SessionActorInfo::ScopedThreadActor mine(TString("site-2"), TString("user-2"));
      EXPECT_EQ(TString("site-2/user-2"), ThreadActor());
    });
    other.join();
    {
      // Nested: a site-only actor, then back to the outer one.
      SessionActorInfo::ScopedThreadActor inner(TString("site-3"), TString());
      EXPECT_EQ(TString("site-3/"), ThreadActor());
    }
    EXPECT_EQ(TString("site-1/user-1"), ThreadActor());
    kept = SessionActorInfo::GetSessionActorInfoFromThread();
  }
  EXPECT_EQ(TString("/"), ThreadActor());
  EXPECT_EQ(TString("site-1"), kept.GetSiteLuid()) << "a copy, it outlives the scope";
}

TEST(IdentityTest, ThreadContextIsRequiredAndHoldsTheQueryJobScope) {
  ASSERT_FALSE(KelvraTls::HasThreadContext());
  const auto expression = [](const LogicException& error) { return error.GetExpression(); };
  EXPECT_EQ("threadContext",
            kelcache_test::RaisedText<LogicException>([] { KelvraTls::GetThreadContext(); }, expression));

  auto owner = std::make_shared<int>(1);
  std::weak_ptr<int> watch = owner;
  {
    KelvraTls::ScopedThreadContext context;
    ASSERT_TRUE(KelvraTls::HasThreadContext());
    IThreadContext& current = KelvraTls::GetThreadContext();
    EXPECT_EQ(&context.Get(), &current);
    EXPECT_EQ(nullptr, current.GetCurrentQueryJobScope());

    current.SetCurrentQueryJobScope(StandInScope(owner));
    owner.reset();
    // The context keeps the scope alive; reading it gives a copy.
    ASSERT_FALSE(watch.expired());
    std::shared_ptr<IInvalidatorAggregatorScope> copy = current.GetCurrentQueryJobScope();
    EXPECT_EQ(reinterpret_cast<IInvalidatorAggregatorScope*>(watch.lock().get()), copy.get());
    EXPECT_EQ(2, watch.use_count());  // the context and the copy
    copy.reset();

    // Other threads have no context of their own.
    std::thread([] { EXPECT_FALSE(KelvraTls::HasThreadContext()); }).join();

    {
      // A nested context hides the outer one and restores it when it ends.
      KelvraTls::ScopedThreadContext nested;
      EXPECT_EQ(&nested.Get(), &KelvraTls::GetThreadContext());
      EXPECT_EQ(nullptr, KelvraTls::GetThreadContext().GetCurrentQueryJobScope());
    }
    EXPECT_EQ(&current, &KelvraTls::GetThreadContext());
    EXPECT_NE(nullptr, KelvraTls::GetThreadContext().GetCurrentQueryJobScope());

    // Replacing the scope releases the previous one.
    KelvraTls::GetThreadContext().SetCurrentQueryJobScope(nullptr);
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(nullptr, current.GetCurrentQueryJobScope());

    // The context's own scope is released when the context goes.
    owner = std::make_shared<int>(2);
    watch = owner;
    current.SetCurrentQueryJobScope(StandInScope(owner));
    owner.reset();
  }
  EXPECT_TRUE(watch.expired());
  EXPECT_FALSE(KelvraTls::HasThreadContext());

  // A context that the caller owns may be installed, and outlives the scope.
  ThreadContext mine;
  {
    KelvraTls::ScopedThreadContext borrowed(mine);
    KelvraTls::GetThreadContext().SetCurrentQueryJobScope(StandInScope(std::make_shared<int>(3)));
  }
  EXPECT_FALSE(KelvraTls::HasThreadContext());
  EXPECT_NE(nullptr, mine.GetCurrentQueryJobScope());
}

TEST(IdentityTest, FeatureFlagsAreOffUntilTurnedOn) {
  EXPECT_FALSE(FeatureFlags::IsOn(kInvariantsFlag));
  EXPECT_FALSE(FeatureFlags::IsOn(kRedisTtlFlag));
  {
    FeatureFlags::ScopedOverride on(kInvariantsFlag, true);
    EXPECT_TRUE(FeatureFlags::IsOn(kInvariantsFlag));
    EXPECT_FALSE(FeatureFlags::IsOn(kRedisTtlFlag));
    {
      FeatureFlags::ScopedOverride off(kInvariantsFlag, false);
      EXPECT_FALSE(FeatureFlags::IsOn(kInvariantsFlag));
    }
    EXPECT_TRUE(FeatureFlags::IsOn(kInvariantsFlag));
    // Another thread sees the flag.
    bool seen = false;
    std::thread([&seen] { seen = FeatureFlags::IsOn(kInvariantsFlag); }).join();
    EXPECT_TRUE(seen);
  }
  EXPECT_FALSE(FeatureFlags::IsOn(kInvariantsFlag));

  // The list form: decimal and hex ids, =0 / =1, white space, empty items.
  using Flags = std::vector<std::pair<FeatureFlagId, bool>>;
  EXPECT_EQ(FeatureFlags::ParseFlagList(" 0x6460C0E0 , 2494173859=1,, 5 = 0,0XFF=1 ,"),
            (Flags{{kInvariantsFlag, true}, {kRedisTtlFlag, true}, {5, false}, {255, true}}));
  EXPECT_TRUE(FeatureFlags::ParseFlagList("").empty());
  for (const char* bad : {"abc", "-1", "4294967296", "0x", "12=2", "12=", "0x1G", "1 2"}) {
    const std::string message = kelcache_test::RaisedText<std::invalid_argument>(
        [&] { FeatureFlags::ParseFlagList(std::string("7,") + bad); });
    EXPECT_NE(std::string::npos, message.find(std::string("\"") + bad + "\"")) << message;
  }
  // SetFromText applies left to right, and applies nothing when it throws.
  FeatureFlags::SetFromText("0x94AA12A3, 0x94AA12A3=0, 6");
  EXPECT_FALSE(FeatureFlags::IsOn(kRedisTtlFlag));
  EXPECT_TRUE(FeatureFlags::IsOn(6));
  EXPECT_THROW(FeatureFlags::SetFromText("6=0, nonsense"), std::invalid_argument);
  EXPECT_TRUE(FeatureFlags::IsOn(6));
  FeatureFlags::Set(6, false);

  // Reads while another thread flips flags (checked by ThreadSanitizer).
  std::atomic<bool> stop{false};
  std::thread reader([&stop] {
    while (!stop.load()) (void)FeatureFlags::IsOn(kInvariantsFlag);
  });
  for (int i = 0; i < 1000; ++i) FeatureFlags::Set(kInvariantsFlag, i % 2 == 0);
  stop.store(true);
  reader.join();
  EXPECT_FALSE(FeatureFlags::IsOn(kInvariantsFlag));

  // The environment variable, in a fresh process: good items apply, bad ones
  // are reported by name and skipped.
  kelcache_test::ChildModeResult child =
      ExpectChild({"KELCACHE_FEATURE_FLAGS=0x6460C0E0, 2494173859=1, 5, 5=0, bogus, 7=1, 0xFFFFFFFF"}, {});
  const std::string& output = child.output;
  for (FeatureFlagId id : kPrintedFlags) {
    EXPECT_EQ(Text(id != 5 && id != 6), child.values["flag." + std::to_string(id)]) << id;
  }
  EXPECT_NE(std::string::npos, output.find("\"bogus\"")) << output;
  EXPECT_NE(std::string::npos, output.find("KELCACHE_FEATURE_FLAGS")) << output;
}
