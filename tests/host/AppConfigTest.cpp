#include "host/AppConfig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildMode.h"
#include "tests/support/TestEnvironment.h"

namespace {

// --- Child mode --------------------------------------------------------------
// The configuration reads the environment when it is first used, so the
// environment is tested in a fresh process: the test program runs itself
// again with KELCACHE_TESTS_CHILD_MODE set, and this static initialiser (which
// runs before the tests' main) prints the configuration and exits.


void PrintValue(const char* name, const std::string& value) {
  std::printf("value %s=%s\n", name, value.c_str());
}

void RunChildMode() {
  AppConfig& config = AppConfig::GetInstance();
  auto text = [](bool value) { return std::string(value ? "true" : "false"); };
  PrintValue("ExternalCacheEnabled", text(config.GetExternalCacheEnabled()));
  PrintValue("ExternalCacheDir", config.GetExternalCacheDir().toStdString());
  PrintValue("TestMode", text(config.GetTestMode()));
  PrintValue("UnitTestFlag", text(config.GetUnitTestFlag()));
  PrintValue("IsExternalProtocolServer", text(config.GetIsExternalProtocolServer()));
  PrintValue("Edition", AppConfig::EditionName(AppConfig::GetEdition()));
  PrintValue("IsGatewayAgent", text(AppConfig::IsGatewayAgent()));
}

[[maybe_unused]] const bool s_childMode = kelcache_test::RunIfChildMode("appconfig", RunChildMode);

using ChildResult = kelcache_test::ChildModeResult;

ChildResult RunChild(const std::vector<std::string>& extraVariables, std::set<std::string> unset = {}) {
  return kelcache_test::RunChildMode("appconfig", extraVariables, unset);
}

// Restores the process-wide configuration when a test ends.
class SavedAppConfig {
 public:
  SavedAppConfig()
      : m_enabled(Config().GetExternalCacheEnabled()),
        m_folder(Config().GetExternalCacheDir()),
        m_testMode(Config().GetTestMode()),
        m_unitTest(Config().GetUnitTestFlag()),
        m_externalProtocol(Config().GetIsExternalProtocolServer()),
        m_edition(AppConfig::GetEdition()) {}
  ~SavedAppConfig() {
    Config().SetExternalCacheEnabled(m_enabled);
    Config().SetExternalCacheDir(m_folder);
    Config().SetTestMode(m_testMode);
    Config().SetUnitTestFlag(m_unitTest);
    Config().SetIsExternalProtocolServer(m_externalProtocol);
    AppConfig::SetEdition(m_edition);
  }

 private:
  static AppConfig& Config() { return AppConfig::GetInstance(); }
  bool m_enabled;
  TString m_folder;
  bool m_testMode;
  bool m_unitTest;
  bool m_externalProtocol;
  AppConfig::Edition m_edition;
};

}  // namespace

TEST(AppConfigTest, SettersAreSeenByGettersAndEditionPredicates) {
  SavedAppConfig saved;
  AppConfig& config = AppConfig::GetInstance();
  EXPECT_EQ(&config, &AppConfig::GetInstance());

  config.SetExternalCacheEnabled(false);
  config.SetTestMode(true);
  config.SetUnitTestFlag(false);
  config.SetIsExternalProtocolServer(true);
  config.SetExternalCacheDir(TString(L"/var/cache/k\u00e9l"));
  EXPECT_FALSE(config.GetExternalCacheEnabled());
  EXPECT_TRUE(config.GetTestMode());
  EXPECT_FALSE(config.GetUnitTestFlag());
  EXPECT_TRUE(config.GetIsExternalProtocolServer());
  EXPECT_EQ(TString(L"/var/cache/k\u00e9l"), config.GetExternalCacheDir());
  config.SetExternalCacheEnabled(true);
  config.SetTestMode(false);
  config.SetUnitTestFlag(true);
  config.SetIsExternalProtocolServer(false);
  EXPECT_TRUE(config.GetExternalCacheEnabled());
  EXPECT_FALSE(config.GetTestMode());
  EXPECT_TRUE(config.GetUnitTestFlag());
  EXPECT_FALSE(config.GetIsExternalProtocolServer());

  // Each edition turns on its own predicate and no other.
  using Edition = AppConfig::Edition;
  for (Edition edition : {Edition::Server, Edition::AuthoringClient, Edition::FlowAuthoringClient,
                          Edition::OpenGalleryServer, Edition::GatewayAgent}) {
    AppConfig::SetEdition(edition);
    SCOPED_TRACE(AppConfig::EditionName(edition));
    EXPECT_EQ(edition, AppConfig::GetEdition());
    EXPECT_EQ(edition == Edition::AuthoringClient, AppConfig::IsAuthoringClient());
    EXPECT_EQ(edition == Edition::FlowAuthoringClient, AppConfig::IsFlowAuthoringClient());
    EXPECT_EQ(edition == Edition::OpenGalleryServer, AppConfig::IsOpenGalleryServer());
    EXPECT_EQ(edition == Edition::GatewayAgent, AppConfig::IsGatewayAgent());
    // Names read back, in any case.
    Edition parsed = Edition::Server;
    std::string name = AppConfig::EditionName(edition);
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(AppConfig::ParseEdition(name, parsed));
    EXPECT_EQ(edition, parsed);
  }
  Edition unchanged = Edition::GatewayAgent;
  EXPECT_FALSE(AppConfig::ParseEdition("Desktop", unchanged));
  EXPECT_EQ(Edition::GatewayAgent, unchanged);

  // Readers and writers at once: the folder is always one of the two written
  // texts, never a torn one.
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  const TString first(L"/first/folder");
  const TString second(L"/second/much/longer/folder/name");
  config.SetExternalCacheDir(first);
  std::thread reader([&] {
    while (!stop.load()) {
      TString folder = config.GetExternalCacheDir();
      if (folder != first && folder != second) torn.fetch_add(1);
      (void)AppConfig::IsGatewayAgent();
      (void)config.GetTestMode();
    }
  });
  for (int i = 0; i < 2000; ++i) {
    config.SetExternalCacheDir(i % 2 ? first : second);
    AppConfig::SetEdition(i % 2 ? Edition::Server : Edition::GatewayAgent);
    config.SetTestMode(i % 2 == 0);
  }
  stop.store(true);
  reader.join();
  EXPECT_EQ(0, torn.load());
}

