// The protocol layer of the pipes: requests encode to the exact RESP bytes
// whether their large arguments are copied or referenced, and replies parse
// into the same objects however the byte stream is cut, nested arrays, nils,
// errors and binary bulk strings included (no server needed), into buffers
// that the value pool recycles.
#include <gtest/gtest.h>
#include <malloc.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/redis/RedisProtocol.h"
#include "host/ValueBufferPool.h"

namespace kelcache_test {
namespace {

using namespace kelvra::caching;
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
  const std::tuple<const char*, std::vector<std::string_view>, std::string> cases[] = {  // what, arguments, bytes
      {"one argument", {"PING"}, "*1\r\n$4\r\nPING\r\n"},
      {"empty and binary arguments",
       {"SET", "", binary},
       "*3\r\n$3\r\nSET\r\n$0\r\n\r\n$5\r\n" + binary + "\r\n"},
      {"a large argument between small ones",
       {"SETEX", large, "60", large},
       "*4\r\n$5\r\nSETEX\r\n$" + std::to_string(large.size()) + "\r\n" + large + "\r\n$2\r\n60\r\n$" +
           std::to_string(large.size()) + "\r\n" + large + "\r\n"},
  };
  for (const auto& [name, arguments, expected] : cases) {
    SCOPED_TRACE(name);
    // The shared pointer stands for the owner of referenced arguments.
    RedisCommand commands[] = {RedisCommand::Encode(arguments), RedisCommand::Encode(arguments, std::make_shared<int>(0))};
    for (RedisCommand& command : commands) {
      EXPECT_TRUE(Bytes(command) == expected);
      EXPECT_EQ(command.Size(), expected.size());
      // Moving a command (into a pipe's request) keeps its bytes.
      EXPECT_TRUE(Bytes(RedisCommand(std::move(command))) == expected);
    }
  }
}

// A reply written out in a compact form to compare with: "s:abc" for a
// bulk string, "+OK", "-ERR x", ":5", "nil", "[a,b]" for arrays.
std::string Show(const RedisReply& reply) {
  switch (reply.type) {
    case Type::kString: return "s:" + std::string(reply.bytes->begin(), reply.bytes->end());
    case Type::kStatus: return "+" + reply.text;
    case Type::kError: return "-" + reply.text;
    case Type::kInteger: return ":" + std::to_string(reply.integer);
    case Type::kNil: return "nil";
    case Type::kArray: {
      std::string shown = "[";
      for (size_t i = 0; i < reply.elements.size(); ++i)
        shown += (i ? "," : "") + (reply.elements[i] ? Show(*reply.elements[i]) : std::string("(missing)"));
      return shown + "]";
    }
  }
  return "?";
}

// A stream that is not RESP ends in a protocol error that says what is
// wrong, after the replies that came before it.
TEST(RedisProtocol, RepliesAndProtocolErrorsParseTheSameHoweverTheStreamIsCut) {
  const std::string large(ValueBufferPool::kPooledMin + 3, 'L');
  const std::tuple<const char*, std::string, std::vector<std::string>> cases[] = {  // what, stream, replies
      {"simple types", "+OK\r\n-ERR wrong\r\n:-42\r\n$-1\r\n", {"+OK", "-ERR wrong", ":-42", "nil"}},
      {"bulk strings, empty and binary",
       std::string("$0\r\n\r\n$5\r\nx\0\r\ny\r\n", 17),
       {"s:", std::string("s:x\0\r\ny", 7)}},
      {"nested arrays", "*3\r\n$1\r\na\r\n*2\r\n:1\r\n$-1\r\n*0\r\n*-1\r\n", {"[s:a,[:1,nil],[]]", "nil"}},
      {"a value large enough for the pool",
       "$" + std::to_string(large.size()) + "\r\n" + large + "\r\n:7\r\n",
       {"s:" + large, ":7"}},
      {"a stream that is not RESP", "+OK\r\n!oops\r\n", {"+OK", "protocol error, explained"}},
  };
  for (const auto& [name, stream, expected] : cases) {
    SCOPED_TRACE(name);
    // Every cut of the stream into two pieces, and the stream byte by byte.
    std::vector<std::vector<size_t>> cuts(1);
    for (size_t at = 1; at < stream.size(); ++at) cuts.front().push_back(at);
    for (size_t at = 0; at <= stream.size(); at += stream.size() > 200 ? 997 : 1) cuts.push_back({at});
    for (std::vector<size_t> cut : cuts) {
      cut.push_back(stream.size());
      RedisReplyParser parser;
      std::vector<std::string> parsed;
      RedisReplyPtr reply;
      RedisReplyParser::Result result;
      for (size_t from = 0, i = 0; i < cut.size(); from = cut[i++]) {
        parser.Feed(stream.data() + from, cut[i] - from);
        while ((result = parser.Next(&reply)) == RedisReplyParser::Result::kReply) parsed.push_back(Show(*reply));
        if (result == RedisReplyParser::Result::kProtocolError) {
          parsed.push_back(parser.Error().empty() ? "protocol error, unexplained" : "protocol error, explained");
          break;
        }
        EXPECT_EQ(result, RedisReplyParser::Result::kNeedMore) << parser.Error();
      }
      ASSERT_EQ(parsed, expected) << "cut into " << cut.size() << " pieces";
    }
  }
}

TEST(ValueBufferPool, ARecycledBufferCarriesExactlyTheNewValue) {
  // Sizes that shrink and grow, so that buffers larger than the value are
  // reused (up to twice its size); small ones and ones too large for the
  // pool are plain buffers. Each round hands out a buffer to be overwritten
  // (as a disk load reads into it) and then a copied value, each made from
  // what the one before left in the pool.
  const size_t sizes[] = {64 * 1024,     20 * 1024, 100, ValueBufferPool::kPooledMin,
                          64 * 1024 + 1, 17 * 1024, 0,   3 * ValueBufferPool::kMaxBufferBytes,
                          30 * 1024};
  for (int round = 0; round < 3; ++round) {
    for (size_t size : sizes) {
      SCOPED_TRACE(size);
      auto buffer = ValueBufferPool::MakeBuffer(size);
      ASSERT_EQ(buffer->size(), size);
      ASSERT_LE(buffer->capacity(), 2 * size);
      std::fill(buffer->begin(), buffer->end(), uint8_t{0xAB});
      buffer.reset();
      std::string source(size, '\0');
      for (size_t i = 0; i < size; ++i) source[i] = static_cast<char>(i * 7 + size + round);
      auto value = ValueBufferPool::MakeValue(source.data(), source.size());
      ASSERT_TRUE(*value == std::vector<uint8_t>(source.begin(), source.end()));
      // A value holds no more than twice its bytes, whichever buffer it got.
      ASSERT_LE(value->capacity(), 2 * size);
    }
  }
}

// Dropped large values wait for reuse: a pool full of buffers (as one that
// served for a while is) still keeps, and serves again, the buffer of a value
// that none of them fits (here a larger one, bigger than the room left):
// its oldest buffers make room.
TEST(ValueBufferPool, AFullPoolMakesRoomForTheBuffersOfTheValuesAtHand) {
  const std::string filler(512 * 1024, 'f');
  {
    std::vector<std::shared_ptr<std::vector<uint8_t>>> values;
    for (size_t i = 0; i < ValueBufferPool::kMaxPoolBytes / filler.size() + 2; ++i) {
      values.push_back(ValueBufferPool::MakeValue(filler.data(), filler.size()));
    }
  }  // every one given back: the pool is full, less than a filler's room left
  const std::string value(600 * 1024, 'v');
  ValueBufferPool::MakeValue(value.data(), value.size());  // given back at once
  const size_t idle = ValueBufferPool::IdleBuffers();
  auto again = ValueBufferPool::MakeValue(value.data(), value.size());
  EXPECT_EQ(ValueBufferPool::IdleBuffers(), idle - 1) << "the value's buffer was not kept for reuse";
}

// A holder may take the bytes out of a value (move its vector) or shrink it:
// the buffer that comes back can serve no request, and is not kept.
TEST(ValueBufferPool, BuffersTheirHoldersEmptiedOrShrankAreNotKept) {
  const std::pair<const char*, void (*)(std::vector<uint8_t>&)> holders[] = {
      {"moved out", [](std::vector<uint8_t>& bytes) { std::vector<uint8_t> mine = std::move(bytes); }},
      {"shrunk", [](std::vector<uint8_t>& bytes) { bytes.resize(1024); bytes.shrink_to_fit(); }},
  };
  for (const auto& [what, hold] : holders) {
    SCOPED_TRACE(what);
    const size_t idle = ValueBufferPool::IdleBuffers();
    for (int i = 0; i < 100; ++i) hold(*ValueBufferPool::MakeBuffer(64 * 1024));
    EXPECT_LE(ValueBufferPool::IdleBuffers(), idle);
  }
}

// The memory this process holds in RAM, in bytes.
size_t ResidentBytes() {
  size_t pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// The memory the allocator has handed out, touched or not (a reservation
// that is never written stays out of ResidentBytes). The sanitizers' builds
// have allocators of their own, which this does not see.
size_t AllocatedBytes() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// An array's header is only a number: a stream that announces 10^8 elements
// (800 MB of element pointers) and sends two holds memory for what came, not
// for what was announced, until its elements arrive.
TEST(RedisProtocol, AnArrayHoldsMemoryForTheElementsThatCameNotForItsHeader) {
  RedisReplyParser parser;
  const size_t residentBefore = ResidentBytes();
  const size_t allocatedBefore = AllocatedBytes();
  parser.Feed("*100000000\r\n:1\r\n:2\r\n", 20);
  RedisReplyPtr reply;
  EXPECT_EQ(parser.Next(&reply), RedisReplyParser::Result::kNeedMore) << parser.Error();
  constexpr size_t kLimit = size_t{64} << 20;
  EXPECT_LT(ResidentBytes() - std::min(residentBefore, ResidentBytes()), kLimit);
  EXPECT_LT(AllocatedBytes() - std::min(allocatedBefore, AllocatedBytes()), kLimit);
}

}  // namespace
}  // namespace kelcache_test
