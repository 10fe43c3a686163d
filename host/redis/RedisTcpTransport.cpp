#include "host/redis/RedisTcpTransport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>

#include "host/TString.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/RedisSocket.h"

namespace kelvra::caching {

namespace {

// Ranges handed to one sendmsg; more are written by the next call.
constexpr size_t kMaxRangesPerSend = 64;

// Whether `data`, the first bytes from the server, begin a TLS record (a
// handshake message or an alert of TLS 1.0 to 1.3). No Redis reply starts
// with byte 0x15 or 0x16.
bool LooksLikeTls(const char* data, size_t size) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(data[i]); };
  return size >= 2 && (byte(0) == 0x15 || byte(0) == 0x16) && byte(1) == 0x03;
}

RedisIoResult ErrnoFailure(int error) {
  if (error == EAGAIN || error == EWOULDBLOCK) return RedisIoResult::Failed(RedisIoResult::Status::kTimedOut);
  return RedisIoResult::Failed(RedisIoResult::Status::kFailed, error);
}

bool SetTimeout(int fd, int option, std::chrono::milliseconds timeout) {
  // A zero timeval would mean "no time-out at all": never ask for less than
  // a millisecond.
  long long ms = std::max<long long>(timeout.count(), 1);
  timeval tv;
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  return setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

// The rest of a wait that signals interrupted. The socket's time-outs
// (SO_RCVTIMEO, SO_SNDTIMEO) start afresh with each call, so a thread that
// signals keep waking would otherwise wait for good on a silent server. The
// wait's end is fixed at its first interruption, since reading the clock on
// every call would cost the usual path: a wait lasts at most twice its
// silence.
class InterruptedWait {
 public:
  // After EINTR: false when the silence has run out; else sets the socket's
  // time-out to what is left of it and records that in *current (so that
  // the next call sets its own again).
  bool Resume(int fd, int option, std::chrono::milliseconds silence, std::chrono::milliseconds* current) {
    const auto now = std::chrono::steady_clock::now();
    if (!m_end) m_end = now + silence;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*m_end - now);
    if (left <= std::chrono::milliseconds(0) || !SetTimeout(fd, option, left)) return false;
    *current = left;
    return true;
  }
  // Bytes moved: the silence starts again.
  void Progressed() { m_end.reset(); }

 private:
  std::optional<std::chrono::steady_clock::time_point> m_end;
};

}  // namespace

RedisTcpTransport::~RedisTcpTransport() {
  if (m_fd >= 0) close(m_fd);
}

RedisTransportFactory RedisTcpTransport::Factory() {
  return [] { return std::make_unique<RedisTcpTransport>(); };
}

void RedisTcpTransport::Connect(const RedisServerAddress& address, std::chrono::milliseconds timeout) {
  int fd = ConnectRedisSocket(address, timeout);
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int error = errno;
    close(fd);
    throw RedisIoError(TString::fromStdString("Redis: cannot connect to " + address.ToString() + ": " +
                                              RedisErrnoText(error)));
  }
  m_fd = fd;
}

RedisIoResult RedisTcpTransport::WriteAll(std::span<const RedisByteRange> parts,
                                          std::chrono::milliseconds silence) {
  if (silence != m_writeTimeout) {
    if (!SetTimeout(m_fd, SO_SNDTIMEO, silence)) return RedisIoResult::Failed(RedisIoResult::Status::kFailed, errno);
    m_writeTimeout = silence;
  }
  size_t index = 0;   // the first range not yet written completely
  size_t offset = 0;  // bytes of parts[index] already written
  iovec ranges[kMaxRangesPerSend];
  InterruptedWait interrupted;
  while (index < parts.size()) {
    size_t count = 0;
    for (size_t i = index; i < parts.size() && count < kMaxRangesPerSend; ++i) {
      size_t skip = i == index ? offset : 0;
      if (parts[i].size == skip) continue;
      ranges[count].iov_base = const_cast<char*>(parts[i].data + skip);
      ranges[count].iov_len = parts[i].size - skip;
      ++count;
    }
    if (count == 0) break;  // only empty ranges were left
    msghdr message{};
    message.msg_iov = ranges;
    message.msg_iovlen = count;
    ssize_t written = sendmsg(m_fd, &message, MSG_NOSIGNAL);
    if (written < 0) {
      if (errno != EINTR) return ErrnoFailure(errno);
      if (!interrupted.Resume(m_fd, SO_SNDTIMEO, silence, &m_writeTimeout)) {
        return RedisIoResult::Failed(RedisIoResult::Status::kTimedOut);
      }
      continue;
    }
    interrupted.Progressed();
    // Step over what went out.
    size_t left = static_cast<size_t>(written);
    while (index < parts.size() && left >= parts[index].size - offset) {
      left -= parts[index].size - offset;
      ++index;
      offset = 0;
    }
    offset += left;
  }
  RedisIoResult result;
  return result;
}

RedisIoResult RedisTcpTransport::ReadSome(char* buffer, size_t capacity, std::chrono::milliseconds silence) {
  if (silence != m_readTimeout) {
    if (!SetTimeout(m_fd, SO_RCVTIMEO, silence)) return RedisIoResult::Failed(RedisIoResult::Status::kFailed, errno);
    m_readTimeout = silence;
  }
  InterruptedWait interrupted;
  for (;;) {
    ssize_t received = recv(m_fd, buffer, capacity, 0);
    if (received > 0) {
      if (!m_answered && LooksLikeTls(buffer, static_cast<size_t>(received))) {
        return RedisIoResult::Failed(RedisIoResult::Status::kFailed, 0,
                       "the server answered in TLS: it expects TLS on this port (set tls=on)");
      }
      m_answered = true;
      RedisIoResult result;
      result.bytes = static_cast<size_t>(received);
      return result;
    }
    if (received == 0) return NothingAnswered(RedisIoResult::Failed(RedisIoResult::Status::kClosed));
    if (errno == EINTR) {
      if (!interrupted.Resume(m_fd, SO_RCVTIMEO, silence, &m_readTimeout)) {
        return RedisIoResult::Failed(RedisIoResult::Status::kTimedOut);
      }
      continue;
    }
    RedisIoResult failure = ErrnoFailure(errno);
    return failure.error == ECONNRESET ? NothingAnswered(std::move(failure)) : failure;
  }
}

RedisIoResult RedisTcpTransport::NothingAnswered(RedisIoResult failure) const {
  // A TLS listener that gets plain text drops the connection without a
  // word (Redis resets it). The stream cannot tell that from a server that
  // died, so this says both.
  if (!m_answered) {
    failure.detail = failure.Describe() +
                     " before the server answered anything (if it expects TLS on this port, set tls=on)";
  }
  return failure;
}

bool RedisTcpTransport::WaitReadable(int wakeFd, std::chrono::milliseconds timeout) {
  // A failed poll is left for the read to report.
  RedisPollResult result = PollRedisSocket(m_fd, POLLIN, wakeFd, timeout);
  return result == RedisPollResult::kReady || result == RedisPollResult::kFailed;
}

void RedisTcpTransport::Shutdown() noexcept {
  if (m_fd >= 0) AbortRedisSocket(m_fd);
}

}  // namespace kelvra::caching
