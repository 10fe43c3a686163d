// kelcache: the whole public API in one include.
#pragma once

// Host services
#include "host/AppConfig.h"
#include "host/AppOptions.h"
#include "host/AsyncTask.h"
#include "host/DateTime.h"
#include "host/Errors.h"
#include "host/FeatureFlags.h"
#include "host/FileErrors.h"
#include "host/FileSystem.h"
#include "host/FolderSweeper.h"
#include "host/InitOnce.h"
#include "host/KelvraCounters.h"
#include "host/KelvraTls.h"
#include "host/LockDetectionTimer.h"
#include "host/LockGuards.h"
#include "host/LogCapture.h"
#include "host/Metrics.h"
#include "host/RefCnt.h"
#include "host/SessionActorInfo.h"
#include "host/TDirectory.h"
#include "host/TElapsedTimer.h"
#include "host/TFile.h"
#include "host/TFormatString.h"
#include "host/THash.h"
#include "host/TLog.h"
#include "host/TPath.h"
#include "host/TReadWriteLock.h"
#include "host/TRecursiveMutex.h"
#include "host/TSemaphore.h"
#include "host/TString.h"
#include "host/TSystem.h"
#include "host/ThreadPool.h"

// In-memory caches
#include "main/utility/Cache.h"
#include "main/utility/CacheHelpers.h"
#include "main/utility/ICoherentCache.h"
#include "main/utility/IndexedCache.h"
#include "main/utility/SynchronizedCache.h"
#include "main/utility/SynchronizedIndexedCache.h"

// Second-level caches
#include "public/caching/DiskExternalCache.h"
#include "public/caching/ExternalCache.h"
#include "public/caching/ExternalCacheFactory.h"
#include "public/caching/NullExternalCache.h"

// Consistency services
#include "public/caching/CacheInvariants.h"
#include "public/caching/CascadeInvalidator.h"
#include "public/caching/CascadeInvalidatorAggregator.h"
#include "public/caching/CascadeInvalidatorHolder.h"
#include "public/caching/CoherenceMetrics.h"
#include "public/caching/RedisPubsub.h"

// Redis client services
#include "host/redis/IRedisSubscriptionManager.h"
#include "host/redis/RedisConnection.h"
#include "host/redis/RedisConnectionGuard.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisSubscriptionManager.h"
