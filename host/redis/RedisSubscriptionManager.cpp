#include "host/redis/RedisSubscriptionManager.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "host/ForkGeneration.h"
#include "host/InitOnce.h"
#include "host/LogRateLimiter.h"
#include "host/redis/UnsentPublications.h"
#include "host/TFormatString.h"
#include "host/TLog.h"
#include "host/ThreadAnnotations.h"
#include "host/redis/GatedCallback.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/RedisSubscriberConnection.h"
#include "host/redis/RedisTlsContext.h"
#include "host/TConditionVariable.h"

namespace kelvra::caching {

namespace {

using Clock = std::chrono::steady_clock;
using Subscription = GatedCallback<TString const&, void const*, int>;
using Listener = GatedCallback<>;

constexpr std::chrono::milliseconds kReadInterval{100};     // longest wait between checks of the requests
constexpr std::chrono::milliseconds kUnconfiguredPoll{200};  // how often to look for a configuration
constexpr std::chrono::milliseconds kFirstBackOff{50};
constexpr std::chrono::milliseconds kMaxBackOff{2000};
constexpr std::chrono::milliseconds kFailurePause{500};   // after the loop ran out of memory
constexpr std::chrono::milliseconds kPingAfterSilence{1000};
constexpr std::chrono::seconds kExitWait{2};
// Failing subscription callbacks: lines written in full, then one per interval.
constexpr unsigned kCallbackFailureBurst = 5;
constexpr std::chrono::seconds kCallbackFailureInterval{10};

TString ServerText(const RedisServerAddress& address) { return TString::fromStdString(address.ToString()); }

// Whether two configurations name the same servers: where messages are
// published does not depend on the other options (a new password, say).
bool SameServers(const std::shared_ptr<const RedisPoolConfiguration>& a,
                 const std::shared_ptr<const RedisPoolConfiguration>& b) {
  return a && b && a->cluster == b->cluster && a->servers == b->servers;
}

// Whether a subscriber connection made under `a` is one made under `b`: the
// same servers, reached and logged into the same way (the pool's size and
// waits, and the database, which publish/subscribe ignores, do not matter).
bool SameSubscriberConnection(const std::shared_ptr<const RedisPoolConfiguration>& a,
                              const std::shared_ptr<const RedisPoolConfiguration>& b) {
  if (!SameServers(a, b)) return false;
  const RedisPoolOptions& x = a->options;
  const RedisPoolOptions& y = b->options;
  return x.user == y.user && x.password == y.password && x.connectTimeout == y.connectTimeout &&
         x.commandTimeout == y.commandTimeout && x.tls.enabled == y.tls.enabled && x.tls.caFile == y.tls.caFile &&
         x.tls.caDirectory == y.tls.caDirectory && x.tls.certFile == y.tls.certFile &&
         x.tls.keyFile == y.tls.keyFile && x.tls.serverName == y.tls.serverName && x.tls.verify == y.tls.verify;
}

}  // namespace

namespace {

// kPaused: not tried, since a publication timed out a moment ago.
enum class Published { kYes, kNoServer, kFailed, kTimedOut, kPaused };

// After a PUBLISH that timed out, publications are kept without trying the
// server for this long: a stalled server would otherwise cost every
// publication (and so every synchronous OnAdded of the coherence service)
// the whole command time-out.
constexpr std::chrono::seconds kPublishPauseAfterTimeout{1};

// One PUBLISH on a pooled connection; *why says why it failed.
Published PublishOnce(const std::string& channel, const std::string& message,
                      std::function<void(redisContext*, redisReply*, void*)> const& onReply, std::string& why) {
  try {
    RedisConnectionPool& pool = RedisConnectionPool::GetInstance();
    std::unique_ptr<RedisConnectionGuard> guard = pool.LockPubSubConnection(&why);
    if (!guard) return pool.GetConfiguration() ? Published::kFailed : Published::kNoServer;
    guard->GetConnection().Publish(channel, message, onReply);
    return Published::kYes;
  } catch (const RedisTimeoutError& error) {
    why = error.what();
    return Published::kTimedOut;
  } catch (const std::exception& error) {
    why = error.what();
  } catch (...) {
    why = "an unknown exception";
  }
  return Published::kFailed;
}

}  // namespace

// The state of one manager.
//
// Thread rules: thread-safe. m_mutex guards the members marked with it. The
// gates of the subscriptions and listeners (GatedCallback) never nest with
// m_mutex: they are taken (Invoke, Close) only without it. m_wakeFd is set
// at construction (and again in a forked child, under m_mutex: see
// StartThreadLocked) and read atomically; m_processWide is set before any
// use; m_reconnects is atomic.
// Everything the subscriber thread keeps about its connection lives on its
// own stack (Run), so only that thread touches the connection.
struct RedisSubscriptionManager::Impl : std::enable_shared_from_this<RedisSubscriptionManager::Impl> {
  Impl();
  ~Impl();

