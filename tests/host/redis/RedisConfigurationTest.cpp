// The pool's configuration texts, the hash ring, and the pool without a
// server. None of these needs a running Redis.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "host/LogCapture.h"
#include "host/redis/RedisConfiguration.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/RedisHashRing.h"
#include "host/redis/RedisSubscriptionManager.h"

namespace kelcache_test {
namespace {

using kelvra::caching::MakeRedisServers;
using kelvra::caching::ParseRedisServers;
using kelvra::caching::RedisConfigurationError;
using kelvra::caching::RedisConnectionPool;
using kelvra::caching::RedisHashRing;
using kelvra::caching::RedisPoolOptions;
using kelvra::caching::RedisServerAddress;
using Servers = std::vector<std::pair<TString, uint16_t>>;

std::string ConfigurationErrorOf(const std::function<void()>& parse) {
  try {
    parse();
  } catch (const RedisConfigurationError& error) {
    return error.what();
  }
  return "(no error)";
}

TEST(RedisConfiguration, ServersAndOptionsTextsParse) {
  std::vector<RedisServerAddress> servers = ParseRedisServers(u" cache-1:6380 ,10.0.0.5, [::1]:7000");
  ASSERT_EQ(servers.size(), 3u);
  EXPECT_EQ(servers[0], (RedisServerAddress{"cache-1", 6380}));
  EXPECT_EQ(servers[1], (RedisServerAddress{"10.0.0.5", 6379})) << "no port means 6379";
  EXPECT_EQ(servers[2], (RedisServerAddress{"::1", 7000}));
  EXPECT_EQ(servers[2].ToString(), "[::1]:7000");
  EXPECT_TRUE(ParseRedisServers(u"  ").empty());
  EXPECT_EQ(MakeRedisServers({{u"h", 1}, {u"h", 2}}).size(), 2u);

  RedisPoolOptions defaults = RedisPoolOptions::Parse(u"");
  EXPECT_TRUE(defaults.password.empty());
  EXPECT_EQ(defaults.database, 0);
  EXPECT_EQ(defaults.connectionsPerServer, 4);
  EXPECT_EQ(defaults.connectTimeout, std::chrono::milliseconds(500));
  EXPECT_EQ(defaults.commandTimeout, std::chrono::milliseconds(1000));
  EXPECT_EQ(defaults.waitTimeout, std::chrono::milliseconds(200));

  RedisPoolOptions options = RedisPoolOptions::Parse(
      u"password=a\\;b\\\\c = d; db = 7 ;connections=9;connect_timeout_ms=25;command_timeout_ms= 40 ;wait_ms=0;");
  EXPECT_EQ(options.password, "a;b\\c = d") << "escapes resolved, the rest verbatim";
  EXPECT_EQ(options.database, 7);
  EXPECT_EQ(options.connectionsPerServer, 9);
  EXPECT_EQ(options.connectTimeout, std::chrono::milliseconds(25));
  EXPECT_EQ(options.commandTimeout, std::chrono::milliseconds(40));
  EXPECT_EQ(options.waitTimeout, std::chrono::milliseconds(0));
  EXPECT_EQ(options.Describe().find("a;b"), std::string::npos) << "the password is never shown";
  EXPECT_EQ(RedisPoolOptions::Parse(u"user=app;password=pw").user, "app");
}

TEST(RedisConfiguration, BadTextIsRefusedWithAMessageNamingTheProblem) {
  const std::map<std::string, std::string> badServers = {
      {"host:0", "port"},          {"host:65536", "port"},        {"host:abc", "'abc'"},
      {"a:1,,b:2", "empty item"},  {":6379", "no host"},          {"a:1:2", "more than one ':'"},
      {"[::1:6379", "closing ']'"}, {"a:1, a:1", "listed twice"}, {"[::1]x", "not ':port'"},
  };
  for (const auto& [text, fragment] : badServers) {
    const std::string& item = text;  // a lambda may not capture a structured binding before clang 16
    std::string message = ConfigurationErrorOf([&] { ParseRedisServers(TString::fromStdString(item)); });
    EXPECT_NE(message.find(fragment), std::string::npos) << text << " -> " << message;
  }
  EXPECT_NE(ConfigurationErrorOf([] { MakeRedisServers({{u"", 1}}); }).find("empty host"), std::string::npos);
  EXPECT_NE(ConfigurationErrorOf([] { MakeRedisServers({{u"h", 0}}); }).find("port 0"), std::string::npos);
  EXPECT_NE(ConfigurationErrorOf([] { MakeRedisServers({{u"h", 5}, {u"h", 5}}); }).find("twice"),
            std::string::npos);

  const std::map<std::string, std::string> badOptions = {
      {"colour=blue", "unknown option 'colour'"},
      {"db", "name=value"},
      {"db=x", "'db' needs a whole number"},
      {"db=-1", "between 0 and"},
      {"connections=0", "'connections' must be between 1"},
      {"connect_timeout_ms=0", "'connect_timeout_ms' must be between 1"},
      {"command_timeout_ms=5s", "'command_timeout_ms' needs a whole number"},
      {"wait_ms=99999999999", "'wait_ms'"},
      {"db=1;db=2", "'db' is given twice"},
      {"user=app", "'user' needs a 'password'"},
  };
  for (const auto& [text, fragment] : badOptions) {
    const std::string& item = text;  // a lambda may not capture a structured binding before clang 16
    std::string message = ConfigurationErrorOf([&] { RedisPoolOptions::Parse(TString::fromStdString(item)); });
    EXPECT_NE(message.find(fragment), std::string::npos) << text << " -> " << message;
  }

  // A bad Reset changes nothing: the earlier configuration stays in force.
  RedisConnectionPool& pool = RedisConnectionPool::GetInstance();
  pool.Reset(u"127.0.0.1:1", u"connections=1");
  auto before = pool.GetConfiguration();
  ASSERT_NE(before, nullptr);
  EXPECT_THROW(pool.Reset(u"127.0.0.1:2", u"connections=lots"), RedisConfigurationError);
  EXPECT_THROW(pool.Reset(Servers{{u"127.0.0.1", 0}}, u""), RedisConfigurationError);
  EXPECT_EQ(pool.GetConfiguration(), before);
  pool.Reset(u"", u"");
}

TEST(RedisConfiguration, WithoutServersThereIsNoConnectionAndPublishingFailsQuietly) {
  RedisConnectionPool& pool = RedisConnectionPool::GetInstance();
  // Never configured in this process yet (each test runs in its own process
  // under ctest; run directly, the earlier tests leave no server behind).
  EXPECT_EQ(pool.GetConfiguration(), nullptr);
  EXPECT_EQ(RedisConnectionPool::FindAndLockPooledConnection(u"key"), nullptr);
  EXPECT_EQ(pool.LockPubSubConnection(), nullptr);
  EXPECT_FALSE(pool.ServerFor(u"key").has_value());
  EXPECT_FALSE(kelvra::caching::RedisSubscriptionManager::GetInstance().TryPublish(u"channel", u"message", {}));

  // A server that refuses connections: null, no exception, one Warn line.
  TLog::Capture capture(TLog::Warn);
  pool.Reset(Servers{{u"127.0.0.1", 1}}, u"connect_timeout_ms=200");
  EXPECT_EQ(RedisConnectionPool::FindAndLockPooledConnection(u"key"), nullptr);
  EXPECT_EQ(RedisConnectionPool::FindAndLockPooledConnection(u"key"), nullptr) << "inside the back-off";
  EXPECT_TRUE(capture.ContainsLine(u"RedisConnectionPool: no connection to 127.0.0.1:1"));
  EXPECT_EQ(capture.Lines().size(), 1u) << "the back-off keeps the second request quiet";
  EXPECT_FALSE(kelvra::caching::RedisSubscriptionManager::GetInstance().TryPublish(u"channel", u"message", {}));

  pool.Reset(Servers{}, u"");
  EXPECT_EQ(pool.GetConfiguration(), nullptr);
}

// Which of the ring's servers each of n keys goes to.
std::vector<size_t> Placement(const RedisHashRing& ring, int keys) {
  std::vector<size_t> placement;
  for (int i = 0; i < keys; ++i) placement.push_back(ring.ServerFor(TString(u"entry-") + TString::number(i)));
  return placement;
}

TEST(RedisHashRing, KeysSpreadEvenlyAndAThirdServerTakesAboutAThirdFromTheOthersOnly) {
  const int kKeys = 20000;
  std::vector<RedisServerAddress> two = {{"10.1.0.1", 6379}, {"10.1.0.2", 6379}};
  std::vector<RedisServerAddress> twoReversed = {two[1], two[0]};
  std::vector<RedisServerAddress> three = {two[0], two[1], {"10.1.0.3", 6379}};

  std::vector<size_t> before = Placement(RedisHashRing(two), kKeys);
  int onFirst = 0;
  for (size_t server : before) onFirst += server == 0;
  EXPECT_GT(onFirst, kKeys * 35 / 100);
  EXPECT_LT(onFirst, kKeys * 65 / 100);

  // The order in which servers are listed does not matter.
  std::vector<size_t> reversed = Placement(RedisHashRing(twoReversed), kKeys);
  for (int i = 0; i < kKeys; ++i) ASSERT_EQ(two[before[i]], twoReversed[reversed[i]]) << i;

  std::vector<size_t> after = Placement(RedisHashRing(three), kKeys);
  int moved = 0;
  for (int i = 0; i < kKeys; ++i) {
    if (after[i] == before[i]) continue;
    ++moved;
    ASSERT_EQ(after[i], 2u) << "a key only ever moves to the new server";
  }
  double share = static_cast<double>(moved) / kKeys;
  EXPECT_GT(share, 0.2);
  EXPECT_LT(share, 0.45);

  RedisHashRing single({{"only", 1}});
  EXPECT_EQ(single.ServerFor(u"anything"), 0u);
  EXPECT_EQ(single.ServerFor(u""), 0u);
}

}  // namespace
}  // namespace kelcache_test
