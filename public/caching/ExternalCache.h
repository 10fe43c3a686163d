// Second-level ("external") caches: byte buffers kept outside the process's
// memory under text keys, one cache namespace per cache object.
//
// IExternalCache is what every second-level cache offers: asynchronous
// TryStore, TryLoad and TryDrop, each returning a host future at once, plus a
// synchronous TryLoad with a time-out and an optional key listing.
//
// ExternalCache is the frame that the concrete stores share. It does
// everything but the input and output: each operation becomes a host task
// that computes the key hash, applies the store thresholds, takes a slot of
// the process-wide concurrency semaphore, runs the store's own function under
// the operation's time-out, writes one structured log event ("ec-store",
// "ec-load" or "ec-drop") and one metrics scope, and makes the future ready.
// A concrete store derives from ExternalCache<TString, std::vector<uint8_t>>
// and supplies three functions (GetStoreFunc, GetLoadFunc, GetDropFunc) that
// do the input and output; they report failure by raising.
//
// Futures:
//   TryStore  true: stored ("done") or skipped by a threshold ("ignore-fast",
//             "ignore-large-key", "ignore-large"); false: no slot ("jam"),
//             or the function raised or ran out of time ("fail").
//   TryLoad   the value ("hit"); null for "miss", "fail" and "jam".
//   TryDrop   true for "done"; false for "jam" and "fail".
// A task whose launching thread's cancel event (AsyncTask::Cancel) is
// signalled before it starts does not run; its future holds the host's
// CancelException.
//
// Options: the thresholds and time-outs come from kelvra::appoptions when the
// cache is constructed (ExternalCacheLowerBoundLatencyMs for the one-argument
// constructor, ExternalCacheUpperBound2SizeMb, ExternalCacheStoreTimeoutMs,
// ExternalCacheDropTimeoutMs); ExternalCacheUpperBoundKeySizeB is read by
// each store task, ExternalCacheConcurrencyLimit and
// ExternalCacheConcurrencyTimeoutMs by each slot request (the limit only by
// the first one in the process, which creates the semaphore).
//
// Thread rules: a cache object never changes after construction, so every
// operation may be called from any thread at once; no lock is taken. An
// operation's task holds copies of what it uses (key, thresholds, time-outs,
// the function object, a share of the value buffer), never the cache object.
// A store whose functions refer back to the cache object must outlive every
// operation it started, including store and drop functions that outlived
// their time-out and still run.
//
// Ownership: values are std::shared_ptr<std::vector<uint8_t>> buffers that
// the caller must not change once handed over; the frame never copies them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "host/AsyncTaskFuture.h"
#include "host/Export.h"
#include "host/RefCnt.h"
#include "host/TSemaphore.h"
#include "host/TString.h"

namespace kelvra::caching {

// The interface of every second-level cache (instantiated for K = TString,
// V = std::vector<uint8_t>). Thread rules: implementations must allow every
// operation on any thread at once.
template <class K, class V>
class KELCACHE_EXPORT IExternalCache {
 public:
  IExternalCache() = default;
  IExternalCache(const IExternalCache&) = default;
  IExternalCache& operator=(const IExternalCache&) = default;

  // Stores val under key. val must not be null. loadTimeMs: how long the
  // value took to produce; ttlSec: a time to live in seconds, -1 for the
  // store's default (stores may ignore it).
  virtual AsyncTask::Future<bool> TryStore(K key, std::shared_ptr<V> val, unsigned loadTimeMs,
                                           long long ttlSec) const = 0;
  // Synchronous load: starts TryLoad(key) and waits at most timeoutMs for it.
  // Returns the value when it was ready in time, else null (the load goes on
  // by itself and its value is dropped; a deferred load is never run).
  // *timedOut, when timedOut is not null, is set on every return: false when
  // the load was ready in time, true otherwise. Raises what the future holds
  // (a cancellation) on the caller's thread.
  virtual std::shared_ptr<V> TryLoad(K key, unsigned timeoutMs, bool* timedOut) const;
  // Loads the value of key: the value, or null for a miss or a failure.
  virtual AsyncTask::Future<std::shared_ptr<V>> TryLoad(K key) const = 0;
  // Removes key's value.
  virtual AsyncTask::Future<bool> TryDrop(K key) const = 0;
  // The keys the store holds, when it can list them; empty by default.
  virtual std::vector<K> TryGetAllKeys() const;
  virtual ~IExternalCache();
};

// The asynchronous frame over a store's three functions (see the file
// comment). Thread-safe: every member is set by the constructor and never
// changes; no lock.
template <class K, class V>
class KELCACHE_EXPORT ExternalCache : public IExternalCache<K, V> {
 public:
  // store(key, keyHash, value, ttlSec); raises on failure.
  using StoreFunc = std::function<void(K, TString, std::shared_ptr<V>, long long)>;
  // load(key, keyHash): the value, or null when there is none; raises on
  // failure.
  using LoadFunc = std::function<std::shared_ptr<V>(K, TString)>;
  // drop(key, keyHash); raises on failure.
  using DropFunc = std::function<void(K, TString)>;