  void Wake() const;
  void DrainWake() const;
  void WaitForWake(std::chrono::milliseconds timeout) const;
  void StartThreadLocked() KELCACHE_REQUIRES(m_mutex);
  // In a forked child: lets go of the parent's thread handle, see the body.
  void AbandonParentsThreadLocked() KELCACHE_REQUIRES(m_mutex);
  void StopThread(bool boundedWait);
  struct BackOff;
  // Logs why subscribing failed (at Warn once per back-off step, else at
  // Debug), waits the current back-off (or until woken) and doubles it.
  void BackOffAfterFailure(const RedisServerAddress& server, const std::exception& error, BackOff& backOff,
                           const std::shared_ptr<const RedisPoolConfiguration>& under);
  void Run();
  // Run's loop. `connectedWith` (the configuration of the last connection)
  // and `lost` (a connection was lost since) outlive a failure of the loop.
  // `resumesParents` (this child's first subscriptions are its parent's)
  // likewise.
  void Serve(std::shared_ptr<const RedisPoolConfiguration>& connectedWith, bool& lost, bool& resumesParents);
  void Dispatch(const RedisSubscriberConnection::Event& event);
  void Deliver(Subscription& subscription, const TString& channel, const RedisSubscriberConnection::Event& event);
  void NotifyReconnected();
  // The subscriber thread's reports of what the server has in force: the
  // patterns a server of the configuration `under` confirmed on the thread's
  // connection (only those still subscribed count), a pattern given up,
  // every confirmation gone with the connection.
  void ConfirmInForce(const std::set<std::string>& acknowledged,
                      const std::shared_ptr<const RedisPoolConfiguration>& under);
  void ConfirmInForceLocked(const std::set<std::string>& acknowledged,
                            const std::shared_ptr<const RedisPoolConfiguration>& under) KELCACHE_REQUIRES(m_mutex);
  void Unconfirm(const std::string& pattern);
  void ForgetConfirmed();
  void CountFailedAttempt(const std::shared_ptr<const RedisPoolConfiguration>& under);
  // Waits until a server of `configuration` (the pool's, asked by the
  // caller) has confirmed every one of `patterns`, or an attempt under that
  // configuration failed after the first `failuresBefore` failures, or the
  // configuration's connect and command time-outs have passed; at once when
  // there is no configuration or when called on the subscriber thread.
  void WaitUntilInForce(const std::vector<std::string>& patterns, uint64_t failuresBefore,
                        const std::shared_ptr<const RedisPoolConfiguration>& configuration);
  bool InForceLocked(const std::vector<std::string>& patterns,
                     const std::shared_ptr<const RedisPoolConfiguration>& configuration) KELCACHE_REQUIRES(m_mutex);

  mutable TMutex m_mutex;
  TConditionVariable m_threadStopped;
  // Signalled when a pattern is confirmed, an attempt fails or the thread stops.
  TConditionVariable m_subscriptionChanged;
  // Every subscription of a pattern gets each message.
  std::map<std::string, std::vector<std::shared_ptr<Subscription>>> m_subscriptions KELCACHE_GUARDED_BY(m_mutex);
  // The patterns the server confirmed on the current connection, and the
  // configuration that connection was made under: confirmations from the
  // server of an earlier configuration do not count for a later one. Always
  // a subset of m_subscriptions' patterns: Unsubscribe takes its pattern out
  // of both at once, so that subscribing again waits for a confirmation
  // newer than the server's giving up of the pattern.
  std::set<std::string> m_confirmed KELCACHE_GUARDED_BY(m_mutex);
  std::shared_ptr<const RedisPoolConfiguration> m_confirmedUnder KELCACHE_GUARDED_BY(m_mutex);
  // Failed attempts to connect and subscribe, in all, and the configuration
  // of the last one: a waiter for one configuration stops at a failure
  // under it, not at one still made under an earlier configuration.
  uint64_t m_failedAttempts KELCACHE_GUARDED_BY(m_mutex) = 0;
  std::shared_ptr<const RedisPoolConfiguration> m_lastFailedUnder KELCACHE_GUARDED_BY(m_mutex);
  std::map<uint64_t, std::shared_ptr<Listener>> m_listeners KELCACHE_GUARDED_BY(m_mutex);
  uint64_t m_nextListenerToken KELCACHE_GUARDED_BY(m_mutex) = 1;
  std::thread m_thread KELCACHE_GUARDED_BY(m_mutex);
  // Set when the manager is destroyed by one of its own callbacks or
  // listeners, on the subscriber thread: keeps this state alive until that
  // thread's loop has ended. Only the subscriber thread touches it.
  std::shared_ptr<Impl> m_keepAliveUntilLoopEnds;
  bool m_threadRunning KELCACHE_GUARDED_BY(m_mutex) = false;
  // The fork generation of the process that made m_wakeFd and started
  // m_thread. In a child forked without exec the parent's thread does not
  // exist, and the inherited eventfd is shared with the parent, whose thread
  // would take the child's wake-ups.
  uint64_t m_forkGeneration KELCACHE_GUARDED_BY(m_mutex) = 0;
  // Set in a forked child whose parent had subscriptions in force: messages
  // published since the fork are lost, so the child's thread reports its
  // first subscription as a reconnection.
  bool m_resumesParentsSubscriptions KELCACHE_GUARDED_BY(m_mutex) = false;
  bool m_shutdown KELCACHE_GUARDED_BY(m_mutex) = false;
  bool m_exitHandlerRegistered KELCACHE_GUARDED_BY(m_mutex) = false;
  bool m_processWide = false;  // set once, before any use

