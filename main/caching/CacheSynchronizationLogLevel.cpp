#include "public/caching/CacheSynchronizationLogLevel.h"

#include "host/AppOptions.h"

namespace kelvra::caching {

TLog::NonErrorSeverity GetCacheSynchronizationLogLevel() {
  return kelvra::appoptions::CacheSynchronizationLogging() ? TLog::Info : TLog::Debug;
}

}  // namespace kelvra::caching
