// The transports under the Redis pipes and the subscriber, plain TCP and TLS,
// against loopback peers of the test's own (no Redis needed; the TLS peer is
// an OpenSSL server with the test CA's certificate). Every case runs over
// both transports, since they share one contract: bytes arrive whole and in
// order however the writes are split, silence ends a wait and leaves the
// stream usable, the peer's close is the end of the stream, WaitReadable
// wakes for data, a wake-up descriptor or the end, Shutdown wakes a blocked
// read and write on other threads, one reader and one writer run at once, and
// a write to a peer that has gone fails without SIGPIPE while the process
// keeps SIGPIPE's default action.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/redis/RedisErrors.h"
#include "host/redis/RedisTransportFactory.h"
#include "host/redis/SigpipeGuard.h"
#include "tests/host/redis/RedisTestSupport.h"

namespace kelcache_test {
namespace {

using namespace kelvra::caching;
using Status = RedisIoResult::Status;
using Clock = std::chrono::steady_clock;

// A name whose resolution takes as long as a resolver waiting for a name
// server that does not answer: this executable's getaddrinfo (below; the
// dynamic linker finds it before the C library's, for the library's calls
// too) resolves it as "127.0.0.1" after kSlowResolution, and passes every
// other name on, counting them.
constexpr const char* kSlowName = "slow-resolver.test";
constexpr std::chrono::milliseconds kSlowResolution(1500);
struct SlowResolutions {
  std::atomic<int> started{0}, finished{0}, otherNames{0};
  std::atomic<int> otherNamesOffThread{0};  // not on onThread
  std::atomic<std::thread::id> onThread{};
};
SlowResolutions s_slowResolutions;

// A transport as the pool makes it for the wire (TLS trusting the test CA).
std::unique_ptr<IRedisTransport> MakeTransport(Wire wire) {
  const std::string options = wire == Wire::kTls ? TrustingOptions() : "";
  return MakeRedisTransportFactory(RedisPoolOptions::Parse(TString::fromStdString(options)))();
}

// A listening socket on 127.0.0.1 and the one peer it accepts, in plain TCP
// or TLS (blocking OpenSSL server side). The peer is driven by one thread at
// a time, and writes only while the transport is alive.
class Peer {
 public:
  explicit Peer(Wire wire) : m_wire(wire) {
    sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}};
    socklen_t length = sizeof address;
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(m_listener, 8) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    m_port = ntohs(address.sin_port);
    if (m_context &&
        (SSL_CTX_use_certificate_file(m_context, TestCertificates().serverCertFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
         SSL_CTX_use_PrivateKey_file(m_context, TestCertificates().serverKeyFile.c_str(), SSL_FILETYPE_PEM) != 1)) {
      throw std::runtime_error("the test peer cannot load its certificate");
    }
  }
  ~Peer() {
    Abort();
    close(m_listener);
    if (m_context) SSL_CTX_free(m_context);
  }

  uint16_t Port() const { return m_port; }

  // A transport of the kind under test, connected to this peer.
  std::unique_ptr<IRedisTransport> Connect() {
    std::unique_ptr<IRedisTransport> transport = MakeTransport(m_wire);
    std::thread accepter([this] { Accept(); });  // the TLS handshake needs both sides at once
    transport->Connect({"127.0.0.1", m_port}, 5s);
    accepter.join();
    EXPECT_GE(m_peer, 0);
    return transport;
  }

