// RedisPubsub: the coherence service. It publishes the additions of this
// process's participating caches, applies the messages of every process to
// the entries it tracks, and remembers evicted entries for a bounded time and
// count. The wire format lives in CoherenceWireFormat, the tracking table and
// its invariants in CoherenceTracking; this file holds the service itself:
// locking, options, logging, metrics, publication, dirty marking, pruning
// policy and the reconnect flush.
#include "public/caching/RedisPubsub.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "host/AppConfig.h"
#include "host/AppOptions.h"
#include "host/AsyncTask.h"
#include "host/DateTime.h"
#include "host/Errors.h"
#include "host/FirstFailure.h"
#include "host/InitOnce.h"
#include "host/KelvraCounters.h"
#include "host/LockDetectionTimer.h"
#include "host/LockGuards.h"
#include "host/Metrics.h"
#include "host/TConditionVariable.h"
#include "host/TElapsedTimer.h"
#include "host/TFormatString.h"
#include "host/TLog.h"
#include "host/TReadWriteLock.h"
#include "host/redis/RedisSubscriptionManager.h"
#include "main/caching/CoherenceTracking.h"
#include "main/caching/CoherenceWireFormat.h"
#include "public/caching/CascadeInvalidatorHolder.h"

namespace kelvra::caching {

namespace {

constexpr const char* kSource = "main/caching/RedisPubsub";
constexpr uint64_t kMetricsMask = 0x20001;
constexpr int64_t kLive = CacheEntryInfo::kLive;
constexpr size_t kMaxPlaceholders = 10000;

using Hash = std::pair<uint64_t, uint64_t>;
using GuidAndCache = CoherenceTrackingTable::GuidAndCache;

int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Whole seconds from `then` to now on the steady clock, truncated.
int64_t SecondsSince(int64_t then) {
  return (SteadyNowNs() - then) / 1000000000;
}

using coherence::HashText;
using coherence::ParseHashText;

TString CacheText(const void* cache) {
  return TString::pointer(cache);
}

}  // namespace

// The service. m_lock (exclusive only, re-entrant for its holder) guards the
// tracking table (main/caching/CoherenceTracking.h) and the two pruning
// limits. The options are read once, here, except
// CacheSynchronizationFlushOnReconnect, read at each reconnect.
class RedisPubsub::Impl : public ICacheCoherence {
 public:
  Impl(const TString& channel, IRedisSubscriptionManager& manager, PublishFunction publish);
  ~Impl() override;

  OnAddedMetrics OnAdded(Hash entryKeyHash, Hash valueHash, uint64_t timestamp, unsigned guid,
                         std::weak_ptr<ICoherentCache> cache) override;
  void OnRemoved(const ICoherentCache& cache) override;
  OnRemovedMetrics OnRemoved(const std::vector<unsigned>& guids,
                             std::weak_ptr<ICoherentCache> cache) override;
  void TriggerPruneEvictedEntriesTestOnly(int maxEvictedEntries, int evictedLifetimeSec) override;
  std::string CheckConsistency();

 private:
  // The number of withdrawals made when an operation started (see
  // WithdrawnSince).
  using WithdrawalMark = uint64_t;
  // Notes the withdrawals made from its construction to its destruction, for
  // an operation run on the calling thread.
  class WithdrawalWatch {
   public:
    explicit WithdrawalWatch(Impl& impl) : m_impl(impl), m_mark(impl.BeginWatch()) {}
    ~WithdrawalWatch() { m_impl.EndWatch(m_mark); }
    WithdrawalWatch(const WithdrawalWatch&) = delete;
    WithdrawalWatch& operator=(const WithdrawalWatch&) = delete;
    WithdrawalMark Mark() const { return m_mark; }

   private:
    Impl& m_impl;
    const WithdrawalMark m_mark;
  };

