// RedisPipe: one connection to one Redis server, shared by every thread that
// sends it commands. Requests from many threads go out back to back and their
// replies are matched to them in order (automatic pipelining), so with many
// callers one write and one read serve many requests, and with one caller a
// command is a plain write and read on the caller's thread.
//
// 1. Roles. There is no I/O thread. A caller appends its encoded request to
//    the queue of unsent requests and to the list of requests awaiting a
//    reply (both in the same order, under m_mutex), then:
//    - the writer: if no thread is writing, the caller becomes the writer and
//      sends everything queued, in one write per round, until the queue is
//      empty (requests queued meanwhile go out in the next round);
//    - the reader: if no thread is reading, the caller becomes the reader. It
//      reads what the server sent, parses the replies and gives each to the
//      oldest awaiting request, waking its caller (AsyncTask::WaitEvent).
//      Once its own reply is in, it hands the reader role to the newest
//      request that has gone out (waking that caller, which goes on reading
//      for everyone before it) or, when none is awaiting a reply, gives the
//      role up.
//    Every other caller waits for its reply or for the reader role. A writer
//    whose request queues behind others awaiting replies first yields the
//    CPU once, so that callers about to queue theirs join its write.
//    Invariants (under m_mutex, for the current session):
//      unsent is not empty      => a thread holds the writer role
//      awaiting is not empty    => a thread holds or is being handed the
//                                  reader role
//      awaiting is in the order in which the requests were queued, which is
//      the order in which they are written, which is the order of replies.
//
// 2. Sessions. A session is one transport connection (IRedisTransport) with
//    its queues, roles and reply parser. It is made by the first request that
//    finds none (connecting, then AUTH and SELECT as configured, before any
//    request can be queued on it; requests arriving meanwhile wait for it).
//    When anything goes wrong on a session it is broken: it is shut down, every
//    request awaiting a reply on it fails at once, and it is dropped, so no
//    later reply can reach a request it was not meant for. The next request
//    makes a new session. Threads still writing or reading on a broken session
//    return as soon as its transport is shut down; the transport is closed
//    when the last of them lets go of the session.
//
// 3. Failures and time-outs. Each wait of the writer or the reader ends after
//    command_timeout of silence (bytes that keep moving do not time out, so
//    large values are not cut short). A write or read that times out breaks
//    the session with kTimeout: the server owes replies and sent nothing for
//    the whole time-out, so every request awaiting a reply on it fails with a
//    time-out, and none of them gives a later request its reply. A session
//    that breaks otherwise (closed or reset by the server, a protocol error)
//    fails its requests with kIo; so does one that runs out of memory while
//    writing, reading or matching replies (a request that cannot be queued
//    whole raises std::bad_alloc to its caller and leaves nothing queued).
//    Connecting raises, as RedisServerLink
//    documents; connection attempts that fail start the server's back-off
//    (host/redis/RedisBackOff.h). A connection counts as made only once the
//    server answered on it: one dropped before that (a server that wants a
//    client certificate ends a TLS 1.3 connection at the first command)
//    counts as a failed attempt too.
//
// 4. SIGPIPE cannot arise: the transports write with MSG_NOSIGNAL.
//
// Thread rules: thread-safe. m_mutex guards the session pointer, the
// connecting state and every session's queues and role flags (see Session in
// the .cpp); it is never held during I/O, nor while the back-off's lock is
// taken (connecting runs with m_mutex released). Each session's transport is used by at most one writer and
// one reader at a time, which the role flags ensure.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "host/Export.h"
#include "host/ThreadAnnotations.h"
#include "host/redis/IRedisTransport.h"
#include "host/redis/RedisBackOff.h"
#include "host/redis/RedisConfiguration.h"
#include "host/redis/RedisProtocol.h"
#include "host/TConditionVariable.h"

namespace kelvra::caching {

class KELCACHE_EXPORT RedisPipe {
 public:
  enum class Failure { kNone, kIo, kTimeout };

  // What became of one request.
  struct Outcome {
    RedisReplyPtr reply;  // the server's reply (maybe an error reply) when failure is kNone
    Failure failure = Failure::kNone;
    std::string message;  // what went wrong, when something did
    // Whether the session had already answered a request when this one was
    // queued: an I/O failure on such a session may only mean that the server
    // closed it while it sat idle (a restart, an idle time-out).
    bool sessionWasUsed = false;
  };

