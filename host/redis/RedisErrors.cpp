#include "host/redis/RedisErrors.h"

namespace kelvra::caching {

RedisError::RedisError(const TString& message, uint32_t code, const TString& codeName, TError::StatusCode status)
    : KelvraException(message, TError::ErrorInfo(KelvraError::MakeError(code, codeName), TString(u"kelredis"), status)) {}
RedisError::~RedisError() = default;

RedisIoError::RedisIoError(const TString& message)
    : RedisError(message, kRedisIoErrorCode, TString(u"RedisIoError"), TError::StatusCode::UNAVAILABLE) {}
RedisIoError::~RedisIoError() = default;

RedisTimeoutError::RedisTimeoutError(const TString& message)
    : RedisError(message, kRedisTimeoutErrorCode, TString(u"RedisTimeoutError"),
                 TError::StatusCode::DEADLINE_EXCEEDED) {}
RedisTimeoutError::~RedisTimeoutError() = default;

RedisReplyError::RedisReplyError(const TString& message)
    : RedisError(message, kRedisReplyErrorCode, TString(u"RedisReplyError"),
                 TError::StatusCode::FAILED_PRECONDITION) {}
RedisReplyError::~RedisReplyError() = default;

RedisConfigurationError::RedisConfigurationError(const TString& message)
    : RedisError(message, kRedisConfigurationErrorCode, TString(u"RedisConfigurationError"),
                 TError::StatusCode::INVALID_ARGUMENT) {}
RedisConfigurationError::~RedisConfigurationError() = default;

}  // namespace kelvra::caching