  OnAddedMetrics OnAddedNow(Hash entryKeyHash, Hash valueHash, uint64_t timestamp, unsigned guid,
                            const std::weak_ptr<ICoherentCache>& cache, WithdrawalMark mark);
  OnRemovedMetrics OnRemovedNow(const std::vector<unsigned>& guids,
                                const std::weak_ptr<ICoherentCache>& cache, WithdrawalMark mark);
  void SubscribeCallback(const TString& keyText, const void* data, int length);
  void OnSubscriptionReconnected();
  bool IsDirty(const CacheEntryInfo& record, const Hash& otherHash, uint64_t otherTimestamp) const;
  // Tells the record's cache and the invalidators. What one of them raises
  // goes into `failures`, and the others are still told.
  // `ids` is the caller's one-element list, made before any record is
  // taken, so that telling a record's cache needs no allocation.
  // `mark` is the walk's, taken before its first record: the invalidators
  // are not told of a cache withdrawn since.
  void MarkDirty(const CacheEntryInfo& record, std::vector<unsigned int>& ids, FirstFailure& failures,
                 WithdrawalMark mark);
  void PruneEvictedEntries();
  // Runs task(mark) on a task of its own, `mark` taken now.
  template <class Task>
  void LaunchTracked(Task task);
  // Starts and ends the watch of an operation that must leave alone the
  // caches withdrawn while it runs.
  WithdrawalMark BeginWatch();
  void EndWatch(WithdrawalMark mark) noexcept;
  // True when `cache` was withdrawn after `mark` was taken, by a watch still
  // running. Such an operation leaves the cache alone: the host may destroy
  // a cache as soon as its withdrawal returned, so nothing may track it again
  // or tell anyone of it.
  bool WithdrawnSince(const ICoherentCache* cache, WithdrawalMark mark);
  void Log(const TString& text) const {
    if (m_logEnabled) LogMessage(m_logSeverity, text);
  }

  TReadWriteLock m_lock{0};
  CoherenceTrackingTable m_tracking KELCACHE_GUARDED_BY(m_lock);
  TString m_channel;
  PublishFunction m_publish;
  IRedisSubscriptionManager& m_subscriptionManager;
  TLog::NonErrorSeverity m_logSeverity;
  bool m_logEnabled;
  bool m_dryRun;
  bool m_asyncCoherence;
  int m_minimumDeltaSeconds;
  int m_evictedLifetimeSec KELCACHE_GUARDED_BY(m_lock);  // the test trigger changes it
  int m_maxEvictedEntries KELCACHE_GUARDED_BY(m_lock);   // never negative
  uint64_t m_reconnectListener = 0;

