#include "host/redis/RedisTlsTransport.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "host/TString.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/RedisSocket.h"

namespace kelvra::caching {

namespace {

using Clock = std::chrono::steady_clock;
using SocketState = RedisTlsTransport::SocketState;

// The largest payload of one TLS record.
constexpr size_t kRecordBytes = 16 * 1024;

int ClampToInt(size_t size) { return static_cast<int>(std::min<size_t>(size, INT_MAX)); }

// The socket BIO of the SSL objects: OpenSSL's own writes with write(2),
// which raises SIGPIPE on a dead peer; this one sends with MSG_NOSIGNAL. Its
// data is the transport's SocketState, used only inside OpenSSL calls on the
// transport's SSL object, so under the transport's lock.
int BioWrite(BIO* bio, const char* data, int size) {
  auto* state = static_cast<SocketState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  for (;;) {
    ssize_t sent = send(state->fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<int>(sent);
    if (errno == EINTR) continue;
    state->error = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(bio);
    return -1;
  }
}

int BioRead(BIO* bio, char* data, int size) {
  auto* state = static_cast<SocketState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  for (;;) {
    ssize_t received = recv(state->fd, data, static_cast<size_t>(size), 0);
    if (received > 0) return static_cast<int>(received);
    if (received == 0) {
      state->eof = true;
      return 0;
    }
    if (errno == EINTR) continue;
    state->error = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_read(bio);
    return -1;
  }
}

long BioControl(BIO* bio, int command, long, void*) {
  switch (command) {
    case BIO_CTRL_FLUSH:
      return 1;  // nothing is buffered here
    case BIO_CTRL_EOF:
      return static_cast<SocketState*>(BIO_get_data(bio))->eof ? 1 : 0;
    default:
      return 0;
  }
}

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 0);  // until the transport gives it its state
  return 1;
}

// Made once and never freed: the library keeps no static with a destructor in
// this layer, and a BIO_METHOD is a few bytes.
BIO_METHOD* SocketMethod() {
  static BIO_METHOD* const s_method = [] {
    BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kelcache socket");
    if (method != nullptr) {
      BIO_meth_set_write(method, BioWrite);
      BIO_meth_set_read(method, BioRead);
      BIO_meth_set_ctrl(method, BioControl);
      BIO_meth_set_create(method, BioCreate);
    }
    return method;
  }();
  return s_method;
}

bool IsIpAddress(const std::string& host) {
  unsigned char address[16];
  return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// A hint for the operator after what OpenSSL said, when one is plain.
std::string VerifyHint(long result, const std::string& checkedName) {
  switch (result) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return " (the certificate is not for '" + checkedName +
             "'; tls_server_name sets the name to check)";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return " (tls_ca_file or tls_ca_dir must hold the CA that signed the server's certificate)";
    default:
      return std::string();
  }
}

}  // namespace

RedisTlsTransport::RedisTlsTransport(std::shared_ptr<const RedisTlsContext> context)
    : m_context(std::move(context)) {}

RedisTlsTransport::~RedisTlsTransport() {
  TMutexLock lock(m_mutex);
  if (m_ssl != nullptr) {
    if (m_handshakeDone && m_failure.Ok() && !m_shutDown.load() && !m_writeCut) {
      // Tell the server that the stream ends here (close_notify); the socket
      // is non-blocking, so this never waits.
      ERR_clear_error();
      SSL_shutdown(m_ssl);
    }
    SSL_free(m_ssl);
    ERR_clear_error();
  }
  if (m_fd >= 0) close(m_fd);
}

RedisTransportFactory RedisTlsTransport::Factory(std::shared_ptr<const RedisTlsContext> context) {
  return [context] { return std::make_unique<RedisTlsTransport>(context); };
}

