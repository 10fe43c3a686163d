// The kelcache tool's redis and watch commands run as a separate process
// against a redis-server of the test's own; the test process uses the
// library on the same server, so each side reads what the other wrote.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>

#include <algorithm>
#include <memory>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "host/redis/RedisConnectionPool.h"
#include "public/caching/RedisExternalCache.h"
#include "public/caching/RedisPubsub.h"
#include "tests/cli/CliProcess.h"
#include "tests/support/RedisServer.h"

namespace {

using kelcache_cli_test::CliProcess;
using kelcache_cli_test::CliResult;
using Json = nlohmann::json;
using kelcache_cli_test::RunCli;
using kelvra::caching::RedisConnectionPool;
using kelvra::caching::RedisExternalCache;
using kelvra::caching::RedisPubsub;
using namespace std::chrono_literals;

std::vector<std::string> Redis(const std::string& command, const std::string& server, const std::string& ns,
                               std::vector<std::string> rest) {
  std::vector<std::string> args = {"redis", command, "--servers", server, "--ns", ns};
  args.insert(args.end(), rest.begin(), rest.end());
  return args;
}

std::string Text(const std::shared_ptr<std::vector<uint8_t>>& value) {
  return value ? std::string(value->begin(), value->end()) : std::string("(miss)");
}

TEST(CliRedisTool, EntriesGoWhereTheLibraryLooksAndScanKeepsToItsNamespace) {
  kelcache_test::RedisServer server;
  const std::string address = server.Address();
  RedisExternalCache::InitializeConnectionPool(TString::fromStdString(address), TString());

  // "A*[x]" holds glob characters: unescaped, its pattern would also match
  // the keys of "Abcx"; "A" is a prefix of both.
  const std::string ns = "A*[x]";
  struct Put {
    std::string ns;
    std::string key;
    std::string value;
    std::vector<std::string> options;
  };
  const Put puts[] = {
      {ns, "k1", "one", {}},
      {ns, "k?2", "two", {"--ttl", "100"}},
      {"Abcx", "other", "elsewhere", {}},
      {"A", "third", "three", {}},
  };
  for (const Put& put : puts) {
    std::vector<std::string> rest = put.options;
    rest.push_back(put.key);
    const CliResult result = RunCli({.args = Redis("put", address, put.ns, rest), .input = put.value});
    ASSERT_EQ(result.exitCode, 0) << result.Describe();
  }
  RedisExternalCache library(TString::fromStdString(ns));
  EXPECT_EQ(Text(library.TryLoad(u"k1").Get()), "one");
  auto value = std::make_shared<std::vector<uint8_t>>(5, uint8_t{'L'});
  ASSERT_TRUE(library.TryStore(u"from-library", value, 10000, -1).Get());
  EXPECT_EQ(RunCli({.args = Redis("get", address, ns, {"from-library"})}).out, "LLLLL");

  const CliResult scan = RunCli({.args = Redis("scan", address, ns, {"--json", "--count", "1"})});
  ASSERT_EQ(scan.exitCode, 0) << scan.Describe();
  std::set<std::string> keys;
  const Json listed = Json::parse(scan.out);
  for (const Json& key : listed.at("keys")) keys.insert(key.at("key").get<std::string>());
  EXPECT_EQ(keys, (std::set<std::string>{"from-library", "k1", "k?2"}));
  EXPECT_EQ(RunCli({.args = Redis("scan", address, "A", {})}).out, "third\n");

  // The time to live: a number, none, or a miss.
  const int64_t ttl = Json::parse(RunCli({.args = Redis("ttl", address, ns, {"--json", "k?2"})}).out).at("ttl_seconds");
  EXPECT_GE(ttl, 1);
  EXPECT_LE(ttl, 100);
  EXPECT_EQ(RunCli({.args = Redis("ttl", address, ns, {"k1"})}).out, "no expiry\n");
  EXPECT_EQ(RunCli({.args = Redis("ttl", address, ns, {"nothing"})}).exitCode, 1);

  // Drop, then get and drop are misses (exit 1, nothing on stdout).
  EXPECT_EQ(RunCli({.args = Redis("drop", address, ns, {"k1"})}).exitCode, 0);
  EXPECT_EQ(Text(library.TryLoad(u"k1").Get()), "(miss)");
  for (const char* command : {"get", "drop"}) {
    const CliResult miss = RunCli({.args = Redis(command, address, ns, {"k1"})});
    EXPECT_EQ(miss.exitCode, 1) << command << ": " << miss.Describe();
    EXPECT_EQ(miss.out, "");
    EXPECT_NE(miss.err.find("no value for key 'k1'"), std::string::npos) << miss.err;
  }

  // A server that is not there is a failure (exit 3) in one line.
  const std::string nowhere = "127.0.0.1:" + std::to_string(kelcache_test::FindFreeLoopbackPort());
  const CliResult unreachable = RunCli({.args = Redis("get", nowhere, ns, {"k1"})});
  EXPECT_EQ(unreachable.exitCode, 3) << unreachable.Describe();
  EXPECT_EQ(std::count(unreachable.err.begin(), unreachable.err.end(), '\n'), 1);
}

TEST(CliRedisTool, WatchDecodesTheLibrarysMessagesShowsMalformedOnesAndStopsOnSigterm) {
  kelcache_test::RedisServer server;
  CliProcess watch({.args = {"watch", "--servers", server.Address(), "--json"}});
  ASSERT_TRUE(watch.WaitFor("watching", 20s, true)) << watch.SoFar().err;

  // A malformed message, published until the watch's subscription takes it
  // (the subscription is made in the background): the watch is the only
  // subscriber so far, so exactly one copy reaches it.
  RedisExternalCache::InitializeConnectionPool(TString::fromStdString(server.Address()), TString());
  int64_t receivers = 0;
  for (int attempt = 0; attempt < 200 && receivers == 0; ++attempt) {
    auto guard = RedisConnectionPool::GetInstance().LockPubSubConnection();
    ASSERT_TRUE(guard);
    receivers = guard->GetConnection().Publish("defaultns.1a-2b", "garbage");
    if (receivers == 0) std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(receivers, 1);

  // A message the coherence service publishes for an added entry, stamped
  // 2024-05-01 12:34:56.789.
  const uint64_t timestamp = 62135596800000ULL + 1714566896789ULL;
  RedisPubsub::GetInstance().lock()->OnAdded({0xabc, 0xdef}, {0x12, 0x34}, timestamp, 1, {});
  ASSERT_TRUE(watch.WaitFor("\"key_hash\":\"abc-def\"", 20s)) << watch.SoFar().out;
  ASSERT_TRUE(watch.WaitFor("\"type\":\"rate\"", 20s)) << watch.SoFar().out;

  watch.Signal(SIGTERM);
  const CliResult result = watch.Wait(20s);
  ASSERT_TRUE(result.exited) << result.Describe();
  EXPECT_EQ(result.exitCode, 0);
  // JSON Lines: every line is one JSON value of its own.
  std::map<std::string, std::vector<Json>> byType;
  std::istringstream lines(result.out);
  Json last;
  for (std::string line; std::getline(lines, line);) {
    last = Json::parse(line);
    byType[last.at("type").get<std::string>()].push_back(last);
  }
  ASSERT_EQ(byType["malformed"].size(), 1u) << result.out;
  EXPECT_EQ(byType["malformed"][0].at("message"), "garbage");
  EXPECT_EQ(byType["malformed"][0].at("channel"), "defaultns.1a-2b");
  ASSERT_EQ(byType["message"].size(), 1u) << result.out;
  EXPECT_EQ(byType["message"][0].at("key_hash"), "abc-def");
  EXPECT_EQ(byType["message"][0].at("value_hash"), "12-34");
  EXPECT_EQ(byType["message"][0].at("time"), "2024-05-01T12:34:56.789");
  // The counts per second add up, and the summary ends the output.
  uint64_t counted = 0;
  for (const Json& rate : byType["rate"]) counted += rate.at("messages_per_second").get<uint64_t>();
  EXPECT_EQ(counted, 2u) << result.out;
  EXPECT_EQ(last.at("type"), "summary");
  EXPECT_EQ(last.at("messages"), 2u);
  EXPECT_EQ(last.at("malformed"), 1u);
}

}  // namespace