  std::atomic<int> m_wakeFd{-1};
  std::atomic<uint64_t> m_reconnects{0};
  // Thread-safe by itself.
  LogRateLimiter m_callbackFailures{kCallbackFailureBurst, kCallbackFailureInterval};
  // Failures of the subscriber thread's loop itself (out of memory).
  LogRateLimiter m_loopFailures{kCallbackFailureBurst, kCallbackFailureInterval};
  // Publications that failed, sent again after the next that succeeds
  // (UnsentPublications.h); and the Warn lines about them.
  UnsentPublications m_unsent;
  LogRateLimiter m_publishFailures{kCallbackFailureBurst, kCallbackFailureInterval};
  // Sends what m_unsent holds, oldest first, until one fails: after a
  // publication that succeeded, and when the subscriber's server answers a
  // PING (so that they go within a second of the server's recovery even
  // when nothing else is published).
  void ResendUnsent() noexcept;
  // Until when (steady clock ticks) publications are kept without trying
  // the server, after one timed out.
  std::atomic<std::chrono::steady_clock::rep> m_publishPausedUntil{0};
  void NoteTimedOut() {
    const auto until = std::chrono::steady_clock::now() + kPublishPauseAfterTimeout;
    m_publishPausedUntil.store(until.time_since_epoch().count(), std::memory_order_relaxed);
  }
};

namespace {
// The process-wide manager, for the exit handler. Constant-initialised and
// trivially destructible, so it is valid during exit.
std::atomic<RedisSubscriptionManager*> s_processWideManager{nullptr};
}  // namespace

void RedisSubscriptionManager::StopAtExit() {
  if (RedisSubscriptionManager* manager = s_processWideManager.load()) manager->m_impl->StopThread(true);
}

RedisSubscriptionManager::Impl::Impl() {
  m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (m_wakeFd.load() < 0) throw std::system_error(errno, std::generic_category(), "eventfd for the Redis subscriber");
  TMutexLock lock(m_mutex);
  m_forkGeneration = ForkGeneration();
}

RedisSubscriptionManager::Impl::~Impl() {
  StopThread(false);
  close(m_wakeFd);
}

void RedisSubscriptionManager::Impl::Wake() const {
  uint64_t one = 1;
  ssize_t written = write(m_wakeFd, &one, sizeof one);
  (void)written;  // a full counter already means "wake up"
}

void RedisSubscriptionManager::Impl::DrainWake() const {
  uint64_t count;
  ssize_t got = read(m_wakeFd, &count, sizeof count);
  (void)got;  // EAGAIN when nobody woke us
}

void RedisSubscriptionManager::Impl::WaitForWake(std::chrono::milliseconds timeout) const {
  pollfd descriptor{m_wakeFd, POLLIN, 0};
  poll(&descriptor, 1, static_cast<int>(timeout.count()));
}

void RedisSubscriptionManager::Impl::AbandonParentsThreadLocked() {
  // The handle names a thread of the parent, which is not in this process:
  // joining or detaching it would act on whatever thread of the child now
  // has its descriptor. The handle is moved into a list that is never
  // destroyed (a joinable handle's destructor ends the process), which makes
  // no call on it and keeps it reachable for leak checkers. Its mutex is a
  // leaf, taken under a manager's m_mutex.
  static TMutex* const s_abandonedMutex = new TMutex();
  static auto* const s_abandoned = new std::vector<std::thread>();
  if (m_threadRunning) m_resumesParentsSubscriptions = true;
  {
    TMutexLock abandonedLock(*s_abandonedMutex);
    s_abandoned->push_back(std::move(m_thread));
  }
  m_threadRunning = false;
  m_confirmed.clear();
  m_confirmedUnder.reset();
}

void RedisSubscriptionManager::Impl::StartThreadLocked() {
  if (m_shutdown) return;
  const uint64_t generation = ForkGeneration();
  if (m_forkGeneration != generation) {
    if (m_thread.joinable()) AbandonParentsThreadLocked();
    // The inherited descriptor stays open: a thread of the child may be
    // writing to it in Wake.
    const int fresh = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fresh < 0) throw std::system_error(errno, std::generic_category(), "eventfd for the Redis subscriber");
    m_wakeFd.store(fresh);
    m_forkGeneration = generation;
  }
  if (m_threadRunning) return;
  // A thread that stopped has passed its last use of m_mutex; joining it
  // waits only for it to close its connection.
  if (m_thread.joinable()) m_thread.join();
  // Marked running only once the thread exists: when it cannot be made, the
  // next subscription tries again. The thread reads the flag only under
  // m_mutex, which is held here, so it never sees the flag unset.
  // A callback that destroys the manager returns into this loop: the state
  // then lives on (m_keepAliveUntilLoopEnds) until the loop has ended, and
  // goes with the thread.
  m_thread = std::thread([this] {
    Run();
    const std::shared_ptr<Impl> last = std::move(m_keepAliveUntilLoopEnds);
  });
  m_threadRunning = true;
  if (m_processWide && !m_exitHandlerRegistered) {
    m_exitHandlerRegistered = true;
    // The thread may hold a TLS connection, which it closes as it stops.
    InitializeOpenSslBeforeExitHandlers();
    std::atexit(&RedisSubscriptionManager::StopAtExit);
  }
}

void RedisSubscriptionManager::Impl::StopThread(bool boundedWait) {
  std::thread thread;
  bool stopped = true;
  {
    TMutexLock lock(m_mutex);
    m_shutdown = true;
    Wake();
    // In a child forked without exec the parent's thread is not here to end.
    if (m_thread.joinable() && m_forkGeneration != ForkGeneration()) AbandonParentsThreadLocked();
    bool onSubscriberThread = m_thread.get_id() == std::this_thread::get_id();
    if (boundedWait && !onSubscriberThread) {
      const auto deadline = std::chrono::steady_clock::now() + kExitWait;
      while (m_threadRunning) {
        if (!m_threadStopped.WaitUntil(lock, deadline)) break;
      }
      stopped = !m_threadRunning;
    }
    if (onSubscriberThread) {
      stopped = false;
      m_keepAliveUntilLoopEnds = weak_from_this().lock();  // empty once the state is being destroyed
    }
    thread = std::move(m_thread);
  }
  if (!thread.joinable()) return;
  if (stopped) {
    thread.join();
  } else {
    thread.detach();  // a callback that does not return, or exit() called from a callback
  }
}

