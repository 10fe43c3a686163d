// The connection pool: its configuration texts (one server or a cluster,
// the TLS items included) and the pool without a server, then against private
// redis-servers: AUTH and SELECT on every connection, the limit on
// connections and the wait for one, and a Reset while connections are in use.
// The pool over TLS is tested in RedisTlsTest.cpp, the subscription manager on
// its own connection to the servers in RedisSubscriptionManagerTest.cpp.
//
// What a connection's commands return (values, misses, counts, error replies)
// is checked under many callers by RedisPipeTest.cpp, expiries by
// RedisExternalCacheTest.cpp; traffic, time-outs, restarts and
// publish/subscribe over TLS by the tests that run each contract over both
// wires (RedisPipeTest.cpp and RedisSubscriptionManagerTest.cpp). The pool over
// a Redis Cluster has tests of its own (RedisClusterTest.cpp).
//
// The tests without a server come first (this file is the program's first
// source): the first of them needs a pool that was never configured in this
// process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/LogCapture.h"
#include "host/redis/RedisCluster.h"
#include "host/redis/RedisConfiguration.h"
#include "host/redis/RedisConnectionGuard.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/RedisServerLink.h"
#include "host/redis/RedisSubscriptionManager.h"
#include "tests/host/redis/RedisTestSupport.h"
#include "tests/support/FailingAllocation.h"