  bool Send(const std::string& bytes) {
    if (m_ssl) return SSL_write(m_ssl, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
    return send(m_peer, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Sends back what it reads until the stream ends. On a thread of its own,
  // which keeps SIGPIPE blocked: the transport's end is abortive, and a write
  // after it (OpenSSL's, on the peer's side) would raise one.
  void Echo() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    char buffer[16 * 1024];
    for (;;) {
      const int n = m_ssl ? SSL_read(m_ssl, buffer, sizeof buffer)
                          : static_cast<int>(recv(m_peer, buffer, sizeof buffer, 0));
      if (n <= 0 || !Send(std::string(buffer, static_cast<size_t>(n)))) return;
    }
  }
  // Reads the raw stream (TLS records as they are) until it ends; true when
  // it ended with a reset rather than the sender's orderly end.
  bool DrainEndsWithReset() {
    char buffer[64 * 1024];
    ssize_t n;
    while ((n = recv(m_peer, buffer, sizeof buffer, 0)) > 0 || (n < 0 && errno == EINTR)) continue;
    return n < 0 && errno == ECONNRESET;
  }
  // Ends the stream properly (TLS: close_notify first).
  void Close() {
    if (m_ssl) SSL_shutdown(m_ssl);
    Abort();
  }
  // Ends it without a word (TLS: no close_notify).
  void Abort() {
    SSL_free(std::exchange(m_ssl, nullptr));
    if (m_peer >= 0) close(std::exchange(m_peer, -1));
  }

 private:
  void Accept() {
    m_peer = accept(m_listener, nullptr, nullptr);
    if (m_peer < 0 || m_wire != Wire::kTls) return;
    m_ssl = SSL_new(m_context);
    SSL_set_fd(m_ssl, m_peer);
    if (SSL_accept(m_ssl) != 1) {
      ERR_clear_error();
      ADD_FAILURE() << "the test peer's TLS handshake failed";
    }
  }

  const Wire m_wire;
  int m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  uint16_t m_port = 0;
  int m_peer = -1;
  SSL_CTX* m_context = m_wire == Wire::kTls ? SSL_CTX_new(TLS_server_method()) : nullptr;
  SSL* m_ssl = nullptr;
};

// More than the socket buffers hold: the peers here read nothing, so a
// write of it blocks. The tests make it before their threads start, since
// under a sanitizer making it takes longer than their waits.
const std::string& Large() {
  static const std::string s_large(64 * 1024 * 1024, 'x');
  return s_large;
}

// A read, or a write of Large(), that waits for the peer for `silence`.
RedisIoResult ReadOrWriteLarge(IRedisTransport& transport, bool write, std::chrono::milliseconds silence) {
  const RedisByteRange range{Large().data(), Large().size()};
  char buffer[64];
  return write ? transport.WriteAll({&range, 1}, silence) : transport.ReadSome(buffer, sizeof buffer, silence);
}

class RedisTransport : public testing::TestWithParam<Wire> {};

TEST_P(RedisTransport, ThePeersCloseIsTheEndOfTheStream) {
  for (bool properly : {true, false}) {  // TLS: with close_notify, or without a word
    SCOPED_TRACE(properly ? "closed properly" : "closed without a word");
    Peer peer(GetParam());
    auto transport = peer.Connect();
    ASSERT_TRUE(peer.Send("$1\r\nx\r\n"));
    properly ? peer.Close() : peer.Abort();
    // Bytes sent before the close come first.
    std::string received;
    char buffer[64];
    RedisIoResult result;
    for (int reads = 0; reads < 10 && (result = transport->ReadSome(buffer, sizeof buffer, 5s)).Ok(); ++reads) {
      received.append(buffer, result.bytes);
    }
    EXPECT_EQ(received, "$1\r\nx\r\n");
    EXPECT_EQ(result.status, Status::kClosed) << result.Describe();
    EXPECT_EQ(transport->ReadSome(buffer, sizeof buffer, 1s).status, Status::kClosed) << "and stays ended";
  }
}

// Silence ends a read or a wait after its time-out and leaves the stream
// usable; a wait also ends for data, for the wake-up descriptor and for the
// end of the stream.
TEST_P(RedisTransport, SilenceEndsReadsAndWaitsWhichAlsoWakeForDataTheWakeUpDescriptorAndTheEnd) {
  Peer peer(GetParam());
  auto transport = peer.Connect();
  const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ASSERT_GE(wake, 0);
  char buffer[64];

  // Nothing to read (a TLS server's session tickets are no data): the read
  // and the wait last their time-out.
  auto started = Clock::now();
  EXPECT_EQ(transport->ReadSome(buffer, sizeof buffer, 150ms).status, Status::kTimedOut);
  EXPECT_FALSE(transport->WaitReadable(wake, 150ms));
  EXPECT_GE(Clock::now() - started, 280ms);

  // The wake-up descriptor ends a long wait at once.
  std::thread waker([&] {
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(eventfd_write(wake, 1), 0);
  });
  started = Clock::now();
  EXPECT_FALSE(transport->WaitReadable(wake, 20s));
  EXPECT_LT(Clock::now() - started, 10s);
  waker.join();
  eventfd_t count;
  ASSERT_EQ(eventfd_read(wake, &count), 0);

  // Data: readable, and the read then takes it without waiting; the reads
  // that timed out lost nothing.
  ASSERT_TRUE(peer.Send("+PONG\r\n"));
  EXPECT_TRUE(transport->WaitReadable(wake, 10s));
  RedisIoResult read = transport->ReadSome(buffer, sizeof buffer, 10ms);
  ASSERT_EQ(read.status, Status::kOk) << read.Describe();
  EXPECT_EQ(std::string(buffer, read.bytes), "+PONG\r\n");
  EXPECT_FALSE(transport->WaitReadable(wake, 50ms)) << "nothing more";

  // The end of the stream is something for the read to report.
  peer.Close();
  EXPECT_TRUE(transport->WaitReadable(wake, 10s));
  EXPECT_EQ(transport->ReadSome(buffer, sizeof buffer, 10ms).status, Status::kClosed);
  close(wake);
}

TEST_P(RedisTransport, ShutdownWakesABlockedReadAndABlockedWriteOnOtherThreads) {
  Peer peer(GetParam());
  auto transport = peer.Connect();
  RedisIoResult results[2];  // the read's, the write's
  std::atomic<int> finished{0};
  Large();
  std::vector<std::thread> threads;
  for (bool write : {false, true}) {
    threads.emplace_back([&, write] {
      results[write] = ReadOrWriteLarge(*transport, write, 30s);
      ++finished;
    });
  }
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(finished.load(), 0) << "both are blocked";
  const auto started = Clock::now();
  transport->Shutdown();
  for (std::thread& thread : threads) thread.join();
  EXPECT_LT(Clock::now() - started, 5s);
  // The end of the stream, or the connection gone (when the reader looks
  // only after the reset); neither done nor timed out.
  for (const RedisIoResult& result : results) {
    EXPECT_TRUE(result.status == Status::kClosed || result.status == Status::kFailed) << result.Describe();
  }
  // What was not sent yet is dropped, and the peer sees a reset: a command
  // cut short (its caller told that it failed) must not reach the server
  // later, whole, when the server reads on.
  EXPECT_TRUE(peer.DrainEndsWithReset());
}

// A thread that signals keep waking (a host's profiler, say) still gets its
// read or write back once the server has been silent for about its time-out,
// not never.
TEST_P(RedisTransport, SignalsThatKeepInterruptingAReadOrAWriteDoNotStretchItsSilence) {
  struct sigaction wake {}, before {};
  wake.sa_handler = [](int) {};
  ASSERT_EQ(sigaction(SIGUSR2, &wake, &before), 0);
  Large();
  for (bool write : {false, true}) {
    SCOPED_TRACE(write ? "write" : "read");
    Peer peer(GetParam());
    auto transport = peer.Connect();
    std::atomic<bool> done{false};
    RedisIoResult result;
    Clock::duration took{};
    std::thread waiter([&] {
      const auto started = Clock::now();
      result = ReadOrWriteLarge(*transport, write, 300ms);
      took = Clock::now() - started;
      done = true;
    });
    for (const auto signalledUntil = Clock::now() + 3s; !done && Clock::now() < signalledUntil;) {
      pthread_kill(waiter.native_handle(), SIGUSR2);
      std::this_thread::sleep_for(20ms);
    }
    waiter.join();
    EXPECT_EQ(result.status, Status::kTimedOut) << result.Describe();
    EXPECT_LT(took, 2s);
  }
  sigaction(SIGUSR2, &before, nullptr);
}

// Bytes arrive whole and in order however the writes split them into ranges,
// while one reader and one writer run at once on two threads, as a pipe has
// them, and the peer sends everything back. For TLS this is the case the
// transport's lock is for (an SSL object must not be used by two threads at
// once); under ThreadSanitizer it checks the locking too.
TEST_P(RedisTransport, WritesHoweverSplitArriveWholeAndInOrderWhileAReaderRunsAtOnce) {
  // Each row: writes, ranges per write, and the largest range (each holds
  // 0..largest bytes).
  const std::tuple<int, size_t, size_t> cases[] = {
      {2000, 1, 100},              // one range of a few bytes
      {40, 300, 40},               // more ranges than one send or one record takes, some empty
      {4, 40, 40 * 1024},          // ranges around the size of a record
      {1, 12, 2 * 1024 * 1024},    // large ranges that fill the socket buffers
  };
  std::mt19937 random(7);
  std::vector<std::vector<std::string>> writes;
  std::string sent;
  for (const auto& [count, perWrite, largest] : cases) {
    for (int w = 0; w < count; ++w) {
      writes.emplace_back();
      for (size_t i = 0; i < perWrite; ++i) {
        std::string& piece = writes.back().emplace_back(random() % (largest + 1), '\0');
        for (char& byte : piece) byte = static_cast<char>(random());
        sent += piece;
      }
    }
  }
  Peer peer(GetParam());
  auto transport = peer.Connect();
  std::thread echo([&] { peer.Echo(); });
  std::string received;
  std::thread reader([&] {
    std::vector<char> buffer(64 * 1024);
    RedisIoResult result;
    while (received.size() < sent.size() && (result = transport->ReadSome(buffer.data(), buffer.size(), 10s)).Ok()) {
      received.append(buffer.data(), result.bytes);
    }
    EXPECT_TRUE(result.Ok()) << "read: " << result.Describe();
  });
  for (const std::vector<std::string>& pieces : writes) {
    std::vector<RedisByteRange> ranges;
    for (const std::string& piece : pieces) ranges.push_back({piece.data(), piece.size()});
    RedisIoResult result = transport->WriteAll(ranges, 10s);
    EXPECT_EQ(result.status, Status::kOk) << result.Describe();
  }
  reader.join();
  EXPECT_TRUE(received == sent) << "received " << received.size() << " of " << sent.size() << " bytes";
  transport->Shutdown();
  echo.join();
}

// SIGPIPE keeps its default action throughout (the library must not change
// it): were one raised, the test would end here.
TEST_P(RedisTransport, AWriteToAPeerThatHasGoneFailsWithoutSigpipe) {
  ASSERT_TRUE(SigpipeHasItsDefaultActionAndIsNotBlocked());
  // For writes that cannot avoid SIGPIPE, a guard takes one raised at its
  // thread while it is alive.
  uint64_t before = SuppressedSigpipeCount();
  {
    SigpipeGuard guard;
    raise(SIGPIPE);
  }
  EXPECT_EQ(SuppressedSigpipeCount(), before + 1);
  EXPECT_TRUE(SigpipeHasItsDefaultActionAndIsNotBlocked());

  Peer peer(GetParam());
  auto transport = peer.Connect();
  peer.Abort();
  std::this_thread::sleep_for(50ms);
  // The first write may still be taken by the kernel; the peer's reset makes
  // a later one fail with EPIPE, which raises SIGPIPE unless suppressed.
  const std::string chunk(256 * 1024, 'y');
  const RedisByteRange range{chunk.data(), chunk.size()};
  RedisIoResult result;
  before = SuppressedSigpipeCount();
  for (int attempt = 0; attempt < 20 && result.Ok(); ++attempt) result = transport->WriteAll({&range, 1}, 2s);
  EXPECT_EQ(result.status, Status::kFailed);
  EXPECT_TRUE(result.error == EPIPE || result.error == ECONNRESET) << result.Describe();
  EXPECT_EQ(SuppressedSigpipeCount(), before) << "the transports write with MSG_NOSIGNAL: no SIGPIPE at all";
  EXPECT_TRUE(SigpipeHasItsDefaultActionAndIsNotBlocked());
}

// Connecting where nobody listens, or to an unknown host, fails. A resolver
// that takes long (a name server that does not answer) holds a connection no
// longer than its time-out: the caller gets RedisTimeoutError saying so, and
// the resolution, left to finish by itself, keeps what it found for the next
// connection to the name, which then connects at once: a name server slower
// than the time-out does not keep the server out of reach. A name resolved
// in time connects, connections made while it is being resolved share one
// resolution, and an address given as numbers never reaches the resolver. (One wire: both
// transports connect through the same code, and a name would not pass the
// test certificate's check.)
TEST(RedisTransportConnect, ConnectingFailsWhereNobodyListensAndANameResolvedSlowlyWithinTheTimeOut) {
  auto connect = [](const std::string& host, uint16_t port, std::chrono::milliseconds timeout) {
    MakeTransport(Wire::kTcp)->Connect({host, port}, timeout);
  };
  auto started = Clock::now();
  EXPECT_THROW(connect("127.0.0.1", FindFreeLoopbackPort(), 60s), RedisIoError);
  EXPECT_LT(Clock::now() - started, 30s) << "refused, not a wait for the time-out";
  EXPECT_THROW(connect("no-such-host.invalid", 6379, 60s), RedisIoError);

  Peer peer(Wire::kTcp);  // listens; plain TCP connects without its accepting
  const int resolvedBefore = s_slowResolutions.finished.load();
  started = Clock::now();
  const std::string timedOut = RaisedText<RedisTimeoutError>([&] { connect(kSlowName, peer.Port(), 100ms); });
  EXPECT_NE(timedOut.find("the name was not resolved within 100 ms"), std::string::npos) << timedOut;
  EXPECT_LT(Clock::now() - started, kSlowResolution / 2) << "the caller left before the resolver";
  // Left to itself, the resolution ends while the test still runs; the next
  // connection takes what it found, however short its own time-out.
  while (s_slowResolutions.finished.load() == resolvedBefore) std::this_thread::sleep_for(10ms);
  const int startedAfterTimeOut = s_slowResolutions.started.load();
  EXPECT_NO_THROW(connect(kSlowName, peer.Port(), 100ms));
  EXPECT_EQ(s_slowResolutions.started.load(), startedAfterTimeOut) << "the kept result was used";

  // Connections to the name made while its resolution runs wait for that
  // one (three: the peer's queue holds nine connections in all).
  const int startedBefore = s_slowResolutions.started.load();
  RunTogether(3, [&](int) { EXPECT_NO_THROW(connect(kSlowName, peer.Port(), kSlowResolution * 4)); });
  EXPECT_EQ(s_slowResolutions.started.load(), startedBefore + 1)
      << "one resolution for them all (the kept one was taken: nothing is kept for ever)";
  s_slowResolutions.onThread = std::this_thread::get_id();
  const int othersBefore = s_slowResolutions.otherNames.load();
  const int offThreadBefore = s_slowResolutions.otherNamesOffThread.load();
  EXPECT_NO_THROW(connect("127.0.0.1", peer.Port(), 100ms));
  EXPECT_NO_THROW(connect("::ffff:127.0.0.1", peer.Port(), 100ms));
  EXPECT_EQ(s_slowResolutions.otherNames.load(), othersBefore + 2);
  EXPECT_EQ(s_slowResolutions.otherNamesOffThread.load(), offThreadBefore)
      << "numbers are read on the caller's thread, with no thread started for them";
}

INSTANTIATE_TEST_SUITE_P(Transports, RedisTransport, kWires, WireName);

}  // namespace
}  // namespace kelcache_test

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  using Fn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const Fn s_next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "getaddrinfo"));
  auto& counts = kelcache_test::s_slowResolutions;
  if (node == nullptr || std::strcmp(node, kelcache_test::kSlowName) != 0) {
    counts.otherNames.fetch_add(1);
    if (std::this_thread::get_id() != counts.onThread.load()) counts.otherNamesOffThread.fetch_add(1);
    return s_next(node, service, hints, res);
  }
  // Asked for numbers only, as a numeric host would be: not one.
  if (hints != nullptr && (hints->ai_flags & AI_NUMERICHOST) != 0) return EAI_NONAME;
  counts.started.fetch_add(1);
  std::this_thread::sleep_for(kelcache_test::kSlowResolution);
  const int status = s_next("127.0.0.1", service, hints, res);
  counts.finished.fetch_add(1);
  return status;
}