void RedisTlsTransport::Connect(const RedisServerAddress& address, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  m_peer = address.ToString();
  m_fd = ConnectRedisSocket(address, timeout);
  m_stage = std::make_unique<char[]>(kRecordBytes);

  TMutexLock lock(m_mutex);
  ERR_clear_error();
  BIO_METHOD* method = SocketMethod();
  BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
  m_ssl = bio != nullptr ? SSL_new(m_context->Native()) : nullptr;
  if (m_ssl == nullptr) {
    BIO_free(bio);
    throw RedisIoError(TString::fromStdString("Redis: cannot set up TLS for " + m_peer + ": " + TakeOpenSslErrors()));
  }
  m_socket.fd = m_fd;
  BIO_set_data(bio, &m_socket);
  BIO_set_init(bio, 1);
  SSL_set_bio(m_ssl, bio, bio);  // the SSL object owns the BIO now

  const std::string name = m_context->ServerName().empty() ? address.host : m_context->ServerName();
  const bool ip = IsIpAddress(name);
  bool named = true;
  // SNI carries host names only (RFC 6066).
  if (!ip) named = SSL_set_tlsext_host_name(m_ssl, name.c_str()) == 1;
  if (m_context->Verify()) {
    X509_VERIFY_PARAM* param = SSL_get0_param(m_ssl);
    if (ip) {
      named = named && X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) == 1;
    } else {
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      named = named && X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0) == 1;
    }
  }
  if (!named) {
    throw RedisIoError(TString::fromStdString("Redis: cannot check the name '" + name + "' for " + m_peer + ": " +
                                              TakeOpenSslErrors()));
  }
  SSL_set_connect_state(m_ssl);

  for (;;) {
    ERR_clear_error();
    m_socket.error = 0;
    int result = SSL_connect(m_ssl);
    if (result == 1) break;
    int code = SSL_get_error(m_ssl, result);
    short events = code == SSL_ERROR_WANT_READ ? POLLIN : code == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (events == 0) throw RedisIoError(TString::fromStdString(HandshakeFailure(code, name)));
    // Nobody else uses the transport during Connect: waiting with the lock
    // held holds up no one.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    RedisPollResult polled = left.count() > 0 ? PollRedisSocket(m_fd, events, -1, left) : RedisPollResult::kTimedOut;
    if (polled == RedisPollResult::kTimedOut) {
      throw RedisTimeoutError(TString::fromStdString(
          "Redis: no TLS handshake with " + m_peer + " within " + std::to_string(timeout.count()) +
          " ms (does the server speak TLS on this port?)"));
    }
    if (polled == RedisPollResult::kFailed) {
      throw RedisIoError(TString::fromStdString("Redis: TLS handshake with " + m_peer + " failed: " +
                                                RedisErrnoText(errno)));
    }
  }
  m_handshakeDone = true;
}

std::string RedisTlsTransport::HandshakeFailure(int code, const std::string& checkedName) {
  std::string what = "Redis: TLS handshake with " + m_peer + " failed: ";
  const long verified = SSL_get_verify_result(m_ssl);
  const unsigned long first = ERR_peek_error();
  const std::string errors = TakeOpenSslErrors();
  if (verified != X509_V_OK) {
    return what + "certificate verify failed: " + X509_verify_cert_error_string(verified) +
           VerifyHint(verified, checkedName);
  }
  const bool notTls = (code == SSL_ERROR_SYSCALL && m_socket.error == 0) ||
                      (ERR_GET_LIB(first) == ERR_LIB_SSL &&
                       (ERR_GET_REASON(first) == SSL_R_WRONG_VERSION_NUMBER ||
                        ERR_GET_REASON(first) == SSL_R_UNEXPECTED_EOF_WHILE_READING ||
                        ERR_GET_REASON(first) == SSL_R_PACKET_LENGTH_TOO_LONG));
  if (code == SSL_ERROR_SYSCALL && m_socket.error != 0) what += RedisErrnoText(m_socket.error);
  else if (!errors.empty()) what += errors;
  else what += "the server closed the connection";
  if (notTls) what += " (does the server speak TLS on this port?)";
  return what;
}

