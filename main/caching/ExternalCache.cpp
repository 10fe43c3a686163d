// The asynchronous frame of the second-level caches: the operation tasks,
// Run, the process-wide concurrency semaphore and the key hash.
//
// Every operation prepares on the caller's thread (copies what it needs,
// fetches the store's function), then launches one task. The task follows
//   prepared -> launched -> waiting for a slot -> running the function under
//   Run -> logged -> future ready
// and holds a slot of the concurrency semaphore from the moment it is granted
// until its event is written.
//
// Time-outs of stores and drops: the operation must give up at its time-out
// while the function goes on. Run does that by running the function on a
// further task and waiting for it. Asynchronous operations get the same
// outcome for one thread hand-over less: their task runs the function itself
// (at the task depth the further task would have) and a DeadlineTimer
// callback stands in for it at the time-out. Whichever
// of the two claims the operation first finishes it (outcome, event, slot,
// scope, future; the timer's callback hands that work to a task of its own);
// the other does nothing more, and a function that ran late writes only its
// own copy of the fields, exactly as under Run. Deferred operations, whose
// task runs on the thread that waits for the future, keep Run: that thread
// must be free again at the time-out.
#include "public/caching/ExternalCache.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <exception>
#include <utility>

#include "host/AppConfig.h"
#include "host/AppOptions.h"
#include "host/AsyncTask.h"
#include "host/DeadlineTimer.h"
#include "host/Errors.h"
#include "host/ForkGeneration.h"
#include "host/InitOnce.h"
#include "host/LongestWait.h"
#include "host/Metrics.h"
#include "host/TElapsedTimer.h"
#include "host/THash.h"
#include "host/TLog.h"

namespace kelvra::caching {

namespace {

// The key's size in bytes for the key bound's signed int comparison, held at
// INT_MAX: a key of 2 GiB or more must not wrap round to a small or negative
// size and pass the bound.
int KeyBytesAsInt(const TString& key) {
  return static_cast<int>(std::min<size_t>(key.lengthInBytes(), INT_MAX));
}

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

// The process-wide concurrency semaphore, of ExternalCacheConcurrencyLimit
// slots as the option is at the first request (see
// TryAcquireConcurrencySemaphore). A child forked without exec gets a new one
// of the same size: the slots that the parent's operations held at the fork
// would never come back in it, since those operations' threads are not in it.
InitOnceSlot s_concurrencySemaphoreSlot;

struct ConcurrencySlots {
  static ConcurrencySlots* MakeFirst() {
    const int limit = kelvra::appoptions::ExternalCacheConcurrencyLimit();
    return new ConcurrencySlots{limit, InitOnceSharedPtr<TSemaphore>(s_concurrencySemaphoreSlot, [limit] {
                                  return TSemaphore::Construct(limit);
                                })};
  }
  static ConcurrencySlots* MakeInChild(const ConcurrencySlots& parent) {
    return new ConcurrencySlots{parent.limit, TSemaphore::Construct(parent.limit)};
  }
  static const std::shared_ptr<TSemaphore>& Semaphore() {
    return ForkReplacedInstance<ConcurrencySlots, &MakeFirst, &MakeInChild>::Get().semaphore;
  }

  const int limit;
  const std::shared_ptr<TSemaphore> semaphore;
};

// What the measured call of Run found: whether fn returned normally, and how
// long it took.
struct Measurement {
  bool succeeded = true;
  double elapsedMs = 0;