  // `backOff` is shared by the pipes to one server and must outlive the pipe.
  RedisPipe(RedisServerAddress address, RedisPoolOptions options, RedisTransportFactory factory,
            RedisBackOff& backOff);
  ~RedisPipe();
  RedisPipe(const RedisPipe&) = delete;
  RedisPipe& operator=(const RedisPipe&) = delete;

  // Sends `command` and waits for its reply, connecting first when there is
  // no session. A failure after the request was queued is reported in the
  // outcome; failing to connect raises RedisIoError or RedisTimeoutError (or
  // RedisReplyError when the server refused AUTH or SELECT). In a child
  // forked without exec it raises RedisIoError and touches nothing: the
  // sockets are the parent's. Once it returns, no thread uses the command's
  // bytes any more.
  Outcome Execute(RedisCommand command);
  // Makes a session now unless there is one. Raises as Execute does.
  void Connect();

  // Whether a session is up (it may still turn out to be stale).
  bool IsConnected() const { return m_connected.load(std::memory_order_relaxed); }
  // Requests in Execute now: how busy the pipe is.
  int Load() const { return m_load.load(std::memory_order_relaxed); }

 private:
  struct Request;
  struct Session;
  using RequestList = std::vector<std::shared_ptr<Request>>;

  // The current session, made first when there is none. Unlocks while
  // connecting. Raises when no session can be made.
  // Both release and retake the caller's guard `lock` on m_mutex, which the
  // lock analysis cannot follow through a reference; it checks the callers.
  std::shared_ptr<Session> CurrentSession(TMutexLock& lock) KELCACHE_REQUIRES(m_mutex)
      KELCACHE_NO_THREAD_SAFETY_ANALYSIS;
  std::shared_ptr<Session> OpenSession();
  // Authenticates and selects the database when the options ask for it.
  // True when the server answered (it had something to answer).
  bool SetUpSession(IRedisTransport& transport);
  // The back-off's view of a new connection: made once the server answered
  // on it, failed when it was dropped before that.
  void NoteConnectionMade() noexcept;
  void NoteConnectionDropped(const std::string& why) noexcept;
  // Writes what is queued until nothing is left, for the caller that holds
  // the writer role; then gives the role up. Called with `lock` held,
  // returns with it released.
  void WriteLoop(Session& session, TMutexLock& lock) KELCACHE_REQUIRES(m_mutex) KELCACHE_NO_THREAD_SAFETY_ANALYSIS;
  void ReadLoop(const std::shared_ptr<Session>& session, Request& own);
  // One read of ReadLoop: reads, matches the replies to their requests (the
  // ones to wake go to `wake`) and breaks the session on failure. True once
  // `own` is settled. Raises only when memory runs out.
  bool ReadRound(Session& s, Request& own, RequestList& wake, std::chrono::milliseconds& silence);
  // Breaks `session` (see the header comment); the requests to wake go to
  // `settled`, to be woken once m_mutex is released (or, when there is no
  // memory to list them, are woken at once).
  void Break(Session& session, Failure failure, const std::string& message, RequestList& settled) noexcept
      KELCACHE_REQUIRES(m_mutex);
  // How much longer the reader waits for `oldest`'s reply after a read timed
  // out: the time-out counts from when the request went out.
  std::chrono::milliseconds SilenceLeft(const Request& oldest) const KELCACHE_REQUIRES(m_mutex);
  std::string FailureMessage(const RedisIoResult& result, const char* during) const;
  // Raises RedisIoError in a child forked without exec from the process
  // that made the pipe.
  void RefuseInForkedChild() const;

  const RedisServerAddress m_address;
  const RedisPoolOptions m_options;
  const RedisTransportFactory m_factory;
  RedisBackOff& m_backOff;
  const uint64_t m_forkGeneration;  // of the process that made the pipe

  TMutex m_mutex;
  TConditionVariable m_sessionReady;                           // a connection attempt ended
  TConditionVariable m_writeRoundEnded;                        // a writer finished a write
  std::shared_ptr<Session> m_session KELCACHE_GUARDED_BY(m_mutex);  // null when none (never a broken one)
  bool m_connecting KELCACHE_GUARDED_BY(m_mutex) = false;           // a thread is making a session

  // Mirrors of the state above for lock-free looks (IsConnected, Load).
  std::atomic<bool> m_connected{false};
  std::atomic<int> m_load{0};
};

}  // namespace kelvra::caching
