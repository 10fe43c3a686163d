#include "host/redis/RedisConnection.h"

#include <hiredis/hiredis.h>

#include <charconv>
#include <system_error>

#include "host/Errors.h"
#include "host/redis/RedisCluster.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/RedisServerLink.h"

namespace kelvra::caching {

namespace {

std::string_view Bytes(const RedisConnection::Value& value) {
  if (!value) ThrowLogicException("host/redis/RedisConnection", __LINE__, "value");
  return std::string_view(reinterpret_cast<const char*>(value->data()), value->size());
}

bool IsOk(const RedisReply& reply) {
  return reply.type == RedisReply::Type::kStatus && reply.text == "OK";
}

}  // namespace

RedisConnection::RedisConnection(std::shared_ptr<RedisServerLink> link) : m_link(std::move(link)) {
  if (!m_link) ThrowLogicException("host/redis/RedisConnection", __LINE__, "link");
}

RedisConnection::RedisConnection(std::shared_ptr<RedisCluster> cluster) : m_cluster(std::move(cluster)) {
  if (!m_cluster) ThrowLogicException("host/redis/RedisConnection", __LINE__, "cluster");
  m_lastNode = m_cluster->ListedNodes().front();
}

RedisConnection::~RedisConnection() = default;

void RedisConnection::Connect() {
  if (m_cluster) {
    if (!m_cluster->IsAvailable()) {
      throw RedisIoError(TString(u"Redis Cluster: no node of the cluster can be reached"));
    }
  } else {
    m_link->Connect();
  }
  m_failed = false;
}

bool RedisConnection::IsConnected() const {
  if (m_cluster) return !m_failed;
  return !m_failed && m_link->IsConnected();
}

const RedisServerAddress& RedisConnection::GetAddress() const {
  return m_cluster ? m_lastNode : m_link->Address();
}

RedisReplyPtr RedisConnection::Execute(std::span<const std::string_view> arguments,
                                       const std::shared_ptr<const void>& keepAlive) {
  m_failed = true;  // until the server answers: a failure to connect raises from here
  RedisReplyPtr reply;
  if (m_cluster) {
    reply = m_cluster->Execute(arguments, keepAlive, &m_lastNode);
  } else {
    RedisPipe::Outcome outcome = m_link->Execute(arguments, keepAlive);
    if (outcome.failure == RedisPipe::Failure::kTimeout) {
      throw RedisTimeoutError(TString::fromStdString(outcome.message));
    }
    if (outcome.failure != RedisPipe::Failure::kNone) throw RedisIoError(TString::fromStdString(outcome.message));
    reply = std::move(outcome.reply);
  }
  m_failed = false;
  if (reply->type == RedisReply::Type::kError) {
    std::string message = "Redis: " + GetAddress().ToString() + " answered " + reply->text;
    // A redirection reaches here only from a single server that is a node
    // of a cluster: say how to name one.
    if (!m_cluster && (reply->text.starts_with("MOVED ") || reply->text.starts_with("ASK "))) {
      message += " (it is a node of a Redis Cluster: name the cluster as 'cluster:" + GetAddress().ToString() + "')";
    }
    throw RedisReplyError(TString::fromStdString(message));
  }
  return reply;
}

RedisConnection::Value RedisConnection::Get(const std::string& key) {
  std::string_view arguments[] = {"GET", key};
  RedisReplyPtr reply = Execute(arguments);
  if (reply->type == RedisReply::Type::kNil) return nullptr;
  if (reply->type != RedisReply::Type::kString) {
    throw RedisReplyError(TString(u"Redis: GET gave a reply that is not a string"));
  }
  return std::move(reply->bytes);
}

bool RedisConnection::Set(const std::string& key, const Value& value) {
  std::string_view arguments[] = {"SET", key, Bytes(value)};
  return IsOk(*Execute(arguments, value));
}

bool RedisConnection::SetEx(const std::string& key, std::chrono::seconds ttl, const Value& value) {
  std::string seconds = std::to_string(ttl.count());
  std::string_view arguments[] = {"SETEX", key, seconds, Bytes(value)};
  return IsOk(*Execute(arguments, value));
}

int64_t RedisConnection::Del(const std::string& key) {
  std::string_view arguments[] = {"DEL", key};
  RedisReplyPtr reply = Execute(arguments);
  return reply->type == RedisReply::Type::kInteger ? reply->integer : 0;
}

int64_t RedisConnection::Ttl(const std::string& key) {
  std::string_view arguments[] = {"TTL", key};
  RedisReplyPtr reply = Execute(arguments);
  if (reply->type != RedisReply::Type::kInteger) {
    throw RedisReplyError(TString(u"Redis: TTL gave a reply that is not an integer"));
  }
  return reply->integer;
}

RedisConnection::ScanPage RedisConnection::Scan(uint64_t cursor, const std::string& match, int64_t count) {
  const std::string cursorText = std::to_string(cursor);
  const std::string countText = std::to_string(count);
  std::string_view arguments[] = {"SCAN", cursorText, "MATCH", match, "COUNT", countText};
  RedisReplyPtr reply = Execute(arguments);
  // [next cursor as a bulk string, [key, ...]]
  if (reply->type != RedisReply::Type::kArray || reply->elements.size() != 2 ||
      reply->elements[0]->type != RedisReply::Type::kString || !reply->elements[0]->bytes ||
      reply->elements[1]->type != RedisReply::Type::kArray) {
    throw RedisReplyError(TString(u"Redis: SCAN gave a reply that is not [cursor, [keys]]"));
  }
  ScanPage page;
  const std::vector<uint8_t>& next = *reply->elements[0]->bytes;
  const char* first = reinterpret_cast<const char*>(next.data());
  const auto [end, error] = std::from_chars(first, first + next.size(), page.cursor);
  if (error != std::errc() || end != first + next.size()) {
    throw RedisReplyError(TString(u"Redis: SCAN gave a cursor that is not a number"));
  }
  page.keys.reserve(reply->elements[1]->elements.size());
  for (const RedisReplyPtr& key : reply->elements[1]->elements) {
    if (key->type != RedisReply::Type::kString || !key->bytes) {
      throw RedisReplyError(TString(u"Redis: SCAN gave a key that is not a string"));
    }
    page.keys.emplace_back(key->bytes->begin(), key->bytes->end());
  }
  return page;
}

int64_t RedisConnection::Publish(const std::string& channel, const std::string& message,
                                 const ReplyCallback& onReply) {
  std::string_view arguments[] = {"PUBLISH", channel, message};
  RedisReplyPtr reply = Execute(arguments);
  if (onReply) {
    // PUBLISH answers with an integer (an error reply has raised above); it
    // is handed out in hiredis's form.
    redisReply raw{};
    raw.type = reply->type == RedisReply::Type::kInteger ? REDIS_REPLY_INTEGER : REDIS_REPLY_NIL;
    raw.integer = reply->integer;
    onReply(nullptr, &raw, nullptr);
  }
  return reply->type == RedisReply::Type::kInteger ? reply->integer : 0;
}

}  // namespace kelvra::caching
