#include "host/redis/RedisPipe.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <exception>
#include <vector>

#include "host/ForkGeneration.h"
#include "host/TString.h"
#include "host/WaitEvent.h"
#include "host/redis/RedisErrors.h"
#include "host/TMutex.h"

namespace kelvra::caching {

namespace {

// The reader's buffer: one read takes the replies of many requests at once.
constexpr size_t kReadBufferBytes = 64 * 1024;
// What the parser is given at a time. hiredis moves the unparsed rest of its
// buffer to the front after every reply, so feeding a whole read at once
// would move a large batch of replies once per reply.
constexpr size_t kFeedBytes = 16 * 1024;

// The text `make` gives, or none when making it runs out of memory: a broken
// session must settle its requests whatever their message.
template <typename Make>
std::string MessageOrNone(Make&& make) noexcept {
  try {
    return make();
  } catch (...) {
    return {};
  }
}

}  // namespace

// One caller's request. Shared by the caller and the threads that write it
// and settle it, so that whoever wakes the caller may touch it afterwards.
struct RedisPipe::Request {
  explicit Request(RedisCommand commandIn)
      : command(std::move(commandIn)), repliesLeft(command.Replies()) {}

  const RedisCommand command;
  // Set once the request is settled or handed the reader role (maybe both,
  // when a session breaks after the hand-over).
  AsyncTask::WaitEvent done;

  // The reply or the failure is in. Set under the pipe's m_mutex after the
  // fields below (release); a caller that sees it set (acquire) may read
  // them without the lock.
  std::atomic<bool> settled{false};
  // Guarded by the pipe's m_mutex.
  bool inWrite = false;  // in the batch the writer is sending now
  bool written = false;  // all its bytes went out
  // Answered while the writer was still sending its batch: the caller must
  // wait for the end of that write round before the command's bytes (which
  // may be the caller's own) may go.
  bool answeredInWrite = false;
  std::chrono::steady_clock::time_point writtenAt;
  // Replies still due (a request of two commands has two); the request is
  // settled by its last one.
  int repliesLeft;
  // Guarded by the pipe's m_mutex until `settled` is set; after that only
  // the caller touches them.
  RedisReplyPtr reply;
  Failure failure = Failure::kNone;
  std::string message;
};

// One transport connection and what travels on it. The flags and queues are
// guarded by the pipe's m_mutex; `parser` and `readBuffer` belong to the
// reader role and `batch`/`ranges` to the writer role, so only the thread
// holding that role touches them (a role passes between threads under
// m_mutex, which orders their accesses).
struct RedisPipe::Session {
  explicit Session(std::unique_ptr<IRedisTransport> transportIn)
      : transport(std::move(transportIn)), readBuffer(new char[kReadBufferBytes]) {}

  const std::unique_ptr<IRedisTransport> transport;

  // Guarded by the pipe's m_mutex.
  bool broken = false;
  bool writing = false;                           // a thread holds the writer role
  bool reading = false;                           // a thread holds, or is being handed, the reader role
  bool answered = false;                          // a reply arrived on this session
  // The server answered on this connection (a reply, or the set-up's): only
  // then does the connection count as made for the back-off. A server may
  // take the connection and end it before answering anything (one that
  // wants a client certificate does so after a TLS 1.3 handshake, at the
  // first command); that counts as a failed attempt.
  bool proven = false;
  bool droppedNoted = false;  // a request counted its drop before an answer
  RequestList unsent;                             // queued, not yet taken by the writer, in order
  std::deque<std::shared_ptr<Request>> awaiting;  // unsettled requests, in the order of their replies

  // Reader role.
  RedisReplyParser parser;
  std::unique_ptr<char[]> readBuffer;
  std::vector<RedisReplyPtr> replies;

