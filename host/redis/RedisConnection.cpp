#include "host/redis/RedisConnection.h"

#include <hiredis/hiredis.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

#include "host/Errors.h"
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

// The read buffer a connection keeps between replies (see Connect).
constexpr size_t kReadBufferKept = 1024 * 1024;

bool IsTimeoutErrno(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT; }

std::pair<const char*, size_t> Argument(const std::string& text) { return {text.data(), text.size()}; }

std::pair<const char*, size_t> Argument(const RedisConnection::Value& value) {
  static const char kEmpty = 0;
  if (value->empty()) return {&kEmpty, 0};
  return {reinterpret_cast<const char*>(value->data()), value->size()};
}

const RedisConnection::Value& CheckedValue(const RedisConnection::Value& value) {
  if (!value) ThrowLogicException("host/redis/RedisConnection", __LINE__, "value");
  return value;
}

}  // namespace

void RedisConnection::ReplyDeleter::operator()(redisReply* reply) const { freeReplyObject(reply); }

RedisConnection::RedisConnection(RedisServerAddress address, RedisPoolOptions options)
    : m_address(std::move(address)), m_options(std::move(options)) {}

RedisConnection::~RedisConnection() { Disconnect(); }

void RedisConnection::Disconnect() noexcept {
  if (m_context) {
    redisFree(m_context);  // closes the socket; writes nothing
    m_context = nullptr;
  }
  m_used = false;
}

void RedisConnection::ThrowContextError(const char* what, int savedErrno) {
  int kind = m_context->err;
  std::string text = std::string(what) + " " + m_address.ToString() + ": " + m_context->errstr;
  Disconnect();
  if (kind == REDIS_ERR_IO && IsTimeoutErrno(savedErrno)) {
    throw RedisTimeoutError(TString::fromStdString(text + " (no answer within the time-out)"));
  }
  throw RedisIoError(TString::fromStdString(text));
}

void RedisConnection::Connect() {
  if (m_context) return;
  SigpipeGuard sigpipe;
  errno = 0;
  redisContext* context =
      redisConnectWithTimeout(m_address.host.c_str(), m_address.port, ToTimeval(m_options.connectTimeout));
  int savedErrno = errno;
  if (context == nullptr) throw RedisIoError(TString(u"Redis: cannot allocate a connection"));
  m_context = context;
  if (context->err) ThrowContextError("Redis: cannot connect to", savedErrno);
  if (redisSetTimeout(context, ToTimeval(m_options.commandTimeout)) != REDIS_OK) {
    ThrowContextError("Redis: cannot set the time-out on", errno);
  }
  redisEnableKeepAlive(context);
  // hiredis frees its read buffer after each reply once more than 16 KiB of
  // it is unused, so every large reply would allocate and release a buffer
  // of its size again (mmap/munmap churn, page faults and TLB shootdowns).
  // Keep up to kReadBufferKept per connection instead.
  context->reader->maxbuf = kReadBufferKept;
  try {
    if (!m_options.password.empty()) {
      std::vector<std::pair<const char*, size_t>> auth{{"AUTH", 4}};
      if (!m_options.user.empty()) auth.push_back(Argument(m_options.user));
      auth.push_back(Argument(m_options.password));
      ExecuteOnce(auth);
    }
    if (m_options.database != 0) {
      std::string database = std::to_string(m_options.database);
      ExecuteOnce({{"SELECT", 6}, Argument(database)});
    }
  } catch (const RedisReplyError& error) {
    Disconnect();
    throw RedisReplyError(TString::fromStdString("Redis: set-up of the connection to " + m_address.ToString() +
                                                 " refused: ") +
                          error.GetMessage());
  }
  m_used = false;
}

RedisConnection::ReplyPtr RedisConnection::ExecuteOnce(const std::vector<std::pair<const char*, size_t>>& arguments) {
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  argv.reserve(arguments.size());
  lengths.reserve(arguments.size());
  for (const auto& [data, length] : arguments) {
    argv.push_back(data);
    lengths.push_back(length);
  }
  void* raw;
  int savedErrno;
  {
    SigpipeGuard sigpipe;
    errno = 0;
    raw = redisCommandArgv(m_context, static_cast<int>(argv.size()), argv.data(), lengths.data());
    savedErrno = errno;
  }
  if (raw == nullptr) ThrowContextError("Redis: command failed on", savedErrno);
  ReplyPtr reply(static_cast<redisReply*>(raw));
  if (reply->type == REDIS_REPLY_ERROR) {
    throw RedisReplyError(TString::fromStdString("Redis: " + m_address.ToString() + " answered " +
                                                 std::string(reply->str, reply->len)));
  }
  return reply;
}

RedisConnection::ReplyPtr RedisConnection::Execute(const std::vector<std::pair<const char*, size_t>>& arguments) {
  bool reused = m_context != nullptr && m_used;
  Connect();
  try {
    ReplyPtr reply = ExecuteOnce(arguments);
    m_used = true;
    return reply;
  } catch (const RedisIoError&) {
    // A connection that sat in the pool may have been closed by the server
    // (a restart, an idle time-out): try once more on a new one.
    if (!reused) throw;
  }
  Connect();
  ReplyPtr reply = ExecuteOnce(arguments);
  m_used = true;
  return reply;
}

RedisConnection::Value RedisConnection::Get(const std::string& key) {
  ReplyPtr reply = Execute({{"GET", 3}, Argument(key)});
  if (reply->type == REDIS_REPLY_NIL) return nullptr;
  if (reply->type != REDIS_REPLY_STRING) {
    throw RedisReplyError(TString(u"Redis: GET gave a reply that is not a string"));
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(reply->str);
  return std::make_shared<std::vector<uint8_t>>(bytes, bytes + reply->len);
}

bool RedisConnection::Set(const std::string& key, const Value& value) {
  ReplyPtr reply = Execute({{"SET", 3}, Argument(key), Argument(CheckedValue(value))});
  return reply->type == REDIS_REPLY_STATUS && std::string(reply->str, reply->len) == "OK";
}

bool RedisConnection::SetEx(const std::string& key, std::chrono::seconds ttl, const Value& value) {
  std::string seconds = std::to_string(ttl.count());
  ReplyPtr reply = Execute({{"SETEX", 5}, Argument(key), Argument(seconds), Argument(CheckedValue(value))});
  return reply->type == REDIS_REPLY_STATUS && std::string(reply->str, reply->len) == "OK";
}

int64_t RedisConnection::Del(const std::string& key) {
  ReplyPtr reply = Execute({{"DEL", 3}, Argument(key)});
  return reply->type == REDIS_REPLY_INTEGER ? reply->integer : 0;
}

int64_t RedisConnection::Publish(const std::string& channel, const std::string& message,
                                 const ReplyCallback& onReply) {
  ReplyPtr reply = Execute({{"PUBLISH", 7}, Argument(channel), Argument(message)});
  if (onReply) onReply(m_context, reply.get(), nullptr);
  return reply->type == REDIS_REPLY_INTEGER ? reply->integer : 0;
}

}  // namespace kelvra::caching
