// The asynchronous frame of the second-level caches: the operation tasks,
// Run, the process-wide concurrency semaphore and the key hash.
//
// Every operation prepares on the caller's thread (copies what it needs,
// fetches the store's function), then launches one task. The task follows
//   prepared -> launched -> waiting for a slot -> running the function under
//   Run -> logged -> future ready
// and holds a slot of the concurrency semaphore from the moment it is granted
// until its event is written. Store and drop functions run on one further
// task started by Run, so that the operation can give up at its time-out
// while the function goes on.
#include "public/caching/ExternalCache.h"

#include <exception>
#include <utility>

#include "host/AppConfig.h"
#include "host/AppOptions.h"
#include "host/AsyncTask.h"
#include "host/Errors.h"
#include "host/InitOnce.h"
#include "host/Metrics.h"
#include "host/TElapsedTimer.h"
#include "host/THash.h"
#include "host/TLog.h"

namespace kelvra::caching {

namespace {

using Fields = std::unordered_map<TString, TString>;

constexpr unsigned kKeyHashSeed = 0xDEADBEEF;
// Category mask of the operations' metrics scopes.
constexpr uint64_t kOperationMetricsMask = 0x80000020001;
// The source and line that TryStore's null-value check reports.
constexpr const char* kSource = "public/caching/ExternalCache";
constexpr int kNullValueLine = 81;

// Every task of the frame: no cancellation of a running task, and a task
// cancelled before it starts is not run.
constexpr AsyncTask::LaunchOptions kLaunchOptions{0, false};

// The process-wide concurrency semaphore (see TryAcquireConcurrencySemaphore).
InitOnceSlot s_concurrencySemaphoreSlot;

// The measured call of Run: calls fn, times it, and notes a failure in
// workFields. Never raises.
bool MeasuredCall(const std::function<void()>& fn, Fields& workFields) {
  TElapsedTimer timer(true);
  bool succeeded = true;
  try {
    fn();  // an empty fn raises std::bad_function_call, caught like any other failure
  } catch (...) {
    succeeded = false;
  }
  timer.Stop();
  workFields[u"elapsed-ms"] = TString::number(timer.ElapsedMsec(), 'g', 6);
  if (!succeeded) workFields[u"problem"] = TString(u"exception");
  return succeeded;
}

// The fields every operation starts with.
void PutKeyFields(Fields& fields, const TString& keyHash, const TString& ns, const TString& key) {
  fields[u"key-hash"] = keyHash;
  fields[u"cns"] = ns;
  fields[u"key-size-b"] = TString::number(static_cast<unsigned long long>(key.lengthInBytes()));
}

void SetKeyAttributes(Metrics::Scope& scope, const TString& keyHash, const TString& ns, const TString& key) {
  scope.SetAttribute(u"key-hash", keyHash);
  scope.SetAttribute(u"cns", ns);
  scope.SetAttribute(u"key-size-b", static_cast<int>(key.lengthInBytes()));
}

// Sets the outcome on the scope and the fields, then writes the event.
void Finish(Metrics::Scope& scope, Fields& fields, const TString& eventName, const TString& outcome) {
  scope.SetAttribute(u"outcome", outcome);
  fields[u"outcome"] = outcome;
  LogMessage(TLog::Info, eventName, fields);
}

}  // namespace

TString KeyHash(const TString& key) {
  return TString::number(THash32(key.constData(), key.lengthInBytes(), kKeyHashSeed));
}

bool Run(std::function<void()> fn, Fields& fields, std::chrono::milliseconds timeout) {
  // The work copy is shared with the task, which may outlive this call; the
  // caller's map is never handed to another thread.
  auto work = std::make_shared<Fields>(fields);
  bool result = false;
  if (timeout == std::chrono::milliseconds::max()) {
    result = MeasuredCall(fn, *work);
  } else {
    AsyncTask::Future<bool> future = AsyncTask::Launch(
        AsyncTask::LaunchMode::Asynchronous, [fn = std::move(fn), work] { return MeasuredCall(fn, *work); },
        kLaunchOptions);
    if (future.WaitFor(timeout) != AsyncTask::FutureStatus::Ready) {
      fields[u"problem"] = TString(u"timeout");
      fields[u"elapsed-ms"] = TString::number(static_cast<long long>(timeout.count()));
      return false;
    }
    result = future.Get();  // raises the cancellation of a task that never started
  }
  // The task has ended (or ran here), so nobody else touches the work copy.
  fields = std::move(*work);
  return result;
}

RefCntPtr<TSemaphoreScope, RefCntObject> TryAcquireConcurrencySemaphore() {
  const int limit = kelvra::appoptions::ExternalCacheConcurrencyLimit();
  const std::shared_ptr<TSemaphore>& semaphore = InitOnceSharedPtr<TSemaphore>(
      s_concurrencySemaphoreSlot, [limit] { return TSemaphore::Construct(limit); });
  const int timeoutMs = kelvra::appoptions::ExternalCacheConcurrencyTimeoutMs();
  return RefCntPtr<TSemaphoreScope, RefCntObject>(new TSemaphoreScope(semaphore, timeoutMs));
}

bool ExternalCacheEnabled() {
  return AppConfig::GetInstance().GetExternalCacheEnabled() && !kelvra::appoptions::ExternalCacheDisable();
}

// --- IExternalCache ----------------------------------------------------------

template <class K, class V>
std::shared_ptr<V> IExternalCache<K, V>::TryLoad(K key, unsigned timeoutMs, bool* timedOut) const {
  AsyncTask::Future<std::shared_ptr<V>> future = TryLoad(std::move(key));
  const AsyncTask::FutureStatus status = future.WaitFor(std::chrono::milliseconds(timeoutMs));
  const bool ready = status == AsyncTask::FutureStatus::Ready;
  if (timedOut != nullptr) *timedOut = !ready;
  if (!ready) return nullptr;  // the load finishes by itself; a deferred one never runs
  return future.Get();
}

template <class K, class V>
std::vector<K> IExternalCache<K, V>::TryGetAllKeys() const {
  return {};
}

template <class K, class V>
IExternalCache<K, V>::~IExternalCache() = default;

// --- ExternalCache -----------------------------------------------------------

template <class K, class V>
ExternalCache<K, V>::ExternalCache(TString ns)
    : ExternalCache(std::move(ns),
                    static_cast<unsigned>(kelvra::appoptions::ExternalCacheLowerBoundLatencyMs()), true) {}

template <class K, class V>
ExternalCache<K, V>::ExternalCache(TString ns, unsigned lowerBoundLatencyMs, bool asynchronous)
    : m_namespace(std::move(ns)),
      m_lowerBoundLatency(lowerBoundLatencyMs),
      m_upperBound2SizeMb(static_cast<unsigned>(kelvra::appoptions::ExternalCacheUpperBound2SizeMb())),
      m_storeTimeout(kelvra::appoptions::ExternalCacheStoreTimeoutMs()),
      m_dropTimeout(kelvra::appoptions::ExternalCacheDropTimeoutMs()),
      m_launch(asynchronous ? static_cast<int>(AsyncTask::LaunchMode::Asynchronous)
                            : static_cast<int>(AsyncTask::LaunchMode::Deferred)) {}

template <class K, class V>
ExternalCache<K, V>::~ExternalCache() = default;

template <class K, class V>
TString ExternalCache<K, V>::GetNamespace() const {
  return m_namespace;
}

template <class K, class V>
AsyncTask::Future<bool> ExternalCache<K, V>::TryStore(K key, std::shared_ptr<V> val, unsigned loadTimeMs,
                                                      long long ttlSec) const {
  if (!val) ThrowLogicException(kSource, kNullValueLine, "val");
  auto task = [key = std::move(key), val = std::move(val), loadTimeMs, lowerBound = m_lowerBoundLatency,
               upperBound2SizeMb = m_upperBound2SizeMb, storeFunc = GetStoreFunc(),
               storeTimeout = m_storeTimeout, ns = m_namespace, ttlSec]() -> bool {
    Metrics::Scope scope(u"ec-store", kOperationMetricsMask);
    const TString keyHash = KeyHash(key);
    SetKeyAttributes(scope, keyHash, ns, key);
    scope.SetAttribute(u"value-size-b", static_cast<uint64_t>(val->size()));

    Fields fields;
    PutKeyFields(fields, keyHash, ns, key);
    fields[u"load-time-ms"] = TString::number(loadTimeMs);
    fields[u"lower-bound-ms"] = TString::number(static_cast<long long>(lowerBound.count()));
    fields[u"value-size-b"] = TString::number(static_cast<unsigned long long>(val->size()));

    // Thresholds first, in this order, so that skipped values never wait for
    // a slot.
    RefCntPtr<TSemaphoreScope, RefCntObject> slot;
    TString outcome;
    bool result = true;
    if (static_cast<int64_t>(loadTimeMs) < lowerBound.count()) {
      outcome = u"ignore-fast";
    } else if (static_cast<int>(key.lengthInBytes()) >
               kelvra::appoptions::ExternalCacheUpperBoundKeySizeB()) {
      outcome = u"ignore-large-key";
    } else if ((val->size() >> 20) >= upperBound2SizeMb) {
      outcome = u"ignore-large";
    } else {
      slot = TryAcquireConcurrencySemaphore();
      if (!slot->IsAcquired()) {
        outcome = u"jam";
        result = false;
      } else {
        fields[u"ttl-sec"] = ttlSec == -1 ? TString(u"default") : TString::number(ttlSec);
        result = Run([storeFunc, key, keyHash, val, ttlSec] { storeFunc(key, keyHash, val, ttlSec); }, fields,
                     storeTimeout);
        outcome = result ? u"done" : u"fail";
      }
    }
    Finish(scope, fields, u"ec-store", outcome);
    return result;  // the slot goes back, then the scope closes
  };
  return AsyncTask::Launch(m_launch, std::move(task), kLaunchOptions);
}

template <class K, class V>
AsyncTask::Future<std::shared_ptr<V>> ExternalCache<K, V>::TryLoad(K key) const {
  auto task = [key = std::move(key), loadFunc = GetLoadFunc(), ns = m_namespace]() -> std::shared_ptr<V> {
    Metrics::Scope scope(u"ec-load", kOperationMetricsMask);
    const TString keyHash = KeyHash(key);
    SetKeyAttributes(scope, keyHash, ns, key);
    Fields fields;
    PutKeyFields(fields, keyHash, ns, key);

    std::shared_ptr<V> value;
    TString outcome;
    RefCntPtr<TSemaphoreScope, RefCntObject> slot = TryAcquireConcurrencySemaphore();
    if (!slot->IsAcquired()) {
      outcome = u"jam";
    } else if (Run([&value, &loadFunc, &key, &keyHash] { value = loadFunc(key, keyHash); }, fields,
                   std::chrono::milliseconds::max())) {
      // With the maximal time-out Run calls the function here, on this
      // thread, so the references above stay valid.
      if (value) fields[u"value-size-b"] = TString::number(static_cast<unsigned long long>(value->size()));
      outcome = value ? u"hit" : u"miss";
    } else {
      value.reset();
      outcome = u"fail";
    }
    Finish(scope, fields, u"ec-load", outcome);
    return value;
  };
  return AsyncTask::Launch(m_launch, std::move(task), kLaunchOptions);
}

template <class K, class V>
AsyncTask::Future<bool> ExternalCache<K, V>::TryDrop(K key) const {
  auto task = [dropFunc = GetDropFunc(), key = std::move(key), dropTimeout = m_dropTimeout,
               ns = m_namespace]() -> bool {
    Metrics::Scope scope(u"ec-drop", kOperationMetricsMask);
    const TString keyHash = KeyHash(key);
    SetKeyAttributes(scope, keyHash, ns, key);
    Fields fields;
    PutKeyFields(fields, keyHash, ns, key);

    bool result = false;
    TString outcome;
    RefCntPtr<TSemaphoreScope, RefCntObject> slot = TryAcquireConcurrencySemaphore();
    if (!slot->IsAcquired()) {
      outcome = u"jam";
    } else {
      result = Run([dropFunc, key, keyHash] { dropFunc(key, keyHash); }, fields, dropTimeout);
      outcome = result ? u"done" : u"fail";
    }
    Finish(scope, fields, u"ec-drop", outcome);
    return result;
  };
  return AsyncTask::Launch(m_launch, std::move(task), kLaunchOptions);
}

template class IExternalCache<TString, std::vector<uint8_t>>;
template class ExternalCache<TString, std::vector<uint8_t>>;

}  // namespace kelvra::caching
