// RedisTcpTransport: IRedisTransport over a plain TCP socket (IPv4 or IPv6).
//
// Connect makes the TCP connection (host/redis/RedisSocket.h: each resolved
// address in turn within the time-out, TCP_NODELAY, keep-alive). The socket is
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
// Plain text against a TLS port: the server answers a TLS record (refused as
// such) or drops the connection; a read that ends before the server ever
// answered says that the port may expect TLS. Nothing here ever switches to
// TLS by itself.
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
  bool WaitReadable(int wakeFd, std::chrono::milliseconds timeout) override;
  void Shutdown() noexcept override;

  // A factory for the pipes.
  static RedisTransportFactory Factory();

 private:
  int m_fd = -1;  // set by Connect, closed by the destructor
  // The SO_RCVTIMEO / SO_SNDTIMEO now on the socket; -1 before the first.
  std::chrono::milliseconds m_readTimeout{-1};   // reading thread only
  std::chrono::milliseconds m_writeTimeout{-1};  // writing thread only
  bool m_answered = false;  // reading thread only: some byte came from the server

  // `failure` with a word about TLS when the server never answered.
  RedisIoResult NothingAnswered(RedisIoResult failure) const;
};

}  // namespace kelvra::caching
