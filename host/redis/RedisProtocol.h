// The Redis protocol (RESP) for the pipes: requests encoded here, replies
// parsed by hiredis's reader into reply objects of our own; the bytes travel
// over an IRedisTransport.
//
//   RedisCommand     one request, encoded; large arguments are not copied
//                    but referenced, kept alive by the command
//   RedisReply       one parsed reply; a bulk string is already the value
//                    the connection returns (no further copy), its buffer
//                    from ValueBufferPool
//   RedisReplyParser turns a received byte stream into replies, in order
//
// Thread rules: plain values. A parser is used by one thread at a time (the
// pipe's reader).
#pragma once

#include <boost/core/noncopyable.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/Export.h"
#include "host/redis/IRedisTransport.h"

struct redisReader;

namespace kelvra::caching {

struct KELCACHE_EXPORT RedisReply {
  enum class Type { kString, kArray, kInteger, kNil, kStatus, kError };

  Type type = Type::kNil;
  long long integer = 0;                              // kInteger
  std::string text;                                   // kStatus, kError
  std::shared_ptr<std::vector<uint8_t>> bytes;        // kString
  std::vector<std::unique_ptr<RedisReply>> elements;  // kArray
};
using RedisReplyPtr = std::unique_ptr<RedisReply>;

class KELCACHE_EXPORT RedisCommand {
 public:
  // Arguments of at least this size are referenced rather than copied, when
  // the command is given something that keeps them alive.
  static constexpr size_t kReferencedMin = 8 * 1024;

  // Encodes the command and its arguments (binary-safe) as a RESP array of
  // bulk strings. With a `keepAlive`, arguments of kReferencedMin bytes or
  // more are written from where they lie, and `keepAlive` must own them (it is
  // held by the command); without one, every argument is copied.
  static RedisCommand Encode(std::span<const std::string_view> arguments,
                             std::shared_ptr<const void> keepAlive = nullptr);
  // Two commands as one request: `first` (small, copied), then `arguments`
  // as Encode does. Their bytes go out together, so no request of another
  // caller comes between them on the connection (ASKING must immediately
  // precede the command it applies to). The request has two replies; the
  // pipe gives its caller the second, or the first when that is an error.
  static RedisCommand EncodeAfter(std::span<const std::string_view> first,
                                  std::span<const std::string_view> arguments,
                                  std::shared_ptr<const void> keepAlive = nullptr);

  // How many replies the request's bytes call for (1, or 2 after EncodeAfter).
  int Replies() const { return m_replies; }

  // The encoded bytes, in order, as ranges for IRedisTransport::WriteAll.
  void AppendRanges(std::vector<RedisByteRange>& ranges) const;
  size_t Size() const { return m_size; }

 private:
  // A piece of the encoding: `length` bytes at `offset` in m_owned, or, when
  // `external` is set, at `external`.
  struct Piece {
    const char* external;
    size_t offset;
    size_t length;
  };

  // Appends one command's encoding to m_owned and m_pieces; arguments of
  // kReferencedMin bytes or more are referenced when `reference` is set.
  void Append(std::span<const std::string_view> arguments, bool reference);

  std::string m_owned;
  std::vector<Piece> m_pieces;
  int m_replies = 1;
  std::shared_ptr<const void> m_keepAlive;
  size_t m_size = 0;
};

class KELCACHE_EXPORT RedisReplyParser : boost::noncopyable {
 public:
  RedisReplyParser();
  ~RedisReplyParser();

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
