#include "host/redis/RedisProtocol.h"

#include <hiredis/hiredis.h>

#include <new>
#include <vector>

#include "host/TString.h"
#include "host/redis/RedisErrors.h"

namespace kelvra::caching {

namespace {

// hiredis frees its parse buffer after a reply once more than 16 KiB of it is
// unused, so every large reply would allocate and release a buffer of its
// size again (mmap/munmap churn, page faults and TLB shootdowns). Keep up to
// this much per parser instead.
constexpr size_t kParseBufferKept = 1024 * 1024;

// Most commands have at most four parts (SETEX key seconds value).
constexpr size_t kInlineArguments = 4;

}  // namespace

void RedisReplyDeleter::operator()(redisReply* reply) const {
  freeReplyObject(reply);
}

RedisCommand RedisCommand::Encode(std::span<const std::string_view> arguments) {
  const char* inlineData[kInlineArguments];
  size_t inlineLengths[kInlineArguments];
  std::vector<const char*> heapData;
  std::vector<size_t> heapLengths;
  const char** data = inlineData;
  size_t* lengths = inlineLengths;
  if (arguments.size() > kInlineArguments) {
    heapData.resize(arguments.size());
    heapLengths.resize(arguments.size());
    data = heapData.data();
    lengths = heapLengths.data();
  }
  static const char kEmpty = 0;
  for (size_t i = 0; i < arguments.size(); ++i) {
    // An empty argument may come with a null pointer; hiredis wants one.
    data[i] = arguments[i].empty() ? &kEmpty : arguments[i].data();
    lengths[i] = arguments[i].size();
  }
  char* bytes = nullptr;
  int size = redisFormatCommandArgv(&bytes, static_cast<int>(arguments.size()), data, lengths);
  if (size < 0 || bytes == nullptr) throw RedisIoError(TString(u"Redis: no memory to encode a command"));
  return RedisCommand(bytes, static_cast<size_t>(size));
}

RedisReplyParser::RedisReplyParser() : m_reader(redisReaderCreate()) {
  if (m_reader == nullptr) throw std::bad_alloc();
  m_reader->maxbuf = kParseBufferKept;
}

RedisReplyParser::~RedisReplyParser() {
  redisReaderFree(m_reader);
}

void RedisReplyParser::Feed(const char* data, size_t size) {
  // On failure (no memory) the reader records an error, which Next reports.
  (void)redisReaderFeed(m_reader, data, size);
}

RedisReplyParser::Result RedisReplyParser::Next(RedisReplyPtr* reply) {
  void* raw = nullptr;
  if (redisReaderGetReply(m_reader, &raw) != REDIS_OK) return Result::kProtocolError;
  if (raw == nullptr) return Result::kNeedMore;
  reply->reset(static_cast<redisReply*>(raw));
  return Result::kReply;
}

std::string RedisReplyParser::Error() const {
  return m_reader->err ? std::string(m_reader->errstr) : std::string("no error");
}

}  // namespace kelvra::caching