namespace kelcache_test {
namespace {

using namespace kelvra::caching;
using Servers = std::vector<std::pair<TString, uint16_t>>;

TEST(RedisConfiguration, OptionsTextParses) {
  const RedisPoolOptions options = RedisPoolOptions::Parse(
      u"password=a\\;b\\\\c = d; db = 7 ;connections=9;connect_timeout_ms=25;command_timeout_ms= 40 ;wait_ms=0;");
  EXPECT_EQ(options.password, "a;b\\c = d") << "escapes resolved, the rest verbatim";
  EXPECT_EQ(std::tie(options.database, options.connectionsPerServer, options.connectTimeout, options.commandTimeout,
                     options.waitTimeout),
            std::make_tuple(7, 9, 25ms, 40ms, 0ms));
  // Whether the TLS items are read right shows in RedisTlsTest.cpp: each one
  // decides whether a connection to a TLS server is made or refused.
}

TEST(RedisConfiguration, WithoutServersThereIsNoConnectionAndPublishingFailsQuietly) {
  RedisConnectionPool& pool = RedisConnectionPool::GetInstance();
  // Never configured in this process yet (each test runs in its own process
  // under ctest; run directly, the earlier tests leave no server behind).
  EXPECT_EQ(pool.GetConfiguration(), nullptr);
  EXPECT_EQ(RedisConnectionPool::FindAndLockPooledConnection(u"key"), nullptr);
  std::string whyNot;
  EXPECT_EQ(pool.LockPubSubConnection(&whyNot), nullptr);
  EXPECT_EQ(whyNot, "no Redis server is configured");
  EXPECT_TRUE(pool.SubscriptionServers().empty());
  EXPECT_FALSE(kelvra::caching::RedisSubscriptionManager::GetInstance().TryPublish(u"channel", u"message", {}));

  // A server that refuses connections: null, no exception, one Warn line.
  TLog::Capture capture(TLog::Warn);
  pool.Reset(Servers{{u"127.0.0.1", 1}}, u"connect_timeout_ms=200");
  EXPECT_EQ(RedisConnectionPool::FindAndLockPooledConnection(u"key", &whyNot), nullptr);
  EXPECT_NE(whyNot.find("Connection refused"), std::string::npos) << whyNot;
  whyNot.clear();
  EXPECT_EQ(RedisConnectionPool::FindAndLockPooledConnection(u"key", &whyNot), nullptr) << "inside the back-off";
  EXPECT_NE(whyNot.find("Connection refused"), std::string::npos) << "the back-off keeps the reason: " << whyNot;
  EXPECT_TRUE(capture.ContainsLine(u"RedisConnectionPool: no connection to 127.0.0.1:1"));
  EXPECT_EQ(capture.Lines().size(), 1u) << "the back-off keeps the second request quiet";
  EXPECT_FALSE(kelvra::caching::RedisSubscriptionManager::GetInstance().TryPublish(u"channel", u"message", {}));

  pool.Reset(Servers{}, u"");
  EXPECT_EQ(pool.GetConfiguration(), nullptr);
}

// The servers text names one server or one cluster; the pair form names one
// server. A text that is refused gets an error that names the problem.
TEST(RedisConfiguration, TheServersTextNamesOneServerOrTheNodesOfACluster) {
  // Each row: servers text, the listed nodes, whether they are a cluster.
  const std::tuple<std::string, std::vector<RedisServerAddress>, bool> accepted[] = {
      {"10.0.0.5:7000", {{"10.0.0.5", 7000}}, false},
      {" 10.0.0.5 ", {{"10.0.0.5", 6379}}, false},  // no port means 6379
      {"cluster:10.0.0.5:7000", {{"10.0.0.5", 7000}}, true},
      {" cluster: a:7000 , b:7001,[::1]:7002 ", {{"a", 7000}, {"b", 7001}, {"::1", 7002}}, true},
      {"cluster:node", {{"node", 6379}}, true},
      {"CLUSTER:10.0.0.5:7000", {{"10.0.0.5", 7000}}, true},
      {"[cluster]:6379", {{"cluster", 6379}}, false},
      {"", {}, false},
  };
  for (const auto& [servers, listedNodes, cluster] : accepted) {
    SCOPED_TRACE(servers);
    const RedisPoolConfiguration parsed = ParseRedisPoolConfiguration(TString::fromStdString(servers), u"");
    EXPECT_EQ(parsed.servers, listedNodes);
    EXPECT_EQ(parsed.cluster, cluster);
  }
  const auto& files = TestCertificates();
  const TempDir folder;
  const std::string missing = folder.str() + "/no-such-file.pem";
  // Each row: servers text, options text, a fragment of the error.
  const std::tuple<std::string, std::string, std::string> refused[] = {
      {"cluster:", "", "names no node of the cluster"}, {"cluster:a:7000,,b:7001", "", "empty item"},
      {"cluster:a:70000", "", "'a:70000' has the port '70000'"}, {"host:0", "", "port"}, {"host:abc", "", "'abc'"},
      {":6379", "", "no host"}, {"a:1:2", "", "more than one ':'"}, {"[::1:6379", "", "closing ']'"},
      {"[::1]x", "", "not ':port'"}, {"cluster:a:7000,a:7000", "", "a:7000 is listed twice"},
      {"cluster:a:7000", "db=2", "a Redis Cluster has only database 0"},
      {"a:7000,b:7001", "",
       "independent servers; name one server, or the nodes of a Redis Cluster as 'cluster:a:7000,b:7001'"},
      {"", "colour=blue", "unknown option 'colour'"}, {"", "db", "name=value"},
      {"", "db=x", "'db' needs a whole number"}, {"", "db=-1", "between 0 and"},
      {"", "connections=0", "'connections' must be between 1"},
      {"", "connect_timeout_ms=0", "'connect_timeout_ms' must be between 1"},
      {"", "command_timeout_ms=5s", "'command_timeout_ms' needs a whole number"},
      {"", "wait_ms=99999999999", "'wait_ms'"}, {"", "db=1;db=2", "'db' is given twice"},
      {"", "user=app", "'user' needs a 'password'"}, {"", "tls=yes", "'tls' must be on or off, not 'yes'"},
      {"", "tls=on;tls_verify=no", "'tls_verify' must be on or off"},
      {"", "tls_ca_file=" + files.caFile, "'tls_ca_file' needs tls=on"},
      {"", "tls=off;tls_verify=off", "'tls_verify' needs tls=on"},
      {"", "tls=on;tls_ca_file=", "'tls_ca_file' needs a file name"},
      {"", "tls=on;tls_ca_file=" + missing, "'tls_ca_file' names '" + missing + "', which cannot be read"},
      {"", "tls=on;tls_ca_dir=" + files.caFile, "'tls_ca_dir' names '" + files.caFile + "', which is not a folder"},
      {"", "tls=on;tls_ca_file=" + files.clientKeyFile, "(tls_ca_file) as trusted CA certificates"},
      {"", "tls=on;tls_cert_file=" + files.clientCertFile, "'tls_cert_file' needs a 'tls_key_file' too"},
      {"", "tls=on;tls_key_file=" + files.clientKeyFile, "'tls_key_file' needs a 'tls_cert_file' too"},
      {"", "tls=on;tls_cert_file=" + files.clientCertFile + ";tls_key_file=" + files.serverKeyFile,
       "does not belong to the certificate"},
      {"", "tls=on;tls_cert_file=" + files.clientKeyFile + ";tls_key_file=" + files.clientKeyFile,
       "(tls_cert_file) as the client certificate"},
      {"", "tls=on;tls_server_name=a b", "'tls_server_name' needs a host name without white space"},
      // A NUL would end the name early in the system's and OpenSSL's calls.
      {std::string("cache\0.corp:6379", 16), "", "a host holds the control character 0x00"},
      {"", std::string("tls=on;tls_server_name=cache\0.corp", 34), "'tls_server_name' holds the control character 0x00"},
      {"", "tls=on;tls_ca_file=" + files.caFile + std::string("\0x", 2), "'tls_ca_file' holds the control character 0x00"},
  };
  for (const auto& [servers, options, error] : refused) {
    SCOPED_TRACE(servers + " / " + options);
    const std::string message = RaisedText<RedisConfigurationError>(
        [&s = servers, &o = options] { ParseRedisPoolConfiguration(TString::fromStdString(s), TString::fromStdString(o)); });
    EXPECT_NE(message.find(error), std::string::npos) << message;
  }

  // Pairs: one is a server, several are the listed nodes of a cluster.
  EXPECT_FALSE(MakeRedisPoolConfiguration(Servers{{u"h", 1}}, u"").cluster);
  EXPECT_TRUE(MakeRedisPoolConfiguration(Servers{{u"h", 1}, {u"g", 2}}, u"").cluster);
  EXPECT_EQ(MakeRedisPoolConfiguration(Servers{{u"::1", 7000}}, u"").servers.at(0).ToString(), "[::1]:7000");
  const std::tuple<Servers, TString, std::string> badPairs[] = {
      {{{u"", 1}}, u"", "empty host"}, {{{u"h", 0}}, u"", "port 0"}, {{{u"h", 5}, {u"h", 5}}, u"", "twice"},
      {{{TString(u"a\0b", 3), 1}}, u"", "control character 0x00"},
      {{{u"127.0.0.1:6379", 1}}, u"", "'127.0.0.1:6379' has a ':' but is no IPv6 address"},
      {{{u"[::1]", 1}}, u"", "'[::1]' has brackets"},
      {{{u"h", 1}, {u"g", 2}}, u"db=1", "a Redis Cluster has only database 0"}};
  for (const auto& bad : badPairs) {
    const std::string message = RaisedText<RedisConfigurationError>(
        [&] { MakeRedisPoolConfiguration(std::get<0>(bad), std::get<1>(bad)); });
    EXPECT_NE(message.find(std::get<2>(bad)), std::string::npos) << message;
  }

  // A configuration the pool refuses changes nothing: the earlier one stays
  // in force.
  RedisConnectionPool& pool = RedisConnectionPool::GetInstance();
  pool.Reset(u"cluster:127.0.0.1:1", u"connections=1");
  auto before = pool.GetConfiguration();
  ASSERT_NE(before, nullptr);
  EXPECT_THROW(pool.Reset(u"cluster:127.0.0.1:2", u"connections=lots"), RedisConfigurationError);
  EXPECT_THROW(pool.Reset(Servers{{u"127.0.0.1", 0}}, u""), RedisConfigurationError);
  EXPECT_EQ(pool.GetConfiguration(), before);
  pool.Reset(u"", u"");
}

// A connection or guard without its server, cluster, pool or connection is
// refused where it is made, not at its first use or in its destructor.
TEST(RedisConnectionPool, ConnectionsAndGuardsRefuseNullParts) {
  struct Owner : IRedisConnectionOwner {
    void Release(std::unique_ptr<RedisConnection>) noexcept override {}
  };
  const auto owner = std::make_shared<Owner>();
  const auto link = std::make_shared<RedisServerLink>(RedisServerAddress{"127.0.0.1", 1}, RedisPoolOptions{});
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] { RedisConnection(std::shared_ptr<RedisServerLink>()); }, "host/redis/RedisConnection:[0-9]+ link"},
      {[] { RedisConnection(std::shared_ptr<RedisCluster>()); }, "host/redis/RedisConnection:[0-9]+ cluster"},
      {[&] { RedisConnectionGuard(nullptr, std::make_unique<RedisConnection>(link)); },
       "host/redis/RedisConnectionGuard:[0-9]+ pool"},
      {[&] { RedisConnectionGuard(owner, nullptr); }, "host/redis/RedisConnectionGuard:[0-9]+ connection"},
  };
  for (const auto& [make, site] : cases) EXPECT_THAT(LogicExceptionSite(make), testing::MatchesRegex(site));
}

