#include "host/AppConfig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildMode.h"
#include "tests/support/TestEnvironment.h"

namespace {

// The configuration reads the environment when it is first used, so the
// environment is tested in a fresh process: the test program runs itself
// again with KELCACHE_TESTS_CHILD_MODE set, and this static initialiser (which
// runs before the tests' main) prints the configuration and exits.
void RunChildMode() {
  AppConfig& config = AppConfig::GetInstance();
  auto print = [](const char* name, const std::string& value) { std::printf("value %s=%s\n", name, value.c_str()); };
  auto text = [](bool value) { return std::string(value ? "true" : "false"); };
  print("ExternalCacheEnabled", text(config.GetExternalCacheEnabled()));
  print("ExternalCacheDir", config.GetExternalCacheDir().toStdString());
  print("TestMode", text(config.GetTestMode()));
  print("UnitTestFlag", text(config.GetUnitTestFlag()));
  print("IsExternalProtocolServer", text(config.GetIsExternalProtocolServer()));
  print("Edition", AppConfig::EditionName(AppConfig::GetEdition()));
  print("IsGatewayAgent", text(AppConfig::IsGatewayAgent()));
}

[[maybe_unused]] const bool s_childMode = kelcache_test::RunIfChildMode("appconfig", RunChildMode);

// Runs the child with these variables set (and `unset` removed) and checks the
// values it printed.
kelcache_test::ChildModeResult ExpectChild(const std::vector<std::string>& variables,
                                           const std::map<std::string, std::string>& expected,
                                           std::set<std::string> unset = {}) {
  kelcache_test::ChildModeResult child = kelcache_test::RunChildMode("appconfig", variables, unset);
  EXPECT_EQ(0, child.exitCode) << child.output;
  for (const auto& [name, value] : expected) EXPECT_EQ(value, child.values[name]) << name;
  return child;
}

}  // namespace

TEST(AppConfigTest, SettersAreSeenByGettersAndEditionPredicates) {
  AppConfig& config = AppConfig::GetInstance();
  // Each flag on alone: its own getter says so and no other.
  struct Flag {
    std::function<void(bool)> set;
    std::function<bool()> get;
  };
  const std::vector<Flag> flags = {
      {[&](bool on) { config.SetExternalCacheEnabled(on); }, [&] { return config.GetExternalCacheEnabled(); }},
      {[&](bool on) { config.SetTestMode(on); }, [&] { return config.GetTestMode(); }},
      {[&](bool on) { config.SetUnitTestFlag(on); }, [&] { return config.GetUnitTestFlag(); }},
      {[&](bool on) { config.SetIsExternalProtocolServer(on); }, [&] { return config.GetIsExternalProtocolServer(); }}};
  for (size_t on = 0; on < flags.size(); ++on) {
    for (size_t i = 0; i < flags.size(); ++i) flags[i].set(i == on);
    for (size_t i = 0; i < flags.size(); ++i) EXPECT_EQ(i == on, flags[i].get()) << on << " " << i;
  }

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
