// The shared, pipelined connections (RedisPipe through RedisServerLink and
// RedisConnection) over an in-memory server whose every write and reply the
// test holds or releases (FakeRedis.h), so that the interleavings that matter
// happen every time: time-outs that must fail every waiting request and
// never hand a late reply to a later one, a slow write that must not count
// as the server's silence, and the one retry on a connection that the server
// closed while it sat idle (and no retry otherwise).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "host/redis/RedisConnection.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/RedisServerLink.h"
#include "tests/host/redis/FakeRedis.h"

namespace kelcache_test {
namespace {

using namespace std::chrono_literals;
using kelvra::caching::RedisConnection;
using kelvra::caching::RedisIoError;
using kelvra::caching::RedisPoolOptions;
using kelvra::caching::RedisServerLink;
using kelvra::caching::RedisTimeoutError;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kLongWait = 15s;

RedisConnection::Value Bytes(const std::string& text) {
  return std::make_shared<std::vector<uint8_t>>(text.begin(), text.end());
}
std::string Text(const RedisConnection::Value& value) {
  return value ? std::string(value->begin(), value->end()) : std::string("(nil)");
}

// One server link over `fake` with one pipe and the given command time-out.
std::shared_ptr<RedisServerLink> MakeLink(FakeRedis& fake, std::chrono::milliseconds commandTimeout) {
  RedisPoolOptions options;
  options.connectionsPerServer = 1;
  options.commandTimeout = commandTimeout;
  return std::make_shared<RedisServerLink>(kelvra::caching::RedisServerAddress{"fake", 6379}, options,
                                           fake.Factory());
}

TEST(RedisPipe, WhenTheServerFallsSilentEveryWaitingRequestTimesOutOnceAndNoLateReplyReachesALaterOne) {
  for (int callers : {1, 4}) {
    SCOPED_TRACE(std::to_string(callers) + " callers");
    FakeRedis fake;
    constexpr auto kTimeout = 150ms;
    auto link = MakeLink(fake, kTimeout);
    RedisConnection setter(link);
    for (int i = 0; i < callers; ++i) setter.Set("k" + std::to_string(i), Bytes("old" + std::to_string(i)));

    // The replies to these GETs are held back: the server has fallen silent.
    for (int i = 0; i < callers; ++i) fake.CloseReplyGate("k" + std::to_string(i));
    std::vector<std::future<std::string>> results;
    for (int i = 0; i < callers; ++i) {
      results.push_back(std::async(std::launch::async, [&, i] {
        RedisConnection connection(link);
        auto started = Clock::now();
        try {
          connection.Get("k" + std::to_string(i));
          return std::string("answered");
        } catch (const RedisTimeoutError&) {
          auto waited = Clock::now() - started;
          if (waited > 10 * kTimeout) return std::string("timed out late");
          return connection.IsConnected() ? std::string("still connected") : std::string("timed out");
        } catch (const std::exception& error) {
          return std::string("failed otherwise: ") + error.what();
        }
      }));
    }
    for (auto& result : results) {
      ASSERT_EQ(result.wait_for(kLongWait), std::future_status::ready);
      EXPECT_EQ(result.get(), "timed out");
    }
    // Each GET went out once: a time-out is not retried.
    for (int i = 0; i < callers; ++i) EXPECT_TRUE(fake.WaitForCommands("k" + std::to_string(i), 2, 0ms));
    EXPECT_FALSE(fake.WaitForCommands("k0", 3, 0ms)) << "SET and GET of k0 only";

    // The held replies are released into the closed connection: the next
    // requests go out on a new one and each gets its own reply.
    for (int i = 0; i < callers; ++i) fake.OpenReplyGate("k" + std::to_string(i));
    for (int i = 0; i < callers; ++i) {
      std::string key = "k" + std::to_string(i);
      EXPECT_TRUE(setter.Set(key, Bytes("new" + std::to_string(i))));
      EXPECT_EQ(Text(setter.Get(key)), "new" + std::to_string(i));
    }
    EXPECT_GE(fake.Connections(), 2);
  }
}

TEST(RedisPipe, AReaderKeepsWaitingWhileTheRequestItWaitsForIsStillGoingOut) {
  // Callers R, A and O share one pipe. R's reply is held back; A writes its
  // SET while O's SET queues behind it; A's write is held, then O's. R's
  // reply comes with A's, and R hands the reader role to O, whose request is
  // still being written by A. O's reads meet silence for several time-outs,
  // but the server owes O nothing until O's request is out, so O must go on
  // waiting instead of failing.
  FakeRedis fake;
  constexpr auto kTimeout = 200ms;
  auto link = MakeLink(fake, kTimeout);
  RedisConnection(link).Set("r", Bytes("r-value"));

  fake.CloseReplyGate("r");
  fake.CloseWriteGate("a");
  fake.CloseWriteGate("o");
  auto run = [&](std::function<std::string(RedisConnection&)> command) {
    return std::async(std::launch::async, [&link, command] {
      RedisConnection connection(link);
      try {
        return command(connection);
      } catch (const std::exception& error) {
        return std::string("failed: ") + error.what();
      }
    });
  };
  std::future<std::string> r, a, o;
  // Should an assertion end the test early, the callers still finish.
  struct OpenGatesAtEnd {
    FakeRedis& fake;
    ~OpenGatesAtEnd() { fake.OpenAllGates(); }
  } openGatesAtEnd{fake};
  r = run([](RedisConnection& c) { return Text(c.Get("r")); });
  ASSERT_TRUE(fake.WaitForBlockedReads(1, kLongWait));  // R wrote its GET and waits for the reply
  a = run([](RedisConnection& c) { return std::string(c.Set("a", Bytes("a-value")) ? "ok" : "not ok"); });
  ASSERT_TRUE(fake.WaitForBlockedWrite("a", kLongWait));  // A is the writer now
  o = run([](RedisConnection& c) { return std::string(c.Set("o", Bytes("o-value")) ? "ok" : "not ok"); });
  auto deadline = Clock::now() + kLongWait;
  while (link->ChoosePipe().Load() < 3 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(20ms);  // O's request is queued behind A's write

  fake.OpenWriteGate("a");
  ASSERT_TRUE(fake.WaitForCommands("a", 1, kLongWait));
  fake.OpenReplyGate("r");
  ASSERT_EQ(r.wait_for(kLongWait), std::future_status::ready);
  EXPECT_EQ(r.get(), "r-value");

  std::this_thread::sleep_for(3 * kTimeout);
  EXPECT_EQ(o.wait_for(0ms), std::future_status::timeout) << "O gave up while its request was going out";
  fake.OpenWriteGate("o");
  ASSERT_EQ(o.wait_for(kLongWait), std::future_status::ready);
  ASSERT_EQ(a.wait_for(kLongWait), std::future_status::ready);
  EXPECT_EQ(o.get(), "ok");
  EXPECT_EQ(a.get(), "ok");
  EXPECT_EQ(Text(RedisConnection(link).Get("o")), "o-value");
  EXPECT_EQ(fake.Connections(), 1);
}

TEST(RedisPipe, OnlyAConnectionThatHadAnsweredIsRetriedAfterTheServerClosedIt) {
  struct Case {
    const char* name;
    bool answeredBefore;  // the connection had answered a request before
  };
  for (const Case& c : {Case{"idle connection closed by a restart", true},
                        Case{"new connection closed before answering", false}}) {
    SCOPED_TRACE(c.name);
    FakeRedis fake;
    auto link = MakeLink(fake, 5s);
    RedisConnection connection(link);
    if (c.answeredBefore) {
      ASSERT_TRUE(connection.Set("k", Bytes("v")));
      fake.DropSessions();
      // The command meets the closed connection and goes out once more on a
      // new one.
      EXPECT_EQ(Text(connection.Get("k")), "v");
      EXPECT_EQ(fake.Connections(), 2);
      EXPECT_EQ(fake.CommandsOn(1), std::vector<std::string>{"GET k"});
      continue;
    }
    fake.CloseReplyGate("k");
    auto result = std::async(std::launch::async, [&] {
      try {
        connection.Get("k");
        return std::string("answered");
      } catch (const RedisIoError&) {
        return std::string("i/o error");
      }
    });
    ASSERT_TRUE(fake.WaitForCommands("k", 1, kLongWait));
    fake.DropSessions();
    ASSERT_EQ(result.wait_for(kLongWait), std::future_status::ready);
    EXPECT_EQ(result.get(), "i/o error");
    EXPECT_EQ(fake.Connections(), 1) << "not retried";
  }
}

TEST(RedisPipe, AFailedConnectStartsTheBackOffAndASuccessEndsIt) {
  FakeRedis fake;
  auto link = MakeLink(fake, 1s);
  RedisConnection connection(link);
  fake.RefuseConnections(true);
  EXPECT_THROW(connection.Get("k"), RedisIoError);
  auto failedAt = Clock::now();
  fake.RefuseConnections(false);
  // Inside the back-off (100 ms after a first failure) no attempt is made,
  // even though the server is back.
  bool refused = !link->TryConnect();
  if (Clock::now() - failedAt < 90ms) {
    EXPECT_TRUE(refused);
    EXPECT_EQ(fake.Connections(), 0);
  }
  std::this_thread::sleep_for(250ms);  // more than the back-off
  EXPECT_EQ(connection.Get("k"), nullptr);
  EXPECT_TRUE(connection.IsConnected());
  EXPECT_EQ(fake.Connections(), 1);
}

}  // namespace
}  // namespace kelcache_test
