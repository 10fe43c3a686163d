// Thread-safe caches: SynchronizedIndexedCache looked up by id, looked up by
// an indexed predicate, and added to with replacement, at 1 and 2 threads,
// beside two baselines that map the same keys to the same objects:
//   SharedMutexMap  std::unordered_map<unsigned, RefCntPtr<RefCntObject>>
//                   behind a std::shared_mutex (shared for lookups, exclusive
//                   for replacements);
//   LevelDbLru      leveldb::NewLRUCache (16 shards, each with its own mutex),
//                   Lookup + Release and Insert with a deleter, keyed by the
//                   4-byte key for lookups by id and by the key text
//                   (std::to_string) for lookups by key and replacements.
//
// Every store holds one object per key, keys 0..n-1. Each operation makes its
// key from the number, as a caller does for its query: kelcache a new KeyIs
// predicate, LevelDB the key text (ids are kept in a table, as callers keep
// the ids they were given). Keeping a ready predicate per key instead would
// charge kelcache a cold reference count per operation that LevelDB's key
// texts, stored inline in a vector, did not pay. Each thread walks its own
// stretch of one shuffled order of all keys, so both threads touch the whole
// population. Times are wall-clock (UseRealTime), so items_per_second at 2
// threads is the combined throughput of both threads.
//
// Thread rules of the harness: the store under test and the key order are
// built by thread 0 before the timed loop (Google Benchmark holds the other
// threads at the loop's start) and only read by the threads inside it, apart
// from the stores' own synchronized operations.
#include <benchmark/benchmark.h>
#include <leveldb/cache.h>
#include <leveldb/slice.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "main/utility/CacheHelpers.h"
#include "main/utility/SynchronizedIndexedCache.h"

using namespace CacheHelpers;

namespace {

// The cached object: a key and a declared size, so that replacements in the
// synchronized cache keep a meaningful byte count.
class Payload : public KelCacheData {
 public:
  explicit Payload(unsigned key) : m_key(key) { SetMemoryUsage(sizeof(Payload)); }
  const unsigned m_key;
};

unsigned KeyOf(const Entry& entry) {
  return static_cast<const Payload&>(*entry.GetData()).m_key;
}

// Matches the entry of one key, answered through the "Key" index.
class KeyIs : public EntryPredicate {
 public:
  explicit KeyIs(unsigned key) : m_key(key), m_keyText(TString::number(key)) {}
  bool Matches(const Entry& entry) override { return KeyOf(entry) == m_key; }
  TString GetIndexName() override { return TString(u"Key"); }
  TString GetKeyForIndexing() override { return m_keyText; }

 private:
  const unsigned m_key;
  const TString m_keyText;
};

[[noreturn]] void SetupFailed(const char* what) {
  std::fprintf(stderr, "benchmark setup failed: %s\n", what);
  std::abort();
}

// ---- The stores ----
// Each offers Build(n), Clear(), LookupById(key), LookupByKey(key) and
// Replace(key), the last putting a new Payload(key) in place of the key's
// object.

class Kelcache {
 public:
  void Build(size_t entries) {
    m_cache.reset();
    m_cache = std::make_unique<SynchronizedIndexedCache>(std::make_shared<MRUPolicy>(UINT64_MAX), nullptr);
    m_cache->AddIndex(u"Key", [](const Entry& entry) { return TString::number(KeyOf(entry)); });
    m_ids.assign(entries, 0);
    for (unsigned key = 0; key < entries; ++key) {
      m_ids[key] = m_cache->AddEntry(RefCntPtr<RefCntObject>(new Payload(key)));
    }
  }
  void Clear() {
    m_cache.reset();
    std::vector<unsigned>().swap(m_ids);
  }
  RefCntPtr<RefCntObject> LookupById(unsigned key) { return m_cache->TryGetEntry(m_ids[key]); }
  RefCntPtr<RefCntObject> LookupByKey(unsigned key) { return m_cache->TryGetEntry(std::make_shared<KeyIs>(key)); }
  void Replace(unsigned key) {
    benchmark::DoNotOptimize(m_cache->AddEntryAndDeleteExistingEntriesItMatches(
        RefCntPtr<RefCntObject>(new Payload(key)), std::make_shared<KeyIs>(key), sizeof(Payload)));
  }