TEST(AppConfigTest, EnvironmentOverridesAndDefaults) {
  ChildResult set =
      RunChild({"KELCACHE_ExternalCacheEnabled=false", "KELCACHE_ExternalCacheDir=/srv/kelcache",
                "KELCACHE_TestMode=1", "KELCACHE_UnitTestFlag=on", "KELCACHE_IsExternalProtocolServer=YES",
                "KELCACHE_Edition=gatewayagent"});
  ASSERT_EQ(0, set.exitCode) << set.output;
  EXPECT_EQ("false", set.values["ExternalCacheEnabled"]);
  EXPECT_EQ("/srv/kelcache", set.values["ExternalCacheDir"]);
  EXPECT_EQ("true", set.values["TestMode"]);
  EXPECT_EQ("true", set.values["UnitTestFlag"]);
  EXPECT_EQ("true", set.values["IsExternalProtocolServer"]);
  EXPECT_EQ("GatewayAgent", set.values["Edition"]);
  EXPECT_EQ("true", set.values["IsGatewayAgent"]);

  // Bad values: defaults kept, each variable named on stderr.
  ChildResult bad = RunChild({"KELCACHE_ExternalCacheEnabled=perhaps", "KELCACHE_TestMode=2",
                              "KELCACHE_Edition=Desktop", "XDG_CACHE_HOME=/xdg"});
  ASSERT_EQ(0, bad.exitCode) << bad.output;
  EXPECT_EQ("true", bad.values["ExternalCacheEnabled"]);
  EXPECT_EQ("false", bad.values["TestMode"]);
  EXPECT_EQ("Server", bad.values["Edition"]);
  EXPECT_EQ("false", bad.values["UnitTestFlag"]);
  EXPECT_EQ("false", bad.values["IsExternalProtocolServer"]);
  EXPECT_NE(std::string::npos, bad.output.find("KELCACHE_ExternalCacheEnabled=\"perhaps\"")) << bad.output;
  EXPECT_NE(std::string::npos, bad.output.find("KELCACHE_TestMode=\"2\"")) << bad.output;
  EXPECT_NE(std::string::npos, bad.output.find("KELCACHE_Edition=\"Desktop\"")) << bad.output;
  // The default folder follows XDG_CACHE_HOME first ...
  EXPECT_EQ("/xdg/kelcache", bad.values["ExternalCacheDir"]);

  // ... then HOME ...
  ChildResult home = RunChild({"HOME=/home/someone"}, {"XDG_CACHE_HOME"});
  ASSERT_EQ(0, home.exitCode) << home.output;
  EXPECT_EQ("/home/someone/.cache/kelcache", home.values["ExternalCacheDir"]);

  // ... then the temporary folder.
  kelcache_test::TempDir temp;
  ChildResult none = RunChild({"TMPDIR=" + temp.str()}, {"XDG_CACHE_HOME", "HOME"});
  ASSERT_EQ(0, none.exitCode) << none.output;
  EXPECT_EQ(temp.str() + "/kelcache", none.values["ExternalCacheDir"]);
}
