// The kelcache tool run as a separate process, as a user runs it: disk
// entries through real folders, bad command lines, and where option values
// come from. (CliRedisToolTest.cpp has the commands that need a Redis
// server.)
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <regex>

#include "host/TString.h"
#include "public/caching/DiskExternalCache.h"
#include "tests/cli/CliProcess.h"
#include "tests/support/TestEnvironment.h"

namespace {

namespace fs = std::filesystem;
using kelcache_cli_test::CliResult;
using kelcache_cli_test::CliRun;
using Json = nlohmann::json;
using kelcache_cli_test::RunCli;
using namespace std::string_literals;

std::vector<std::string> Disk(const std::string& command, const std::string& dir, std::vector<std::string> rest) {
  std::vector<std::string> args = {"disk", command, "--dir", dir, "--ns", "WAV2"};
  args.insert(args.end(), rest.begin(), rest.end());
  return args;
}

// The folder the tool says it stored the key in.
fs::path Put(const std::string& dir, const std::string& key, const std::string& value) {
  const CliResult put = RunCli({.args = Disk("put", dir, {"--json", "--", key}), .input = value});
  EXPECT_EQ(put.exitCode, 0) << put.Describe();
  return Json::parse(put.out).at("folder").get<std::string>();
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

size_t LineCount(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(CliTool, DiskPutThenGetGivesTheSameBytesBackThroughTheStoresFiles) {
  kelcache_test::TempDir dir;
  const std::pair<std::string, std::string> cases[] = {  // key, value
      {"plain", "hello"},
      {"-starts-with-a-dash", "x"},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80 with spaces", "\0\xff\x01\n\r binary"s},
      {"empty-value", ""},
      {"large", std::string(300000, 'v') + "end"},
  };
  for (const auto& [key, value] : cases) {
    SCOPED_TRACE(key);
    const fs::path folder = Put(dir.str(), key, value);
    // The store's own layout: <dir>/<namespace>/<key hash>/.key and .bin.
    EXPECT_EQ(folder.parent_path(), dir.path() / "WAV2");
    EXPECT_EQ(ReadFile(folder / ".key"), key);
    EXPECT_EQ(ReadFile(folder / ".bin"), value);

    const CliResult get = RunCli({.args = Disk("get", dir.str(), {"--", key})});
    EXPECT_EQ(get.exitCode, 0) << get.Describe();
    EXPECT_EQ(get.out, value);
  }

  // The library reads what the tool wrote.
  kelvra::caching::DiskExternalCache library(u"WAV2", TPath(TString::fromStdString((dir.path() / "WAV2").string())),
                                             nullptr);
  const auto loaded = library.TryLoad(u"plain").Get();
  ASSERT_TRUE(loaded);
  EXPECT_EQ(std::string(loaded->begin(), loaded->end()), "hello");

  // Files in and out, and ls listing every key once with its size.
  const fs::path input = dir.path() / "in.bin";
  std::ofstream(input, std::ios::binary) << "from a file";
  EXPECT_EQ(RunCli({.args = Disk("put", dir.str(), {"-i", input.string(), "filed"})}).exitCode, 0);
  const fs::path output = dir.path() / "out.bin";
  EXPECT_EQ(RunCli({.args = Disk("get", dir.str(), {"-o", output.string(), "filed"})}).exitCode, 0);
  EXPECT_EQ(ReadFile(output), "from a file");
  const Json ls = Json::parse(RunCli({.args = Disk("ls", dir.str(), {"--json"})}).out);
  ASSERT_EQ(ls.at("entries").size(), std::size(cases) + 1);
  for (const Json& entry : ls.at("entries")) {
    if (entry.at("key") == "large") EXPECT_EQ(entry.at("size"), 300003u);
  }

  // A drop, then the key is a miss; dropping it again is a miss too.
  EXPECT_EQ(RunCli({.args = Disk("drop", dir.str(), {"plain"})}).exitCode, 0);
  for (const char* command : {"get", "drop"}) {
    const CliResult miss = RunCli({.args = Disk(command, dir.str(), {"plain"})});
    EXPECT_EQ(miss.exitCode, 1) << command << ": " << miss.Describe();
    EXPECT_EQ(miss.out, "");
    EXPECT_NE(miss.err.find("no entry for key 'plain'"), std::string::npos) << miss.err;
  }
}

TEST(CliTool, DiskStatsAndVerifyFindEveryKindOfDamagedEntry) {
  kelcache_test::TempDir dir;
  Put(dir.str(), "whole", "fine");
  // Each damage, and the state the inspector gives it.
  struct Damage {
    std::string key;
    std::string state;
    void (*apply)(const fs::path& folder);
  };
  const Damage damages[] = {
      {"no-value", "key-without-value", [](const fs::path& f) { fs::remove(f / ".bin"); }},
      {"no-key", "value-without-key", [](const fs::path& f) { fs::remove(f / ".key"); }},
      {"flipped", "damaged",
       [](const fs::path& f) {
         std::fstream file(f / ".bin", std::ios::in | std::ios::out | std::ios::binary);
         file.put('X');
       }},
  };
  for (const Damage& damage : damages) damage.apply(Put(dir.str(), damage.key, "value of " + damage.key));
  // A store that stopped before writing anything.
  fs::create_directory(dir.path() / "WAV2" / "12345");

  const CliResult stats = RunCli({.args = Disk("stats", dir.str(), {"--json"})});
  ASSERT_EQ(stats.exitCode, 0) << stats.Describe();
  const Json summary = Json::parse(stats.out);
  EXPECT_EQ(summary.at("entries"), 1u);
  EXPECT_EQ(summary.at("bytes"), 4u);
  EXPECT_EQ(summary.at("damaged"), 4u);
  for (const char* state : {"key-without-value", "value-without-key", "damaged", "half-written"}) {
    EXPECT_EQ(summary.at("damaged_by_state").at(state), 1u) << state;
  }
  EXPECT_EQ(summary.at("oldest").at("key"), "whole");

  const CliResult verify = RunCli({.args = Disk("verify", dir.str(), {"--json"})});
  EXPECT_EQ(verify.exitCode, 1) << verify.Describe();
  const Json report = Json::parse(verify.out);
  EXPECT_EQ(report.at("checked"), 5u);
  EXPECT_EQ(report.at("whole"), 1u);
  ASSERT_EQ(report.at("damaged").size(), 4u);
  for (const Damage& damage : damages) {
    const Json& found = report.at("damaged");
    const bool listed = std::any_of(found.begin(), found.end(), [&](const Json& entry) {
      return entry.at("state") == damage.state && (entry.at("key").is_null() || entry.at("key") == damage.key);
    });
    EXPECT_TRUE(listed) << damage.state;
  }
  // For people: one line per damaged entry and a total.
  const CliResult text = RunCli({.args = Disk("verify", dir.str(), {})});
  EXPECT_EQ(LineCount(text.out), 5u) << text.out;
  EXPECT_NE(text.out.find("4 of 5 entries damaged"), std::string::npos) << text.out;

  // A damaged value is not served, and the miss says why.
  const CliResult get = RunCli({.args = Disk("get", dir.str(), {"flipped"})});
  EXPECT_EQ(get.exitCode, 1);
  EXPECT_EQ(get.out, "");
  EXPECT_NE(get.err.find("is damaged"), std::string::npos) << get.err;
}

TEST(CliTool, LongScansShowProgressOnATerminalAndNothingWhenPiped) {
  kelcache_test::TempDir dir;
  // Items that are not entries are as quick to make and remove as any, and
  // every item counts for the scan.
  fs::create_directories(dir.path() / "WAV2");
  for (int i = 0; i < 10050; ++i) std::ofstream(dir.path() / "WAV2" / ("item" + std::to_string(i)));
  for (const bool terminal : {true, false}) {
    SCOPED_TRACE(terminal ? "terminal" : "piped");
    const CliResult stats = RunCli({.args = Disk("stats", dir.str(), {"--json"}), .stderrOnTerminal = terminal});
    ASSERT_EQ(stats.exitCode, 0) << stats.Describe();
    EXPECT_EQ(Json::parse(stats.out).at("other_items"), 10050u);
    if (terminal) {
      EXPECT_NE(stats.err.find("inspecting entries ["), std::string::npos) << stats.err;
      EXPECT_NE(stats.err.find("10050/10050"), std::string::npos);
    } else {
      EXPECT_EQ(stats.err, "");
    }
  }
}

// Output that cannot be written is a failure (exit 3), whichever command
// writes it.
TEST(CliTool, AStdoutThatCannotBeWrittenFailsTheCommand) {
  kelcache_test::TempDir dir;
  const std::string tool = KELCACHE_CLI_PATH;
  const std::string target = "--dir '" + dir.str() + "' --ns n";
  ASSERT_EQ(std::system(("echo value | '" + tool + "' disk put " + target + " k >/dev/null").c_str()), 0);
  for (const std::string& command : {std::string("config"), std::string("config --json"), "disk ls --json " + target,
                                     "disk stats " + target}) {
    SCOPED_TRACE(command);
    const int status = std::system(("'" + tool + "' " + command + " >/dev/full 2>/dev/null").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
  }
}

TEST(CliTool, BadCommandLinesExitWithTwoAndOneLineThatSaysWhat) {
  kelcache_test::TempDir dir;
  const std::string d = dir.str();
  const std::pair<std::vector<std::string>, std::string> cases[] = {  // arguments, what the error says
      {{}, "A subcommand is required"},
      {{"frob"}, "unknown command 'frob'"},
      {{"disk"}, "see kelcache disk --help"},
      {{"disk", "lss", "--ns", "N"}, "unknown command 'lss'"},
      {{"disk", "ls", "--dir", d}, "--ns is required"},
      {{"disk", "ls", "--dir", d, "--ns", "a/b"}, "cannot name a namespace folder"},
      {{"disk", "ls", "--dir", d, "--ns", ""}, "namespace is empty"},
      {{"disk", "ls", "--dir", d, "--ns", "N", "--sort", "colour"}, "--sort"},
      {{"disk", "get", "--dir", d, "--ns", "N"}, "key is required"},
      {{"disk", "get", "--dir", d, "--ns", "N", "-e", "bad\\q"}, "unknown escape \\q"},
      {{"disk", "put", "--dir", d, "--ns", "N", "k", "-i", d + "/missing"}, "does not exist"},
      {{"disk", "sweep", "--dir", d, "--ns", "N", "--budget", "1.5G"}, "is not a byte count"},
      {{"redis", "get", "--ns", "N", "k"}, "--servers is required"},
      {{"redis", "get", "--servers", "127.0.0.1:1", "--options", "nonsense", "--ns", "N", "k"}, "nonsense"},
      {{"redis", "put", "--servers", "127.0.0.1:1", "--ns", "N", "k", "--ttl", "-5"}, "--ttl"},
      {{"redis", "put", "--servers", "127.0.0.1:1", "--ns", "N", "k", "--ttl", "0"}, "--ttl must be at least 1"},
      {{"redis", "scan", "--servers", "127.0.0.1:1", "--ns", "a\nb"}, "holds a line feed"},
      {{"watch", "--servers", "127.0.0.1:1", "--channel", ""}, "--channel must not be empty"},
      {{"config", "--set", "NoSuchOption=1"}, "unknown option"},
      {{"config", "--set", "ExternalCacheConcurrencyLimit=many"}, "invalid value"},
      {{"config", "--bogus"}, "--bogus"},
  };
  for (const auto& [args, fragment] : cases) {
    std::string shown;
    for (const std::string& arg : args) shown += " " + arg;
    SCOPED_TRACE("kelcache" + shown);
    const CliResult result = RunCli({.args = args});
    EXPECT_EQ(result.exitCode, 2) << result.Describe();
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(LineCount(result.err), 1u) << result.err;
    EXPECT_EQ(result.err.rfind("kelcache: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(fragment), std::string::npos) << result.err;
  }
}

TEST(CliTool, ConfigSaysWhereEachValueCameFrom) {
  const CliResult result = RunCli({.args = {"config", "--json", "--set", "CacheSynchronizationLogging=true"},
                                   .environment = {{"KELCACHE_ExternalCacheConcurrencyLimit", "7"}}});
  ASSERT_EQ(result.exitCode, 0) << result.Describe();
  struct Expected {
    std::string name;
    std::string value;
    std::string source;
  };
  const Expected expected[] = {
      {"ExternalCacheConcurrencyLimit", "7", "environment"},
      {"CacheSynchronizationLogging", "true", "override"},
      {"AsyncCacheCoherence", "false", "default"},
  };
  const Json options = Json::parse(result.out).at("options");
  EXPECT_GT(options.size(), 10u);
  for (const Expected& e : expected) {
    const auto found =
        std::find_if(options.begin(), options.end(), [&](const Json& o) { return o.at("name") == e.name; });
    ASSERT_NE(found, options.end()) << e.name;
    EXPECT_EQ(found->at("value"), e.value) << e.name;
    EXPECT_EQ(found->at("source"), e.source) << e.name;
  }
  // The human table says the same.
  const CliResult text = RunCli({.args = {"config"}, .environment = {{"KELCACHE_ExternalCacheConcurrencyLimit", "7"}}});
  EXPECT_TRUE(std::regex_search(text.out, std::regex("\nExternalCacheConcurrencyLimit +7 +environment \\(default 32\\)\n")))
      << text.out;
}

}  // namespace
