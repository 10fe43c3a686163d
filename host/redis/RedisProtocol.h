// The Redis protocol (RESP) for the pipes, through hiredis's encoder and
// reply parser; the bytes travel over an IRedisTransport of our own.
//
//   RedisCommand     one request, encoded, owning its bytes
//   RedisReplyPtr    one parsed reply (a hiredis redisReply), owned
//   RedisReplyParser turns a received byte stream into replies, in order
//
// Thread rules: plain values. A parser is used by one thread at a time (the
// pipe's reader).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "host/Export.h"

struct redisReader;
struct redisReply;

namespace kelvra::caching {

struct KELCACHE_EXPORT RedisReplyDeleter {
  void operator()(redisReply* reply) const;
};
using RedisReplyPtr = std::unique_ptr<redisReply, RedisReplyDeleter>;

class KELCACHE_EXPORT RedisCommand {
 public:
  // Encodes the command and its arguments (binary-safe). Raises
  // RedisIoError when no memory can be had for it.
  static RedisCommand Encode(std::span<const std::string_view> arguments);

  const char* Data() const { return m_bytes.get(); }
  size_t Size() const { return m_size; }

 private:
  struct FreeDeleter {
    void operator()(char* bytes) const { std::free(bytes); }
  };
  RedisCommand(char* bytes, size_t size) : m_bytes(bytes), m_size(size) {}

  std::unique_ptr<char, FreeDeleter> m_bytes;  // from malloc, by hiredis's encoder
  size_t m_size = 0;
};

class KELCACHE_EXPORT RedisReplyParser {
 public:
  RedisReplyParser();
  ~RedisReplyParser();
  RedisReplyParser(const RedisReplyParser&) = delete;
  RedisReplyParser& operator=(const RedisReplyParser&) = delete;

  enum class Result { kReply, kNeedMore, kProtocolError };

  // Adds received bytes; take the replies they complete with Next.
  void Feed(const char* data, size_t size);
  // The next complete reply into *reply (kReply), or kNeedMore. After a
  // kProtocolError the stream is unusable; Error() says why.
  Result Next(RedisReplyPtr* reply);
  std::string Error() const;

 private:
  redisReader* m_reader;  // owned
};

}  // namespace kelvra::caching
