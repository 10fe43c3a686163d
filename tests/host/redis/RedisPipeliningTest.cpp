// Many threads on the shared, pipelined connections to a real redis-server:
// every caller gets exactly the replies to its own commands (values, misses,
// counts, error replies), also when every read and write is cut into pieces
// of a few bytes; requests of many callers go out in one write and one read
// brings many replies; the callers share a few sockets; and a paused server
// times the waiting requests out without handing a late reply to anyone
// after it resumes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/redis/RedisConnection.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/RedisServerLink.h"
#include "host/redis/RedisTcpTransport.h"
#include "tests/host/redis/RedisTestSupport.h"

namespace kelcache_test {
namespace {

using kelvra::caching::IRedisTransport;
using kelvra::caching::RedisByteRange;
using kelvra::caching::RedisConnection;
using kelvra::caching::RedisConnectionPool;
using kelvra::caching::RedisIoResult;
using kelvra::caching::RedisPoolOptions;
using kelvra::caching::RedisReplyError;
using kelvra::caching::RedisServerAddress;
using kelvra::caching::RedisServerLink;
using kelvra::caching::RedisTcpTransport;
using kelvra::caching::RedisTimeoutError;
using Clock = std::chrono::steady_clock;

// Counts the writes and reads of every transport made by its factory, and
// optionally cuts every write and read into pieces of 1..chop bytes.
class ObservedTransports {
 public:
  explicit ObservedTransports(size_t chop = 0) : m_chop(chop) {}

  kelvra::caching::RedisTransportFactory Factory() {
    return [this] { return std::make_unique<Transport>(*this); };
  }
  int Writes() const { return m_writes.load(); }
  int Reads() const { return m_reads.load(); }

 private:
  class Transport final : public IRedisTransport {
   public:
    explicit Transport(ObservedTransports& owner) : m_owner(owner) {}
    void Connect(const RedisServerAddress& address, std::chrono::milliseconds timeout) override {
      m_inner.Connect(address, timeout);
    }
    RedisIoResult WriteAll(std::span<const RedisByteRange> parts,
                           std::chrono::milliseconds silence) override {
      ++m_owner.m_writes;
      if (m_owner.m_chop == 0) return m_inner.WriteAll(parts, silence);
      std::vector<RedisByteRange> pieces;
      for (const RedisByteRange& part : parts) {
        for (size_t at = 0; at < part.size;) {
          size_t size = std::min<size_t>(part.size - at, 1 + m_writeRandom() % m_owner.m_chop);
          pieces.push_back({part.data + at, size});
          at += size;
        }
      }
      return m_inner.WriteAll(pieces, silence);
    }
    RedisIoResult ReadSome(char* buffer, size_t capacity, std::chrono::milliseconds silence) override {
      if (m_owner.m_chop != 0) capacity = std::min<size_t>(capacity, 1 + m_readRandom() % m_owner.m_chop);
      RedisIoResult result = m_inner.ReadSome(buffer, capacity, silence);
      if (result.Ok()) ++m_owner.m_reads;
      return result;
    }
    bool WaitReadable(int wakeFd, std::chrono::milliseconds timeout) override {
      return m_inner.WaitReadable(wakeFd, timeout);
    }
    void Shutdown() noexcept override { m_inner.Shutdown(); }

   private:
    ObservedTransports& m_owner;
    RedisTcpTransport m_inner;
    std::minstd_rand m_writeRandom{1};  // writer's
    std::minstd_rand m_readRandom{2};   // reader's
  };

  const size_t m_chop;
  std::atomic<int> m_writes{0};
  std::atomic<int> m_reads{0};
};

std::shared_ptr<RedisServerLink> MakeLink(const RedisServer& server, int connections,
                                          std::chrono::milliseconds commandTimeout,
                                          ObservedTransports& transports) {
  RedisPoolOptions options;
  options.connectionsPerServer = connections;
  options.commandTimeout = commandTimeout;
  return std::make_shared<RedisServerLink>(RedisServerAddress{server.Host(), server.Port()}, options,
                                           transports.Factory());
}

// A value that names its owner and version, then bytes derived from them.
RedisValue OwnedValue(int thread, int version, size_t size) {
  std::string head = "t=" + std::to_string(thread) + ";v=" + std::to_string(version) + ";";
  auto value = MakePatternValue(std::max(size, head.size()), static_cast<uint8_t>(thread * 31 + version));
  std::copy(head.begin(), head.end(), value->begin());
  return value;
}

std::string Describe(const RedisValue& value) {
  if (!value) return "(nil)";
  return std::string(value->begin(), value->begin() + std::min<size_t>(value->size(), 16)) + "... (" +
         std::to_string(value->size()) + " bytes)";
}

TEST(RedisPipelining, ManyCallersOnSharedSocketsEachGetExactlyTheRepliesToTheirOwnCommands) {
  struct Case {
    const char* name;
    int connections;  // decides the number of sockets
    size_t chop;      // 0: whole reads and writes
    size_t largestValue;
    int rounds;
  };
  const Case cases[] = {
      {"one socket", 8, 0, 96 * 1024, 30},
      {"two sockets", 16, 0, 96 * 1024, 30},
      {"every read and write cut into pieces of a few bytes", 8, 7, 700, 20},
      {"large values sent from where they lie, cut into pieces", 8, 61, 24 * 1024, 12},
  };
  constexpr int kThreads = 16;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RedisServer server;
    ObservedTransports transports(c.chop);
    auto link = MakeLink(server, c.connections, 5s, transports);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
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
                << key << ": " << Describe(loaded) << " for " << Describe(value);
            if (round % 3 == 0) {
              // An error reply in the middle of everyone's requests is this
              // caller's alone, and the next reply is its own again.
              EXPECT_THROW(connection.SetEx(key, std::chrono::seconds(0), value), RedisReplyError);
            }
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
    }
    for (std::thread& thread : threads) thread.join();
    // The callers shared the link's sockets: the server sees no more
    // clients than that (and the test's own).
    long long clients = RawRedis(server).ConnectedClients();
    EXPECT_GE(clients, 2);
    EXPECT_LE(clients, static_cast<long long>(link->PipeCount()) + 1);
  }
}

