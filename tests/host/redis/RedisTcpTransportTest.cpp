// The TCP transport under the Redis pipes, against plain loopback sockets of
// the test's own (no Redis needed): bytes arrive whole and in order however
// the writes are split, silence ends a wait, Shutdown wakes a blocked read and
// write on other threads, and a write to a peer that has gone fails without
// SIGPIPE while the process keeps SIGPIPE's default action.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/redis/RedisErrors.h"
#include "host/redis/RedisTcpTransport.h"
#include "tests/support/RedisServer.h"

namespace kelcache_test {
namespace {

using namespace std::chrono_literals;
using kelvra::caching::RedisByteRange;
using kelvra::caching::RedisIoResult;
using kelvra::caching::RedisServerAddress;
using kelvra::caching::RedisTcpTransport;
using Status = RedisIoResult::Status;

// A listening socket on 127.0.0.1 and the peer it accepts.
class Listener {
 public:
  Listener() {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(m_fd, 4) != 0 ||
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    m_port = ntohs(address.sin_port);
  }
  ~Listener() {
    ClosePeer();
    close(m_fd);
  }
  RedisServerAddress Address() const { return {"127.0.0.1", m_port}; }
  int Accept() {
    m_peer = accept(m_fd, nullptr, nullptr);
    return m_peer;
  }
  void ClosePeer() {
    if (m_peer >= 0) close(m_peer);
    m_peer = -1;
  }
  bool Send(const std::string& bytes) const {
    return send(m_peer, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Reads until `size` bytes arrived or the peer closed.
  std::string ReadExactly(size_t size) const {
    std::string bytes(size, '\0');
    size_t got = 0;
    while (got < size) {
      ssize_t n = recv(m_peer, bytes.data() + got, size - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
  }

 private:
  int m_fd = -1;
  int m_peer = -1;
  uint16_t m_port = 0;
};

std::unique_ptr<RedisTcpTransport> ConnectTo(Listener& listener) {
  auto transport = std::make_unique<RedisTcpTransport>();
  transport->Connect(listener.Address(), 2s);
  EXPECT_GE(listener.Accept(), 0);
  return transport;
}

std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::mt19937 random(seed);
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

TEST(RedisTcpTransport, WritesArriveWholeAndInOrderHoweverTheyAreSplit) {
  struct Case {
    const char* name;
    size_t ranges;
    size_t largest;  // each range holds 0..largest bytes
  };
  const Case cases[] = {
      {"one range", 1, 100},
      {"more ranges than one send takes, some empty", 300, 40},
      {"large ranges that fill the socket buffers", 12, 2 * 1024 * 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Listener listener;
    auto transport = ConnectTo(listener);
    std::mt19937 random(7);
    std::vector<std::string> pieces;
    std::string expected;
    for (size_t i = 0; i < c.ranges; ++i) {
      pieces.push_back(Pattern(random() % (c.largest + 1), static_cast<unsigned>(i)));
      expected += pieces.back();
    }
    std::vector<RedisByteRange> ranges;
    for (const std::string& piece : pieces) ranges.push_back({piece.data(), piece.size()});
    std::string received;
    std::thread reader([&] { received = listener.ReadExactly(expected.size()); });
    RedisIoResult result = transport->WriteAll(ranges, 5s);
    reader.join();
    EXPECT_EQ(result.status, Status::kOk) << result.Describe();
    EXPECT_TRUE(received == expected)
        << "received " << received.size() << " of " << expected.size() << " bytes";
  }
}

TEST(RedisTcpTransport, AReadWaitsForItsSilenceAtMostAndReturnsWhatArrived) {
  Listener listener;
  auto transport = ConnectTo(listener);
  char buffer[64];
  auto started = std::chrono::steady_clock::now();
  RedisIoResult silent = transport->ReadSome(buffer, sizeof buffer, 150ms);
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(silent.status, Status::kTimedOut);
  EXPECT_GE(waited, 140ms);
  EXPECT_LT(waited, 3s);

  // What arrives is returned at once, however long the silence allowed.
  ASSERT_TRUE(listener.Send("+OK\r\n"));
  RedisIoResult read = transport->ReadSome(buffer, sizeof buffer, 10s);
  ASSERT_EQ(read.status, Status::kOk);
  EXPECT_EQ(std::string(buffer, read.bytes), "+OK\r\n");

  // The peer's close is the end of the stream.
  listener.ClosePeer();
  EXPECT_EQ(transport->ReadSome(buffer, sizeof buffer, 10s).status, Status::kClosed);
}

TEST(RedisTcpTransport, ShutdownWakesABlockedReadAndABlockedWriteOnOtherThreads) {
  Listener listener;
  auto transport = ConnectTo(listener);
  // The peer reads nothing, so a large write blocks once the buffers are full.
  std::string large(64 * 1024 * 1024, 'x');
  RedisIoResult readResult;
  RedisIoResult writeResult;
  std::atomic<int> finished{0};
  std::thread reader([&] {
    char buffer[64];
    readResult = transport->ReadSome(buffer, sizeof buffer, 30s);
    ++finished;
  });
  std::thread writer([&] {
    RedisByteRange range{large.data(), large.size()};
    writeResult = transport->WriteAll({&range, 1}, 30s);
    ++finished;
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(finished.load(), 0) << "both are blocked";
  auto started = std::chrono::steady_clock::now();
  transport->Shutdown();
  reader.join();
  writer.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(readResult.status, Status::kClosed);
  EXPECT_NE(writeResult.status, Status::kOk);
  EXPECT_NE(writeResult.status, Status::kTimedOut);
}

bool SigpipeHasItsDefaultActionAndIsNotBlocked() {
  struct sigaction action {};
  sigaction(SIGPIPE, nullptr, &action);
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return action.sa_handler == SIG_DFL && sigismember(&mask, SIGPIPE) == 0;
}

TEST(RedisTcpTransport, AWriteToAPeerThatHasGoneFailsWithoutSigpipe) {
  // SIGPIPE keeps its default action: were one raised, the test would end here.
  ASSERT_TRUE(SigpipeHasItsDefaultActionAndIsNotBlocked());
  Listener listener;
  auto transport = ConnectTo(listener);
  listener.ClosePeer();
  std::this_thread::sleep_for(50ms);
  // The first write may still be taken by the kernel; the peer's reset makes
  // a later one fail with EPIPE, which raises SIGPIPE unless suppressed.
  std::string chunk(256 * 1024, 'y');
  RedisByteRange range{chunk.data(), chunk.size()};
  RedisIoResult result;
  for (int attempt = 0; attempt < 20 && result.Ok(); ++attempt) result = transport->WriteAll({&range, 1}, 2s);
  EXPECT_EQ(result.status, Status::kFailed);
  EXPECT_TRUE(result.error == EPIPE || result.error == ECONNRESET) << result.Describe();
  EXPECT_TRUE(SigpipeHasItsDefaultActionAndIsNotBlocked());
}

TEST(RedisTcpTransport, ConnectingWhereNobodyListensFails) {
  struct Case {
    const char* name;
    RedisServerAddress address;
    bool quick;  // name resolution takes what the system's resolver takes
  };
  const Case cases[] = {
      {"refused", {"127.0.0.1", FindFreeLoopbackPort()}, true},
      {"unknown host", {"no-such-host.invalid", 6379}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RedisTcpTransport transport;
    auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(transport.Connect(c.address, 5s), kelvra::caching::RedisIoError);
    if (c.quick) EXPECT_LT(std::chrono::steady_clock::now() - started, 1s) << "not a wait for the time-out";
  }
}

}  // namespace
}  // namespace kelcache_test