  // Adds "elapsed-ms" (six significant digits) and, after a failure,
  // "problem" "exception" to the fields.
  void AddTo(Fields& fields) const {
    fields[u"elapsed-ms"] = TString::number(elapsedMs, 'g', 6);
    if (!succeeded) fields[u"problem"] = TString(u"exception");
  }
};

// The measured call of Run: calls fn and times it. Never raises.
Measurement Measure(const std::function<void()>& fn) {
  Measurement measurement;
  TElapsedTimer timer(true);
  try {
    fn();  // an empty fn raises std::bad_function_call, caught like any other failure
  } catch (...) {
    measurement.succeeded = false;
  }
  timer.Stop();
  measurement.elapsedMs = timer.ElapsedMsec();
  return measurement;
}

bool MeasuredCall(const std::function<void()>& fn, Fields& workFields) {
  const Measurement measurement = Measure(fn);
  measurement.AddTo(workFields);
  return measurement.succeeded;
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

// One store or drop of an asynchronous cache, from its start to its event:
// shared by the operation's task and, once the function runs, the time-out
// callback. Until the function starts only the task touches it; afterwards
// only the one that claimed it (claimed) does, or the task that the time-out
// callback hands the completion to.
struct TimedOperation {
  TimedOperation(const TString& eventName, std::shared_ptr<AsyncTask::SharedState<bool>> state)
      : event(eventName), scope(eventName, kOperationMetricsMask), future(std::move(state)) {}

  // True for exactly one caller: the one that finishes the operation.
  bool Claim() { return !claimed.exchange(true, std::memory_order_acq_rel); }

  // Outcome and event, slot back, scope closed, then the future.
  void Complete(const TString& outcome, bool result) {
    Finish(scope, fields, event, outcome);
    slot.reset();
    scope.Close();
    future->SetValue(result);
  }

  const TString event;
  Metrics::Scope scope;
  Fields fields;
  RefCntPtr<TSemaphoreScope, RefCntObject> slot;
  const std::shared_ptr<AsyncTask::SharedState<bool>> future;
  std::atomic<bool> claimed{false};
};

// Runs the function of `operation` on this thread under `timeout`, as Run
// would (same fields, same outcomes), and completes the operation with "done"
// or "fail". A time-out callback completes it with "problem" "timeout" if the
// function is still running then. False, with nothing run, when no time-out
// could be scheduled (the timer's thread could not be made): the caller then
// times the function through Run.
bool RunTimed(const std::shared_ptr<TimedOperation>& operation, const std::function<void()>& fn,
              std::chrono::milliseconds timeout) {
  // Run would have launched a task here; one cancelled before it starts is
  // not run, and the cancellation reaches the operation's future.
  if (std::shared_ptr<AsyncTask::CancelEvent> cancel = AsyncTask::Cancel::Get(); cancel && cancel->IsSignaled()) {
    throw AsyncTask::CancelException();
  }
  AsyncTask::DeadlineTimer& timer = AsyncTask::DeadlineTimer::Instance();
  AsyncTask::DeadlineTimer::Handle handle = 0;
  try {
    const auto deadline = std::chrono::steady_clock::now() + host_internal::WithinACentury(timeout);
    handle = timer.Schedule(deadline, [operation, timeout]() noexcept {
      if (!operation->Claim()) return;
      auto complete = [operation, timeout] {
        try {
          operation->fields[u"problem"] = TString(u"timeout");
          operation->fields[u"elapsed-ms"] = TString::number(static_cast<long long>(timeout.count()));
          operation->Complete(u"fail", false);
        } catch (...) {
          operation->future->SetException(std::current_exception());
        }
      };
      // The completion writes the event and closes the scope, so the log
      // and the metrics sink run in it. It gets a task of its own: on the
      // timer's one thread a slow sink would hold back every other
      // operation's time-out. Time-outs are rare, the extra hand-off is not
      // on any usual path.
      try {
        AsyncTask::StartOnPoolOrDedicatedThread(complete);
      } catch (...) {
        complete();  // not even the task could be made: finish here
      }
    });
  } catch (...) {
    // Claimed, so that a callback the timer may have queued before it
    // failed can never complete the operation a second time; when that
    // callback claimed it first, the operation is timing out already.
    if (!operation->Claim()) return true;
    return false;
  }
  Measurement measurement;
  {
    // The function sees the task depth that the task Run launches would
    // give it: one more than the operation's own.
    AsyncTask::TLS::DepthScope depth(AsyncTask::TLS::GetDepth() + 1);
    measurement = Measure(fn);
  }
  if (!operation->Claim()) return true;  // timed out: the late result goes nowhere
  timer.Cancel(handle);
  // What Run's work copy would bring back: the earlier fields plus these.
  measurement.AddTo(operation->fields);
  operation->Complete(measurement.succeeded ? u"done" : u"fail", measurement.succeeded);
  return true;
}

// Launches `body` (given the operation's future) as a task in `mode`, with
// the frame's cancellation rules: a task cancelled before it starts does not
// run and its future holds the cancellation; an exception that escapes the
// body goes into the future unless the body made it ready already. A deferred
// task runs on the first thread that waits for the future without a limit.
template <class Body>
AsyncTask::Future<bool> LaunchOperation(int mode, Body body) {
  using State = AsyncTask::SharedState<bool>;
  auto state = std::make_shared<State>();
  state->SetWhenCanceled(kLaunchOptions.whenCanceled);
  state->SetIgnoreCancelBeforeStart(kLaunchOptions.ignoreCancelBeforeStart);
  auto run = [body = std::move(body), context = AsyncTask::detail::CaptureTaskContext()](
                 const std::shared_ptr<State>& target) {
    if (AsyncTask::detail::CancelBeforeStart(*target, context)) return;
    AsyncTask::Cancel::Scope cancelScope(context.cancelEvent);
    AsyncTask::TLS::DepthScope depthScope(context.depth);
    try {
      body(target);
    } catch (...) {
      target->SetExceptionIfPending(std::current_exception());
    }
  };
  if (mode == static_cast<int>(AsyncTask::LaunchMode::Deferred)) {
    // The state keeps this task, so the task holds the state weakly.
    std::weak_ptr<State> weakState = state;
    state->SetDeferred([weakState, run = std::move(run)] {
      if (auto strongState = weakState.lock()) run(strongState);
    });
  } else {
    AsyncTask::StartOnPoolOrDedicatedThread([state, run = std::move(run)] { run(state); });
  }
  return AsyncTask::Future<bool>(std::move(state));
}

// Runs the store or drop function of `operation` under `timeout` and
// completes the operation: on this thread with a time-out callback when the
// cache is asynchronous, through Run when it is deferred (its thread waits
// for the future and must be free at the time-out) or when the time-out is
// not positive (Run then gives up at once, as it always did). A time-out of
// a century or more (milliseconds::max(), which a derived store may set,
// included) is a century: the function runs to its end.
void RunFunction(const std::shared_ptr<TimedOperation>& operation, const std::function<void()>& fn,
                 std::chrono::milliseconds timeout, int mode) {
  if (mode != static_cast<int>(AsyncTask::LaunchMode::Deferred) && timeout > std::chrono::milliseconds(0) &&
      RunTimed(operation, fn, timeout)) {
    return;
  }
  const bool succeeded = Run(fn, operation->fields, timeout);  // raises a cancellation
  operation->Complete(succeeded ? u"done" : u"fail", succeeded);
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
  const std::shared_ptr<TSemaphore>& semaphore = ConcurrencySlots::Semaphore();
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
               storeTimeout = m_storeTimeout, ns = m_namespace, ttlSec,
               mode = m_launch](const std::shared_ptr<AsyncTask::SharedState<bool>>& future) {
    auto operation = std::make_shared<TimedOperation>(u"ec-store", future);
    const TString keyHash = KeyHash(key);
    SetKeyAttributes(operation->scope, keyHash, ns, key);
    operation->scope.SetAttribute(u"value-size-b", static_cast<uint64_t>(val->size()));

    Fields& fields = operation->fields;
    PutKeyFields(fields, keyHash, ns, key);
    fields[u"load-time-ms"] = TString::number(loadTimeMs);
    fields[u"lower-bound-ms"] = TString::number(static_cast<long long>(lowerBound.count()));
    fields[u"value-size-b"] = TString::number(static_cast<unsigned long long>(val->size()));

    // Thresholds first, in this order, so that skipped values never wait for
    // a slot.
    if (static_cast<int64_t>(loadTimeMs) < lowerBound.count()) {
      operation->Complete(u"ignore-fast", true);
    } else if (KeyBytesAsInt(key) > kelvra::appoptions::ExternalCacheUpperBoundKeySizeB()) {
      operation->Complete(u"ignore-large-key", true);
    } else if ((val->size() >> 20) >= upperBound2SizeMb) {
      operation->Complete(u"ignore-large", true);
    } else if (!(operation->slot = TryAcquireConcurrencySemaphore())->IsAcquired()) {
      operation->Complete(u"jam", false);
    } else {
      fields[u"ttl-sec"] = ttlSec == -1 ? TString(u"default") : TString::number(ttlSec);
      RunFunction(operation, [storeFunc, key, keyHash, val, ttlSec] { storeFunc(key, keyHash, val, ttlSec); },
                  storeTimeout, mode);
    }
  };
  return LaunchOperation(m_launch, std::move(task));
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
  auto task = [dropFunc = GetDropFunc(), key = std::move(key), dropTimeout = m_dropTimeout, ns = m_namespace,
               mode = m_launch](const std::shared_ptr<AsyncTask::SharedState<bool>>& future) {
    auto operation = std::make_shared<TimedOperation>(u"ec-drop", future);
    const TString keyHash = KeyHash(key);
    SetKeyAttributes(operation->scope, keyHash, ns, key);
    PutKeyFields(operation->fields, keyHash, ns, key);
    if (!(operation->slot = TryAcquireConcurrencySemaphore())->IsAcquired()) {
      operation->Complete(u"jam", false);
      return;
    }
    RunFunction(operation, [dropFunc, key, keyHash] { dropFunc(key, keyHash); }, dropTimeout, mode);
  };
  return LaunchOperation(m_launch, std::move(task));
}

template class IExternalCache<TString, std::vector<uint8_t>>;
template class ExternalCache<TString, std::vector<uint8_t>>;

}  // namespace kelvra::caching
