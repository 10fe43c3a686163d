#include "host/redis/RedisSocket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "host/ForkGeneration.h"
#include "host/TConditionVariable.h"
#include "host/TMutex.h"
#include "host/TString.h"
#include "host/ThreadAnnotations.h"
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

namespace {

// Owned with the resolution that found it (freed by the last holder).
using AddressList = std::shared_ptr<const addrinfo>;

AddressList OwnAddresses(addrinfo* found) {
  return AddressList(found, [](const addrinfo* list) { freeaddrinfo(const_cast<addrinfo*>(list)); });
}

// One name's resolution on a thread of its own, shared by that thread and
// every caller that wants the same name and port while it runs; each caller
// may stop waiting for it.
struct Resolution {
  TMutex mutex;
  TConditionVariable finished;
  bool done KELCACHE_GUARDED_BY(mutex) = false;
  int status KELCACHE_GUARDED_BY(mutex) = 0;
  AddressList found KELCACHE_GUARDED_BY(mutex);
};

// The resolutions running, by name and port, so that connections to one
// server made while its name server is slow (a pool's connections, retries
// after each time-out) wait for one resolution instead of each starting a
// thread that outlives its caller. A resolution leaves the list when it
// fails, or when a caller takes what it found; what it found with nobody
// left waiting (every caller timed out) stays listed for kUnclaimedKept, for
// the next connection to the name. Without that, a name server slower than
// the connection's time-out would keep the server out of reach for good:
// every attempt would start a resolution and give up before its end.
// Thread rules: m_mutex guards m_listed; it is a leaf lock, never held with
// a resolution's lock. A child forked without exec starts with an empty
// registry (the parent's threads are not in it).
class RunningResolutions {
 public:
  static constexpr std::chrono::seconds kUnclaimedKept{10};

  // The listed resolution of `key` (running, or finished and not yet
  // taken), or a new one listed under it, which the caller is to run
  // (`isNew`). One step, so that callers arriving at once cannot each start
  // one.
  std::shared_ptr<Resolution> Join(const std::string& key, bool& isNew) {
    const Clock::time_point now = Clock::now();
    TMutexLock lock(m_mutex);
    std::erase_if(m_listed, [now](const auto& listed) { return listed.second.keptUntil <= now; });
    Listed& listed = m_listed[key];
    isNew = listed.resolution == nullptr;
    if (isNew) listed.resolution = std::make_shared<Resolution>();
    return listed.resolution;
  }
  // `resolution` under `key` has ended: listed no longer when it failed,
  // else for kUnclaimedKept at most (unless taken before).
  void Ended(const std::string& key, const Resolution* resolution, bool found) {
    const Clock::time_point keptUntil = Clock::now() + kUnclaimedKept;
    TMutexLock lock(m_mutex);
    const auto it = m_listed.find(key);
    if (it == m_listed.end() || it->second.resolution.get() != resolution) return;
    if (found) {
      it->second.keptUntil = keptUntil;
    } else {
      m_listed.erase(it);
    }
  }
  // A caller took what `resolution` under `key` found: later connections
  // ask the resolver again.
  void Taken(const std::string& key, const Resolution* resolution) {
    TMutexLock lock(m_mutex);
    const auto it = m_listed.find(key);
    if (it != m_listed.end() && it->second.resolution.get() == resolution) m_listed.erase(it);
  }

  static RunningResolutions& Get() { return Instance::Get(); }

 private:
  struct Listed {
    std::shared_ptr<Resolution> resolution;
    Clock::time_point keptUntil = Clock::time_point::max();  // while it runs: until it ends
  };

  static RunningResolutions* MakeFirst() { return new RunningResolutions; }
  static RunningResolutions* MakeInChild(const RunningResolutions&) { return new RunningResolutions; }
  using Instance = ForkReplacedInstance<RunningResolutions, &RunningResolutions::MakeFirst,
                                        &RunningResolutions::MakeInChild>;

