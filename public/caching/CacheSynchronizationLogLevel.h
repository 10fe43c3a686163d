// The severity of the optional log lines of the coherence service and of
// cascade invalidation.
#pragma once

#include "host/Export.h"
#include "host/TLog.h"

namespace kelvra::caching {

// Info when the option CacheSynchronizationLogging is on, else Debug; the
// option is read at each call. Thread-safe.
KELCACHE_EXPORT TLog::NonErrorSeverity GetCacheSynchronizationLogLevel();

}  // namespace kelvra::caching
