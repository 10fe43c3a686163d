#include "host/redis/RedisSocket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "host/TString.h"
#include "host/redis/IRedisTransport.h"
#include "host/redis/RedisErrors.h"

namespace kelvra::caching {

namespace {

using Clock = std::chrono::steady_clock;

// Keep-alive probes of an idle connection: the first after 15 s of silence,
// then every 5 s, and the peer counts as dead after 3 unanswered ones.
constexpr int kKeepAliveIdleSeconds = 15;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr int kKeepAliveProbes = 3;

void SetIntOption(int fd, int level, int option, int value) {
  // Tuning only: a socket that refuses an option still works.
  (void)setsockopt(fd, level, option, &value, sizeof value);
}

int PollMilliseconds(std::chrono::milliseconds timeout) {
  return static_cast<int>(std::clamp<long long>(timeout.count(), 0, 1 << 30));
}

// Waits for a non-blocking connect of `fd` until `deadline`. 0 when connected,
// ETIMEDOUT when the deadline passed, else the connect's errno.
int FinishConnect(int fd, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return ETIMEDOUT;
    pollfd descriptor{fd, POLLOUT, 0};
    int ready = poll(&descriptor, 1, PollMilliseconds(left));
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

std::string RedisErrnoText(int error) {
  RedisIoResult result;
  result.status = RedisIoResult::Status::kFailed;
  result.error = error;
  return result.Describe();
}

int ConnectRedisSocket(const RedisServerAddress& address, std::chrono::milliseconds timeout) {
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
      lastError = RedisErrnoText(errno);
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
      lastError = RedisErrnoText(error);
      continue;
    }
    SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    SetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds);
    SetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds);
    SetIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
    return fd;
  }
  throw RedisIoError(TString::fromStdString(where + lastError));
}

RedisPollResult PollRedisSocket(int fd, short events, int wakeFd, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  pollfd descriptors[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
  const nfds_t count = wakeFd >= 0 ? 2 : 1;
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    int ready = poll(descriptors, count, PollMilliseconds(left));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return RedisPollResult::kFailed;
    }
    // The socket first: what it has is never lost by a wake-up.
    if (descriptors[0].revents != 0) return RedisPollResult::kReady;
    if (count == 2 && descriptors[1].revents != 0) return RedisPollResult::kWoken;
    if (left.count() <= 0) return RedisPollResult::kTimedOut;
  }
}

}  // namespace kelvra::caching