void RedisSubscriptionManager::Impl::Dispatch(const RedisSubscriberConnection::Event& event) {
  // Usually one subscription per pattern: no allocation per message.
  boost::container::small_vector<std::shared_ptr<Subscription>, 2> subscriptions;
  {
    TMutexLock lock(m_mutex);
    auto found = m_subscriptions.find(event.pattern);
    if (found == m_subscriptions.end()) return;  // unsubscribed meanwhile
    subscriptions.assign(found->second.begin(), found->second.end());
  }
  const TString channel = TString::fromStdString(event.channel);
  for (const std::shared_ptr<Subscription>& subscription : subscriptions) Deliver(*subscription, channel, event);
}

void RedisSubscriptionManager::Impl::Deliver(Subscription& subscription, const TString& channel,
                                             const RedisSubscriberConnection::Event& event) {
  try {
    subscription.Invoke(channel, static_cast<const void*>(event.payload.data()),
                        static_cast<int>(event.payload.size()));
  } catch (...) {
    // A burst of bad messages must not flood the log: the first few failures
    // in full, then one line per interval that counts those left out.
    const LogRateLimiter::Decision decision = m_callbackFailures.Next();
    if (!decision.write) return;
    std::unordered_map<TString, TString> values{{TString(u"pattern"), TString::fromStdString(event.pattern)},
                                                {TString(u"channel"), channel}};
    if (decision.suppressed > 0) {
      values[TString(u"suppressed")] = TString::number(static_cast<unsigned long long>(decision.suppressed));
    }
    TLog::LogCurrentException(TLog::Error, TString(u"RedisSubscriptionManager: a subscription callback failed"),
                              values);
  }
}

void RedisSubscriptionManager::Impl::NotifyReconnected() {
  m_reconnects.fetch_add(1);
  std::vector<std::shared_ptr<Listener>> listeners;
  {
    TMutexLock lock(m_mutex);
    for (const auto& [token, listener] : m_listeners) listeners.push_back(listener);
  }
  for (const std::shared_ptr<Listener>& listener : listeners) {
    try {
      listener->Invoke();
    } catch (...) {
      TLog::LogCurrentException(TLog::Error, TString(u"RedisSubscriptionManager: a reconnect listener failed"));
    }
  }
}

void RedisSubscriptionManager::Impl::ConfirmInForce(const std::set<std::string>& acknowledged,
                                                    const std::shared_ptr<const RedisPoolConfiguration>& under) {
  if (acknowledged.empty()) return;
  TMutexLock lock(m_mutex);
  ConfirmInForceLocked(acknowledged, under);
}

void RedisSubscriptionManager::Impl::ConfirmInForceLocked(
    const std::set<std::string>& acknowledged, const std::shared_ptr<const RedisPoolConfiguration>& under) {
  if (acknowledged.empty()) return;
  if (m_confirmedUnder != under) {
    m_confirmed.clear();
    m_confirmedUnder = under;
  }
  bool added = false;
  for (const std::string& pattern : acknowledged) {
    if (m_subscriptions.count(pattern) && m_confirmed.insert(pattern).second) added = true;
  }
  if (added) m_subscriptionChanged.NotifyAll();
}

void RedisSubscriptionManager::Impl::Unconfirm(const std::string& pattern) {
  TMutexLock lock(m_mutex);
  m_confirmed.erase(pattern);
}

void RedisSubscriptionManager::Impl::ForgetConfirmed() {
  TMutexLock lock(m_mutex);
  m_confirmed.clear();
  m_confirmedUnder.reset();
}

void RedisSubscriptionManager::Impl::CountFailedAttempt(const std::shared_ptr<const RedisPoolConfiguration>& under) {
  TMutexLock lock(m_mutex);
  ++m_failedAttempts;
  m_lastFailedUnder = under;
  m_subscriptionChanged.NotifyAll();
}

bool RedisSubscriptionManager::Impl::InForceLocked(
    const std::vector<std::string>& patterns, const std::shared_ptr<const RedisPoolConfiguration>& configuration) {
  if (m_confirmedUnder != configuration) return false;
  for (const std::string& pattern : patterns) {
    if (!m_confirmed.count(pattern)) return false;
  }
  return true;
}

void RedisSubscriptionManager::Impl::WaitUntilInForce(
    const std::vector<std::string>& patterns, uint64_t failuresBefore,
    const std::shared_ptr<const RedisPoolConfiguration>& configuration) {
  if (!configuration || configuration->servers.empty()) return;  // no server: nothing can arrive
  const auto deadline =
      Clock::now() + configuration->options.connectTimeout + configuration->options.commandTimeout;
  TMutexLock lock(m_mutex);
  // A callback that subscribes (or configures the pool) runs on the
  // subscriber thread, which alone could confirm it.
  if (m_thread.get_id() == std::this_thread::get_id()) return;
  while (!InForceLocked(patterns, configuration) && m_threadRunning &&
         (m_failedAttempts == failuresBefore || m_lastFailedUnder != configuration)) {
    if (!m_subscriptionChanged.WaitUntil(lock, deadline)) return;
  }
}

// The wait between attempts to subscribe: from kFirstBackOff, doubling up to
// kMaxBackOff; reset once the server confirms a subscription, or when the
// host sets other servers while the thread retries.
struct RedisSubscriptionManager::Impl::BackOff {
  std::chrono::milliseconds wait = kFirstBackOff;
  int failures = 0;
  // The step whose failure was last logged at Warn: one Warn line per step.
  std::chrono::milliseconds warnedAt{0};
};

