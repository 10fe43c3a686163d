// The transports under the Redis pipes and the subscriber, plain TCP and TLS,
// against loopback peers of the test's own (no Redis needed; the TLS peer is
// an OpenSSL server with the test CA's certificate). Every case runs over
// both transports, since they share one contract: bytes arrive whole and in
// order however the writes are split, silence ends a wait and leaves the
// stream usable, the peer's close is the end of the stream, WaitReadable
// wakes for data, a wake-up descriptor or the end, Shutdown wakes a blocked
// read and write on other threads, one reader and one writer run at once, and
// a write to a peer that has gone fails without SIGPIPE while the process
// keeps SIGPIPE's default action. Then the protocol spoken over them (no
// server needed either).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/redis/RedisErrors.h"
#include "host/redis/RedisKeySlot.h"
#include "host/redis/RedisProtocol.h"
#include "host/redis/RedisSlotMap.h"
#include "host/redis/RedisTransportFactory.h"
#include "host/redis/RedisValuePool.h"
#include "host/redis/SigpipeGuard.h"
#include "tests/host/redis/RedisTestSupport.h"

namespace kelcache_test {
namespace {

using namespace std::chrono_literals;
using namespace kelvra::caching;
using Status = RedisIoResult::Status;

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
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(m_listener, 4) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    m_port = ntohs(address.sin_port);
    if (m_wire == Wire::kTls) {
      m_context = SSL_CTX_new(TLS_server_method());
      if (SSL_CTX_use_certificate_file(m_context, TestCertificates().serverCertFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
          SSL_CTX_use_PrivateKey_file(m_context, TestCertificates().serverKeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        throw std::runtime_error("the test peer cannot load its certificate");
      }
    }
  }
  ~Peer() {
    Abort();
    close(m_listener);
    if (m_context) SSL_CTX_free(m_context);
  }

  // A transport of the kind under test, connected to this peer.
  std::unique_ptr<IRedisTransport> Connect() {
    std::unique_ptr<IRedisTransport> transport = MakeTransport(m_wire);
    // The TLS handshake needs both sides at once.
    std::thread accepter([this] { Accept(); });
    transport->Connect({"127.0.0.1", m_port}, 5s);
    accepter.join();
    EXPECT_GE(m_peer, 0);
    return transport;
  }

  bool Send(const std::string& bytes) {
    if (m_ssl) return SSL_write(m_ssl, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
    return send(m_peer, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Sends back what it reads until the stream ends.
  void Echo() {
    char buffer[16 * 1024];
    for (;;) {
      const int n = m_ssl ? SSL_read(m_ssl, buffer, sizeof buffer)
                          : static_cast<int>(recv(m_peer, buffer, sizeof buffer, 0));
      if (n <= 0 || !Send(std::string(buffer, static_cast<size_t>(n)))) return;
    }
  }
  // Ends the stream properly (TLS: close_notify first).
  void Close() {
    if (m_ssl) SSL_shutdown(m_ssl);
    Abort();
  }
  // Ends it without a word (TLS: no close_notify).
  void Abort() {
    if (m_ssl) SSL_free(m_ssl);
    m_ssl = nullptr;
    if (m_peer >= 0) close(m_peer);
    m_peer = -1;
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
  int m_listener = -1;
  uint16_t m_port = 0;
  int m_peer = -1;
  SSL_CTX* m_context = nullptr;
  SSL* m_ssl = nullptr;
};

std::string Pattern(size_t size, unsigned node) {
  std::string bytes(size, '\0');
  std::mt19937 random(node);
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
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
    for (int reads = 0; reads < 10; ++reads) {
      result = transport->ReadSome(buffer, sizeof buffer, 5s);
      if (!result.Ok()) break;
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
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(transport->ReadSome(buffer, sizeof buffer, 150ms).status, Status::kTimedOut);
  EXPECT_FALSE(transport->WaitReadable(wake, 150ms));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 280ms);

  // The wake-up descriptor ends a long wait at once.
  std::thread waker([&] {
    std::this_thread::sleep_for(100ms);
    uint64_t one = 1;
    EXPECT_EQ(write(wake, &one, sizeof one), static_cast<ssize_t>(sizeof one));
  });
  started = std::chrono::steady_clock::now();
  EXPECT_FALSE(transport->WaitReadable(wake, 20s));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  waker.join();
  uint64_t count;
  ASSERT_EQ(read(wake, &count, sizeof count), static_cast<ssize_t>(sizeof count));

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

// Bytes arrive whole and in order however the writes split them into ranges,
// while one reader and one writer run at once on two threads, as a pipe has
// them, and the peer sends everything back. For TLS this is the case the
// transport's lock is for (an SSL object must not be used by two threads at
// once); under ThreadSanitizer it checks the locking too.
TEST_P(RedisTransport, WritesHoweverSplitArriveWholeAndInOrderWhileAReaderRunsAtOnce) {
  struct Case {
    const char* name;
    size_t ranges;   // per write
    size_t largest;  // each range holds 0..largest bytes
    int writes;
  };
  const Case cases[] = {
      {"one range of a few bytes", 1, 100, 2000},
      {"more ranges than one send or one record takes, some empty", 300, 40, 40},
      {"ranges around the size of a record", 40, 40 * 1024, 4},
      {"large ranges that fill the socket buffers", 12, 2 * 1024 * 1024, 1},
  };
  std::mt19937 random(7);
  std::vector<std::vector<std::string>> writes;
  std::string sent;
  for (const Case& c : cases) {
    for (int w = 0; w < c.writes; ++w) {
      writes.emplace_back();
      for (size_t i = 0; i < c.ranges; ++i) {
        writes.back().push_back(Pattern(random() % (c.largest + 1), static_cast<unsigned>(sent.size())));
        sent += writes.back().back();
      }
    }
  }
  Peer peer(GetParam());
  auto transport = peer.Connect();
  std::thread echo([&] { peer.Echo(); });
  std::string received;
  std::thread reader([&] {
    std::vector<char> buffer(64 * 1024);
    while (received.size() < sent.size()) {
      RedisIoResult result = transport->ReadSome(buffer.data(), buffer.size(), 10s);
      if (!result.Ok()) {
        ADD_FAILURE() << "read: " << result.Describe();
        return;
      }
      received.append(buffer.data(), result.bytes);
    }
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
  std::string chunk(256 * 1024, 'y');
  RedisByteRange range{chunk.data(), chunk.size()};
  RedisIoResult result;
  before = SuppressedSigpipeCount();
  for (int attempt = 0; attempt < 20 && result.Ok(); ++attempt) result = transport->WriteAll({&range, 1}, 2s);
  EXPECT_EQ(result.status, Status::kFailed);
  EXPECT_TRUE(result.error == EPIPE || result.error == ECONNRESET) << result.Describe();
  EXPECT_EQ(SuppressedSigpipeCount(), before) << "the transports write with MSG_NOSIGNAL: no SIGPIPE at all";
  EXPECT_TRUE(SigpipeHasItsDefaultActionAndIsNotBlocked());
}

TEST_P(RedisTransport, ConnectingWhereNobodyListensFails) {
  auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(MakeTransport(GetParam())->Connect({"127.0.0.1", FindFreeLoopbackPort()}, 60s), RedisIoError);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s) << "refused, not a wait for the time-out";
  // An unknown host (its name resolution takes what the system's resolver takes).
  EXPECT_THROW(MakeTransport(GetParam())->Connect({"no-such-host.invalid", 6379}, 60s), RedisIoError);
}

INSTANTIATE_TEST_SUITE_P(Transports, RedisTransport, kWires, WireName);

// The protocol layer of the pipes: requests encode to the exact RESP bytes
// whether their large arguments are copied or referenced, and replies parse
// into the same objects however the byte stream is cut, nested arrays, nils,
// errors and binary bulk strings included. Then what a Redis Cluster client
// must compute exactly as the servers do: the hash slot of a key (CRC16, hash
// tags), the slot map read from a CLUSTER SLOTS reply, and the MOVED and ASK
// redirections. The cluster tests (RedisClusterTest.cpp) check that keys land
// on the master of their slot in a real cluster.
using Type = RedisReply::Type;

std::string Bytes(const RedisCommand& command) {
  std::vector<RedisByteRange> ranges;
  command.AppendRanges(ranges);
  std::string bytes;
  for (const RedisByteRange& range : ranges) bytes.append(range.data, range.size);
  return bytes;
}

TEST(RedisProtocol, CommandsEncodeToTheirExactBytesWhetherArgumentsAreCopiedOrReferenced) {
  const std::string large(RedisCommand::kReferencedMin + 5, 'v');
  const std::string binary("a\0b\r\n", 5);
  struct Case {
    const char* name;
    std::vector<std::string_view> arguments;
    std::string expected;
  };
  const Case cases[] = {
      {"one argument", {"PING"}, "*1\r\n$4\r\nPING\r\n"},
      {"empty and binary arguments",
       {"SET", "", binary},
       "*3\r\n$3\r\nSET\r\n$0\r\n\r\n$5\r\n" + binary + "\r\n"},
      {"a large argument between small ones",
       {"SETEX", large, "60", large},
       "*4\r\n$5\r\nSETEX\r\n$" + std::to_string(large.size()) + "\r\n" + large + "\r\n$2\r\n60\r\n$" +
           std::to_string(large.size()) + "\r\n" + large + "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto owner = std::make_shared<int>(0);  // stands for the owner of referenced arguments
    RedisCommand copied = RedisCommand::Encode(c.arguments);
    RedisCommand referencing = RedisCommand::Encode(c.arguments, owner);
    EXPECT_TRUE(Bytes(copied) == c.expected);
    EXPECT_TRUE(Bytes(referencing) == c.expected);
    EXPECT_EQ(copied.Size(), c.expected.size());
    EXPECT_EQ(referencing.Size(), c.expected.size());
    // Moving a command (into a pipe's request) keeps its bytes.
    RedisCommand moved = std::move(referencing);
    EXPECT_TRUE(Bytes(moved) == c.expected);
  }
}

// A reply written out in a compact form to compare with: "s:abc" for a
// bulk string, "+OK", "-ERR x", ":5", "nil", "[a,b]" for arrays.
std::string Show(const RedisReply& reply) {
  switch (reply.type) {
    case Type::kString:
      return "s:" + std::string(reply.bytes->begin(), reply.bytes->end());
    case Type::kStatus:
      return "+" + reply.text;
    case Type::kError:
      return "-" + reply.text;
    case Type::kInteger:
      return ":" + std::to_string(reply.integer);
    case Type::kNil:
      return "nil";
    case Type::kArray: {
      std::string shown = "[";
      for (size_t i = 0; i < reply.elements.size(); ++i) {
        shown += (i ? "," : "") + (reply.elements[i] ? Show(*reply.elements[i]) : std::string("(missing)"));
      }
      return shown + "]";
    }
  }
  return "?";
}

TEST(RedisProtocol, RepliesParseTheSameHoweverTheStreamIsCut) {
  const std::string large(kelvra::caching::RedisValuePool::kPooledMin + 3, 'L');
  struct Case {
    const char* name;
    std::string stream;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"simple types", "+OK\r\n-ERR wrong\r\n:-42\r\n$-1\r\n", {"+OK", "-ERR wrong", ":-42", "nil"}},
      {"bulk strings, empty and binary",
       std::string("$0\r\n\r\n$5\r\nx\0\r\ny\r\n", 17),
       {"s:", std::string("s:x\0\r\ny", 7)}},
      {"nested arrays", "*3\r\n$1\r\na\r\n*2\r\n:1\r\n$-1\r\n*0\r\n*-1\r\n", {"[s:a,[:1,nil],[]]", "nil"}},
      {"a value large enough for the pool",
       "$" + std::to_string(large.size()) + "\r\n" + large + "\r\n:7\r\n",
       {"s:" + large, ":7"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Every cut of the stream into two pieces, and the stream byte by byte.
    std::vector<std::vector<size_t>> cuts;
    for (size_t at = 0; at <= c.stream.size(); at += c.stream.size() > 200 ? 997 : 1) cuts.push_back({at});
    std::vector<size_t> everyByte;
    for (size_t at = 1; at < c.stream.size(); ++at) everyByte.push_back(at);
    cuts.push_back(everyByte);
    for (const std::vector<size_t>& cut : cuts) {
      RedisReplyParser parser;
      std::vector<std::string> parsed;
      size_t from = 0;
      auto take = [&](size_t to) {
        parser.Feed(c.stream.data() + from, to - from);
        from = to;
        RedisReplyPtr reply;
        RedisReplyParser::Result result;
        while ((result = parser.Next(&reply)) == RedisReplyParser::Result::kReply)
          parsed.push_back(Show(*reply));
        EXPECT_EQ(result, RedisReplyParser::Result::kNeedMore) << parser.Error();
      };
      for (size_t at : cut) take(at);
      take(c.stream.size());
      ASSERT_EQ(parsed, c.expected) << "cut into " << cut.size() + 1 << " pieces";
    }
  }
}

TEST(RedisValuePool, ARecycledBufferCarriesExactlyTheNewValue) {
  using kelvra::caching::RedisValuePool;
  // Sizes that shrink and grow, so that buffers larger than the value are
  // reused; small ones and ones too large for the pool are plain buffers.
  const size_t sizes[] = {64 * 1024,     20 * 1024, 100, RedisValuePool::kPooledMin,
                          64 * 1024 + 1, 17 * 1024, 0,   3 * RedisValuePool::kMaxBufferBytes,
                          30 * 1024};
  size_t idleBefore = RedisValuePool::IdleBuffers();
  for (int round = 0; round < 3; ++round) {
    for (size_t size : sizes) {
      std::string source(size, '\0');
      for (size_t i = 0; i < size; ++i) source[i] = static_cast<char>(i * 7 + size + round);
      auto value = RedisValuePool::MakeValue(source.data(), source.size());
      ASSERT_EQ(value->size(), size);
      ASSERT_TRUE(size == 0 || std::memcmp(value->data(), source.data(), size) == 0) << size;
    }
  }
  EXPECT_GT(RedisValuePool::IdleBuffers(), idleBefore) << "dropped large values wait for reuse";
}

TEST(RedisProtocol, AStreamThatIsNotRespIsAProtocolError) {
  RedisReplyParser parser;
  parser.Feed("+OK\r\n!oops\r\n", 12);
  RedisReplyPtr reply;
  ASSERT_EQ(parser.Next(&reply), RedisReplyParser::Result::kReply);
  EXPECT_EQ(Show(*reply), "+OK");
  EXPECT_EQ(parser.Next(&reply), RedisReplyParser::Result::kProtocolError);
  EXPECT_FALSE(parser.Error().empty());
}

TEST(RedisKeySlot, SlotsAndHashTagsAreThoseOfTheServers) {
  EXPECT_EQ(RedisCrc16("123456789"), 0x31C3) << "the XMODEM check value";
  EXPECT_EQ(RedisCrc16(""), 0);

  // Slots as CLUSTER KEYSLOT of Redis 7 gives them.
  const std::pair<std::string, int> slots[] = {
      {"somekey", 11058}, {"foo{hash_tag}", 2515}, {"bar{hash_tag}", 2515}, {"hash_tag", 2515}};
  for (const auto& [key, slot] : slots) EXPECT_EQ(RedisKeySlot(key), slot) << key;

  // Each row: a key, and the bytes that decide its slot.
  const std::vector<std::pair<std::string, std::string>> hashed = {
      {"{user1000}.following", "user1000"},
      {"{user1000}.followers", "user1000"},
      {"foo{}{bar}", "foo{}{bar}"},  // an empty tag does not count: the whole key
      {"foo{{bar}}zap", "{bar"},     // from the first '{' to the first '}' after it
      {"foo{bar}{zap}", "bar"},      // only the first tag
      {"{}", "{}"},
      {"}{a}", "a"},
      {"no-brace-closes{", "no-brace-closes{"},
      {"ns\nkey", "ns\nkey"},
      {std::string("nul\0{t}", 7), "t"},
  };
  for (const auto& [key, decides] : hashed) {
    EXPECT_EQ(RedisKeySlot(key), RedisCrc16(decides) & 16383) << key;
  }
}

// A reply as the server would send it: the RESP text parsed by the pipes'
// own parser. "[a,b]" stands for an array, ":n" for an integer, any other
// item for a bulk string; `Slots` writes a CLUSTER SLOTS reply from ranges of
// "first last host:port:id ...".
kelvra::caching::RedisReplyPtr Reply(const std::string& resp) {
  kelvra::caching::RedisReplyParser parser;
  parser.Feed(resp.data(), resp.size());
  kelvra::caching::RedisReplyPtr reply;
  EXPECT_EQ(parser.Next(&reply), kelvra::caching::RedisReplyParser::Result::kReply) << resp;
  return reply;
}
std::string Bulk(const std::string& text) { return "$" + std::to_string(text.size()) + "\r\n" + text + "\r\n"; }
std::string Int(long long value) { return ":" + std::to_string(value) + "\r\n"; }
std::string Arr(const std::vector<std::string>& items) {
  std::string out = "*" + std::to_string(items.size()) + "\r\n";
  for (const std::string& item : items) out += item;
  return out;
}
// A range of slots and its nodes, each "host:port:id".
std::string Range(int first, int last, const std::vector<std::string>& nodes) {
  std::vector<std::string> items = {Int(first), Int(last)};
  for (const std::string& node : nodes) {
    const size_t a = node.find(':'), b = node.rfind(':');
    items.push_back(Arr({Bulk(node.substr(0, a)), Int(std::stoi(node.substr(a + 1, b - a - 1))), Bulk(node.substr(b + 1))}));
  }
  return Arr(items);
}

TEST(RedisSlotMap, AClusterSlotsReplyBecomesMastersFirstWithEverySlotOwned) {
  const RedisServerAddress answeredBy{"10.0.0.9", 7000};
  // Out of slot order, a master with two ranges, a replica without a known
  // address, and a master given with an empty host (the node that answered).
  const auto map = RedisSlotMap::FromClusterSlots(
      *Reply(Arr({Range(10923, 16383, {"10.0.0.3:7002:c", "10.0.0.6:7005:f"}),
                  Range(0, 5460, {"10.0.0.1:7000:a", "?:7003:d"}), Range(5461, 10000, {":7001:b"}),
                  Range(10001, 10922, {"10.0.0.1:7000:a", "10.0.0.4:7004:e"})})),
      answeredBy);

  // Masters in slot order, then replicas in the order of their ranges' slots.
  ASSERT_EQ(map->Nodes().size(), 5u) << "the replica without an address is left out";
  EXPECT_EQ(map->MasterCount(), 3u);
  const std::vector<RedisServerAddress> order = {
      {"10.0.0.1", 7000}, {"10.0.0.9", 7001}, {"10.0.0.3", 7002}, {"10.0.0.4", 7004}, {"10.0.0.6", 7005}};
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(map->Nodes()[i].address, order[i]) << i;
    EXPECT_EQ(map->Nodes()[i].master, i < 3) << i;
  }
  const std::vector<std::pair<int, int>> owners = {{0, 0},     {5460, 0},  {5461, 1},  {10000, 1},
                                                   {10001, 0}, {10922, 0}, {10923, 2}, {16383, 2}};
  for (const auto& [slot, owner] : owners) EXPECT_EQ(map->MasterOf(static_cast<uint16_t>(slot)), owner) << slot;
  EXPECT_EQ(map->UnservedSlots(), 0);

  // A MOVED reply hands one slot to another node, new or known, in a copy.
  const auto moved = map->WithSlotServedBy(42, {"10.0.0.7", 7006});
  EXPECT_EQ(moved->MasterCount(), 4u);
  EXPECT_EQ(moved->Nodes()[static_cast<size_t>(moved->MasterOf(42))].address, (RedisServerAddress{"10.0.0.7", 7006}));
  EXPECT_EQ(moved->MasterOf(43), 0);
  EXPECT_EQ(map->MasterOf(42), 0) << "the original map does not change";
  EXPECT_FALSE(moved->SameAs(*map));
  const auto replicaPromoted = map->WithSlotServedBy(7, {"10.0.0.4", 7004});
  EXPECT_EQ(replicaPromoted->Nodes().size(), 5u);
  EXPECT_TRUE(replicaPromoted->Nodes()[3].master);
  EXPECT_EQ(replicaPromoted->MasterCount(), 4u);

  // A cluster whose slots are not all assigned yet.
  const auto incomplete = RedisSlotMap::FromClusterSlots(*Reply(Arr({Range(0, 99, {"h:1:x"})})), answeredBy);
  EXPECT_EQ(incomplete->UnservedSlots(), 16384 - 100);
  EXPECT_EQ(incomplete->MasterOf(100), RedisSlotMap::kNoNode);
}

TEST(RedisSlotMap, AReplyThatIsNoSlotTableIsRefusedNamingTheNode) {
  const std::vector<std::string> bad = {
      Bulk("not an array"),
      Arr({Int(3)}),
      Arr({Range(9, 3, {"h:1:x"})}),                         // backwards
      Arr({Range(0, 16384, {"h:1:x"})}),                     // past the last slot
      Arr({Arr({Int(0), Int(5), Int(1)})}),                  // a node that is no array
  };
  for (const std::string& resp : bad) {
    const std::string message = kelcache_test::RaisedText<RedisReplyError>(
        [&] { RedisSlotMap::FromClusterSlots(*Reply(resp), {"10.0.0.9", 7000}); });
    EXPECT_NE(message.find("10.0.0.9:7000"), std::string::npos) << resp << ": " << message;
  }
}

TEST(RedisRedirection, MovedAndAskRepliesNameTheSlotAndTheNode) {
  const RedisServerAddress answeredBy{"10.0.0.9", 7000};
  struct Case {
    std::string text;
    std::optional<RedisRedirection::Kind> kind;  // nothing: not a redirection
    int slot = 0;
    RedisServerAddress address;
  };
  using Kind = RedisRedirection::Kind;
  const std::vector<Case> cases = {
      {"MOVED 3999 127.0.0.1:6381", Kind::kMoved, 3999, {"127.0.0.1", 6381}},
      {"ASK 3999 127.0.0.1:6381", Kind::kAsk, 3999, {"127.0.0.1", 6381}},
      {"MOVED 0 :7001", Kind::kMoved, 0, {"10.0.0.9", 7001}},  // no host: the node that answered
      {"MOVED 16383 ::1:7002", Kind::kMoved, 16383, {"::1", 7002}},
      {"ASK 5 [::1]:7002", Kind::kAsk, 5, {"::1", 7002}},
      {"MOVED 12 cache-3.example:7003", Kind::kMoved, 12, {"cache-3.example", 7003}},
      {"MOVED 12 ?:0", Kind::kMoved, 12, {"", 0}},  // unknown: only a new map can tell
      {"MOVED 16384 h:1", std::nullopt},
      {"MOVED x h:1", std::nullopt},
      {"MOVED 12", std::nullopt},
      {"MOVED 12 h", std::nullopt},
      {"MOVED 12 h:port", std::nullopt},
      {"ERR unknown command", std::nullopt},
      {"TRYAGAIN Multiple keys request during rehashing of slot", std::nullopt},
      {"moved 1 h:1", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::optional<RedisRedirection> parsed = RedisRedirection::Parse(c.text, answeredBy);
    ASSERT_EQ(parsed.has_value(), c.kind.has_value()) << c.text;
    if (!parsed) continue;
    EXPECT_EQ(parsed->kind, *c.kind) << c.text;
    EXPECT_EQ(parsed->slot, c.slot) << c.text;
    EXPECT_EQ(parsed->address, c.address) << c.text;
  }
}

}  // namespace
}  // namespace kelcache_test