TEST(RedisConnectionPool, PasswordAndDatabaseApplyToEveryConnectionAlsoAfterARestart) {
  RedisServer server(RedisServer::Options{"s3cr;et"});
  Configure(server.Address(), "password=s3cr\\;et;db=3;connections=2");
  RawRedis database3(server, "s3cr;et", 3);
  EXPECT_EQ(RoundTrip("in-3", MakeValue("x")), "");
  EXPECT_EQ(database3.Get("in-3"), "x");
  EXPECT_EQ(RawRedis(server, "s3cr;et").Get("in-3"), std::nullopt) << "not in database 0";

  // The pooled connection is stale after the restart; the next command
  // reconnects, authenticates and selects the database again.
  server.Restart();
  EXPECT_EQ(RoundTrip("again-in-3", MakeValue("y")), "");
  EXPECT_EQ(database3.Get("again-in-3"), "y");

  // A wrong password: no connection (null, not an exception), logged.
  Configure(server.Address(), "password=wrong");
  const std::string refused = RoundTrip("a", MakeValue("x"));
  EXPECT_EQ(refused.rfind("no connection: ", 0), 0u) << refused;
  EXPECT_NE(refused.find("refused"), std::string::npos) << refused;
  std::string whyNot;
  EXPECT_EQ(RedisConnectionPool::FindAndLockPooledConnection(u"a", &whyNot), nullptr);
  EXPECT_NE(whyNot.find("WRONGPASS"), std::string::npos) << "the server's own reply: " << whyNot;
}