namespace {

// What to tell the operator about a refused subscription, in plain words.
std::string PlainReason(const std::string& error) {
  if (error.find("NOAUTH") != std::string::npos || error.find("WRONGPASS") != std::string::npos) {
    return "the server requires authentication: set user= and password= in the Redis options text (" + error +
           ")";
  }
  if (error.find("NOPERM") != std::string::npos) {
    return "the Redis user may not subscribe: it needs the pub/sub commands (+psubscribe) and access to the "
           "channels (&*) (" + error + ")";
  }
  return error;
}

}  // namespace

void RedisSubscriptionManager::Impl::BackOffAfterFailure(const RedisServerAddress& server,
                                                          const std::exception& error, BackOff& backOff,
                                                          const std::shared_ptr<const RedisPoolConfiguration>& under) {
  CountFailedAttempt(under);
  ++backOff.failures;
  const bool newStep = backOff.wait != backOff.warnedAt;
  if (newStep) backOff.warnedAt = backOff.wait;
  LogMessage(newStep ? TLog::Warn : TLog::Debug,
             TFormatString(u"RedisSubscriptionManager: cannot subscribe at %1 (%2); next attempt in %3 ms")
                 .arg(ServerText(server))
                 .arg(TString::fromStdString(PlainReason(error.what())))
                 .arg(static_cast<long long>(backOff.wait.count())));
  WaitForWake(backOff.wait);
  backOff.wait = std::min(backOff.wait * 2, kMaxBackOff);
}

// The subscriber thread. It owns its connection; the requests (which
// patterns, shutdown) come through m_mutex and the wake-up descriptor.
// Running out of memory anywhere in its loop must not end the process (an
// exception that leaves a thread's function does): the loop starts again
// after a pause, as after a lost connection, and the gap is reported as one.
void RedisSubscriptionManager::Impl::Run() {
  std::shared_ptr<const RedisPoolConfiguration> connectedWith;
  bool lost = false;
  bool resumesParents = false;
  for (;;) {
    try {
      Serve(connectedWith, lost, resumesParents);
      return;
    } catch (...) {
      try {
        if (const LogRateLimiter::Decision decision = m_loopFailures.Next(); decision.write) {
          TLog::LogCurrentException(TLog::Warn,
                                    TString(u"RedisSubscriptionManager: the subscriber failed; it starts again"));
        }
      } catch (...) {
        // Out of memory for the line too: the pause below is all there is.
      }
      ForgetConfirmed();
      if (connectedWith) lost = true;
      WaitForWake(kFailurePause);
    }
  }
}