void RedisTlsTransport::NoteFailure(int code) {
  const unsigned long first = ERR_peek_error();
  const std::string errors = TakeOpenSslErrors();
  if (code == SSL_ERROR_ZERO_RETURN || (code == SSL_ERROR_SYSCALL && m_socket.error == 0 && m_socket.eof) ||
      (ERR_GET_LIB(first) == ERR_LIB_SSL && ERR_GET_REASON(first) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
    m_failure = RedisIoResult::Failed(RedisIoResult::Status::kClosed);
  } else if (code == SSL_ERROR_SYSCALL && m_socket.error != 0) {
    m_failure = RedisIoResult::Failed(RedisIoResult::Status::kFailed, m_socket.error);
  } else {
    std::string detail = "TLS: " + (errors.empty() ? std::string("failure without a reason") : errors);
    if (ERR_GET_LIB(first) == ERR_LIB_SSL && ERR_GET_REASON(first) == SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED) {
      detail += " (the server wants a client certificate: set tls_cert_file and tls_key_file)";
    }
    m_failure = RedisIoResult::Failed(RedisIoResult::Status::kFailed, 0, std::move(detail));
  }
}

void RedisTlsTransport::TakeAlertAfterFailedWrite() {
  // The stream has failed already, so whatever data the reads take is lost
  // anyway; only an alert matters. A few reads suffice: nothing more
  // arrives after the reset.
  char scratch[4096];
  for (int reads = 0; reads < 64; ++reads) {
    ERR_clear_error();
    m_socket.error = 0;
    const int read = SSL_read(m_ssl, scratch, sizeof scratch);
    if (read > 0) continue;
    const int code = SSL_get_error(m_ssl, read);
    if (code == SSL_ERROR_SSL) {
      // An alert says what the server did not like; the end of the stream
      // alone (which OpenSSL also reports this way) says less than the
      // write's own failure.
      RedisIoResult writeFailure = m_failure;
      NoteFailure(code);
      if (m_failure.status != RedisIoResult::Status::kFailed || m_failure.detail.empty()) {
        m_failure = std::move(writeFailure);
      }
    }
    ERR_clear_error();
    return;
  }
}

RedisIoResult RedisTlsTransport::WriteAll(std::span<const RedisByteRange> parts, std::chrono::milliseconds silence) {
  size_t staged = 0;
  for (const RedisByteRange& part : parts) {
    const char* data = part.data;
    size_t left = part.size;
    while (left > 0) {
      if (staged == 0 && left >= kRecordBytes) {
        // Whole records straight from the caller's bytes; the tail is staged.
        const size_t direct = left - left % kRecordBytes;
        RedisIoResult written = WriteRecords(data, direct, silence);
        if (!written.Ok()) return written;
        data += direct;
        left -= direct;
        continue;
      }
      const size_t take = std::min(left, kRecordBytes - staged);
      std::memcpy(m_stage.get() + staged, data, take);
      staged += take;
      data += take;
      left -= take;
      if (staged == kRecordBytes) {
        RedisIoResult written = WriteRecords(m_stage.get(), staged, silence);
        if (!written.Ok()) return written;
        staged = 0;
      }
    }
  }
  if (staged > 0) return WriteRecords(m_stage.get(), staged, silence);
  return RedisIoResult();
}

RedisIoResult RedisTlsTransport::WriteRecords(const char* data, size_t size, std::chrono::milliseconds silence) {
  while (size > 0) {
    if (m_shutDown.load()) return RedisIoResult::Failed(RedisIoResult::Status::kClosed);
    short events = 0;
    {
      TMutexLock lock(m_mutex);
      if (!m_failure.Ok()) return m_failure;
      ERR_clear_error();
      m_socket.error = 0;
      int written = SSL_write(m_ssl, data, ClampToInt(size));
      if (written > 0) {
        data += written;
        size -= static_cast<size_t>(written);
        continue;  // lets a reader in between records
      }
      int code = SSL_get_error(m_ssl, written);
      if (code == SSL_ERROR_WANT_WRITE) {
        events = POLLOUT;
      } else if (code == SSL_ERROR_WANT_READ) {
        events = POLLIN;  // not after the handshake without renegotiation; handled all the same
      } else {
        NoteFailure(code);
        if (m_failure.error == EPIPE || m_failure.error == ECONNRESET) TakeAlertAfterFailedWrite();
        if (m_shutDown.load()) return RedisIoResult::Failed(RedisIoResult::Status::kClosed);
        return m_failure;
      }
    }
    RedisPollResult polled = PollRedisSocket(m_fd, events, -1, silence);
    if (polled == RedisPollResult::kTimedOut) {
      m_writeCut = true;
      return RedisIoResult::Failed(RedisIoResult::Status::kTimedOut);
    }
    if (polled == RedisPollResult::kFailed) return RedisIoResult::Failed(RedisIoResult::Status::kFailed, errno);
  }
  return RedisIoResult();
}

RedisIoResult RedisTlsTransport::ReadSome(char* buffer, size_t capacity, std::chrono::milliseconds silence) {
  bool polled = false;
  for (;;) {
    if (m_shutDown.load()) return RedisIoResult::Failed(RedisIoResult::Status::kClosed);
    short events = 0;
    {
      TMutexLock lock(m_mutex);
      if (!m_failure.Ok()) return m_failure;
      size_t got = 0;
      // With nothing in OpenSSL's buffers the bytes can only come from the
      // socket: wait for them first, rather than try a recv that would fail
      // with EAGAIN (the usual case: the reader asks before the reply is in).
      if (!polled && SSL_has_pending(m_ssl) == 0) events = POLLIN;
      // Decrypt what has arrived, record after record, while it fits.
      while (events == 0 && got < capacity) {
        ERR_clear_error();
        m_socket.error = 0;
        int read = SSL_read(m_ssl, buffer + got, ClampToInt(capacity - got));
        if (read > 0) {
          got += static_cast<size_t>(read);
          if (SSL_has_pending(m_ssl) == 0) break;
          continue;
        }
        int code = SSL_get_error(m_ssl, read);
        if (code == SSL_ERROR_WANT_READ) {
          events = POLLIN;
        } else if (code == SSL_ERROR_WANT_WRITE) {
          events = POLLOUT;  // a post-handshake message wants an answer
        } else {
          NoteFailure(code);  // reported by this call unless bytes came first
        }
        break;
      }
      if (got > 0) {
        RedisIoResult result;
        result.bytes = got;
        return result;
      }
      if (!m_failure.Ok()) return m_shutDown.load() ? RedisIoResult::Failed(RedisIoResult::Status::kClosed) : m_failure;
    }
    RedisPollResult waited = PollRedisSocket(m_fd, events, -1, silence);
    if (waited == RedisPollResult::kTimedOut) return RedisIoResult::Failed(RedisIoResult::Status::kTimedOut);
    if (waited == RedisPollResult::kFailed) return RedisIoResult::Failed(RedisIoResult::Status::kFailed, errno);
    polled = true;
  }
}

bool RedisTlsTransport::WaitReadable(int wakeFd, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    if (m_shutDown.load()) return true;
    short events = 0;
    {
      TMutexLock lock(m_mutex);
      if (!m_failure.Ok()) return true;
      // SSL_peek processes what has arrived (also records that carry no
      // data, such as session tickets) without taking any data.
      ERR_clear_error();
      m_socket.error = 0;
      char byte;
      int peeked = SSL_peek(m_ssl, &byte, 1);
      if (peeked > 0) return true;
      int code = SSL_get_error(m_ssl, peeked);
      if (code == SSL_ERROR_WANT_READ) {
        events = POLLIN;
      } else if (code == SSL_ERROR_WANT_WRITE) {
        events = POLLOUT;
      } else {
        NoteFailure(code);
        return true;  // the next ReadSome reports it
      }
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    RedisPollResult polled = PollRedisSocket(m_fd, events, wakeFd, left);
    if (polled == RedisPollResult::kWoken || polled == RedisPollResult::kTimedOut) return false;
    if (polled == RedisPollResult::kFailed) return true;
  }
}

void RedisTlsTransport::Shutdown() noexcept {
  m_shutDown.store(true);
  if (m_fd >= 0) AbortRedisSocket(m_fd);
}

}  // namespace kelvra::caching