 private:
  std::unique_ptr<SynchronizedIndexedCache> m_cache;
  std::vector<unsigned> m_ids;  // key to entry id as built; replacements change the ids
};

// Thread-safe: m_mutex guards m_objects.
class SharedMutexMap {
 public:
  void Build(size_t entries) {
    std::unique_lock lock(m_mutex);
    m_objects.clear();
    for (unsigned key = 0; key < entries; ++key) m_objects.emplace(key, new Payload(key));
  }
  void Clear() {
    std::unique_lock lock(m_mutex);
    std::unordered_map<unsigned, RefCntPtr<RefCntObject>>().swap(m_objects);
  }
  RefCntPtr<RefCntObject> LookupById(unsigned key) {
    std::shared_lock lock(m_mutex);
    auto found = m_objects.find(key);
    return found != m_objects.end() ? found->second : nullptr;
  }
  RefCntPtr<RefCntObject> LookupByKey(unsigned key) { return LookupById(key); }
  void Replace(unsigned key) {
    RefCntPtr<RefCntObject> replacement(new Payload(key));
    {
      std::unique_lock lock(m_mutex);
      m_objects[key].swap(replacement);
    }
    // The old object is released here, outside the lock, as the synchronized
    // cache hands its deleted entries back to the caller.
  }

 private:
  std::shared_mutex m_mutex;
  std::unordered_map<unsigned, RefCntPtr<RefCntObject>> m_objects;
};

// leveldb::Cache is thread-safe; each of its entries holds one reference to
// its object, released by the deleter.
class LevelDbLru {
 public:
  void Build(size_t entries) {
    // Room for four times the population (charge 1 per entry), so that no
    // shard evicts anything.
    m_byId.reset(leveldb::NewLRUCache(4 * entries));
    m_byText.reset(leveldb::NewLRUCache(4 * entries));
    for (unsigned key = 0; key < entries; ++key) {
      Insert(*m_byId, IdSlice(key), new Payload(key));
      Insert(*m_byText, std::to_string(key), new Payload(key));
    }
    if (m_byId->TotalCharge() != entries || m_byText->TotalCharge() != entries)
      SetupFailed("LevelDB evicted");
  }
  void Clear() {
    m_byId.reset();
    m_byText.reset();
  }
  RefCntPtr<RefCntObject> LookupById(unsigned key) { return Lookup(*m_byId, IdSlice(key)); }
  RefCntPtr<RefCntObject> LookupByKey(unsigned key) { return Lookup(*m_byText, std::to_string(key)); }
  void Replace(unsigned key) { Insert(*m_byText, std::to_string(key), new Payload(key)); }

 private:
  // The key as its 4 bytes in memory.
  static leveldb::Slice IdSlice(const unsigned& key) {
    return leveldb::Slice(reinterpret_cast<const char*>(&key), sizeof(key));
  }
  // The deleter: drops the reference that the LevelDB entry held.
  static void ReleaseObject(const leveldb::Slice&, void* value) {
    static_cast<RefCntObject*>(value)->RemoveReference();
  }
  static void Insert(leveldb::Cache& cache, const leveldb::Slice& key, RefCntObject* object) {
    object->AddReference();
    cache.Release(cache.Insert(key, object, 1, &LevelDbLru::ReleaseObject));
  }
  static RefCntPtr<RefCntObject> Lookup(leveldb::Cache& cache, const leveldb::Slice& key) {
    leveldb::Cache::Handle* handle = cache.Lookup(key);
    if (handle == nullptr) return nullptr;
    RefCntPtr<RefCntObject> object(static_cast<RefCntObject*>(cache.Value(handle)));
    cache.Release(handle);
    return object;
  }

