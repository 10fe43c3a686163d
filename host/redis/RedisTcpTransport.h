// RedisTcpTransport: IRedisTransport over a plain TCP socket (IPv4 or IPv6).
//
// Connect resolves the host name (getaddrinfo, bounded only by the system's
// resolver) and tries each address in turn with a non-blocking connect until
// one answers or the time-out is used up. The connected socket gets
// TCP_NODELAY (requests are batched by the pipe, not by Nagle's algorithm)
// and TCP keep-alive (a dead peer of an idle connection is noticed), and is
// then used in blocking mode: the silence time-outs are the socket's
// SO_SNDTIMEO and SO_RCVTIMEO, set again only when they change, so a read or
// a write costs one system call when the peer is ready.
//
// Writes use sendmsg with MSG_NOSIGNAL: a write to a peer that has gone fails
// with EPIPE and never raises SIGPIPE, so no signal mask is touched. Shutdown
// is shutdown(2) of both directions, which wakes a blocked read and write;
// the descriptor is closed by the destructor only, so it cannot be reused
// while another thread still uses it.
//
// Thread rules: those of IRedisTransport. The read side and the write side
// each keep their own time-out setting, touched only by the reading or the
// writing thread.
#pragma once

#include "host/Export.h"
#include "host/redis/IRedisTransport.h"

namespace kelvra::caching {

class KELCACHE_EXPORT RedisTcpTransport final : public IRedisTransport {
 public:
  RedisTcpTransport() = default;
  ~RedisTcpTransport() override;
  RedisTcpTransport(const RedisTcpTransport&) = delete;
  RedisTcpTransport& operator=(const RedisTcpTransport&) = delete;

  void Connect(const RedisServerAddress& address, std::chrono::milliseconds timeout) override;
  RedisIoResult WriteAll(std::span<const RedisByteRange> parts, std::chrono::milliseconds silence) override;
  RedisIoResult ReadSome(char* buffer, size_t capacity, std::chrono::milliseconds silence) override;
  void Shutdown() noexcept override;

  // A factory for the pipes.
  static RedisTransportFactory Factory();

 private:
  int m_fd = -1;  // set by Connect, closed by the destructor
  // The SO_RCVTIMEO / SO_SNDTIMEO now on the socket; -1 before the first.
  std::chrono::milliseconds m_readTimeout{-1};   // reading thread only
  std::chrono::milliseconds m_writeTimeout{-1};  // writing thread only
};

}  // namespace kelvra::caching
