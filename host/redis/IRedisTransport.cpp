#include "host/redis/IRedisTransport.h"

#include <cstring>

namespace kelvra::caching {

IRedisTransport::~IRedisTransport() = default;

std::string RedisIoResult::Describe() const {
  if (!detail.empty()) return detail;
  switch (status) {
    case Status::kOk:
      return "no failure";
    case Status::kTimedOut:
      return "no answer within the time-out";
    case Status::kClosed:
      return "the connection was closed";
    case Status::kFailed:
      break;
  }
  char text[128];
  // GNU strerror_r: returns the text, which may or may not be `text`.
  return strerror_r(error, text, sizeof text);
}

}  // namespace kelvra::caching
