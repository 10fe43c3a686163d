// The connection pool and its connections against private redis-servers:
// AUTH and SELECT on every connection, the limit on connections and the wait
// for one, and a Reset while connections are in use. What a connection's
// commands return (values, misses, counts, error replies) is checked under
// many callers by RedisPipeTest.cpp, expiries by RedisExternalCacheTest.cpp. The pool over a Redis Cluster has tests of its own
// (RedisClusterTest.cpp).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/LogCapture.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisErrors.h"
#include "tests/host/redis/RedisTestSupport.h"

namespace kelcache_test {
namespace {

using kelvra::caching::RedisConnectionPool;

TEST(RedisConnectionPool, PasswordAndDatabaseApplyToEveryConnectionAlsoAfterARestart) {
  RedisServer server(RedisServer::Options{"s3cr;et"});
  ConfigurePool({&server}, "password=s3cr\\;et;db=3;connections=2");
  RawRedis database3(server, "s3cr;et", 3);
  RawRedis database0(server, "s3cr;et", 0);
  {
    auto guard = Lock("a");
    ASSERT_NE(guard, nullptr);
    EXPECT_TRUE(guard->GetConnection().Set("in-3", MakeRedisValue("x")));
  }
  EXPECT_EQ(database3.Get("in-3"), "x");
  EXPECT_EQ(database0.Get("in-3"), std::nullopt);

  // The pooled connection is stale after the restart; the next command
  // reconnects, authenticates and selects the database again.
  server.Restart();
  {
    auto guard = Lock("a");
    ASSERT_NE(guard, nullptr);
    EXPECT_TRUE(guard->GetConnection().Set("again-in-3", MakeRedisValue("y")));
  }
  EXPECT_EQ(database3.Get("again-in-3"), "y");

  // A wrong password: no connection (null, not an exception), logged.
  TLog::Capture capture(TLog::Warn);
  ConfigurePool({&server}, "password=wrong");
  EXPECT_EQ(Lock("a"), nullptr);
  EXPECT_TRUE(capture.ContainsLine(u"refused"));
}

TEST(RedisConnectionPool, ConnectionsAreLimitedAndABusyPoolWaitsThenGivesUp) {
  RedisServer server;
  ConfigurePool({&server}, "connections=2;wait_ms=100");
  auto first = Lock("k");
  auto second = Lock("k");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(&first->GetConnection(), &second->GetConnection());
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Lock("k"), nullptr) << "both connections are in use";
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(90)) << "it waited wait_ms";

  // A returned connection is reused, not a new one made.
  auto* firstConnection = &first->GetConnection();
  first.reset();
  auto again = Lock("k");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(&again->GetConnection(), firstConnection);

  // A waiter gets a connection that comes back while it waits.
  ConfigurePool({&server}, "connections=1;wait_ms=10000");
  auto only = Lock("k");
  ASSERT_NE(only, nullptr);
  std::atomic<bool> got{false};
  std::thread waiter([&] { got = Lock("k") != nullptr; });
  std::this_thread::sleep_for(50ms);
  only.reset();
  waiter.join();
  EXPECT_TRUE(got);

  // wait_ms=0: no waiting at all.
  ConfigurePool({&server}, "connections=1;wait_ms=0");
  auto held = Lock("k");
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(Lock("k"), nullptr);
}

TEST(RedisConnectionPool, AResetLeavesConnectionsInUseWorkingAndRetiresThemAfterwards) {
  RedisServer first, second;
  ConfigurePool({&first});
  auto old = Lock("k");
  ASSERT_NE(old, nullptr);
  ConfigurePool({&second});
  EXPECT_TRUE(old->GetConnection().Set("through-old", MakeRedisValue("1")));
  old.reset();  // goes back to the retired pool, which closes it
  auto current = Lock("k");
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(current->GetConnection().GetAddress().port, second.Port());
  EXPECT_EQ(RawRedis(first).Get("through-old"), "1");
  // Only the raw client's own connection is left on the first server.
  EXPECT_TRUE(WaitUntil([&] { return RawRedis(first).ConnectedClients() == 1; }));
}

}  // namespace
}  // namespace kelcache_test
