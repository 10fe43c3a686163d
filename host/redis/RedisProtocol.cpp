#include "host/redis/RedisProtocol.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <new>

#include "host/ValueBufferPool.h"

namespace kelvra::caching {

namespace {

// hiredis frees its parse buffer after a reply once more than 16 KiB of it is
// unused, so every large reply would allocate and release a buffer of its
// size again (mmap/munmap churn, page faults and TLB shootdowns). Keep up to
// this much per parser instead.
constexpr size_t kParseBufferKept = 1024 * 1024;

// The reply objects that hiredis's reader builds: ours. They run inside
// hiredis (C), so nothing may escape them: a failure returns null, which the
// reader reports as out of memory.
//
// An array's element list grows as its elements arrive, not to the length
// its header announces: a header is only a number on the wire (up to
// INT_MAX, which the reader accepts), and a stream that is not what it
// claims to be (a server or proxy gone wrong) must not make us allocate and
// zero gigabytes before a single element came.
constexpr size_t kElementsReservedAhead = 1024;

void Attach(const redisReadTask* task, RedisReply* reply) {
  if (task->parent == nullptr) return;
  auto& elements = static_cast<RedisReply*>(task->parent->obj)->elements;
  const auto at = static_cast<size_t>(task->idx);
  if (at >= elements.size()) elements.resize(at + 1);  // may throw: reply is then not taken
  elements[at].reset(reply);
}

template <typename Fill>
void* Create(const redisReadTask* task, Fill fill) noexcept {
  try {
    auto reply = std::make_unique<RedisReply>();
    fill(*reply);
    Attach(task, reply.get());
    return reply.release();
  } catch (...) {
    return nullptr;
  }
}

void* CreateString(const redisReadTask* task, char* text, size_t length) {
  return Create(task, [&](RedisReply& reply) {
    switch (task->type) {
      case REDIS_REPLY_ERROR:
        reply.type = RedisReply::Type::kError;
        reply.text.assign(text, length);
        break;
      case REDIS_REPLY_STATUS:
        reply.type = RedisReply::Type::kStatus;
        reply.text.assign(text, length);
        break;
      default:
        reply.type = RedisReply::Type::kString;
        reply.bytes = ValueBufferPool::MakeValue(text, length);
        break;
    }
  });
}

void* CreateArray(const redisReadTask* task, int elements) {
  return Create(task, [&](RedisReply& reply) {
    reply.type = RedisReply::Type::kArray;
    reply.elements.reserve(std::min(static_cast<size_t>(elements), kElementsReservedAhead));
  });
}

void* CreateInteger(const redisReadTask* task, long long value) {
  return Create(task, [&](RedisReply& reply) {
    reply.type = RedisReply::Type::kInteger;
    reply.integer = value;
  });
}

void* CreateNil(const redisReadTask* task) {
  return Create(task, [](RedisReply& reply) { reply.type = RedisReply::Type::kNil; });
}

// Only a top-level object is ever freed this way; it owns its elements.
void FreeObject(void* reply) {
  delete static_cast<RedisReply*>(reply);
}

redisReplyObjectFunctions s_replyFunctions = {CreateString, CreateArray, CreateInteger, CreateNil,
                                              FreeObject};

// The digits of `value` in decimal.
void AppendNumber(std::string& out, size_t value) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* at = end;
  do {
    *--at = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  out.append(at, end);
}

}  // namespace

void RedisCommand::Append(std::span<const std::string_view> arguments, bool reference) {
  std::string& out = m_owned;
  size_t pieceStart = out.size();  // where the owned piece being built begins
  auto endOwnedPiece = [&] {
    if (out.size() > pieceStart) m_pieces.push_back({nullptr, pieceStart, out.size() - pieceStart});
    pieceStart = out.size();
  };
  out += '*';
  AppendNumber(out, arguments.size());
  out += "\r\n";
  for (std::string_view argument : arguments) {
    out += '$';
    AppendNumber(out, argument.size());
    out += "\r\n";
    if (reference && argument.size() >= kReferencedMin) {
      endOwnedPiece();
      m_pieces.push_back({argument.data(), 0, argument.size()});
    } else {
      out.append(argument.data(), argument.size());
    }
    out += "\r\n";
  }
  endOwnedPiece();
}

namespace {

size_t CopiedBytes(std::span<const std::string_view> arguments, bool reference) {
  size_t copied = 16 + 16 * arguments.size();
  for (std::string_view argument : arguments) {
    if (!reference || argument.size() < RedisCommand::kReferencedMin) copied += argument.size();
  }
  return copied;
}

}  // namespace

RedisCommand RedisCommand::Encode(std::span<const std::string_view> arguments,
                                  std::shared_ptr<const void> keepAlive) {
  RedisCommand command;
  const bool reference = keepAlive != nullptr;
  command.m_owned.reserve(CopiedBytes(arguments, reference));
  command.Append(arguments, reference);
  for (const Piece& piece : command.m_pieces) command.m_size += piece.length;
  command.m_keepAlive = std::move(keepAlive);
  return command;
}

RedisCommand RedisCommand::EncodeAfter(std::span<const std::string_view> first,
                                       std::span<const std::string_view> arguments,
                                       std::shared_ptr<const void> keepAlive) {
  RedisCommand command;
  const bool reference = keepAlive != nullptr;
  command.m_owned.reserve(CopiedBytes(first, false) + CopiedBytes(arguments, reference));
  command.Append(first, false);
  command.Append(arguments, reference);
  for (const Piece& piece : command.m_pieces) command.m_size += piece.length;
  command.m_keepAlive = std::move(keepAlive);
  command.m_replies = 2;
  return command;
}

void RedisCommand::AppendRanges(std::vector<RedisByteRange>& ranges) const {
  for (const Piece& piece : m_pieces) {
    ranges.push_back({piece.external ? piece.external : m_owned.data() + piece.offset, piece.length});
  }
}

RedisReplyParser::RedisReplyParser() : m_reader(redisReaderCreateWithFunctions(&s_replyFunctions)) {
  if (m_reader == nullptr) throw std::bad_alloc();
  m_reader->maxbuf = kParseBufferKept;
}

RedisReplyParser::~RedisReplyParser() {
  redisReaderFree(m_reader);
}

void RedisReplyParser::Feed(const char* data, size_t size) {
  // On failure (no memory) the reader records an error, which Next reports.
  (void)redisReaderFeed(m_reader, data, size);
}

RedisReplyParser::Result RedisReplyParser::Next(RedisReplyPtr* reply) {
  void* raw = nullptr;
  if (redisReaderGetReply(m_reader, &raw) != REDIS_OK) return Result::kProtocolError;
  if (raw == nullptr) return Result::kNeedMore;
  reply->reset(static_cast<RedisReply*>(raw));
  return Result::kReply;
}

std::string RedisReplyParser::Error() const {
  return m_reader->err ? std::string(m_reader->errstr) : std::string("no error");
}

}  // namespace kelvra::caching
