#include "host/redis/RedisTcpTransport.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "host/TString.h"
#include "host/redis/RedisErrors.h"

namespace kelvra::caching {

namespace {

using Clock = std::chrono::steady_clock;

// Keep-alive probes of an idle connection: the first after 15 s of silence,
// then every 5 s, and the peer counts as dead after 3 unanswered ones.
constexpr int kKeepAliveIdleSeconds = 15;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr int kKeepAliveProbes = 3;

// Ranges handed to one sendmsg; more are written by the next call.
constexpr size_t kMaxRangesPerSend = 64;

std::string ErrnoText(int error) {
  RedisIoResult result;
  result.status = RedisIoResult::Status::kFailed;
  result.error = error;
  return result.Describe();
}

RedisIoResult Failure(RedisIoResult::Status status, int error = 0) {
  RedisIoResult result;
  result.status = status;
  result.error = error;
  return result;
}

RedisIoResult ErrnoFailure(int error) {
  if (error == EAGAIN || error == EWOULDBLOCK) return Failure(RedisIoResult::Status::kTimedOut);
  return Failure(RedisIoResult::Status::kFailed, error);
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

void SetIntOption(int fd, int level, int option, int value) {
  // Tuning only: a socket that refuses an option still works.
  (void)setsockopt(fd, level, option, &value, sizeof value);
}

// Waits for a non-blocking connect of `fd` until `deadline`. 0 when connected,
// ETIMEDOUT when the deadline passed, else the connect's errno.
int FinishConnect(int fd, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return ETIMEDOUT;
    pollfd descriptor{fd, POLLOUT, 0};
    int ready = poll(&descriptor, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return errno;
    if (ready == 0) continue;  // the loop head sees the deadline
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
  }
}

}  // namespace

RedisTcpTransport::~RedisTcpTransport() {
  if (m_fd >= 0) close(m_fd);
}

RedisTransportFactory RedisTcpTransport::Factory() {
  return [] { return std::make_unique<RedisTcpTransport>(); };
}

void RedisTcpTransport::Connect(const RedisServerAddress& address, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  const std::string where = "Redis: cannot connect to " + address.ToString() + ": ";
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(address.port);
  int resolved = getaddrinfo(address.host.c_str(), port.c_str(), &hints, &found);
  if (resolved != 0) throw RedisIoError(TString::fromStdString(where + gai_strerror(resolved)));
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, freeaddrinfo);

  std::string lastError = "no address";
  for (const addrinfo* candidate = found; candidate != nullptr; candidate = candidate->ai_next) {
    int fd = socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                    candidate->ai_protocol);
    if (fd < 0) {
      lastError = ErrnoText(errno);
      continue;
    }
    int error = 0;
    if (connect(fd, candidate->ai_addr, candidate->ai_addrlen) != 0) {
      error = errno == EINPROGRESS ? FinishConnect(fd, deadline) : errno;
    }
    if (error == ETIMEDOUT) {
      close(fd);
      throw RedisTimeoutError(
          TString::fromStdString(where + "no connection within " + std::to_string(timeout.count()) + " ms"));
    }
    if (error != 0) {
      close(fd);
      lastError = ErrnoText(error);
      continue;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      lastError = ErrnoText(errno);
      close(fd);
      continue;
    }
    SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    SetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds);
    SetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds);
    SetIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
    m_fd = fd;
    return;
  }
  throw RedisIoError(TString::fromStdString(where + lastError));
}

RedisIoResult RedisTcpTransport::WriteAll(std::span<const RedisByteRange> parts,
                                          std::chrono::milliseconds silence) {
  if (silence != m_writeTimeout) {
    if (!SetTimeout(m_fd, SO_SNDTIMEO, silence)) return Failure(RedisIoResult::Status::kFailed, errno);
    m_writeTimeout = silence;
  }
  size_t index = 0;   // the first range not yet written completely
  size_t offset = 0;  // bytes of parts[index] already written
  iovec ranges[kMaxRangesPerSend];
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
      if (errno == EINTR) continue;
      return ErrnoFailure(errno);
    }
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
    if (!SetTimeout(m_fd, SO_RCVTIMEO, silence)) return Failure(RedisIoResult::Status::kFailed, errno);
    m_readTimeout = silence;
  }
  for (;;) {
    ssize_t received = recv(m_fd, buffer, capacity, 0);
    if (received > 0) {
      RedisIoResult result;
      result.bytes = static_cast<size_t>(received);
      return result;
    }
    if (received == 0) return Failure(RedisIoResult::Status::kClosed);
    if (errno == EINTR) continue;
    return ErrnoFailure(errno);
  }
}

void RedisTcpTransport::Shutdown() noexcept {
  if (m_fd >= 0) shutdown(m_fd, SHUT_RDWR);
}

}  // namespace kelvra::caching
