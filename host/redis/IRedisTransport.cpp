#include "host/redis/IRedisTransport.h"

#include <cstring>

namespace kelvra::caching {

IRedisTransport::~IRedisTransport() = default;

std::string RedisIoResult::Describe() const {
  if (!detail.empty()) return detail;
  if (status == Status::kOk) return "no failure";
  if (status == Status::kTimedOut) return "no answer within the time-out";
  if (status == Status::kClosed) return "the connection was closed";
  char text[128];
  // GNU strerror_r: returns the text, which may or may not be `text`.
  return strerror_r(error, text, sizeof text);
}

}  // namespace kelvra::caching