  // Writer role.
  RequestList batch;
  std::vector<RedisByteRange> ranges;
};

RedisPipe::RedisPipe(RedisServerAddress address, RedisPoolOptions options, RedisTransportFactory factory,
                     RedisBackOff& backOff)
    : m_address(std::move(address)),
      m_options(std::move(options)),
      m_factory(std::move(factory)),
      m_backOff(backOff),
      m_forkGeneration(ForkGeneration()) {}

// No request is in Execute any more (the owner guarantees it), so nobody
// holds the session but this pipe: dropping it closes the transport.
RedisPipe::~RedisPipe() = default;

void RedisPipe::RefuseInForkedChild() const {
  if (ForkGeneration() == m_forkGeneration) return;
  // The sockets are the parent's: a request written or a reply read here
  // would take the place of one of the parent's.
  throw RedisIoError(TString::fromStdString(
      "Redis: the connection to " + m_address.ToString() +
      " belongs to the parent of this forked process: configure the pool again in this process "
      "(RedisConnectionPool::Reset)"));
}

void RedisPipe::Connect() {
  RefuseInForkedChild();
  TMutexLock lock(m_mutex);
  CurrentSession(lock);
}

std::shared_ptr<RedisPipe::Session> RedisPipe::CurrentSession(TMutexLock& lock) {
  for (;;) {
    if (m_session) return m_session;
    if (m_connecting) {
      // Another caller is connecting: wait for its session, or for its
      // failure, after which the back-off refuses a second attempt at once.
      m_sessionReady.Wait(lock);
      continue;
    }
    m_connecting = true;
    lock.Unlock();
    std::shared_ptr<Session> session;
    std::exception_ptr failure;
    try {
      session = OpenSession();
    } catch (...) {
      failure = std::current_exception();
    }
    lock.Lock();
    m_connecting = false;
    m_sessionReady.NotifyAll();
    if (failure) std::rethrow_exception(failure);
    m_session = session;
    m_connected.store(true, std::memory_order_relaxed);
    return session;
  }
}

std::shared_ptr<RedisPipe::Session> RedisPipe::OpenSession() {
  std::string lastFailure;
  if (!m_backOff.MayConnect(&lastFailure)) {
    throw RedisIoError(TString::fromStdString("Redis: no new connection to " + m_address.ToString() +
                                              " yet, the last attempt failed: " + lastFailure));
  }
  try {
    std::unique_ptr<IRedisTransport> transport = m_factory();
    transport->Connect(m_address, m_options.connectTimeout);
    const bool answered = SetUpSession(*transport);
    auto session = std::make_shared<Session>(std::move(transport));
    session->proven = answered;
    if (answered) m_backOff.NoteSuccess();
    return session;
  } catch (const std::exception& error) {
    m_backOff.NoteFailure(error);
    throw;
  }
}

bool RedisPipe::SetUpSession(IRedisTransport& transport) {
  std::vector<RedisCommand> commands;
  if (!m_options.password.empty()) {
    std::vector<std::string_view> auth{"AUTH"};
    if (!m_options.user.empty()) auth.emplace_back(m_options.user);
    auth.emplace_back(m_options.password);
    commands.push_back(RedisCommand::Encode(auth));
  }
  std::string database = std::to_string(m_options.database);
  if (m_options.database != 0) {
    std::string_view select[] = {"SELECT", database};
    commands.push_back(RedisCommand::Encode(select));
  }
  if (commands.empty()) return false;

  std::vector<RedisByteRange> ranges;
  for (const RedisCommand& command : commands) command.AppendRanges(ranges);
  RedisIoResult written = transport.WriteAll(ranges, m_options.commandTimeout);
  auto raise = [&](const RedisIoResult& result) {
    std::string message = FailureMessage(result, "setting up the connection");
    if (result.status == RedisIoResult::Status::kTimedOut)
      throw RedisTimeoutError(TString::fromStdString(message));
    throw RedisIoError(TString::fromStdString(message));
  };
  if (!written.Ok()) raise(written);

  RedisReplyParser parser;
  char buffer[512];
  for (size_t answered = 0; answered < commands.size();) {
    RedisReplyPtr reply;
    RedisReplyParser::Result parsed = parser.Next(&reply);
    if (parsed == RedisReplyParser::Result::kProtocolError) {
      throw RedisIoError(TString::fromStdString("Redis: " + m_address.ToString() + " sent no valid reply (" +
                                                parser.Error() + ")"));
    }
    if (parsed == RedisReplyParser::Result::kNeedMore) {
      RedisIoResult read = transport.ReadSome(buffer, sizeof buffer, m_options.commandTimeout);
      if (!read.Ok()) raise(read);
      parser.Feed(buffer, read.bytes);
      continue;
    }
    if (reply->type == RedisReply::Type::kError) {
      throw RedisReplyError(TString::fromStdString("Redis: set-up of the connection to " +
                                                   m_address.ToString() + " refused: " + reply->text));
    }
    ++answered;
  }
  return true;
}

RedisPipe::Outcome RedisPipe::Execute(RedisCommand command) {
  RefuseInForkedChild();
  struct LoadCount {
    std::atomic<int>& load;
    explicit LoadCount(std::atomic<int>& loadIn) : load(loadIn) {
      load.fetch_add(1, std::memory_order_relaxed);
    }
    ~LoadCount() { load.fetch_sub(1, std::memory_order_relaxed); }
  } loadCount(m_load);

  auto request = std::make_shared<Request>(std::move(command));
  std::shared_ptr<Session> session;
  bool read = false;
  Outcome outcome;
  {
    TMutexLock lock(m_mutex);
    session = CurrentSession(lock);
    outcome.sessionWasUsed = session->answered;
    // Both lists or neither: a request written but not awaited would take
    // the next request's reply.
    session->awaiting.push_back(request);
    try {
      session->unsent.push_back(request);
    } catch (...) {
      session->awaiting.pop_back();
      throw;
    }
    if (!session->reading) read = session->reading = true;
    if (!session->writing) {
      session->writing = true;
      if (session->awaiting.size() > 1) {
        // Other requests await replies, so this one cannot be answered
        // before them anyway: let the threads that are ready to run (callers
        // on their way here with a request) queue theirs first, so that one
        // write and one server read carry them all. A lone caller never
        // waits here.
        lock.Unlock();
        sched_yield();
        lock.Lock();
      }
      WriteLoop(*session, lock);
    }
  }
  // Not settled when woken: the reader role was handed to this request.
  if (!read) {
    request->done.Wait();
    read = !request->settled.load(std::memory_order_acquire);
  }
  if (read) ReadLoop(session, *request);

  if (request->failure != Failure::kNone || request->answeredInWrite) {
    // The socket broke, maybe while the writer was sending this request, or
    // the reply came while the rest of the writer's batch was still going
    // out. The writer's round ends soon (a broken transport is shut down);
    // the command's bytes, which may be the caller's own, must not be in
    // use once this returns.
    bool droppedUnanswered;
    {
      TMutexLock lock(m_mutex);
      while (request->inWrite) m_writeRoundEnded.Wait(lock);
      // The first request to learn that a connection was dropped before the
      // server answered anything on it counts the connection as failed.
      droppedUnanswered = request->failure == Failure::kIo && !session->proven &&
                          !std::exchange(session->droppedNoted, true);
    }
    if (droppedUnanswered) NoteConnectionDropped(request->message);
  }
  // Settled now, and nobody else touches the request's result any more.
  outcome.failure = request->failure;
  outcome.message = std::move(request->message);
  outcome.reply = std::move(request->reply);
  return outcome;
}

void RedisPipe::NoteConnectionDropped(const std::string& why) noexcept {
  // New connections back off as after a failed connect, instead of each
  // caller making one (a full TLS handshake, say) only to be dropped again.
  try {
    m_backOff.NoteFailure(RedisIoError(TString::fromStdString(why)));
  } catch (...) {
    // Out of memory: this attempt goes uncounted.
  }
}

void RedisPipe::WriteLoop(Session& s, TMutexLock& lock) {
  RequestList settled;
  // Written requests are let go of outside the lock: a caller whose request
  // is settled may have left already, and then freeing it falls to us.
  RequestList finished;
  for (;;) {
    if (s.broken || s.unsent.empty()) {
      s.writing = false;
      break;
    }
    s.batch.swap(s.unsent);
    for (const auto& request : s.batch) request->inWrite = true;
    lock.Unlock();
    finished.clear();
    s.ranges.clear();
    RedisIoResult result;
    try {
      for (const auto& request : s.batch) request->command.AppendRanges(s.ranges);
      result = s.transport->WriteAll(s.ranges, m_options.commandTimeout);
    } catch (...) {
      // Out of memory: what went out of the batch is unknown, so the
      // session breaks, as after a failed write.
      result = RedisIoResult::Failed(RedisIoResult::Status::kFailed, ENOMEM);
    }
    const auto now = std::chrono::steady_clock::now();
    lock.Lock();
    for (const auto& request : s.batch) {
      request->inWrite = false;
      request->written = result.Ok();
      request->writtenAt = now;
    }
    m_writeRoundEnded.NotifyAll();
    finished.swap(s.batch);
    if (!result.Ok()) {
      Break(s, result.status == RedisIoResult::Status::kTimedOut ? Failure::kTimeout : Failure::kIo,
            MessageOrNone([&] { return FailureMessage(result, "sending"); }), settled);
      s.writing = false;
      break;
    }
  }
  lock.Unlock();
  for (const auto& request : settled) request->done.Set();
}

void RedisPipe::ReadLoop(const std::shared_ptr<Session>& session, Request& own) {
  Session& s = *session;
  RequestList wake;
  std::chrono::milliseconds silence = m_options.commandTimeout;
  for (bool ownSettled = false; !ownSettled;) {
    try {
      ownSettled = ReadRound(s, own, wake, silence);
    } catch (...) {
      // Out of memory while reading or matching replies: what was read can
      // no longer be matched to its requests, so the session breaks and
      // every request awaiting a reply fails (this one too, unless it was
      // settled already).
      TMutexLock lock(m_mutex);
      s.replies.clear();
      Break(s, Failure::kIo,
            MessageOrNone([&] { return "Redis: out of memory while reading from " + m_address.ToString(); }), wake);
      ownSettled = true;
    }
    for (const auto& request : wake) request->done.Set();
    wake.clear();
  }
}

bool RedisPipe::ReadRound(Session& s, Request& own, RequestList& wake, std::chrono::milliseconds& silence) {
  RedisIoResult result = s.transport->ReadSome(s.readBuffer.get(), kReadBufferBytes, silence);
  silence = m_options.commandTimeout;
  std::string protocolError;
  bool provenNow = false;  // this round brought the connection's first answer
  bool ownSettled;
  for (size_t offset = 0; result.Ok() && offset < result.bytes && protocolError.empty();
       offset += kFeedBytes) {
    s.parser.Feed(s.readBuffer.get() + offset, std::min(kFeedBytes, result.bytes - offset));
    for (;;) {
      RedisReplyPtr reply;
      RedisReplyParser::Result parsed = s.parser.Next(&reply);
      if (parsed == RedisReplyParser::Result::kNeedMore) break;
      if (parsed == RedisReplyParser::Result::kProtocolError) {
        protocolError =
            "Redis: " + m_address.ToString() + " sent no valid reply (" + s.parser.Error() + ")";
        break;
      }
      s.replies.push_back(std::move(reply));
    }
  }
  {
    TMutexLock lock(m_mutex);
    // Room for every request this round may wake, before any is taken
    // off `awaiting`: one settled but not listed would wait for ever.
    wake.reserve(wake.size() + s.replies.size() + 1);
    if (!s.broken) {
      for (RedisReplyPtr& reply : s.replies) {
        if (s.awaiting.empty()) {
          protocolError = "Redis: " + m_address.ToString() + " sent a reply that nothing asked for";
          break;
        }
        Request& front = *s.awaiting.front();
        if (!front.inWrite && !front.written) {
          // A reply to a request that has not gone out yet: the server
          // answers something else (an early error about a request it has
          // not read whole, say), and the replies no longer line up with
          // the requests.
          protocolError = "Redis: " + m_address.ToString() + " answered a request before it was sent";
          break;
        }
        if (--front.repliesLeft > 0) {
          // A reply to the first of two commands: the caller sees it only
          // when it is an error (the second's reply is then dropped).
          if (reply->type == RedisReply::Type::kError && !front.reply) front.reply = std::move(reply);
          continue;
        }
        std::shared_ptr<Request> request = std::move(s.awaiting.front());
        s.awaiting.pop_front();
        if (!request->reply) request->reply = std::move(reply);
        request->answeredInWrite = request->inWrite;
        request->settled.store(true, std::memory_order_release);
        s.answered = true;
        provenNow = provenNow || !s.proven;
        s.proven = true;
        if (request.get() != &own) wake.push_back(std::move(request));
      }
      if (result.status == RedisIoResult::Status::kTimedOut && !s.awaiting.empty() &&
          (silence = SilenceLeft(*s.awaiting.front())).count() > 0) {
        // The silence is not the server's fault yet: the oldest request
        // went out less than a time-out ago (or is still going out).
      } else if (!result.Ok()) {
        Break(s, result.status == RedisIoResult::Status::kTimedOut ? Failure::kTimeout : Failure::kIo,
              MessageOrNone([&] { return FailureMessage(result, "waiting for a reply"); }), wake);
      } else if (!protocolError.empty()) {
        Break(s, Failure::kIo, protocolError, wake);
      } else if (own.settled.load(std::memory_order_relaxed)) {
        // Hand the reader role on, or give it up when nobody awaits a reply.
        if (s.awaiting.empty()) {
          s.reading = false;
        } else {
          // The newest caller whose request is out: its reply comes last,
          // so it reads for all the others before it with no further
          // hand-over, and as the newest waiter it is the one most likely
          // still spinning rather than asleep. It is woken first.
          auto next = s.awaiting.rbegin();
          while (std::next(next) != s.awaiting.rend() && !(*next)->written) ++next;
          wake.insert(wake.begin(), *next);
        }
      }
    }
    // Last touch of the reader's state: once the lock is released, a caller
    // handed the role may use it.
    s.replies.clear();
    // Read under the lock, which orders it after the settling thread's
    // writes. A broken session settled every request awaiting a reply, this
    // one too.
    ownSettled = own.settled.load(std::memory_order_relaxed);
  }
  if (provenNow) NoteConnectionMade();
  return ownSettled;
}

void RedisPipe::NoteConnectionMade() noexcept {
  try {
    m_backOff.NoteSuccess();
  } catch (...) {
    // Only its Info line can fail (out of memory); the back-off has ended.
  }
}

void RedisPipe::Break(Session& session, Failure failure, const std::string& message,
                      RequestList& settled) noexcept {
  if (session.broken) return;
  session.broken = true;
  session.transport->Shutdown();
  // Without room to list them for waking after the lock, the requests are
  // woken here; either way every one of them is.
  bool wakeNow = false;
  try {
    settled.reserve(settled.size() + session.awaiting.size());
  } catch (...) {
    wakeNow = true;
  }
  for (std::shared_ptr<Request>& request : session.awaiting) {
    request->failure = failure;
    try {
      request->message = message;
    } catch (...) {
      // Out of memory: the failure goes without its words.
    }
    request->settled.store(true, std::memory_order_release);
    if (wakeNow) {
      request->done.Set();
    } else {
      settled.push_back(std::move(request));
    }
  }
  session.awaiting.clear();
  session.unsent.clear();
  if (m_session.get() == &session) {
    m_session.reset();
    m_connected.store(false, std::memory_order_relaxed);
  }
}

std::chrono::milliseconds RedisPipe::SilenceLeft(const Request& oldest) const {
  // A read that timed out began about a time-out ago, and nothing came since.
  if (!oldest.written) return m_options.commandTimeout;
  auto left = oldest.writtenAt + m_options.commandTimeout - std::chrono::steady_clock::now();
  return std::chrono::ceil<std::chrono::milliseconds>(left);
}

std::string RedisPipe::FailureMessage(const RedisIoResult& result, const char* during) const {
  if (result.status == RedisIoResult::Status::kTimedOut) {
    return "Redis: no answer from " + m_address.ToString() + " within " +
           std::to_string(m_options.commandTimeout.count()) + " ms while " + during +
           "; the connection is closed";
  }
  return "Redis: connection to " + m_address.ToString() + " lost while " + during + ": " + result.Describe();
}

}  // namespace kelvra::caching