void RedisSubscriptionManager::Impl::Serve(std::shared_ptr<const RedisPoolConfiguration>& connectedWith,
                                           bool& lost, bool& resumesParents) {
  std::unique_ptr<RedisSubscriberConnection> connection;
  // Which of the pool's subscription servers to try next. A cluster has
  // several; after each failure, and after a lost connection, the next one
  // is tried, so the subscription moves away from a node that died.
  size_t nextServer = 0;
  // The configuration of the last attempt to subscribe.
  std::shared_ptr<const RedisPoolConfiguration> attemptedWith;
  std::set<std::string> onServer;  // patterns subscribed on this connection
  // PSUBSCRIBE acknowledgements still due, by pattern, and the patterns whose
  // last PSUBSCRIBE the server acknowledged with no PUNSUBSCRIBE sent since:
  // those it has in force. A pattern given up and taken again before the
  // first acknowledgement came is in force only at the second one.
  std::map<std::string, unsigned> acksDue;
  std::set<std::string> acknowledged;
  size_t pendingAcks = 0;          // PSUBSCRIBE acknowledgements still due for the initial patterns
  bool reportReconnect = false;    // call the listeners once pendingAcks reaches 0
  // lost: a connection was lost, or could not be made, since the last one.
  // Whether the server confirmed a subscription on this connection. A
  // connection counts as working only then: a server that accepts TCP but
  // refuses the subscription (authentication, permissions) must not reset
  // the back-off, or the thread would reconnect in a tight loop.
  bool confirmed = false;
  BackOff backOff;
  Clock::time_point lastTraffic;
  Clock::time_point pingSentAt;
  bool pingOutstanding = false;
  // A connection given up takes its patterns' confirmations with it: none of
  // them is in force until a new connection's server acknowledges it.
  const auto dropConnection = [&] {
    connection.reset();
    onServer.clear();
    acksDue.clear();
    acknowledged.clear();
    ForgetConfirmed();
  };

  for (;;) {
    // Drained before the requests are read: a request made after the read
    // wakes the thread again.
    DrainWake();
    std::set<std::string> wanted;
    {
      TMutexLock lock(m_mutex);
      if (m_shutdown || m_subscriptions.empty()) {
        m_threadRunning = false;
        m_confirmed.clear();
        m_confirmedUnder.reset();
        m_threadStopped.NotifyAll();
        m_subscriptionChanged.NotifyAll();
        break;  // the connection closes as this function returns
      }
      for (const auto& entry : m_subscriptions) wanted.insert(entry.first);
      // A pattern given up by Unsubscribe and wanted again before this
      // thread saw either request stayed on the server all along.
      ConfirmInForceLocked(acknowledged, connectedWith);
      if (m_resumesParentsSubscriptions) resumesParents = true;
      m_resumesParentsSubscriptions = false;
    }

    std::shared_ptr<const RedisPoolConfiguration> configuration =
        RedisConnectionPool::GetInstance().GetConfiguration();
    if (connection && configuration != connectedWith) {
      const bool sameServers = SameServers(configuration, connectedWith);
      if (SameSubscriberConnection(configuration, connectedWith)) {
        // The host set again what this connection was made with (another
        // pool size, say): the subscriptions stay as they are, with no gap
        // for messages to fall into, and count as confirmed under the new
        // configuration. Only those still wanted when this pass began: one
        // given up before then is about to be unsubscribed on the server
        // below, even if Subscribe has asked for it again since (that
        // request is confirmed once the server acknowledges it anew).
        connectedWith = configuration;
        std::set<std::string> stillWanted;
        std::set_intersection(acknowledged.begin(), acknowledged.end(), wanted.begin(), wanted.end(),
                              std::inserter(stillWanted, stillWanted.end()));
        ConfirmInForce(stillWanted, connectedWith);
      } else {
        LogMessage(TLog::Info, TFormatString(u"RedisSubscriptionManager: the Redis configuration changed; "
                                             u"leaving %1")
                                   .arg(ServerText(connection->Address())));
        dropConnection();
        nextServer = 0;  // a move the host chose is no lost connection
        // Subscribing again on the same servers (other connection options)
        // leaves a gap in which messages are lost: that is a reconnection,
        // as is one the server had not yet confirmed, and so is coming back
        // to the same servers after the host unset them for a while.
        if (reportReconnect || sameServers || !configuration) lost = true;
        reportReconnect = false;
      }
    }

    if (!connection) {
      std::vector<RedisServerAddress> servers = RedisConnectionPool::GetInstance().SubscriptionServers();
      if (!configuration || servers.empty()) {
        WaitForWake(kUnconfiguredPoll);
        continue;
      }
      // Servers the host set while this thread was retrying others start
      // afresh, as in a new process: at the first one listed, without the
      // back-off earned on the old ones.
      if (!SameServers(configuration, attemptedWith)) {
        nextServer = 0;
        backOff = BackOff();
      }
      attemptedWith = configuration;
      const RedisServerAddress server = servers[nextServer % servers.size()];
      try {
        auto fresh = std::make_unique<RedisSubscriberConnection>(server, configuration->options);
        fresh->Connect();
        std::vector<std::string> command{"PSUBSCRIBE"};
        command.insert(command.end(), wanted.begin(), wanted.end());
        fresh->Send(command);
        connection = std::move(fresh);
      } catch (const std::exception& error) {
        lost = true;
        ++nextServer;
        BackOffAfterFailure(server, error, backOff, configuration);
        continue;
      }
      // A subscription made again on the servers it was lost on (the same
      // configuration, or one the host set again with the same servers) is a
      // reconnection: messages of the gap are lost. So is a first one that
      // came only after failed attempts: Subscribe returned at the first
      // failure, and its owner has acted since on what it could not hear. A
      // first subscription at the first attempt, or one on other servers the
      // host chose meanwhile (even away from a server that had died), is not.
      // In a forked child, subscriptions the parent had in force are
      // resumed: messages since the fork are lost.
      reportReconnect =
          (lost && (!connectedWith || SameServers(configuration, connectedWith))) || resumesParents;
      resumesParents = false;
      connectedWith = configuration;
      onServer = wanted;
      acksDue.clear();
      acknowledged.clear();
      for (const std::string& pattern : wanted) acksDue[pattern] = 1;
      pendingAcks = wanted.size();
      confirmed = false;
      lost = false;
      lastTraffic = Clock::now();
      pingOutstanding = false;
    }

    try {
      // Bring the server's patterns in line with the wanted ones.
      std::vector<std::string> subscribe{"PSUBSCRIBE"};
      std::vector<std::string> unsubscribe{"PUNSUBSCRIBE"};
      for (const std::string& pattern : wanted) {
        if (!onServer.count(pattern)) subscribe.push_back(pattern);
      }
      for (const std::string& pattern : onServer) {
        if (!wanted.count(pattern)) unsubscribe.push_back(pattern);
      }
      if (subscribe.size() > 1) {
        connection->Send(subscribe);
        for (size_t i = 1; i < subscribe.size(); ++i) ++acksDue[subscribe[i]];
      }
      if (unsubscribe.size() > 1) {
        connection->Send(unsubscribe);
        for (size_t i = 1; i < unsubscribe.size(); ++i) {
          acknowledged.erase(unsubscribe[i]);
          Unconfirm(unsubscribe[i]);
        }
      }
      onServer = wanted;

      if (!pingOutstanding && Clock::now() - lastTraffic >= kPingAfterSilence) {
        connection->Send({"PING"});
        pingOutstanding = true;
        pingSentAt = Clock::now();
      }

      std::vector<RedisSubscriberConnection::Event> events = connection->Wait(m_wakeFd, kReadInterval);
      if (events.empty()) {
        if (pingOutstanding && Clock::now() - pingSentAt > connectedWith->options.commandTimeout) {
          throw RedisTimeoutError(TString(u"no answer to PING within the command time-out"));
        }
        continue;
      }
      lastTraffic = Clock::now();
      for (const RedisSubscriberConnection::Event& event : events) {
        switch (event.kind) {
          case RedisSubscriberConnection::Event::Kind::Message:
            Dispatch(event);
            break;
          case RedisSubscriberConnection::Event::Kind::Subscribed: {
            // An acknowledgement of a PSUBSCRIBE that a later PUNSUBSCRIBE
            // undid confirms nothing; the pattern's latest PSUBSCRIBE does.
            auto due = acksDue.find(event.pattern);
            if (due != acksDue.end() && --due->second == 0) {
              acksDue.erase(due);
              if (onServer.count(event.pattern)) acknowledged.insert(event.pattern);
            }
            ConfirmInForce(acknowledged, connectedWith);
            if (!confirmed) {
              confirmed = true;
              backOff = BackOff();
            }
            if (pendingAcks > 0 && --pendingAcks == 0 && reportReconnect) {
              reportReconnect = false;
              LogMessage(TLog::Warn, TFormatString(u"RedisSubscriptionManager: subscribed again at %1 after a "
                                                   u"lost connection; messages published meanwhile are lost")
                                         .arg(ServerText(connection->Address())));
              NotifyReconnected();
            }
            break;
          }
          case RedisSubscriberConnection::Event::Kind::Pong:
            pingOutstanding = false;
            // The server answers: publications need not wait out a pause.
            m_publishPausedUntil.store(0, std::memory_order_relaxed);
            ResendUnsent();
            break;
          case RedisSubscriberConnection::Event::Kind::Unsubscribed:
            break;
        }
      }
    } catch (const std::exception& error) {
      const RedisServerAddress server = connection->Address();
      dropConnection();
      lost = true;
      ++nextServer;
      if (!confirmed) {
        // Refused before any subscription held: wait as after a failed connect.
        BackOffAfterFailure(server, error, backOff, connectedWith);
        continue;
      }
      LogMessage(TLog::Warn, TFormatString(u"RedisSubscriptionManager: lost the connection to %1 (%2); "
                                           u"reconnecting")
                                 .arg(ServerText(server))
                                 .arg(TString::fromStdString(error.what())));
    }
  }
}

