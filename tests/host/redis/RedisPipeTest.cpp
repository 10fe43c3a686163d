// The shared, pipelined connections (RedisPipe through RedisServerLink and
// RedisConnection).
//
// Over an in-memory server whose every write and reply the test holds or
// releases (FakeRedis.h), so that the interleavings that matter happen every
// time: the server falling silent, a slow write, a connection the server
// closed before or after it answered. Over a real redis-server, in plain TCP and in TLS:
// every caller gets exactly the replies to its own commands, also when reads
// come in pieces and when memory runs out, and many callers share a few
// sockets, one write and one read. A real server killed, restarted and paused
// under many callers is RedisFaultTest.cpp's.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/redis/RedisConnection.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/RedisServerLink.h"
#include "host/redis/RedisTransportFactory.h"
#include "tests/host/redis/FakeRedis.h"
#include "tests/host/redis/RedisTestSupport.h"
#include "tests/support/FailingAllocation.h"

namespace kelcache_test {
namespace {

using namespace kelvra::caching;
using Clock = std::chrono::steady_clock;

// One server link to `address` with `connections` places (one pipe per
// eight) and the given command time-out, over transports that `factory` makes.
std::shared_ptr<RedisServerLink> MakeLink(RedisTransportFactory factory, std::chrono::milliseconds commandTimeout,
                                          const std::string& address = "fake:6379", int connections = 1,
                                          const std::string& options = "") {
  RedisPoolConfiguration parsed =
      ParseRedisPoolConfiguration(TString::fromStdString(address), TString::fromStdString(options));
  parsed.options.connectionsPerServer = connections;
  parsed.options.commandTimeout = commandTimeout;
  return std::make_shared<RedisServerLink>(parsed.servers.at(0), parsed.options, std::move(factory));
}

// Runs `command` on a connection of its own on another thread (an error it
// raises comes out of the future's get, failing the test).
template <class Command>
auto RunOn(const std::shared_ptr<RedisServerLink>& link, Command command) {
  return std::async(std::launch::async, [link, command] {
    RedisConnection connection(link);
    return command(connection);
  });
}

// What `result` comes to; one not ready within kRedisLongWait is a caller
// that hangs.
template <class T>
T Ready(std::future<T>& result) {
  EXPECT_EQ(result.wait_for(kRedisLongWait), std::future_status::ready) << "a caller hangs";
  return result.get();
}

TEST(RedisPipe, WhenTheServerFallsSilentEveryWaitingRequestTimesOutOnceAndNoLateReplyReachesALaterOne) {
  constexpr auto kTimeout = 150ms;
  const auto key = [](int i) { return "k" + std::to_string(i); };
  constexpr int callers = 4;
  FakeRedis fake;
  auto link = MakeLink(fake.Factory(), kTimeout);
  RedisConnection setter(link);
  for (int i = 0; i < callers; ++i) setter.Set(key(i), MakeValue("old" + std::to_string(i)));

  // The replies to these GETs are held back: the server has fallen silent.
  // Requests sharing a socket share its silence clock, which starts with
  // the oldest of them: a caller that joined late may wait less than a
  // time-out of its own, but nobody fails before a time-out has passed
  // since the silence began.
  for (int i = 0; i < callers; ++i) fake.CloseReplyGate(key(i));
  const auto silentFrom = Clock::now();
  std::vector<std::future<std::string>> results;
  for (int i = 0; i < callers; ++i) {
    results.push_back(RunOn(link, [&, i](RedisConnection& connection) {
      const auto started = Clock::now();
      return RaisedText<RedisTimeoutError>([&] { connection.Get(key(i)); }, [&](const RedisTimeoutError&) {
        // Late: far beyond the time-out, more than a loaded machine adds.
        if (Clock::now() - started > 5s) return std::string("timed out late");
        if (Clock::now() - silentFrom < kTimeout) return std::string("timed out early");
        return std::string(connection.IsConnected() ? "still connected" : "timed out");
      });
    }));
  }
  for (auto& result : results) EXPECT_EQ(Ready(result), "timed out");
  // Each GET went out once: a time-out is not retried.
  for (int i = 0; i < callers; ++i) EXPECT_TRUE(fake.WaitForCommands(key(i), 2, 0ms));
  EXPECT_FALSE(fake.WaitForCommands("k0", 3, 0ms)) << "SET and GET of k0 only";

  // The held replies are released into the closed connection: the next
  // requests go out on a new one and each gets its own reply.
  for (int i = 0; i < callers; ++i) fake.OpenReplyGate(key(i));
  for (int i = 0; i < callers; ++i) {
    EXPECT_TRUE(setter.Set(key(i), MakeValue("new" + std::to_string(i))));
    EXPECT_EQ(Text(setter.Get(key(i))), "new" + std::to_string(i));
  }
  EXPECT_GE(fake.Connections(), 2);
}

// Starts R's GET, whose reply is held, so that R reads for everyone; then
// W's SET, whose write is held, so that W is the writer.
auto ReaderAndHeldWriter(FakeRedis& fake, const std::shared_ptr<RedisServerLink>& link, const std::string& value) {
  fake.CloseReplyGate("r");
  fake.CloseWriteGate("w");
  auto r = RunOn(link, [](RedisConnection& c) { return Text(c.Get("r")); });
  EXPECT_TRUE(fake.WaitForBlockedReads(1, kRedisLongWait));
  auto w = RunOn(link, [value](RedisConnection& c) { return c.Set("w", MakeValue(value)); });
  EXPECT_TRUE(fake.WaitForBlockedWrite("w", kRedisLongWait));
  return std::make_pair(std::move(r), std::move(w));
}

TEST(RedisPipe, AReaderKeepsWaitingWhileTheRequestItWaitsForIsStillGoingOut) {
  // Callers R, W and O share one pipe. R's reply is held back; W writes its
  // SET while O's SET queues behind it; W's write is held, then O's. R's
  // reply comes with W's, and R hands the reader role to O, whose request is
  // still being written by W. O's reads meet silence for several time-outs,
  // but the server owes O nothing until O's request is out, so O must go on
  // waiting instead of failing.
  FakeRedis fake;
  // R's GET is the oldest request awaiting a reply, so the setup below must
  // end within one time-out: long enough for a loaded machine.
  constexpr auto kTimeout = 1000ms;
  auto link = MakeLink(fake.Factory(), kTimeout);
  RedisConnection(link).Set("r", MakeValue("r-value"));
  fake.CloseWriteGate("o");
  auto [r, w] = ReaderAndHeldWriter(fake, link, "w-value");
  auto o = RunOn(link, [](RedisConnection& c) { return c.Set("o", MakeValue("o-value")); });
  ASSERT_TRUE(WaitUntil([&] { return link->ChoosePipe().Load() >= 3; }, kRedisLongWait));
  std::this_thread::sleep_for(20ms);  // O's request is queued behind W's write

  fake.OpenWriteGate("w");
  ASSERT_TRUE(fake.WaitForCommands("w", 1, kRedisLongWait));
  fake.OpenReplyGate("r");
  EXPECT_EQ(Ready(r), "r-value");

  std::this_thread::sleep_for(2 * kTimeout);
  EXPECT_EQ(o.wait_for(0ms), std::future_status::timeout) << "O gave up while its request was going out";
  fake.OpenWriteGate("o");
  EXPECT_TRUE(Ready(o));
  EXPECT_TRUE(Ready(w));
  EXPECT_EQ(Text(RedisConnection(link).Get("o")), "o-value");
  EXPECT_EQ(fake.Connections(), 1);
}

TEST(RedisPipe, AReplyBeforeItsRequestIsSentWholeNeitherReachesItNorFreesItsBytesTooEarly) {
  FakeRedis fake;
  auto link = MakeLink(fake.Factory(), 5s);
  RedisConnection(link).Set("r", MakeValue("r-value"));

  // R reads for everyone; W's write is held; A and B queue behind it. Once W
  // is out, the writer sends A and B in one round and B's write is held:
  // A's reply comes while its round is still going out, and the bytes of a
  // request (which may be its caller's own) stay in use until the round
  // ends, so A's caller must not return before then.
  fake.CloseWriteGate("b");
  auto [r, w] = ReaderAndHeldWriter(fake, link, "w");
  auto a = RunOn(link, [](RedisConnection& c) { return c.Set("a", MakeValue("a")); });
  ASSERT_TRUE(WaitUntil([&] { return link->ChoosePipe().Load() >= 3; }, kRedisLongWait));
  std::this_thread::sleep_for(100ms);  // A is queued behind W's write, then B behind A
  auto b = RunOn(link, [](RedisConnection& c) { return c.Set("b", MakeValue("b")); });
  ASSERT_TRUE(WaitUntil([&] { return link->ChoosePipe().Load() >= 4; }, kRedisLongWait));
  std::this_thread::sleep_for(20ms);
  fake.OpenWriteGate("w");
  ASSERT_TRUE(fake.WaitForCommands("a", 1, kRedisLongWait));
  ASSERT_TRUE(fake.WaitForBlockedWrite("b", kRedisLongWait));
  fake.OpenReplyGate("r");
  EXPECT_EQ(Ready(r), "r-value");
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(a.wait_for(0ms), std::future_status::timeout) << "A returned while its write round was going out";
  fake.OpenWriteGate("b");
  EXPECT_TRUE(Ready(w));  // the writer of that round
  EXPECT_TRUE(Ready(a));
  EXPECT_TRUE(Ready(b));

  // Replies to requests that have not gone out at all (a server that
  // answers early): the replies no longer line up with the requests, so the
  // connection is dropped and no request takes a reply before it is sent (A
  // is sent again on a new connection, as a command on a connection that had
  // answered before is).
  auto [r2, w2] = ReaderAndHeldWriter(fake, link, "w2");
  auto a2 = RunOn(link, [](RedisConnection& c) { return c.Set("a", MakeValue("a2")); });
  ASSERT_TRUE(WaitUntil([&] { return link->ChoosePipe().Load() >= 3; }, kRedisLongWait));
  std::this_thread::sleep_for(20ms);
  fake.SendUnasked("$-1\r\n+OK\r\n+OK\r\n");
  EXPECT_EQ(Ready(r2), "(nil)");  // the first unasked reply came while R waited for its own
  Ready(w2);                      // answered while going out: no way to tell that reply from its own
  EXPECT_TRUE(Ready(a2));
  EXPECT_EQ(fake.Connections(), 2) << "A took a reply to a request it had not sent";
  EXPECT_TRUE(fake.WaitForCommands("a", 2, kRedisLongWait));
  fake.OpenReplyGate("r");
  fake.OpenWriteGate("w");
}

TEST(RedisPipe, OnlyAConnectionThatHadAnsweredIsRetriedAfterTheServerClosedIt_OneThatNeverDidStartsTheBackOff) {
  {
    SCOPED_TRACE("every idle connection closed, many callers on several sockets");
    FakeRedis fake;
    auto link = MakeLink(fake.Factory(), 5s, "fake:6379", 24);  // three sockets
    // Twelve SETs side by side, each of which must succeed.
    auto setAll = [&](const std::string& value) {
      std::vector<std::future<std::string>> sets;
      for (int i = 0; i < 12; ++i) {
        sets.push_back(RunOn(link, [i, value](RedisConnection& c) {
          return RaisedText<RedisIoError>([&] { EXPECT_TRUE(c.Set("k" + std::to_string(i), MakeValue(value))); });
        }));
      }
      for (auto& set : sets) EXPECT_EQ(Ready(set), "(none raised)");
    };
    for (int round = 0; round < 5; ++round) {
      SCOPED_TRACE(round);
      setAll("before");
      fake.DropSessions();
      // Each command that meets a closed socket is tried again on a new one,
      // never on another socket that sat idle as long.
      setAll("after");
    }
    // Each went out once on a live connection, and no more sockets were made
    // than a new one per round and place.
    EXPECT_TRUE(fake.WaitForCommands("k0", 10, 0ms));
    EXPECT_FALSE(fake.WaitForCommands("k0", 11, 0ms));
    EXPECT_LE(fake.Connections(), 3 * 6);
  }
  SCOPED_TRACE("a new connection closed before it answered");
  // As a server that wants a client certificate does after a TLS 1.3
  // handshake. Such a connection counts as a failed attempt: the next
  // command waits out the back-off instead of connecting again at once, and
  // one Warn line says why.
  TLog::Capture capture(TLog::Info);
  FakeRedis fake;
  fake.CloseReplyGate("k");
  auto link = MakeLink(fake.Factory(), 5s);
  auto getK = [](RedisConnection& c) { return RaisedText<RedisIoError>([&] { c.Get("k"); }); };
  RedisConnection failed(link);
  auto result = std::async(std::launch::async, [&] { return getK(failed); });
  ASSERT_TRUE(fake.WaitForCommands("k", 1, kRedisLongWait));
  fake.DropSessions();
  const auto droppedAt = Clock::now();
  EXPECT_NE(Ready(result).find("lost while waiting for a reply"), std::string::npos);
  EXPECT_EQ(fake.Connections(), 1) << "not retried";
  auto second = RunOn(link, getK);
  const std::string refused = Ready(second);
  if (Clock::now() - droppedAt < 90ms) {
    EXPECT_NE(refused.find("no new connection to fake:6379 yet, the last attempt failed: Redis: connection to "
                           "fake:6379 lost while waiting for a reply"),
              std::string::npos)
        << refused;
    EXPECT_EQ(fake.Connections(), 1);
  }
  EXPECT_EQ(LinesWith(capture, "no connection to fake:6379"), 1u);
  // A connection that answers ends the back-off, once; and a connection
  // whose command succeeded counts as connected again (else the pool would
  // throw it away on return). A connect that is refused starts the back-off
  // as well (the pool's tests).
  std::this_thread::sleep_for(250ms);
  fake.OpenReplyGate("k");
  EXPECT_EQ(failed.Get("k"), nullptr);
  EXPECT_TRUE(failed.IsConnected());
  EXPECT_EQ(RedisConnection(link).Get("k"), nullptr);
  EXPECT_EQ(LinesWith(capture, "connected to fake:6379 again after"), 1u);
}

// What the transports of one link did: connections made, writes, and reads
// that brought bytes.
struct TransportCounts {
  std::atomic<int> connects{0}, writes{0}, reads{0};
};

// A transport that counts into `counts` and, unless `chop` is 0, cuts every
// read into pieces of 1..chop bytes (how writes split into pieces is the
// transports' own test).
class ObservedTransport final : public IRedisTransport {
 public:
  ObservedTransport(std::unique_ptr<IRedisTransport> inner, TransportCounts& counts, size_t chop)
      : m_inner(std::move(inner)), m_counts(counts), m_chop(chop) {}
  void Connect(const RedisServerAddress& address, std::chrono::milliseconds timeout) override {
    ++m_counts.connects;
    m_inner->Connect(address, timeout);
  }
  RedisIoResult WriteAll(std::span<const RedisByteRange> parts, std::chrono::milliseconds silence) override {
    ++m_counts.writes;
    return m_inner->WriteAll(parts, silence);
  }
  RedisIoResult ReadSome(char* buffer, size_t capacity, std::chrono::milliseconds silence) override {
    if (m_chop != 0) capacity = std::min<size_t>(capacity, 1 + m_random() % m_chop);
    RedisIoResult result = m_inner->ReadSome(buffer, capacity, silence);
    if (result.Ok()) ++m_counts.reads;
    return result;
  }
  bool WaitReadable(int wakeFd, std::chrono::milliseconds timeout) override { return m_inner->WaitReadable(wakeFd, timeout); }
  void Shutdown() noexcept override { m_inner->Shutdown(); }

