// The pool's configuration texts (one server or a cluster), and the pool
// without a server. None of these needs a running Redis.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/LogCapture.h"
#include "host/redis/RedisConfiguration.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/RedisSubscriptionManager.h"
#include "tests/support/TestEnvironment.h"

namespace kelcache_test {
namespace {

using namespace kelvra::caching;
using Servers = std::vector<std::pair<TString, uint16_t>>;

std::string ConfigurationErrorOf(const std::function<void()>& parse) {
  return kelcache_test::RaisedText<RedisConfigurationError>(parse);
}

TEST(RedisConfiguration, OptionsTextParses) {
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

TEST(RedisConfiguration, WithoutServersThereIsNoConnectionAndPublishingFailsQuietly) {
  RedisConnectionPool& pool = RedisConnectionPool::GetInstance();
  // Never configured in this process yet (each test runs in its own process
  // under ctest; run directly, the earlier tests leave no server behind).
  EXPECT_EQ(pool.GetConfiguration(), nullptr);
  EXPECT_EQ(RedisConnectionPool::FindAndLockPooledConnection(u"key"), nullptr);
  EXPECT_EQ(pool.LockPubSubConnection(), nullptr);
  EXPECT_TRUE(pool.SubscriptionServers().empty());
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

// The servers text names one server or one cluster; the pair form names one
// server. Each row: servers text, options text, and either the listed nodes and
// whether they are a cluster, or a fragment of the error, which names the
// problem.
TEST(RedisConfiguration, TheServersTextNamesOneServerOrTheNodesOfACluster) {
  struct Case {
    std::string servers;
    std::string options;
    std::vector<RedisServerAddress> listedNodes;  // expected when `error` is empty
    bool cluster = false;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"10.0.0.5:7000", "", {{"10.0.0.5", 7000}}, false, ""},
      {" 10.0.0.5 ", "", {{"10.0.0.5", 6379}}, false, ""},  // no port means 6379
      {"cluster:10.0.0.5:7000", "", {{"10.0.0.5", 7000}}, true, ""},
      {" cluster: a:7000 , b:7001,[::1]:7002 ", "", {{"a", 7000}, {"b", 7001}, {"::1", 7002}}, true, ""},
      {"cluster:node", "", {{"node", 6379}}, true, ""},
      {"[cluster]:6379", "", {{"cluster", 6379}}, false, ""},
      {"", "", {}, false, ""},
      {"  ", "", {}, false, ""},
      {"cluster:", "", {}, false, "names no node of the cluster"},
      {"cluster:  ", "", {}, false, "names no node of the cluster"},
      {"cluster:a:7000,,b:7001", "", {}, false, "empty item"},
      {"cluster:a:70000", "", {}, false, "'a:70000' has the port '70000'"},
      {"host:0", "", {}, false, "port"},
      {"host:abc", "", {}, false, "'abc'"},
      {":6379", "", {}, false, "no host"},
      {"a:1:2", "", {}, false, "more than one ':'"},
      {"[::1:6379", "", {}, false, "closing ']'"},
      {"[::1]x", "", {}, false, "not ':port'"},
      {"cluster:a:7000,a:7000", "", {}, false, "a:7000 is listed twice"},
      {"cluster:a:7000", "db=2", {}, false, "a Redis Cluster has only database 0"},
      {"a:7000,b:7001", "", {}, false, "independent servers; name one server, or the nodes of a Redis Cluster as "
                                       "'cluster:a:7000,b:7001'"},
      {"", "colour=blue", {}, false, "unknown option 'colour'"},
      {"", "db", {}, false, "name=value"},
      {"", "db=x", {}, false, "'db' needs a whole number"},
      {"", "db=-1", {}, false, "between 0 and"},
      {"", "connections=0", {}, false, "'connections' must be between 1"},
      {"", "connect_timeout_ms=0", {}, false, "'connect_timeout_ms' must be between 1"},
      {"", "command_timeout_ms=5s", {}, false, "'command_timeout_ms' needs a whole number"},
      {"", "wait_ms=99999999999", {}, false, "'wait_ms'"},
      {"", "db=1;db=2", {}, false, "'db' is given twice"},
      {"", "user=app", {}, false, "'user' needs a 'password'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.servers + " / " + c.options);
    if (!c.error.empty()) {
      const std::string message = ConfigurationErrorOf([&] {
        ParseRedisPoolConfiguration(TString::fromStdString(c.servers), TString::fromStdString(c.options));
      });
      EXPECT_NE(message.find(c.error), std::string::npos) << message;
      continue;
    }
    const auto configuration =
        ParseRedisPoolConfiguration(TString::fromStdString(c.servers), TString::fromStdString(c.options));
    EXPECT_EQ(configuration.servers, c.listedNodes);
    EXPECT_EQ(configuration.cluster, c.cluster);
  }
  EXPECT_EQ((RedisServerAddress{"::1", 7000}).ToString(), "[::1]:7000");

  // Pairs: one is a server, several are the listed nodes of a cluster.
  EXPECT_NE(ConfigurationErrorOf([] { MakeRedisServers({{u"", 1}}); }).find("empty host"), std::string::npos);
  EXPECT_NE(ConfigurationErrorOf([] { MakeRedisServers({{u"h", 0}}); }).find("port 0"), std::string::npos);
  EXPECT_NE(ConfigurationErrorOf([] { MakeRedisServers({{u"h", 5}, {u"h", 5}}); }).find("twice"),
            std::string::npos);
  EXPECT_FALSE(MakeRedisPoolConfiguration(Servers{{u"h", 1}}, u"").cluster);
  EXPECT_TRUE(MakeRedisPoolConfiguration(Servers{{u"h", 1}, {u"g", 2}}, u"").cluster);
  EXPECT_NE(ConfigurationErrorOf([] { MakeRedisPoolConfiguration(Servers{{u"h", 1}, {u"g", 2}}, u"db=1"); })
                .find("a Redis Cluster has only database 0"),
            std::string::npos);

  // A configuration the pool refuses changes nothing: the earlier one stays
  // in force.
  RedisConnectionPool& pool = RedisConnectionPool::GetInstance();
  pool.Reset(u"cluster:127.0.0.1:1", u"connections=1");
  auto before = pool.GetConfiguration();
  ASSERT_NE(before, nullptr);
  EXPECT_TRUE(before->cluster);
  EXPECT_THROW(pool.Reset(u"127.0.0.1:1,127.0.0.1:2", u""), RedisConfigurationError);
  EXPECT_THROW(pool.Reset(u"cluster:127.0.0.1:2", u"connections=lots"), RedisConfigurationError);
  EXPECT_THROW(pool.Reset(Servers{{u"127.0.0.1", 0}}, u""), RedisConfigurationError);
  EXPECT_THROW(pool.Reset(u"cluster:127.0.0.1:1", u"db=1"), RedisConfigurationError);
  EXPECT_EQ(pool.GetConfiguration(), before);
  pool.Reset(u"", u"");
}

}  // namespace
}  // namespace kelcache_test