  std::unique_ptr<leveldb::Cache> m_byId;    // 4-byte key to object
  std::unique_ptr<leveldb::Cache> m_byText;  // key text ("123") to object
};

// ---- The shared state of a run ----

// All keys 0..n-1 in one random order.
std::vector<unsigned> s_keyOrder;

// One store per type, rebuilt when the population size changes or when its
// ids are needed after replacements moved them. Only the store under test is
// alive, so that every store is measured next to the same heap.
template <class Store>
struct Prepared {
  static void Release() {
    s_store.Clear();
    s_entries = 0;
  }
  static Store s_store;
  static size_t s_entries;
  static bool s_replaced;
};
template <class Store>
Store Prepared<Store>::s_store;
template <class Store>
size_t Prepared<Store>::s_entries = 0;
template <class Store>
bool Prepared<Store>::s_replaced = false;

// Frees the store that was prepared last.
void (*s_releaseLastStore)() = nullptr;

enum class Operation { kLookupById, kLookupByKey, kReplace };

// Called by thread 0 only, before the timed loop.
template <class Store>
void Prepare(size_t entries, Operation operation) {
  if (s_keyOrder.size() != entries) {
    s_keyOrder.resize(entries);
    std::iota(s_keyOrder.begin(), s_keyOrder.end(), 0u);
    std::shuffle(s_keyOrder.begin(), s_keyOrder.end(), std::mt19937(42));
  }
  using P = Prepared<Store>;
  if (s_releaseLastStore != &P::Release) {
    if (s_releaseLastStore != nullptr) s_releaseLastStore();
    s_releaseLastStore = &P::Release;
  }
  if (P::s_entries != entries || (operation == Operation::kLookupById && P::s_replaced)) {
    P::s_store.Build(entries);
    P::s_entries = entries;
    P::s_replaced = false;
    // The lookups of the timed loops must hit (checked on a sample of keys).
    for (unsigned key = 0; key < entries; key += 7) {
      if (!P::s_store.LookupById(key) || !P::s_store.LookupByKey(key)) SetupFailed("a key is missing");
    }
  }
  if (operation == Operation::kReplace) P::s_replaced = true;
}

template <class Store, Operation operation>
void RunOperation(benchmark::State& state) {
  const size_t entries = static_cast<size_t>(state.range(0));
  if (state.thread_index() == 0) Prepare<Store>(entries, operation);
  // Each thread starts at its own point of the shared order.
  size_t next = entries * static_cast<size_t>(state.thread_index()) / static_cast<size_t>(state.threads());
  for (auto _ : state) {
    const unsigned key = s_keyOrder[next];
    if (++next == entries) next = 0;
    Store& store = Prepared<Store>::s_store;
    if constexpr (operation == Operation::kLookupById) {
      benchmark::DoNotOptimize(store.LookupById(key));
    } else if constexpr (operation == Operation::kLookupByKey) {
      benchmark::DoNotOptimize(store.LookupByKey(key));
    } else {
      store.Replace(key);
    }
  }
  state.SetItemsProcessed(state.iterations());
}

// Each store's three operations, registered under names that say what each
// store does (the stores do different work for the "same" operation):
//   Kelcache/LookupById              SynchronizedIndexedCache::TryGetEntry(id)
//   Kelcache/LookupByIndexedPredicate TryGetEntry(predicate) through the "Key"
//                                    index
//   Kelcache/ReplaceMatchingEntry    AddEntryAndDeleteExistingEntriesItMatches
//                                    (new object, the key's predicate): finds,
//                                    judges and deletes the old entry, indexes
//                                    the new one
//   Map/LookupById, Map/LookupByKey  find under the shared lock (the same probe)
//   Map/ReplaceSlot                  the key's slot swapped under the exclusive lock
//   LevelDb/LookupById               Lookup + Release, the key's 4 bytes as key
//   LevelDb/LookupByKeyText          Lookup + Release, the key's text as key
//   LevelDb/InsertExistingKey        Insert under a key text that is present,
//                                    which replaces its entry (no search by
//                                    content, no index)
template <class Store>
void BM_LookupById(benchmark::State& state) {
  RunOperation<Store, Operation::kLookupById>(state);
}
template <class Store>
void BM_LookupByKey(benchmark::State& state) {
  RunOperation<Store, Operation::kLookupByKey>(state);
}
template <class Store>
void BM_Replace(benchmark::State& state) {
  RunOperation<Store, Operation::kReplace>(state);
}

void Configure(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgName("entries")->Arg(10000)->Arg(100000)->Threads(1)->Threads(2)->UseRealTime();
}

BENCHMARK_TEMPLATE(BM_LookupById, Kelcache)->Name("Kelcache/LookupById")->Apply(Configure);
BENCHMARK_TEMPLATE(BM_LookupById, SharedMutexMap)->Name("Map/LookupById")->Apply(Configure);
BENCHMARK_TEMPLATE(BM_LookupById, LevelDbLru)->Name("LevelDb/LookupById")->Apply(Configure);
BENCHMARK_TEMPLATE(BM_LookupByKey, Kelcache)->Name("Kelcache/LookupByIndexedPredicate")->Apply(Configure);
BENCHMARK_TEMPLATE(BM_LookupByKey, SharedMutexMap)->Name("Map/LookupByKey")->Apply(Configure);
BENCHMARK_TEMPLATE(BM_LookupByKey, LevelDbLru)->Name("LevelDb/LookupByKeyText")->Apply(Configure);
BENCHMARK_TEMPLATE(BM_Replace, Kelcache)->Name("Kelcache/ReplaceMatchingEntry")->Apply(Configure);
BENCHMARK_TEMPLATE(BM_Replace, SharedMutexMap)->Name("Map/ReplaceSlot")->Apply(Configure);
BENCHMARK_TEMPLATE(BM_Replace, LevelDbLru)->Name("LevelDb/InsertExistingKey")->Apply(Configure);

}  // namespace
