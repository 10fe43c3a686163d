// IRedisTransport: the byte stream under a Redis connection. The pipes
// (host/redis/RedisPipe.h) speak the Redis protocol over it and never touch a
// socket themselves, and neither does the subscriber connection. Two
// implementations: RedisTcpTransport (plain TCP) and RedisTlsTransport (TLS
// over TCP, with OpenSSL); host/redis/RedisTransportFactory.h picks one for a
// configuration.
//
// Life of a transport: made unconnected by a RedisTransportFactory, Connect
// once, then any number of WriteAll, ReadSome and WaitReadable calls,
// Shutdown at most once or more (it is idempotent), destruction. A transport
// is never reconnected: a pipe makes a new one for every connection.
//
// Time-outs bound silence, not size: `silence` ends a wait of WriteAll or
// ReadSome in which no byte moved; a stream that keeps moving goes on. A read
// that timed out leaves the stream usable (nothing was lost); a write that
// timed out may have sent part of the bytes, so the stream is then useless.
//
// Failures: Connect raises RedisIoError (refused, unreachable, unknown host,
// a TLS handshake or certificate check that failed) or RedisTimeoutError (no
// connection within the time-out). WriteAll and ReadSome never raise; they
// report a RedisIoResult, so the pipes' hot path carries no exceptions. No
// call may ever raise SIGPIPE.
//
// Thread rules: one reader and one writer may run at the same time on two
// threads (ReadSome or WaitReadable on one, WriteAll on the other), never two
// of either. Shutdown may be called from any thread at any time, also while a
// read and a write are blocked: both then return soon with kClosed or
// kFailed. Connect and destruction run while no other call does.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "host/Export.h"
#include "host/redis/RedisConfiguration.h"

namespace kelvra::caching {

struct KELCACHE_EXPORT RedisIoResult {
  enum class Status {
    kOk,        // bytes moved: ReadSome read `bytes` (at least 1); WriteAll wrote everything
    kTimedOut,  // no byte moved for `silence`
    kClosed,    // the peer closed the stream, or Shutdown was called
    kFailed,    // any other failure; `error` holds the errno value
  };
  Status status = Status::kOk;
  size_t bytes = 0;
  int error = 0;
  // What the transport knows beyond the status, when it knows more (a TLS
  // alert from the server, say); empty otherwise.
  std::string detail;

  bool Ok() const { return status == Status::kOk; }
  // A result that moved no bytes.
  static RedisIoResult Failed(Status status, int error = 0, std::string detail = {}) {
    RedisIoResult result;
    result.status = status;
    result.error = error;
    result.detail = std::move(detail);
    return result;
  }
  // What happened, in words, for error messages ("connection reset by peer",
  // "TLS: tlsv13 alert certificate required").
  std::string Describe() const;
};

// A range of bytes to write; the bytes stay owned by the caller.
struct RedisByteRange {
  const char* data = nullptr;
  size_t size = 0;
};

class KELCACHE_EXPORT IRedisTransport {
 public:
  virtual ~IRedisTransport();

  // Connects to `address` within `timeout`, name resolution included.
  // Raises RedisIoError or RedisTimeoutError.
  virtual void Connect(const RedisServerAddress& address, std::chrono::milliseconds timeout) = 0;
  // Writes all bytes of `parts`, in order.
  virtual RedisIoResult WriteAll(std::span<const RedisByteRange> parts,
                                 std::chrono::milliseconds silence) = 0;
  // Reads at least one byte and at most `capacity` into `buffer`, waiting up
  // to `silence` for the first.
  virtual RedisIoResult ReadSome(char* buffer, size_t capacity, std::chrono::milliseconds silence) = 0;
  // Waits up to `timeout` until a ReadSome would return at once (bytes, the
  // end of the stream or a failure to report) or the descriptor `wakeFd`
  // becomes readable (it is only polled, never read). True in the first
  // case. A reader's call: the subscriber waits for the server and for its
  // own requests at once with it.
  virtual bool WaitReadable(int wakeFd, std::chrono::milliseconds timeout) = 0;
  // Ends the stream in both directions now (see the thread rules above),
  // abortively: what was not sent yet is dropped and the peer sees a reset
  // (AbortRedisSocket), since a stream is only ended so when it broke.
  virtual void Shutdown() noexcept = 0;
};

// Makes an unconnected transport; called once per connection.
using RedisTransportFactory = std::function<std::unique_ptr<IRedisTransport>()>;

}  // namespace kelvra::caching
