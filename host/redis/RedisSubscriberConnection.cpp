#include "host/redis/RedisSubscriberConnection.h"

#include <hiredis/hiredis.h>
#include <poll.h>

#include <cerrno>
#include <memory>

#include "host/redis/RedisErrors.h"
#include "host/redis/SigpipeGuard.h"

namespace kelvra::caching {

namespace {

timeval ToTimeval(std::chrono::milliseconds duration) {
  timeval tv;
  tv.tv_sec = static_cast<time_t>(duration.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((duration.count() % 1000) * 1000);
  return tv;
}

struct ReplyDeleter {
  void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using ReplyPtr = std::unique_ptr<redisReply, ReplyDeleter>;

std::string Text(const redisReply* reply) {
  if (reply == nullptr || reply->str == nullptr) return std::string();
  return std::string(reply->str, reply->len);
}

}  // namespace

RedisSubscriberConnection::RedisSubscriberConnection(RedisServerAddress address, RedisPoolOptions options)
    : m_address(std::move(address)), m_options(std::move(options)) {}

RedisSubscriberConnection::~RedisSubscriberConnection() {
  if (m_context) redisFree(m_context);
}

void RedisSubscriberConnection::Fail(const std::string& what, int savedErrno) {
  std::string text = "Redis subscriber: " + what + " " + m_address.ToString() + ": " +
                     (m_context ? m_context->errstr : "no context");
  bool timeout = m_context && m_context->err == REDIS_ERR_IO &&
                 (savedErrno == EAGAIN || savedErrno == EWOULDBLOCK || savedErrno == ETIMEDOUT);
  if (m_context) {
    redisFree(m_context);
    m_context = nullptr;
  }
  if (timeout) throw RedisTimeoutError(TString::fromStdString(text));
  throw RedisIoError(TString::fromStdString(text));
}

void RedisSubscriberConnection::Connect() {
  SigpipeGuard sigpipe;
  errno = 0;
  m_context = redisConnectWithTimeout(m_address.host.c_str(), m_address.port, ToTimeval(m_options.connectTimeout));
  int savedErrno = errno;
  if (m_context == nullptr) throw RedisIoError(TString(u"Redis subscriber: cannot allocate a connection"));
  if (m_context->err) Fail("cannot connect to", savedErrno);
  if (redisSetTimeout(m_context, ToTimeval(m_options.commandTimeout)) != REDIS_OK) Fail("cannot set time-outs on", errno);
  redisEnableKeepAlive(m_context);
  if (!m_options.password.empty()) {
    std::vector<const char*> argv{"AUTH"};
    std::vector<size_t> lengths{4};
    if (!m_options.user.empty()) {
      argv.push_back(m_options.user.data());
      lengths.push_back(m_options.user.size());
    }
    argv.push_back(m_options.password.data());
    lengths.push_back(m_options.password.size());
    errno = 0;
    ReplyPtr reply(static_cast<redisReply*>(
        redisCommandArgv(m_context, static_cast<int>(argv.size()), argv.data(), lengths.data())));
    if (!reply) Fail("AUTH failed on", errno);
    if (reply->type == REDIS_REPLY_ERROR) {
      throw RedisReplyError(TString::fromStdString("Redis subscriber: " + m_address.ToString() +
                                                   " refused AUTH: " + Text(reply.get())));
    }
  }
}

void RedisSubscriberConnection::Send(const std::vector<std::string>& arguments) {
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  for (const std::string& argument : arguments) {
    argv.push_back(argument.data());
    lengths.push_back(argument.size());
  }
  if (redisAppendCommandArgv(m_context, static_cast<int>(argv.size()), argv.data(), lengths.data()) != REDIS_OK) {
    Fail("cannot format a command for", errno);
  }
  SigpipeGuard sigpipe;
  int done = 0;
  while (!done) {
    errno = 0;
    if (redisBufferWrite(m_context, &done) != REDIS_OK) Fail("cannot write to", errno);
  }
}

std::vector<RedisSubscriberConnection::Event> RedisSubscriberConnection::Wait(int wakeFd,
                                                                               std::chrono::milliseconds timeout) {
  std::vector<Event> events;
  TakeReplies(events);  // replies already read but not yet taken
  if (!events.empty()) return events;
  pollfd descriptors[2] = {{m_context->fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  int ready = poll(descriptors, 2, static_cast<int>(timeout.count()));
  if (ready < 0) {
    if (errno == EINTR) return events;
    Fail("cannot wait for", errno);
  }
  if (descriptors[0].revents != 0) {
    // Readable, closed or failed: one read tells which, without blocking.
    errno = 0;
    if (redisBufferRead(m_context) != REDIS_OK) Fail("lost the connection to", errno);
    TakeReplies(events);
  }
  return events;
}

void RedisSubscriberConnection::TakeReplies(std::vector<Event>& events) {
  for (;;) {
    void* raw = nullptr;
    if (redisGetReplyFromReader(m_context, &raw) != REDIS_OK) Fail("cannot parse what came from", 0);
    if (raw == nullptr) return;
    ReplyPtr reply(static_cast<redisReply*>(raw));
    if (reply->type == REDIS_REPLY_ERROR) {
      throw RedisReplyError(TString::fromStdString("Redis subscriber: " + m_address.ToString() + " answered " +
                                                   Text(reply.get())));
    }
    if (reply->type != REDIS_REPLY_ARRAY || reply->elements == 0) continue;
    std::string kind = Text(reply->element[0]);
    Event event;
    if (kind == "pmessage" && reply->elements == 4) {
      event.kind = Event::Kind::Message;
      event.pattern = Text(reply->element[1]);
      event.channel = Text(reply->element[2]);
      event.payload = Text(reply->element[3]);
    } else if (kind == "psubscribe" && reply->elements >= 2) {
      event.kind = Event::Kind::Subscribed;
      event.pattern = Text(reply->element[1]);
    } else if (kind == "punsubscribe" && reply->elements >= 2) {
      event.kind = Event::Kind::Unsubscribed;
      event.pattern = Text(reply->element[1]);
    } else if (kind == "pong") {
      event.kind = Event::Kind::Pong;
    } else {
      continue;  // nothing this connection asked for
    }
    events.push_back(std::move(event));
  }
}

}  // namespace kelvra::caching
