// The reply parser on any bytes from a server: the replies (and a protocol
// error, if one comes) are the same however the stream is cut, the memory
// held follows the bytes that came (libFuzzer's RSS limit catches an array
// header that makes us allocate its announced length), and the readers of
// parsed replies that the client applies to what a server says, the slot
// table of CLUSTER SLOTS and the redirections of error replies, give a
// result or raise RedisReplyError, never anything else.
//
// Input: the first byte chooses where the stream is cut in two; the rest is
// the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/redis/RedisErrors.h"
#include "host/redis/RedisKeySlot.h"
#include "host/redis/RedisProtocol.h"
#include "host/redis/RedisSlotMap.h"

using namespace kelvra::caching;

namespace {

// The reply written out again, one canonical text per reply.
void Render(const RedisReply& reply, std::string& out) {
  switch (reply.type) {
    case RedisReply::Type::kString:
      if (!reply.bytes) std::abort();
      out += '$' + std::to_string(reply.bytes->size()) + ':';
      out.append(reply.bytes->begin(), reply.bytes->end());
      break;
    case RedisReply::Type::kArray:
      out += '*' + std::to_string(reply.elements.size()) + '[';
      for (const RedisReplyPtr& element : reply.elements) {
        if (!element) std::abort();  // a complete array has every element
        Render(*element, out);
      }
      out += ']';
      break;
    case RedisReply::Type::kInteger:
      out += ':' + std::to_string(reply.integer);
      break;
    case RedisReply::Type::kNil:
      out += "nil";
      break;
    case RedisReply::Type::kStatus:
      out += '+' + reply.text;
      break;
    case RedisReply::Type::kError:
      out += '-' + reply.text;
      break;
  }
  out += ';';
}

// What a server's reply means to the client where it could be one: a slot
// table, or a redirection.
void Interpret(const RedisReply& reply) {
  const RedisServerAddress answeredBy{"127.0.0.1", 7000};
  try {
    const auto map = RedisSlotMap::FromClusterSlots(reply, answeredBy);
    for (unsigned slot = 0; slot < kRedisClusterSlots; ++slot) {
      const int node = map->MasterOf(static_cast<uint16_t>(slot));
      if (node != RedisSlotMap::kNoNode && (node < 0 || static_cast<size_t>(node) >= map->Nodes().size())) {
        std::abort();
      }
    }
    (void)map->Describe();
  } catch (const RedisReplyError&) {
  }
  if (reply.type == RedisReply::Type::kError) {
    if (const auto redirection = RedisRedirection::Parse(reply.text, answeredBy)) {
      if (redirection->slot >= kRedisClusterSlots) std::abort();
    }
  }
}

// The replies of the stream fed in the given pieces, each rendered, then
// "error" when the stream turned out not to be RESP.
std::vector<std::string> Parse(const std::string& stream, const std::vector<size_t>& cuts, bool interpret) {
  RedisReplyParser parser;
  std::vector<std::string> replies;
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(stream.size());
  for (size_t to : ends) {
    parser.Feed(stream.data() + from, to - from);
    from = to;
    for (;;) {
      RedisReplyPtr reply;
      const RedisReplyParser::Result result = parser.Next(&reply);
      if (result == RedisReplyParser::Result::kNeedMore) break;
      if (result == RedisReplyParser::Result::kProtocolError) {
        replies.push_back("error");
        return replies;
      }
      if (!reply) std::abort();
      std::string text;
      Render(*reply, text);
      replies.push_back(std::move(text));
      if (interpret) Interpret(*reply);
    }
  }
  return replies;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::vector<std::string> whole = Parse(stream, {}, true);
  if (Parse(stream, {stream.size() * data[0] / 255}, false) != whole) std::abort();
  if (stream.size() <= 256) {
    std::vector<size_t> everyByte;
    for (size_t at = 1; at < stream.size(); ++at) everyByte.push_back(at);
    if (Parse(stream, everyByte, false) != whole) std::abort();
  }
  return 0;
}