TEST(RedisPipelining, RequestsOfManyCallersGoOutInOneWriteAndOneReadBringsManyReplies) {
  RedisServer server;
  ObservedTransports transports;
  auto link = MakeLink(server, 8, 20s, transports);
  ASSERT_EQ(link->PipeCount(), 1u);
  constexpr int kCallers = 16;
  {
    RedisConnection setter(link);
    for (int i = 0; i < kCallers; ++i) setter.Set("key-" + std::to_string(i), OwnedValue(i, 0, 100));
  }
  const int writesBefore = transports.Writes();
  const int readsBefore = transports.Reads();

  // While the server is paused, a large SET cannot go out completely, so its
  // writer is still writing when the other callers queue their GETs.
  server.Pause();
  auto large = MakePatternValue(48 * 1024 * 1024, 9);
  auto bigSet = std::async(std::launch::async, [&] { return RedisConnection(link).Set("large", large); });
  auto deadline = Clock::now() + kRedisLongWait;
  while (link->ChoosePipe().Load() < 1 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(100ms);
  std::vector<std::future<RedisValue>> loads;
  for (int i = 0; i < kCallers; ++i) {
    loads.push_back(std::async(std::launch::async,
                               [&, i] { return RedisConnection(link).Get("key-" + std::to_string(i)); }));
  }
  while (link->ChoosePipe().Load() < kCallers + 1 && Clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(100ms);
  server.Resume();

  ASSERT_EQ(bigSet.wait_for(kRedisLongWait), std::future_status::ready);
  EXPECT_TRUE(bigSet.get());
  for (int i = 0; i < kCallers; ++i) {
    ASSERT_EQ(loads[i].wait_for(kRedisLongWait), std::future_status::ready);
    RedisValue value = loads[i].get();
    EXPECT_TRUE(value && *value == *OwnedValue(i, 0, 100)) << i << ": " << Describe(value);
  }
  // The large SET, then the sixteen GETs together (a write that a time-out
  // or the pause cut short would show as more).
  EXPECT_LE(transports.Writes() - writesBefore, 3);
  EXPECT_LT(transports.Reads() - readsBefore, kCallers);
}

TEST(RedisPipelining, APausedServerTimesTheWaitingRequestsOutAndAfterItResumesEveryoneGetsTheirOwnValues) {
  RedisServer server;
  constexpr auto kTimeout = 300ms;
  ConfigurePool({&server}, "connections=8;command_timeout_ms=300;wait_ms=2000");
  constexpr int kThreads = 8;
  auto run = [&](const std::function<void(int, RedisConnection&)>& body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        TString key = TString::fromStdString("paused-" + std::to_string(t));
        auto guard = RedisConnectionPool::FindAndLockPooledConnection(key);
        ASSERT_NE(guard, nullptr);
        body(t, guard->GetConnection());
      });
    }
    for (std::thread& thread : threads) thread.join();
  };
  auto keyOf = [](int t) { return "paused-" + std::to_string(t); };
  run([&](int t, RedisConnection& connection) {
    EXPECT_TRUE(connection.Set(keyOf(t), OwnedValue(t, 0, 2000)));
  });

  server.Pause();
  run([&](int t, RedisConnection& connection) {
    auto started = Clock::now();
    EXPECT_THROW(connection.Get(keyOf(t)), RedisTimeoutError);
    auto waited = Clock::now() - started;
    EXPECT_GE(waited, kTimeout - 50ms);
    EXPECT_LT(waited, 10 * kTimeout);
    EXPECT_FALSE(connection.IsConnected());
  });
  server.Resume();

  // The server now answers the GETs that timed out, into closed sockets: no
  // caller may receive one of those replies in place of its own.
  run([&](int t, RedisConnection& connection) {
    for (int version = 1; version <= 20; ++version) {
      RedisValue value = OwnedValue(t, version, 100 + 50 * version);
      EXPECT_TRUE(connection.Set(keyOf(t), value));
      RedisValue loaded = connection.Get(keyOf(t));
      ASSERT_TRUE(loaded && *loaded == *value) << keyOf(t) << ": " << Describe(loaded);
    }
  });
}

}  // namespace
}  // namespace kelcache_test