  TMutex m_mutex;
  std::map<std::string, Listed> m_listed KELCACHE_GUARDED_BY(m_mutex);
};

// The addresses of `host` read as numbers (`hints` asks for numbers only),
// on the calling thread; null when it is a name.
AddressList ResolveNumbers(const std::string& host, const std::string& port, const addrinfo& hints,
                           const std::string& where) {
  addrinfo* found = nullptr;
  const int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (status == 0) return OwnAddresses(found);
  if (status == EAI_NONAME) return nullptr;
  throw RedisIoError(TString::fromStdString(where + gai_strerror(status)));
}

// Resolves `host` and `port` for everyone waiting on `resolution`, then
// tells the list under `key` that it ended.
void RunResolution(Resolution& resolution, const std::string& key, const std::string& host,
                   const std::string& port, const addrinfo& hints) {
  addrinfo* result = nullptr;
  const int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &result);
  {
    TMutexLock lock(resolution.mutex);
    resolution.status = resolved;
    if (resolved == 0) resolution.found = OwnAddresses(result);
    resolution.done = true;
    resolution.finished.NotifyAll();
  }
  RunningResolutions::Get().Ended(key, &resolution, resolved == 0);
}

// The addresses of `address`, within `deadline`. An address given as numbers
// needs no resolver and is read on the calling thread. A name goes to the
// system's resolver on a thread of its own, so that a resolver that takes
// long (a name server that does not answer, asked again for seconds) holds
// the caller no longer than the connection's time-out; the thread, if the
// caller stops waiting, finishes by itself and the result goes with the
// last holder. Callers that want the same name and port meanwhile wait for
// the same resolution.
AddressList ResolveRedisAddress(const RedisServerAddress& address, Clock::time_point deadline,
                                std::chrono::milliseconds timeout, const std::string& where) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
  const std::string port = std::to_string(address.port);
  if (AddressList numeric = ResolveNumbers(address.host, port, hints, where)) return numeric;

  hints.ai_flags = AI_NUMERICSERV;
  const std::string key = address.host + '\n' + port;
  bool isNew = false;
  const std::shared_ptr<Resolution> resolution = RunningResolutions::Get().Join(key, isNew);
  if (isNew) {
    try {
      std::thread([resolution, key, host = address.host, port, hints] {
        RunResolution(*resolution, key, host, port, hints);
      }).detach();
    } catch (const std::system_error&) {
      // No thread to be had: the name is resolved here, in the resolver's
      // time, for everyone waiting.
      RunResolution(*resolution, key, address.host, port, hints);
    }
  }

  AddressList found;
  {
    TMutexLock lock(resolution->mutex);
    while (!resolution->done) {
      if (!resolution->finished.WaitUntil(lock, deadline) && !resolution->done) {
        throw RedisTimeoutError(TString::fromStdString(where + "the name was not resolved within " +
                                                       std::to_string(timeout.count()) + " ms"));
      }
    }
    if (resolution->status != 0) {
      throw RedisIoError(TString::fromStdString(where + gai_strerror(resolution->status)));
    }
    found = resolution->found;
  }
  RunningResolutions::Get().Taken(key, resolution.get());
  return found;
}

}  // namespace

int ConnectRedisSocket(const RedisServerAddress& address, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  const std::string where = "Redis: cannot connect to " + address.ToString() + ": ";
  AddressList addresses = ResolveRedisAddress(address, deadline, timeout, where);
  const addrinfo* found = addresses.get();

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

void AbortRedisSocket(int fd) noexcept {
  // shutdown wakes the blocked calls; connecting to AF_UNSPEC then
  // dissolves the connection (Linux: tcp_disconnect), which drops the send
  // queue (the FIN shutdown queued behind it included) and sends a reset.
  // (The system call itself, not the C library's connect: ThreadSanitizer
  // takes a connect for the making of a new descriptor and reports the
  // blocked read and write on it, which the kernel orders itself, as races.)
  shutdown(fd, SHUT_RDWR);
  sockaddr unspecified{};
  unspecified.sa_family = AF_UNSPEC;
  syscall(SYS_connect, fd, &unspecified, sizeof unspecified);
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