 private:
  std::unique_ptr<IRedisTransport> m_inner;
  TransportCounts& m_counts;
  const size_t m_chop;
  std::minstd_rand m_random{2};
};

// Running out of memory at any allocation of a command, from queueing it to
// matching its reply, fails that command (or breaks the connection, failing
// every command awaiting a reply on it) and nothing else: each allocation of
// a GET fails in turn, and after each a GET of another key brings that key's
// value, never the first one's and never a wait without end. Some containers
// allocate only now and then (the list of requests awaiting a reply, a block
// every 32 requests on one connection), so the failing GET comes after 0 to
// 39 others on the connection.
TEST(RedisPipe, RunningOutOfMemoryAtAnyStepHandsNoCommandAnotherOnesReply) {
  if (!AllocationFailuresAvailable()) return;  // the sanitizers' builds
  WireServer server(Wire::kTcp);
  auto link = MakeLink(MakeRedisTransportFactory(RedisPoolOptions::Parse(TString())), 5s, server.Address());
  RedisConnection connection(link);
  ASSERT_TRUE(connection.Set("a", MakeValue("value of a")));
  ASSERT_TRUE(connection.Set("b", MakeValue("value of b")));
  for (long successes = 0;; ++successes) {
    bool failed = false;
    for (int before = 0; before < 40; ++before) {
      for (int i = 0; i < before; ++i) ASSERT_EQ(Text(connection.Get("b")), "value of b");
      failed |= RunFailingAllocation(successes, [&] {
        try {
          connection.Get("a");
        } catch (const RedisError&) {  // the connection broke under the command
        }
      });
      ASSERT_EQ(Text(connection.Get("b")), "value of b")
          << "allocations before the failure: " << successes << ", GETs before: " << before;
    }
    if (!failed) break;  // every allocation has failed
  }
}

// The same contracts over a real redis-server, in plain TCP and in TLS.
class RedisPipelining : public testing::TestWithParam<Wire> {
 protected:
  // A link to `server` with `connections` places over observed transports of
  // this test's wire, which count into a new m_counts.
  std::shared_ptr<RedisServerLink> Link(const WireServer& server, int connections,
                                        std::chrono::milliseconds commandTimeout, size_t chop = 0) {
    auto wire = MakeRedisTransportFactory(RedisPoolOptions::Parse(TString::fromStdString(server.Options())));
    m_counts = std::make_shared<TransportCounts>();
    return MakeLink([wire, counts = m_counts, chop] { return std::make_unique<ObservedTransport>(wire(), *counts, chop); },
                    commandTimeout, server.Address(), connections, server.Options());
  }
  std::shared_ptr<TransportCounts> m_counts;
};

TEST_P(RedisPipelining, ManyCallersOnSharedSocketsEachGetExactlyTheRepliesToTheirOwnCommands) {
  struct Case {
    const char* name;
    int connections;  // decides the number of sockets
    size_t chop;      // 0: whole reads
    size_t largestValue;
    int rounds;
  };
  const Case cases[] = {
      {"one socket", 8, 0, 96 * 1024, 30},
      {"two sockets", 16, 0, 96 * 1024, 30},
      {"every read cut into pieces of a few bytes", 8, 7, 700, 20},
      {"large values sent from where they lie, read in pieces", 8, 61, 24 * 1024, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WireServer server(GetParam());
    auto link = Link(server, c.connections, 5s, c.chop);
    RunTogether(16, [&](int t) {  // 16 callers
      RedisConnection connection(link);
      std::minstd_rand random(static_cast<unsigned>(t + 1));
      const std::string absent = "absent-" + std::to_string(t);
      for (int round = 0; round < c.rounds; ++round) {
        const std::string key = "t" + std::to_string(t) + "-k" + std::to_string(round % 4);
        RedisValue value = OwnedValue(t, round, random() % (c.largestValue + 1));
        try {
          EXPECT_TRUE(connection.Set(key, value));
          RedisValue loaded = connection.Get(key);
          ASSERT_TRUE(loaded && *loaded == *value)
              << key << ": " << Text(loaded).substr(0, 16) << " for " << Text(value).substr(0, 16);
          // An error reply in the middle of everyone's requests is this
          // caller's alone, and the next reply is its own again.
          if (round % 3 == 0) EXPECT_THROW(connection.SetEx(key, 0s, value), RedisReplyError);
          EXPECT_EQ(connection.Get(absent), nullptr);
          EXPECT_EQ(connection.Del(absent), 0);
          if (round % 5 == 4) {
            EXPECT_EQ(connection.Del(key), 1);
            EXPECT_EQ(connection.Get(key), nullptr);
          }
        } catch (const std::exception& error) {
          ADD_FAILURE() << key << ": " << error.what();
          return;
        }
      }
    });
    // The callers shared the link's sockets: no more connections were made.
    EXPECT_LE(m_counts->connects.load(), static_cast<int>(link->PipeCount()));
  }
}

TEST_P(RedisPipelining, RequestsOfManyCallersGoOutInOneWriteAndOneReadBringsManyReplies) {
  WireServer server(GetParam());
  auto link = Link(server, 8, 20s);
  ASSERT_EQ(link->PipeCount(), 1u);
  constexpr int kCallers = 16;
  RedisConnection setter(link);
  for (int i = 0; i < kCallers; ++i) setter.Set("key-" + std::to_string(i), OwnedValue(i, 0, 100));
  const int writesBefore = m_counts->writes;
  const int readsBefore = m_counts->reads;

  // While the server is paused, a large SET cannot go out completely, so its
  // writer is still writing when the other callers queue their GETs.
  server.Pause();
  auto large = MakePatternValue(48 * 1024 * 1024, 9);
  auto bigSet = RunOn(link, [&](RedisConnection& c) { return c.Set("large", large); });
  EXPECT_TRUE(WaitUntil([&] { return link->ChoosePipe().Load() >= 1; }, kRedisLongWait));
  std::this_thread::sleep_for(100ms);
  std::vector<std::future<RedisValue>> loads;
  for (int i = 0; i < kCallers; ++i) {
    loads.push_back(RunOn(link, [i](RedisConnection& c) { return c.Get("key-" + std::to_string(i)); }));
  }
  EXPECT_TRUE(WaitUntil([&] { return link->ChoosePipe().Load() >= kCallers + 1; }, kRedisLongWait));
  std::this_thread::sleep_for(100ms);
  server.Resume();

  EXPECT_TRUE(Ready(bigSet));
  for (int i = 0; i < kCallers; ++i) {
    RedisValue value = Ready(loads[i]);
    EXPECT_TRUE(value && *value == *OwnedValue(i, 0, 100)) << i << ": " << Text(value).substr(0, 16);
  }
  // The large SET, then the sixteen GETs together (a write that a time-out
  // or the pause cut short would show as more).
  EXPECT_LE(m_counts->writes - writesBefore, 3);
  EXPECT_LT(m_counts->reads - readsBefore, kCallers);
}

INSTANTIATE_TEST_SUITE_P(Wires, RedisPipelining, kWires, WireName);

}  // namespace
}  // namespace kelcache_test