  // Asynchronous operations still running; the destructor waits for them,
  // since they use this object.
  TMutex m_tasksMutex KELCACHE_ACQUIRED_AFTER(m_lock);  // tasks may start under m_lock
  TConditionVariable m_tasksDone;
  int m_runningTasks KELCACHE_GUARDED_BY(m_tasksMutex) = 0;
  // Withdrawals made so far, and the operations that watch for them: each
  // running one counted under the number of withdrawals at its start. A
  // withdrawal is remembered (its number and cache) while a watch older than
  // it runs, and forgotten once none does.
  uint64_t m_withdrawalCount KELCACHE_GUARDED_BY(m_tasksMutex) = 0;
  std::deque<std::pair<uint64_t, const ICoherentCache*>> m_withdrawals KELCACHE_GUARDED_BY(m_tasksMutex);
  std::map<WithdrawalMark, int> m_watches KELCACHE_GUARDED_BY(m_tasksMutex);
};

// --- construction -------------------------------------------------------------

RedisPubsub::Impl::Impl(const TString& channel, IRedisSubscriptionManager& manager, PublishFunction publish)
    : m_channel(channel), m_publish(std::move(publish)), m_subscriptionManager(manager) {
  m_logSeverity = GetCacheSynchronizationLogLevel();
  m_logEnabled = LoggerAcceptsSeverity(m_logSeverity, 52);
  m_dryRun = kelvra::appoptions::CacheSynchronizationDryRun();
  m_asyncCoherence = kelvra::appoptions::AsyncCacheCoherence();
  m_minimumDeltaSeconds = kelvra::appoptions::CacheSynchronizationMinimumDeltaSeconds();
  m_evictedLifetimeSec = kelvra::appoptions::CacheSynchronizationEvictedLifetimeSec();
  m_maxEvictedEntries = std::max(0, kelvra::appoptions::CacheSynchronizationMaxEvictedEntries());
  // The reconnect listener first: once the subscription is made nothing may
  // fail, or the manager would keep a callback into an object never built.
  m_reconnectListener = m_subscriptionManager.AddReconnectListener([this] { OnSubscriptionReconnected(); });
  // Subscribe last: the callbacks may run at once, on the subscriber's thread,
  // and read every member set above.
  try {
    m_subscriptionManager.Subscribe(
        m_channel + TString(u"*"), [this](const TString& channelName, const void* data, int length) {
          std::vector<TString> parts = channelName.split(m_channel, TString::SkipEmptyParts);
          // A message published on exactly the prefix names no key hash; the
          // service never publishes one, so it is ignored.
          if (parts.empty()) return;
          SubscribeCallback(parts.front(), data, length);
        });
  } catch (...) {
    m_subscriptionManager.RemoveReconnectListener(m_reconnectListener);
    throw;
  }
  // Counted once Subscribe has returned: one that raises (no thread for the
  // subscriber) leaves the counter as it was.
  KelvraCounters::RedisPubsubWastedMessages += 2;
}

RedisPubsub::Impl::~Impl() {
  m_subscriptionManager.RemoveReconnectListener(m_reconnectListener);
  m_subscriptionManager.Unsubscribe(m_channel + TString(u"*"));
  TMutexLock lock(m_tasksMutex);
  while (m_runningTasks != 0) m_tasksDone.Wait(lock);
}

template <class Task>
void RedisPubsub::Impl::LaunchTracked(Task task) {
  // The watch first: without the memory to count it, nothing is counted that
  // no task would take back.
  const WithdrawalMark mark = BeginWatch();
  {
    TMutexLock lock(m_tasksMutex);
    ++m_runningTasks;
  }
  // The counts go down when the last copy of the task object goes, not at
  // the end of its body: a task whose cancel event was signalled before it
  // started never runs its body, and the destructor must not wait for it.
  std::shared_ptr<void> done(nullptr, [this, mark](void*) {
    EndWatch(mark);
    TMutexLock lock(m_tasksMutex);
    if (--m_runningTasks == 0) m_tasksDone.NotifyAll();
  });
  auto tracked = [task = std::move(task), mark, done = std::move(done)]() mutable {
    try {
      task(mark);
    } catch (...) {
      TLog::LogCurrentException(TLog::Warn, TString(u"RedisPubsub asynchronous operation failed"), {});
    }
  };
  AsyncTask::Launch(AsyncTask::LaunchMode::Asynchronous, std::move(tracked),
                    AsyncTask::LaunchOptions{0, false});
}

RedisPubsub::Impl::WithdrawalMark RedisPubsub::Impl::BeginWatch() {
  TMutexLock lock(m_tasksMutex);
  const WithdrawalMark mark = m_withdrawalCount;
  ++m_watches[mark];
  return mark;
}

void RedisPubsub::Impl::EndWatch(WithdrawalMark mark) noexcept {
  TMutexLock lock(m_tasksMutex);
  auto watch = m_watches.find(mark);
  if (--watch->second == 0) m_watches.erase(watch);
  // Withdrawals no running watch began before are of no use any more.
  const uint64_t oldest = m_watches.empty() ? m_withdrawalCount : m_watches.begin()->first;
  while (!m_withdrawals.empty() && m_withdrawals.front().first <= oldest) m_withdrawals.pop_front();
}

bool RedisPubsub::Impl::WithdrawnSince(const ICoherentCache* cache, WithdrawalMark mark) {
  TMutexLock lock(m_tasksMutex);
  for (auto withdrawal = m_withdrawals.rbegin(); withdrawal != m_withdrawals.rend() && withdrawal->first > mark;
       ++withdrawal) {
    if (withdrawal->second == cache) return true;
  }
  return false;
}

// --- dirtiness ------------------------------------------------------------------

bool RedisPubsub::Impl::IsDirty(const CacheEntryInfo& record, const Hash& otherHash,
                                uint64_t otherTimestamp) const {
  // The margin in milliseconds, multiplied on 32 bits as the host does.
  auto marginMs = static_cast<int32_t>(static_cast<uint32_t>(m_minimumDeltaSeconds) * 1000u);
  uint64_t limit =
      (DateTime::FromValue(otherTimestamp) - DateTimeSpan::FromMilliseconds(marginMs)).GetRepresentation();
  const Hash zero{0, 0};
  if (record.valueHash == otherHash && !(record.valueHash == zero && otherHash == zero)) return false;
  return limit > record.timestamp;
}

void RedisPubsub::Impl::MarkDirty(const CacheEntryInfo& record, std::vector<unsigned int>& ids,
                                  FirstFailure& failures, WithdrawalMark mark) {
  // Each one told may withdraw the cache, and the host may then destroy it:
  // the others are not told of it after that.
  ids.assign(1, record.guid);
  if (!m_dryRun && record.evictedAt == kLive) failures.Run([&] { record.cache->OnDirty(ids); });
  for (ICascadeInvalidator* invalidator : CascadeInvalidatorHolderFactory::GetInstance().GetInvalidators()) {
    if (invalidator == nullptr) continue;
    if (WithdrawnSince(record.cache, mark)) break;
    failures.Run([&] { invalidator->OnDirty(ids, *record.cache); });
  }
}

// --- additions ------------------------------------------------------------------

OnAddedMetrics RedisPubsub::Impl::OnAdded(Hash entryKeyHash, Hash valueHash, uint64_t timestamp,
                                          unsigned guid, std::weak_ptr<ICoherentCache> cache) {
  if (!m_asyncCoherence) {
    WithdrawalWatch watch(*this);
    return OnAddedNow(entryKeyHash, valueHash, timestamp, guid, cache, watch.Mark());
  }
  TElapsedTimer total(true);
  LaunchTracked([this, entryKeyHash, valueHash, timestamp, guid, cache](WithdrawalMark mark) {
    OnAddedNow(entryKeyHash, valueHash, timestamp, guid, cache, mark);
  });
  OnAddedMetrics metrics;
  metrics.totalMs = total.GetElapsedTime();
  return metrics;
}

OnAddedMetrics RedisPubsub::Impl::OnAddedNow(Hash entryKeyHash, Hash valueHash, uint64_t timestamp,
                                             unsigned guid, const std::weak_ptr<ICoherentCache>& cache,
                                             WithdrawalMark mark) {
  TElapsedTimer total(true);
  Metrics::Scope scope(TString(u"RedisPubsub::OnAdded"), kMetricsMask);
  OnAddedMetrics metrics;
  FirstFailure pruneFailure;
  if (std::shared_ptr<ICoherentCache> strongCache = cache.lock()) {
    CacheEntryInfo record{valueHash, timestamp, guid, strongCache.get(), kLive};
    const GuidAndCache key{guid, strongCache.get()};
    TElapsedTimer lockTimer(true);
    TWriteLockGuard guard(m_lock);
    metrics.lockMs = lockTimer.GetElapsedTime();

    // An addition under way when its cache was withdrawn leaves it alone
    // (the host may destroy it once the withdrawal returned); the value was
    // made all the same, so it is still published.
    if (!WithdrawnSince(record.cache, mark)) {
      if (m_tracking.RemovePlaceholder(key)) {
        size_t size = m_tracking.PlaceholderCount();
        if (m_logEnabled) {
          Log(TFormatString(u"RedisPubsub: Deleting placeholder for CacheGuid=%1, cache=%2, size=%3")
                  .arg(guid)
                  .arg(CacheText(strongCache.get()))
                  .arg(static_cast<unsigned long long>(size)));
        }
        KelvraCounters::RedisPubsubPlaceholderSize.store(static_cast<int64_t>(size));
        guard.Unlock();
        metrics.totalMs = total.GetElapsedTime();
        return metrics;
      }

      const std::vector<CacheEntryInfo> none;
      const std::vector<CacheEntryInfo>* tracked = m_tracking.Find(entryKeyHash);
      for (const CacheEntryInfo& existing : tracked != nullptr ? *tracked : none) {
        if (IsDirty(record, existing.valueHash, existing.timestamp)) {
          // The new entry is older, by more than the margin, than a local entry
          // of another value: it is stale already and is neither kept nor
          // published.
          TElapsedTimer dirtyTimer(true);
          FirstFailure failures;
          std::vector<unsigned int> ids(1);
          MarkDirty(record, ids, failures, mark);
          metrics.dirtyMs = dirtyTimer.GetElapsedTime();
          guard.Unlock();
          failures.RethrowIfAny();
          metrics.totalMs = total.GetElapsedTime();
          return metrics;
        }
      }
      if (m_tracking.Track(entryKeyHash, record)) ++KelvraCounters::RedisPubsubSavedMessages;
      TElapsedTimer pruneTimer(true);
      // The entry is tracked: whatever the pruning's listeners raise, the
      // other processes still hear of its value below.
      pruneFailure.Run([&] { PruneEvictedEntries(); });
      metrics.pruneMs = pruneTimer.GetElapsedTime();
    }
  }

  const TString channel = m_channel + HashText(entryKeyHash);
  const TString message = coherence::MessageText(valueHash, timestamp);
  TElapsedTimer publishTimer(true);
  m_publish(channel, message);
  metrics.publishMs = publishTimer.GetElapsedTime();
  if (m_logEnabled) {
    std::shared_ptr<ICoherentCache> stillThere = cache.lock();
    Log(TFormatString(u"RedisPubsub OnAdded data=%1 on channel=%2 CacheGuid=%3, cache=%4")
            .arg(message)
            .arg(channel)
            .arg(guid)
            .arg(stillThere ? CacheText(stillThere.get()) : TString(u"cache object already destroyed.")));
  }
  pruneFailure.RethrowIfAny();
  metrics.totalMs = total.GetElapsedTime();
  return metrics;
}

// --- received messages -------------------------------------------------------------

void RedisPubsub::Impl::SubscribeCallback(const TString& keyText, const void* data, int length) {
  const char* bytes = static_cast<const char*>(data);
  const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
  const coherence::Message message = coherence::ParseMessage(data, length);
  const Hash& otherHash = message.valueHash;
  const uint64_t otherTimestamp = message.timestamp;
  const Hash entryKeyHash = ParseHashText(keyText);
  if (m_logEnabled) {
    Log(TFormatString(u"RedisPubsub SubscribeCallback on channel=%1, rawdata=%2")
            .arg(keyText)
            .arg(TString::fromLocal8Bit(bytes, static_cast<int>(size))));
  }

  LockDetectionTimer lockTimer(TString(u"RedisPubsubSubscribeCallback"));  // reports after the release below
  TWriteLockGuard guard(m_lock);
  lockTimer.StartBlock();
  const std::vector<CacheEntryInfo>* entries = m_tracking.Find(entryKeyHash);
  // A cache or invalidator that raises does not keep the others, or the
  // tables, from learning that an entry is dirty; the first failure is
  // raised once the walk is done.
  FirstFailure failures;
  WithdrawalWatch watch(*this);
  if (entries == nullptr) {
    ++KelvraCounters::RedisPubsubWastedMessages;
  } else {
    std::vector<unsigned int> ids(1);
    for (size_t i = 0; i < entries->size();) {
      const CacheEntryInfo record = (*entries)[i];
      if (!IsDirty(record, otherHash, otherTimestamp)) {
        ++i;
        continue;
      }
      if (m_logEnabled) {
        Log(TFormatString(
                u"RedisPubsub IsDirty CacheGuid=%1, cache=%2, oldHash=%3, oldTimestamp=%4, newHash=%5, "
                u"newTimestamp=%6")
                .arg(record.guid)
                .arg(CacheText(record.cache))
                .arg(HashText(record.valueHash))
                .arg(static_cast<unsigned long long>(record.timestamp))
                .arg(HashText(otherHash))
                .arg(static_cast<unsigned long long>(otherTimestamp)));
      }
      MarkDirty(record, ids, failures, watch.Mark());
      // The caches and invalidators told may have called back into the
      // service (its lock admits its holder again) and changed this key
      // hash's records, or dropped them all: the record is forgotten where it
      // is now, and the walk goes on from there. When it went meanwhile, the
      // walk starts over; records found clean stay clean.
      size_t at = i;
      if (!m_tracking.ForgetRecord(entryKeyHash, {record.guid, record.cache}, &at)) at = 0;
      entries = m_tracking.Find(entryKeyHash);
      if (entries == nullptr) break;
      i = at;
    }
    m_tracking.DropIfEmpty(entryKeyHash);
  }
  failures.Run([&] { PruneEvictedEntries(); });
  guard.Unlock();
  failures.RethrowIfAny();
}

void RedisPubsub::Impl::OnSubscriptionReconnected() {
  // Messages published while the subscription was down are lost, so any
  // tracked entry may be stale now: a live one in its cache, an evicted one
  // in the results derived from it, which its record is kept to reach (the
  // cascade invalidators are told of it as a message would tell them).
  if (!kelvra::appoptions::CacheSynchronizationFlushOnReconnect()) return;
  LogMessage(TLog::Warn,
             TString(u"RedisPubsub: subscription reconnected; marking every tracked entry dirty"));
  TWriteLockGuard guard(m_lock);
  // One record at a time: the caches and invalidators told may call back
  // into the service (its lock admits its holder again), withdraw a cache
  // and destroy it, whose other records must then not be told.
  // A cache or invalidator that raises does not keep the others from being
  // told: the flush runs once per reconnection, and nobody waits for it to
  // raise, so its failures are logged, once.
  // Everything the walk needs is made before the first record is taken: a
  // record taken is told, or it would stay stale for good.
  FirstFailure failures;
  std::vector<unsigned int> ids(1);
  WithdrawalWatch watch(*this);
  for (const auto& key : m_tracking.RecordKeys()) {
    if (std::optional<CacheEntryInfo> record = m_tracking.TakeRecord(key))
      MarkDirty(*record, ids, failures, watch.Mark());
  }
  if (failures.Count() == 0) return;
  try {
    failures.RethrowIfAny();
  } catch (...) {
    TLog::LogCurrentException(TLog::Error,
                              TFormatString(u"RedisPubsub: a cache or invalidator failed to take an "
                                            u"entry as dirty (%1 failures); the others were still told")
                                  .arg(failures.Count())
                                  .result());
  }
}

// --- removals ---------------------------------------------------------------------

OnRemovedMetrics RedisPubsub::Impl::OnRemoved(const std::vector<unsigned>& guids,
                                              std::weak_ptr<ICoherentCache> cache) {
  if (!m_asyncCoherence) {
    WithdrawalWatch watch(*this);
    return OnRemovedNow(guids, cache, watch.Mark());
  }
  TElapsedTimer total(true);
  LaunchTracked([this, guids, cache](WithdrawalMark mark) { OnRemovedNow(guids, cache, mark); });
  OnRemovedMetrics metrics;
  metrics.totalMs = total.GetElapsedTime();
  metrics.guidCount = guids.size();
  return metrics;
}

OnRemovedMetrics RedisPubsub::Impl::OnRemovedNow(const std::vector<unsigned>& guids,
                                                 const std::weak_ptr<ICoherentCache>& cache, WithdrawalMark mark) {
  TElapsedTimer total(true);
  Metrics::Scope scope(TString(u"RedisPubsub::OnRemoved"), kMetricsMask);
  OnRemovedMetrics metrics;
  if (guids.empty()) return metrics;
  metrics.guidCount = guids.size();
  const int64_t now = SteadyNowNs();
  std::shared_ptr<ICoherentCache> strongCache = cache.lock();
  if (!strongCache) {
    metrics.totalMs = total.GetElapsedTime();
    return metrics;
  }
  const ICoherentCache* address = strongCache.get();

  TElapsedTimer lockTimer(true);
  TWriteLockGuard guard(m_lock);
  metrics.lockMs = lockTimer.GetElapsedTime();
  // Under way when its cache was withdrawn: the withdrawal forgot these
  // entries already, and placeholders for them would outlive the cache.
  if (WithdrawnSince(address, mark)) {
    guard.Unlock();
    metrics.totalMs = total.GetElapsedTime();
    return metrics;
  }
  for (unsigned guid : guids) {
    if (m_logEnabled) {
      Log(TFormatString(u"RedisPubsub::OnRemoved CacheGuid=%1 on cache=%2")
              .arg(guid)
              .arg(CacheText(address)));
    }
    const GuidAndCache key{guid, address};
    switch (m_tracking.Evict(key, now)) {
      case CoherenceTrackingTable::Eviction::Evicted:
        continue;
      case CoherenceTrackingTable::Eviction::AlreadyEvicted:
        LogMessage(
            TLog::Error, TString(u"RedisPubsub::OnRemoved - removing an evicted entry again."),
            {{TString(u"CacheGuid"), TString::number(guid)}, {TString(u"Cache"), CacheText(address)}},
            KelvraError::MakeError(0xC5E8FF71, KelvraError::AutoGenName(u"LogSite_AutoGen_", 0xC5E8FF71)));
        continue;
      case CoherenceTrackingTable::Eviction::NotTracked:
        break;
    }
    // A removal before its addition: remember it, so that the addition is
    // not tracked when it comes.
    const bool tooMany = m_tracking.AddPlaceholder(key, kMaxPlaceholders);
    if (m_logEnabled) {
      Log(TFormatString(
              u"RedisPubsub: TFS874920: Publish cache information - non-standard code paths. Creating "
              u"placeholder for CacheGuid=%1, cache=%2, size=%3")
              .arg(guid)
              .arg(CacheText(address))
              .arg(static_cast<unsigned long long>(m_tracking.PlaceholderCount())));
    }
    if (tooMany) {
      TString line(u"RedisPubsub: Too many placeholders, flushing.");
      for (const GuidAndCache& flushed : m_tracking.FlushPlaceholders(10)) {
        line += TFormatString(u" {CacheGuid=%1, cache=%2}")
                    .arg(flushed.first)
                    .arg(CacheText(flushed.second))
                    .result();
      }
      LogMessage(TLog::Warn, line);
    }
    KelvraCounters::RedisPubsubPlaceholderSize.store(static_cast<int64_t>(m_tracking.PlaceholderCount()));
  }
  TElapsedTimer pruneTimer(true);
  PruneEvictedEntries();
  metrics.pruneMs = pruneTimer.GetElapsedTime();
  guard.Unlock();
  metrics.totalMs = total.GetElapsedTime();
  return metrics;
}

void RedisPubsub::Impl::OnRemoved(const ICoherentCache& cache) {
  const ICoherentCache* address = &cache;
  if (m_logEnabled)
    Log(TFormatString(u"RedisPubsub OnRemoved CacheGuid=ALL on cache=%1").arg(CacheText(address)));
  std::vector<unsigned int> ids;
  {
    TWriteLockGuard guard(m_lock);
    {
      // Noted first: operations under way must not track the cache again,
      // even when the withdrawal below raises.
      TMutexLock tasksLock(m_tasksMutex);
      if (!m_watches.empty()) m_withdrawals.emplace_back(m_withdrawalCount + 1, address);
      ++m_withdrawalCount;
    }
    ids = m_tracking.Withdraw(address);
  }
  FirstFailure failures;
  for (ICascadeInvalidator* invalidator : CascadeInvalidatorHolderFactory::GetInstance().GetInvalidators()) {
    if (invalidator != nullptr) failures.Run([&] { invalidator->OnEvicted(ids, cache); });
  }
  failures.RethrowIfAny();
}

// --- pruning ------------------------------------------------------------------------

void RedisPubsub::Impl::TriggerPruneEvictedEntriesTestOnly(int maxEvictedEntries, int evictedLifetimeSec) {
  {
    TWriteLockGuard guard(m_lock);
    if (maxEvictedEntries >= 0) m_maxEvictedEntries = maxEvictedEntries;
    if (evictedLifetimeSec >= 0) m_evictedLifetimeSec = evictedLifetimeSec;
  }
  PruneEvictedEntries();
}

void RedisPubsub::Impl::PruneEvictedEntries() {
  Metrics::Scope scope(TString(u"RedisPubsub::PruneEvictedEntries"), kMetricsMask);
  // Made before any record is taken (it may need memory).
  WithdrawalWatch watch(*this);
  const int64_t now = SteadyNowNs();
  CoherenceTrackingTable::PrunedIds pruned;
  // A failure partway (no memory for the list or a log line, a table found
  // inconsistent) is raised after the records already pruned are reported:
  // they are gone from the tables, and nobody would report them again.
  std::exception_ptr failure;
  {
    TWriteLockGuard guard(m_lock);  // the caller may hold it already: re-entry
    try {
      const int64_t cutoff = now - static_cast<int64_t>(m_evictedLifetimeSec) * 1000000000LL;
      // The table calls the conditions back at once, under this guard.
      m_tracking.PruneOldestWhile(
          [&] {
            m_lock.AssertHeld();
            return m_tracking.OldestEvictionTime() <= cutoff;
          },
          pruned);
      if (m_tracking.EvictedCount() > static_cast<size_t>(m_maxEvictedEntries)) {
        LogMessage(TLog::Info,
                   TFormatString(u"Prune evicted entries from as old as %1 seconds ago - reached %2 entries")
                       .arg(static_cast<long long>(SecondsSince(m_tracking.OldestEvictionTime())))
                       .arg(static_cast<unsigned long long>(m_tracking.EvictedCount())));
        const int32_t target = static_cast<int32_t>(2u * static_cast<uint32_t>(m_maxEvictedEntries)) / 3;
        m_tracking.PruneOldestWhile(
            [&] {
              m_lock.AssertHeld();
              return m_tracking.EvictedCount() > static_cast<size_t>(std::max(target, 0));
            },
            pruned);
        LogMessage(TLog::Info, TFormatString(u"RedisPubsub now tracking %1 evicted queries")
                                   .arg(static_cast<unsigned long long>(m_tracking.EvictedCount())));
        if (m_tracking.EvictedCount() > 0) {
          LogMessage(TLog::Info,
                     TFormatString(u"RedisPubsub: oldest evicted query now tracked is from %1 seconds ago")
                         .arg(static_cast<long long>(SecondsSince(m_tracking.OldestEvictionTime()))));
        }
      }
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (pruned.empty()) {
    if (failure) std::rethrow_exception(failure);
    return;
  }
  // The records are gone from the tables: an invalidator that raises must
  // not keep the others from hearing of them, since nobody reports them again.
  // An invalidator told may withdraw one of these caches, and the host may
  // then destroy it: nobody is told of it after that.
  FirstFailure failures;
  if (failure) failures.Run([&] { std::rethrow_exception(failure); });
  for (ICascadeInvalidator* invalidator : CascadeInvalidatorHolderFactory::GetInstance().GetInvalidators()) {
    if (invalidator == nullptr) continue;
    for (const auto& cacheAndGuids : pruned) {
      if (WithdrawnSince(cacheAndGuids.first, watch.Mark())) continue;
      failures.Run([&] { invalidator->OnEvicted(cacheAndGuids.second, *cacheAndGuids.first); });
    }
  }
  failures.RethrowIfAny();
}

std::string RedisPubsub::Impl::CheckConsistency() {
  TWriteLockGuard guard(m_lock);
  return m_tracking.CheckConsistency();
}

// --- the exported class ----------------------------------------------------------------

namespace {
void RequireUnitTest(int line) {
  if (!AppConfig::GetInstance().GetUnitTestFlag()) {
    ThrowLogicException(kSource, line, "AppConfig::GetInstance().GetUnitTestFlag()");
  }
}
}  // namespace

RedisPubsub::RedisPubsub(const TString& channel)
    : m_impl(std::make_unique<Impl>(channel, RedisSubscriptionManager::GetInstance(),
                                    [](const TString& channelName, const TString& message) {
                                      RedisSubscriptionManager::GetInstance().TryPublish(channelName, message,
                                                                                         {});
                                    })) {}

RedisPubsub::RedisPubsub(const TString& channel, IRedisSubscriptionManager& subscriptionManager,
                         PublishFunction publish)
    : m_impl(std::make_unique<Impl>(channel, subscriptionManager, std::move(publish))) {}

RedisPubsub::~RedisPubsub() = default;

std::weak_ptr<RedisPubsub> RedisPubsub::GetInstance() {
  RedisSubscriptionManager::GetInstance();
  static InitOnceSlot slot;
  return InitOnceSharedPtr<RedisPubsub>(slot, [] { return std::shared_ptr<RedisPubsub>(new RedisPubsub()); });
}

std::shared_ptr<RedisPubsub> RedisPubsub::CreateTestInstance(const TString& channel,
                                                             IRedisSubscriptionManager& subscriptionManager,
                                                             PublishFunction publish) {
  RequireUnitTest(173);
  // A test that only looks at what the service receives may give no way to
  // publish: its publications then go nowhere, as the process-wide
  // service's do before any server is configured.
  if (!publish) publish = [](const TString&, const TString&) {};
  return std::shared_ptr<RedisPubsub>(new RedisPubsub(channel, subscriptionManager, std::move(publish)));
}

OnAddedMetrics RedisPubsub::OnAdded(Hash entryKeyHash, Hash valueHash, uint64_t timestamp, unsigned guid,
                                    std::weak_ptr<ICoherentCache> cache) {
  return m_impl->OnAdded(entryKeyHash, valueHash, timestamp, guid, std::move(cache));
}

void RedisPubsub::OnRemoved(const ICoherentCache& cache) {
  m_impl->OnRemoved(cache);
}

OnRemovedMetrics RedisPubsub::OnRemoved(const std::vector<unsigned>& guids,
                                        std::weak_ptr<ICoherentCache> cache) {
  return m_impl->OnRemoved(guids, std::move(cache));
}

std::string RedisPubsub::CheckConsistencyTestOnly() {
  RequireUnitTest(__LINE__);
  return m_impl->CheckConsistency();
}

void RedisPubsub::TriggerPruneEvictedEntriesTestOnly(int maxEvictedEntries, int evictedLifetimeSec) {
  RequireUnitTest(180);
  m_impl->TriggerPruneEvictedEntriesTestOnly(maxEvictedEntries, evictedLifetimeSec);
}

}  // namespace kelvra::caching
