// RedisTlsTransport: IRedisTransport over TLS (OpenSSL) on a TCP socket.
//
// Connect makes the TCP connection (host/redis/RedisSocket.h), then the TLS
// handshake, both within the one connect time-out. The name sent as SNI and
// checked in the server's certificate is the context's server name
// (tls_server_name) or else the host of the address; an IP address is
// matched against the certificate's IP addresses and sent as no SNI
// (X509_VERIFY_PARAM_set1_ip_asc), a host name against its DNS names
// (X509_VERIFY_PARAM_set1_host, no partial wildcards). A handshake that fails
// raises RedisIoError saying why ("certificate verify failed: certificate has
// expired"), or RedisTimeoutError. Nothing is sent before the handshake has
// succeeded, and nothing ever falls back to plain text.
//
// 1. One SSL object, two threads. A pipe reads on one thread while it writes
//    on another, and an OpenSSL SSL object must not be used by two threads at
//    once. So every OpenSSL call on it runs under m_mutex, and the socket is
//    non-blocking: a call that cannot go on (SSL_ERROR_WANT_READ or
//    WANT_WRITE) returns at once, the lock is released, and the thread waits
//    for the socket with poll(2), without the lock, for at most its silence
//    time-out, then calls again. A reader waiting for the server never holds
//    up a writer, nor the reverse; the lock is held only while OpenSSL
//    encrypts or decrypts.
//    No lost wake-up: a reader polls the socket only when OpenSSL holds no
//    bytes (SSL_has_pending) or SSL_read said that it needs more from the
//    socket, and SSL_write never reads from the socket (the handshake is over before either runs, renegotiation is
//    off), so the bytes a reader waits for cannot slip into OpenSSL's buffer
//    behind its back while it polls.
// 2. Writes. The ranges of a WriteAll are gathered into records: ranges are
//    copied into a staging buffer of one record (16 KiB), so that a batch of
//    small requests costs one record and one send rather than one per range;
//    the part of a large range beyond that is encrypted from where it lies.
//    With SSL_MODE_ENABLE_PARTIAL_WRITE each SSL_write returns after a
//    record, and the lock is released between records.
// 3. SIGPIPE. OpenSSL's own socket BIO writes with write(2), which raises
//    SIGPIPE when the peer has gone. The SSL object here writes through a BIO
//    of our own whose writes are send(2) with MSG_NOSIGNAL (reads are
//    recv(2)), so a write to a dead peer fails with EPIPE and no signal
//    arises, as with RedisTcpTransport. No signal mask is touched.
// 4. Failures. The first failure of the stream (an alert from the server, a
//    record that does not decrypt, a reset) is kept and reported again by
//    every later call: OpenSSL must not be used further on an SSL object that
//    failed. The end of the stream, with or without the server's
//    close_notify, is kClosed. A read that timed out leaves the stream
//    usable. Shutdown sets a flag and shuts the socket down (shutdown(2)),
//    which wakes a blocked poll at once; it sends no close_notify. The
//    destructor sends close_notify when the stream is still whole, without
//    waiting.
//
// Thread rules: those of IRedisTransport. m_mutex guards the SSL object (and
// with it the BIO state) and m_failure. m_stage and m_writeCut belong to the
// writer; m_fd and m_peer are set by Connect and fixed until destruction.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "host/Export.h"
#include "host/TMutex.h"
#include "host/ThreadAnnotations.h"
#include "host/redis/IRedisTransport.h"
#include "host/redis/RedisTlsContext.h"

struct ssl_st;

namespace kelvra::caching {

class KELCACHE_EXPORT RedisTlsTransport final : public IRedisTransport {
 public:
  explicit RedisTlsTransport(std::shared_ptr<const RedisTlsContext> context);
  ~RedisTlsTransport() override;
  RedisTlsTransport(const RedisTlsTransport&) = delete;
  RedisTlsTransport& operator=(const RedisTlsTransport&) = delete;

  void Connect(const RedisServerAddress& address, std::chrono::milliseconds timeout) override;
  RedisIoResult WriteAll(std::span<const RedisByteRange> parts, std::chrono::milliseconds silence) override;
  RedisIoResult ReadSome(char* buffer, size_t capacity, std::chrono::milliseconds silence) override;
  bool WaitReadable(int wakeFd, std::chrono::milliseconds timeout) override;
  void Shutdown() noexcept override;

  // A factory for the pipes; every transport it makes shares `context`.
  static RedisTransportFactory Factory(std::shared_ptr<const RedisTlsContext> context);

  // What the socket BIO saw on its last call (see the .cpp).
  struct SocketState {
    int fd = -1;
    int error = 0;     // errno of the last failed send or recv
    bool eof = false;  // recv saw the end of the stream
  };

 private:
  // Writes `size` bytes as records. Releases m_mutex between records.
  RedisIoResult WriteRecords(const char* data, size_t size, std::chrono::milliseconds silence);
  // Turns the failed OpenSSL call's SSL_get_error `code` into m_failure.
  void NoteFailure(int code) KELCACHE_REQUIRES(m_mutex);
  // After a write that failed because the server reset the connection:
  // reads what the server sent before it went, and when that was an alert
  // (TLS 1.3 servers refuse a client without a certificate only after the
  // handshake, with the alert "certificate required"), makes m_failure say
  // so rather than "connection reset by peer".
  void TakeAlertAfterFailedWrite() KELCACHE_REQUIRES(m_mutex);
  // The message of a failed handshake.
  std::string HandshakeFailure(int code, const std::string& checkedName) KELCACHE_REQUIRES(m_mutex);

  const std::shared_ptr<const RedisTlsContext> m_context;
  int m_fd = -1;
  std::string m_peer;  // "host:port", for messages
  std::atomic<bool> m_shutDown{false};

  TMutex m_mutex;
  ssl_st* m_ssl KELCACHE_PT_GUARDED_BY(m_mutex) = nullptr;  // owned
  SocketState m_socket KELCACHE_GUARDED_BY(m_mutex);  // used by OpenSSL inside calls on m_ssl
  RedisIoResult m_failure KELCACHE_GUARDED_BY(m_mutex);  // Ok until the stream failed
  bool m_handshakeDone KELCACHE_GUARDED_BY(m_mutex) = false;

  // Writer role.
  std::unique_ptr<char[]> m_stage;
  bool m_writeCut = false;  // a write stopped inside a record (timed out)
};

}  // namespace kelvra::caching