TEST(RedisConnectionPool, ConnectionsAreLimitedAndABusyPoolWaitsThenGivesUp) {
  RedisServer server;
  Configure(server.Address(), "connections=2;wait_ms=100");
  auto first = Lock("k");
  auto second = Lock("k");
  ASSERT_TRUE(first && second);
  EXPECT_NE(&first->GetConnection(), &second->GetConnection());
  auto started = std::chrono::steady_clock::now();
  std::string whyNot;
  EXPECT_EQ(RedisConnectionPool::FindAndLockPooledConnection(u"k", &whyNot), nullptr) << "both connections are in use";
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(90)) << "it waited wait_ms";
  EXPECT_EQ(whyNot, "all its connections stayed in use for the wait time");

  // A returned connection is reused, not a new one made.
  auto* firstConnection = &first->GetConnection();
  first.reset();
  auto again = Lock("k");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(&again->GetConnection(), firstConnection);

  // A waiter gets a connection that comes back while it waits.
  Configure(server.Address(), "connections=1;wait_ms=10000");
  auto only = Lock("k");
  ASSERT_NE(only, nullptr);
  std::atomic<bool> got{false};
  std::thread waiter([&] { got = Lock("k") != nullptr; });
  std::this_thread::sleep_for(50ms);
  only.reset();
  waiter.join();
  EXPECT_TRUE(got);
}

// A connection or its guard that cannot be allocated gives its place back:
// each allocation of taking a connection from a new pool of one fails in
// turn, and the next taker is never told that the place is in use. (A
// failure while connecting counts as the server's, so the back-off may
// refuse that taker for a moment.)
TEST(RedisConnectionPool, RunningOutOfMemoryWhileTakingAConnectionLosesNoPlace) {
  if (!AllocationFailuresAvailable()) return;  // the sanitizers' builds
  RedisServer server;
  for (long successes = 0;; ++successes) {
    SCOPED_TRACE("allocations before the failure: " + std::to_string(successes));
    Configure(server.Address(), "connections=1;wait_ms=100");
    std::unique_ptr<RedisConnectionGuard> taken;
    const bool failed =
        RunFailingAllocation(successes, [&] { taken = RedisConnectionPool::FindAndLockPooledConnection(u"k"); });
    taken.reset();
    std::string whyNot;
    RedisConnectionPool::FindAndLockPooledConnection(u"k", &whyNot);
    EXPECT_NE(whyNot, "all its connections stayed in use for the wait time") << "the only place was lost";
    if (!failed) break;  // every allocation has failed once
  }
}

TEST(RedisConnectionPool, AResetLeavesConnectionsInUseWorkingAndRetiresThemAfterwards) {
  RedisServer first, second;
  Configure(first.Address());
  auto old = Lock("k");
  ASSERT_NE(old, nullptr);
  Configure(second.Address());
  EXPECT_TRUE(old->GetConnection().Set("through-old", MakeValue("1")));
  old.reset();  // goes back to the retired pool, which closes it
  auto current = Lock("k");
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(current->GetConnection().GetAddress().port, second.Port());
  EXPECT_EQ(RawRedis(first).Get("through-old"), "1");
  // Only the raw client's own connection is left on the first server.
  EXPECT_TRUE(WaitUntil([&] { return RawRedis(first).Info("connected_clients") == 1; }));
}

}  // namespace
}  // namespace kelcache_test