namespace {
// Every live manager, so that a new pool configuration reaches them all.
// Lock order: its mutex, then a manager's m_mutex. Never destroyed, since the
// pool may be configured during exit.
struct LiveManagers {
  TMutex mutex;
  std::set<RedisSubscriptionManager*> managers KELCACHE_GUARDED_BY(mutex);
};
LiveManagers& Live() {
  static LiveManagers* const live = new LiveManagers;
  return *live;
}
}  // namespace

RedisSubscriptionManager::RedisSubscriptionManager() : m_impl(std::make_shared<Impl>()) {
  LiveManagers& live = Live();
  TMutexLock lock(live.mutex);
  live.managers.insert(this);
}

RedisSubscriptionManager::~RedisSubscriptionManager() {
  {
    // Waits for a configuration being followed, which ends within its bounds.
    LiveManagers& live = Live();
    TMutexLock lock(live.mutex);
    live.managers.erase(this);
  }
  m_impl->StopThread(false);
  // The thread has ended, or this is its callback or listener destroying the
  // manager: then the other callbacks of the message being delivered, and
  // the other listeners, must not run either. Their gates close outside the
  // mutex (closing one waits for a call in progress).
  std::vector<std::shared_ptr<Subscription>> subscriptions;
  std::vector<std::shared_ptr<Listener>> listeners;
  {
    TMutexLock lock(m_impl->m_mutex);
    for (auto& [pattern, list] : m_impl->m_subscriptions) {
      for (auto& subscription : list) subscriptions.push_back(std::move(subscription));
    }
    for (auto& [token, listener] : m_impl->m_listeners) listeners.push_back(std::move(listener));
    m_impl->m_subscriptions.clear();
    m_impl->m_listeners.clear();
  }
  for (const std::shared_ptr<Subscription>& subscription : subscriptions) subscription->Close();
  for (const std::shared_ptr<Listener>& listener : listeners) listener->Close();
}

RedisSubscriptionManager& RedisSubscriptionManager::GetInstance() {
  static InitOnceSlot s_slot;
  return *InitOnceShared<RedisSubscriptionManager>(s_slot, [] {
    auto manager = std::make_shared<RedisSubscriptionManager>();
    manager->m_impl->m_processWide = true;
    s_processWideManager.store(manager.get());
    return manager;
  });
}

void RedisSubscriptionManager::Subscribe(TString const& pattern, MessageCallback const& callback) {
  const std::string key = pattern.toStdString();
  // Made before the subscription is listed: from the listing on nothing
  // allocates, so an out-of-memory error cannot leave a subscription listed
  // that its caller believes refused.
  const std::vector<std::string> patterns{key};
  // Asked first too: the pool's first use makes it, which may fail.
  const std::shared_ptr<const RedisPoolConfiguration> configuration =
      RedisConnectionPool::GetInstance().GetConfiguration();
  uint64_t failuresBefore = 0;
  {
    auto subscription = std::make_shared<Subscription>(callback);
    TMutexLock lock(m_impl->m_mutex);
    auto& callbacks = m_impl->m_subscriptions[key];
    failuresBefore = m_impl->m_failedAttempts;
    try {
      callbacks.push_back(subscription);
      m_impl->StartThreadLocked();
    } catch (...) {
      // No subscriber thread (the system refused one): the subscription is
      // taken back, so that a caller that gives up on it (and frees what its
      // callback uses) is never called later.
      // (Or no memory to list it: then the pattern's entry, made empty, goes.)
      if (!callbacks.empty() && callbacks.back() == subscription) callbacks.pop_back();
      if (callbacks.empty()) m_impl->m_subscriptions.erase(key);
      throw;
    }
  }
  m_impl->Wake();  // also cuts a back-off wait short: the new pattern is tried at once
  m_impl->WaitUntilInForce(patterns, failuresBefore, configuration);
}

