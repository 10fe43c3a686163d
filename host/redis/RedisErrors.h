// The errors of the Redis client services, all derived from KelvraException.
//
//   RedisError               base of every Redis failure
//   RedisIoError             the connection could not be made, or broke
//                            (refused, reset, closed by the server)
//   RedisTimeoutError        the server did not answer within the command or
//                            connect time-out
//   RedisReplyError          the server answered with an error reply (for
//                            example a wrong password, or SETEX with a bad
//                            expiry); the connection stays usable
//   RedisConfigurationError  the configuration given to the pool does not
//                            parse; the message names what is wrong
//
// Each carries an error code (KelvraError) and a gRPC-style status:
// UNAVAILABLE, DEADLINE_EXCEEDED, FAILED_PRECONDITION and INVALID_ARGUMENT.
// Thread rules: immutable values once built.
#pragma once

#include <cstdint>

#include "host/Errors.h"
#include "host/Export.h"
#include "host/TString.h"

namespace kelvra::caching {

// Error codes of the Redis client services.
inline constexpr uint32_t kRedisIoErrorCode = 0x5EDC0001;
inline constexpr uint32_t kRedisTimeoutErrorCode = 0x5EDC0002;
inline constexpr uint32_t kRedisReplyErrorCode = 0x5EDC0003;
inline constexpr uint32_t kRedisConfigurationErrorCode = 0x5EDC0004;

KELCACHE_DECLARE_EXCEPTION(RedisError, KelvraException, const TString& message, uint32_t code,
                           const TString& codeName, TError::StatusCode status);
KELCACHE_DECLARE_EXCEPTION(RedisIoError, RedisError, const TString& message);
KELCACHE_DECLARE_EXCEPTION(RedisTimeoutError, RedisError, const TString& message);
KELCACHE_DECLARE_EXCEPTION(RedisReplyError, RedisError, const TString& message);
KELCACHE_DECLARE_EXCEPTION(RedisConfigurationError, RedisError, const TString& message);

}  // namespace kelvra::caching
