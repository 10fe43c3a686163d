// AppConfig: the edition and the settings read from the environment.
#include "host/AppConfig.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "tests/host/OptionsTestSupport.h"
#include "tests/support/TestEnvironment.h"

using namespace options_test;

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
  const TString first(L"/first/folder"), second(L"/second/much/longer/folder/n\u00e4me");
  config.SetExternalCacheDir(first);
  const auto written = [&] { const TString dir = config.GetExternalCacheDir(); return dir == first || dir == second; };
  EXPECT_EQ(0, ReadsBesideWritesThatFail(written,
                                         [&](int i) { config.SetExternalCacheDir(i % 2 ? first : second); }));
  EXPECT_EQ(first, config.GetExternalCacheDir()) << "the last one written";
}

TEST(AppConfigTest, EnvironmentOverridesAndDefaults) {
  ExpectChild({"KELCACHE_ExternalCacheEnabled=false", "KELCACHE_ExternalCacheDir=/srv/kelcache",
               "KELCACHE_TestMode=1", "KELCACHE_UnitTestFlag=on", "KELCACHE_IsExternalProtocolServer=YES",
               "KELCACHE_Edition=gatewayagent"},
              {{"ExternalCacheEnabled", "false"},
               {"ExternalCacheDir", "/srv/kelcache"},
               {"ExternalCacheDirSetEmpty", "/srv/kelcache"},
               {"TestMode", "true"},
               {"UnitTestFlag", "true"},
               {"IsExternalProtocolServer", "true"},
               {"Edition", "GatewayAgent"}});

  // Bad values: defaults kept, each variable named on stderr. The default
  // folder follows XDG_CACHE_HOME first, then HOME, then the temporary folder.
  auto bad = ExpectChild({"KELCACHE_ExternalCacheEnabled=perhaps", "KELCACHE_TestMode=2", "KELCACHE_Edition=Desktop",
                          "XDG_CACHE_HOME=/xdg"},
                         {{"ExternalCacheEnabled", "true"},
                          {"TestMode", "false"},
                          {"Edition", "Server"},
                          {"ExternalCacheDir", "/xdg/kelcache"},
                          {"ExternalCacheDirSetEmpty", "/xdg/kelcache"}});
  for (const char* named : {"KELCACHE_ExternalCacheEnabled=\"perhaps\"", "KELCACHE_TestMode=\"2\"",
                            "KELCACHE_Edition=\"Desktop\""}) {
    EXPECT_NE(std::string::npos, bad.output.find(named)) << bad.output;
  }
  ExpectChild({"HOME=/home/someone"}, {{"ExternalCacheDir", "/home/someone/.cache/kelcache"}}, {"XDG_CACHE_HOME"});
  kelcache_test::TempDir temp;
  ExpectChild({"TMPDIR=" + temp.str()}, {{"ExternalCacheDir", temp.str() + "/kelcache"}}, {"XDG_CACHE_HOME", "HOME"});
}