void RedisSubscriptionManager::FollowPoolConfiguration() {
  LiveManagers& live = Live();
  TMutexLock lock(live.mutex);
  // Wake every thread first, so that they reconnect side by side.
  struct Pending {
    Impl* impl;
    std::vector<std::string> patterns;
    uint64_t failuresBefore;
  };
  std::vector<Pending> pending;
  for (RedisSubscriptionManager* manager : live.managers) {
    Impl& impl = *manager->m_impl;
    Pending entry{&impl, {}, 0};
    {
      TMutexLock managerLock(impl.m_mutex);
      for (const auto& subscription : impl.m_subscriptions) entry.patterns.push_back(subscription.first);
      entry.failuresBefore = impl.m_failedAttempts;
      if (!entry.patterns.empty()) {
        // Running already, but for a child forked without exec, whose
        // subscriptions come back with the configuration made in it.
        try {
          impl.StartThreadLocked();
        } catch (const std::exception& error) {
          LogMessage(TLog::Warn, TFormatString(u"RedisSubscriptionManager: no subscriber thread (%1)")
                                     .arg(TString::fromStdString(error.what())));
          continue;
        }
      }
    }
    if (entry.patterns.empty()) continue;
    impl.Wake();
    pending.push_back(std::move(entry));
  }
  const std::shared_ptr<const RedisPoolConfiguration> configuration =
      RedisConnectionPool::GetInstance().GetConfiguration();
  for (const Pending& entry : pending) {
    entry.impl->WaitUntilInForce(entry.patterns, entry.failuresBefore, configuration);
  }
}

void RedisSubscriptionManager::Unsubscribe(TString const& pattern) {
  std::vector<std::shared_ptr<Subscription>> removed;
  {
    TMutexLock lock(m_impl->m_mutex);
    auto found = m_impl->m_subscriptions.find(pattern.toStdString());
    if (found == m_impl->m_subscriptions.end()) return;
    removed = std::move(found->second);
    m_impl->m_confirmed.erase(found->first);
    m_impl->m_subscriptions.erase(found);
  }
  m_impl->Wake();
  // Each waits for a delivery in progress on the subscriber thread.
  for (const std::shared_ptr<Subscription>& subscription : removed) subscription->Close();
}

uint64_t RedisSubscriptionManager::AddReconnectListener(ReconnectListener listener) {
  auto gated = std::make_shared<Listener>(std::move(listener));
  TMutexLock lock(m_impl->m_mutex);
  uint64_t token = m_impl->m_nextListenerToken++;
  m_impl->m_listeners.emplace(token, std::move(gated));
  return token;
}

void RedisSubscriptionManager::RemoveReconnectListener(uint64_t token) {
  std::shared_ptr<Listener> removed;
  {
    TMutexLock lock(m_impl->m_mutex);
    auto found = m_impl->m_listeners.find(token);
    if (found == m_impl->m_listeners.end()) return;
    removed = std::move(found->second);
    m_impl->m_listeners.erase(found);
  }
  removed->Close();
}

// The server takes publications again: what failed before goes now, oldest
// first, until one fails again, at most kResendsAtOnce of them, so that the
// thread that publishes (a caller's, the subscriber's) pays for a few round
// trips, not for the whole backlog of an outage.
void RedisSubscriptionManager::Impl::ResendUnsent() noexcept {
  constexpr size_t kResendsAtOnce = 16;
  if (m_unsent.Empty()) return;
  try {
    std::deque<UnsentPublications::Publication> pending = m_unsent.TakeAll();
    std::string why;
    for (size_t sent = 0; !pending.empty() && sent < kResendsAtOnce; ++sent) {
      const Published published = PublishOnce(pending.front().channel, pending.front().message, {}, why);
      if (published == Published::kTimedOut) NoteTimedOut();
      if (published != Published::kYes) break;
      pending.pop_front();
    }
    m_unsent.PutBack(std::move(pending));
  } catch (...) {
    // Out of memory: what was taken and not sent is lost.
  }
}

bool RedisSubscriptionManager::TryPublish(TString const& channel, TString const& message,
                                          std::function<void(redisContext*, redisReply*, void*)> const& onReply) {
  try {
    std::string why;
    std::string channelText = channel.toStdString();
    std::string messageText = message.toStdString();
    Published published = Published::kPaused;
    if (std::chrono::steady_clock::now().time_since_epoch().count() <
        m_impl->m_publishPausedUntil.load(std::memory_order_relaxed)) {
      if (!RedisConnectionPool::GetInstance().GetConfiguration()) return false;
      why = "the server let a publication time out less than " +
            std::to_string(kPublishPauseAfterTimeout.count()) + " s ago";
    } else {
      published = PublishOnce(channelText, messageText, onReply, why);
      if (published == Published::kTimedOut) m_impl->NoteTimedOut();
    }
    // Before any server is configured nothing is kept or said: there is
    // nobody to tell yet.
    if (published == Published::kNoServer) return false;
    if (published != Published::kYes) {
      const bool kept = m_impl->m_unsent.Keep({std::move(channelText), std::move(messageText)});
      if (const LogRateLimiter::Decision decision = m_impl->m_publishFailures.Next(); decision.write) {
        LogMessage(TLog::Warn,
                   TFormatString(u"RedisSubscriptionManager: publication on %1 failed (%2); %3%4")
                       .arg(channel)
                       .arg(TString::fromStdString(why))
                       .arg(kept ? TString(u"it is sent again after the next one that succeeds")
                                 : TString(u"too many wait to be sent again, the oldest is dropped"))
                       .arg(decision.LeftOutNote()));
      }
      return false;
    }
    m_impl->ResendUnsent();
    return true;
  } catch (...) {
    // Out of memory while keeping or logging a failure.
    return false;
  }
}

bool RedisSubscriptionManager::IsSubscriberRunning() const {
  TMutexLock lock(m_impl->m_mutex);
  return m_impl->m_threadRunning;
}

uint64_t RedisSubscriptionManager::GetReconnectCount() const { return m_impl->m_reconnects.load(); }

bool RedisSubscriptionManager::IsConfirmed(TString const& pattern) const {
  TMutexLock lock(m_impl->m_mutex);
  return m_impl->m_confirmed.count(pattern.toStdString()) != 0;
}

}  // namespace kelvra::caching
