#include "host/redis/RedisSubscriberConnection.h"

#include <string_view>

#include "host/redis/RedisErrors.h"
#include "host/redis/RedisTransportFactory.h"

namespace kelvra::caching {

namespace {

constexpr size_t kReadBufferBytes = 16 * 1024;

// A bulk string's bytes or a status text, as text.
std::string Text(const RedisReply& reply) {
  if (reply.type == RedisReply::Type::kString) {
    return reply.bytes ? std::string(reply.bytes->begin(), reply.bytes->end()) : std::string();
  }
  return reply.text;
}

}  // namespace

RedisSubscriberConnection::RedisSubscriberConnection(RedisServerAddress address, RedisPoolOptions options)
    : m_address(std::move(address)),
      m_options(std::move(options)),
      m_buffer(std::make_unique<char[]>(kReadBufferBytes)) {}

RedisSubscriberConnection::~RedisSubscriberConnection() = default;

void RedisSubscriberConnection::Fail(const char* during, const RedisIoResult& result) const {
  std::string text = "Redis subscriber: " + std::string(during) + " " + m_address.ToString() + ": ";
  if (result.status == RedisIoResult::Status::kTimedOut) {
    throw RedisTimeoutError(TString::fromStdString(
        text + "no answer within " + std::to_string(m_options.commandTimeout.count()) + " ms"));
  }
  throw RedisIoError(TString::fromStdString(text + result.Describe()));
}

void RedisSubscriberConnection::Connect() {
  m_transport = MakeRedisTransportFactory(m_options)();
  m_transport->Connect(m_address, m_options.connectTimeout);
  if (m_options.password.empty()) return;
  std::vector<std::string> auth{"AUTH"};
  if (!m_options.user.empty()) auth.push_back(m_options.user);
  auth.push_back(m_options.password);
  Send(auth);
  for (;;) {
    RedisReplyPtr reply;
    RedisReplyParser::Result parsed = m_parser.Next(&reply);
    if (parsed == RedisReplyParser::Result::kProtocolError) {
      throw RedisIoError(TString::fromStdString("Redis subscriber: " + m_address.ToString() +
                                                " sent no valid reply (" + m_parser.Error() + ")"));
    }
    if (parsed == RedisReplyParser::Result::kNeedMore) {
      Receive("AUTH failed on");
      continue;
    }
    if (reply->type == RedisReply::Type::kError) {
      throw RedisReplyError(
          TString::fromStdString("Redis subscriber: " + m_address.ToString() + " refused AUTH: " + reply->text));
    }
    return;
  }
}

void RedisSubscriberConnection::Send(const std::vector<std::string>& arguments) {
  std::vector<std::string_view> views(arguments.begin(), arguments.end());
  RedisCommand command = RedisCommand::Encode(views);
  std::vector<RedisByteRange> ranges;
  command.AppendRanges(ranges);
  RedisIoResult written = m_transport->WriteAll(ranges, m_options.commandTimeout);
  if (!written.Ok()) Fail("cannot write to", written);
}

void RedisSubscriberConnection::Receive(const char* during) {
  RedisIoResult read = m_transport->ReadSome(m_buffer.get(), kReadBufferBytes, m_options.commandTimeout);
  if (!read.Ok()) Fail(during, read);
  m_parser.Feed(m_buffer.get(), read.bytes);
}

std::vector<RedisSubscriberConnection::Event> RedisSubscriberConnection::Wait(int wakeFd,
                                                                               std::chrono::milliseconds timeout) {
  std::vector<Event> events;
  TakeReplies(events);  // replies already read but not yet taken
  if (!events.empty()) return events;
  // Readable, closed or failed: one read tells which, without waiting.
  if (m_transport->WaitReadable(wakeFd, timeout)) {
    Receive("lost the connection to");
    TakeReplies(events);
  }
  return events;
}

void RedisSubscriberConnection::TakeReplies(std::vector<Event>& events) {
  for (;;) {
    RedisReplyPtr reply;
    RedisReplyParser::Result parsed = m_parser.Next(&reply);
    if (parsed == RedisReplyParser::Result::kNeedMore) return;
    if (parsed == RedisReplyParser::Result::kProtocolError) {
      throw RedisIoError(TString::fromStdString("Redis subscriber: cannot parse what came from " +
                                                m_address.ToString() + " (" + m_parser.Error() + ")"));
    }
    if (reply->type == RedisReply::Type::kError) {
      throw RedisReplyError(
          TString::fromStdString("Redis subscriber: " + m_address.ToString() + " answered " + reply->text));
    }
    if (reply->type != RedisReply::Type::kArray || reply->elements.empty()) continue;
    const auto& element = reply->elements;
    const std::string kind = Text(*element[0]);
    Event event;
    if (kind == "pmessage" && element.size() == 4) {
      event.kind = Event::Kind::Message;
      event.pattern = Text(*element[1]);
      event.channel = Text(*element[2]);
      event.payload = Text(*element[3]);
    } else if (kind == "psubscribe" && element.size() >= 2) {
      event.kind = Event::Kind::Subscribed;
      event.pattern = Text(*element[1]);
    } else if (kind == "punsubscribe" && element.size() >= 2) {
      event.kind = Event::Kind::Unsubscribed;
      event.pattern = Text(*element[1]);
    } else if (kind == "pong") {
      event.kind = Event::Kind::Pong;
    } else {
      continue;  // nothing this connection asked for
    }
    events.push_back(std::move(event));
  }
}

}  // namespace kelvra::caching