  // Reads ExternalCacheLowerBoundLatencyMs and delegates with
  // asynchronous = true.
  explicit ExternalCache(TString ns);
  // lowerBoundLatencyMs: values produced faster than this are not stored.
  // Reads ExternalCacheUpperBound2SizeMb, ExternalCacheStoreTimeoutMs and
  // ExternalCacheDropTimeoutMs. asynchronous false makes every task deferred:
  // it runs on the thread that fetches its future's value.
  ExternalCache(TString ns, unsigned lowerBoundLatencyMs, bool asynchronous);
  ExternalCache(const ExternalCache&) = default;

  // Raises LogicException "val" (public/caching/ExternalCache, line 81) on
  // the caller's thread when val is null; nothing is launched then.
  AsyncTask::Future<bool> TryStore(K key, std::shared_ptr<V> val, unsigned loadTimeMs,
                                   long long ttlSec) const override;
  // Both forms: the synchronous one of IExternalCache stays callable.
  using IExternalCache<K, V>::TryLoad;
  AsyncTask::Future<std::shared_ptr<V>> TryLoad(K key) const override;
  AsyncTask::Future<bool> TryDrop(K key) const override;
  ~ExternalCache() override;

  // A copy of the cache namespace given at construction.
  virtual TString GetNamespace() const;

 protected:
  // Each getter is called once per operation, on the caller's thread; the
  // operation keeps the returned function object (not the cache) for its
  // whole life, which may outlast the cache.
  virtual StoreFunc GetStoreFunc() const = 0;
  virtual LoadFunc GetLoadFunc() const = 0;
  virtual DropFunc GetDropFunc() const = 0;

  TString m_namespace;
  // Values that took less than this to produce are not stored.
  std::chrono::milliseconds m_lowerBoundLatency;
  // Values of this many MiB or more are not stored.
  unsigned m_upperBound2SizeMb;
  std::chrono::milliseconds m_storeTimeout;
  std::chrono::milliseconds m_dropTimeout;
  // Host launch mode: 1 asynchronous (thread pool), 2 deferred.
  int m_launch;
};

extern template class IExternalCache<TString, std::vector<uint8_t>>;
extern template class ExternalCache<TString, std::vector<uint8_t>>;

// The key hash: THash32 (XXH32) of the key's UTF-16 bytes seeded with
// 0xDEADBEEF, as an unsigned decimal number ("0" to "4294967295"). It is the
// "key-hash" field of the events and the name of the disk store's entry
// folder.
KELCACHE_EXPORT TString KeyHash(const TString& key);

// Runs fn once, measured, with a time-out, and says whether it returned
// normally in time. Adds to fields "elapsed-ms" (the measured time, six
// significant digits) and, on failure, "problem" ("exception" or "timeout").
// timeout == std::chrono::milliseconds::max(): fn runs on the calling thread
// and is waited for as long as it takes. Otherwise fn runs as a host task and
// Run waits at most timeout; on a time-out it returns false at once with
// "elapsed-ms" set to the time-out in whole milliseconds, and fn goes on by
// itself, writing only its own copy of the fields, never the caller's map.
// Raises the host's CancelException when the task was cancelled before it
// started.
KELCACHE_EXPORT bool Run(std::function<void()> fn, std::unordered_map<TString, TString>& fields,
                         std::chrono::milliseconds timeout);

// Tries to take a slot of the process-wide concurrency semaphore, waiting up
// to ExternalCacheConcurrencyTimeoutMs. The first call in the process creates
// the semaphore with ExternalCacheConcurrencyLimit slots; it lives until the
// process ends. Never null: ask IsAcquired(); the slot, if one was had, goes
// back when the last reference to the scope is released.
KELCACHE_EXPORT RefCntPtr<TSemaphoreScope, RefCntObject> TryAcquireConcurrencySemaphore();

// True when the host configuration enables the external cache
// (AppConfig::GetExternalCacheEnabled) and the option ExternalCacheDisable is
// off; the option is read only when the configuration says yes.
KELCACHE_EXPORT bool ExternalCacheEnabled();

}  // namespace kelvra::caching
