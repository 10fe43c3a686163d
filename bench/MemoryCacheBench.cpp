// In-memory caches: addition and lookup throughput, indexed against scanned
// predicates, the MRU selection against a full sort, and a clock tick under
// the lifetime policy.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "main/utility/Cache.h"
#include "main/utility/IndexedCache.h"

using namespace CacheHelpers;

namespace {

class Payload : public RefCntObject {
 public:
  explicit Payload(unsigned group) : m_group(group) {}
  unsigned m_group;  // the "Group" index lists the entry under this number
};

unsigned GroupOf(const Entry& entry) {
  return static_cast<const Payload&>(*entry.GetData()).m_group;
}
TString GroupKey(const Entry& entry) {
  return TString::number(GroupOf(entry));
}

// Matches the entries of one group; names the "Group" index only when asked
// to, so that the same test runs indexed or by a scan.
class GroupIs : public EntryPredicate {
 public:
  GroupIs(unsigned group, bool indexed) : m_group(group), m_indexed(indexed) {}
  bool Matches(const Entry& entry) override { return GroupOf(entry) == m_group; }
  TString GetIndexName() override { return m_indexed ? TString(u"Group") : TString(); }
  TString GetKeyForIndexing() override { return TString::number(m_group); }

 private:
  unsigned m_group;
  bool m_indexed;
};

// Ten entries per group: what a per-key hint list looks like after pruning.
constexpr unsigned kEntriesPerGroup = 10;

std::unique_ptr<IndexedCache> MakeIndexedCache(size_t entries) {
  auto cache = std::make_unique<IndexedCache>(std::make_shared<MRUPolicy>(UINT64_MAX), nullptr);
  cache->AddIndex(u"Group", GroupKey);
  for (size_t i = 0; i < entries; ++i) {
    cache->AddEntry(RefCntPtr<RefCntObject>(new Payload(static_cast<unsigned>(i / kEntriesPerGroup))));
  }
  return cache;
}

// ---- Addition ----

constexpr size_t kAddBatch = 100000;

void BM_Cache_AddEntry(benchmark::State& state) {
  Cache cache(std::make_shared<MRUPolicy>(UINT64_MAX));
  RefCntPtr<RefCntObject> data(new Payload(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(cache.AddEntry(data));
    if (cache.GetSize() == kAddBatch) {
      state.PauseTiming();
      cache.DeleteEntries();
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Cache_AddEntry);

// Arg: the number of indexes (0 or 1).
void BM_IndexedCache_AddEntry(benchmark::State& state) {
  IndexedCache cache(std::make_shared<MRUPolicy>(UINT64_MAX), nullptr);
  if (state.range(0) > 0) cache.AddIndex(u"Group", GroupKey);
  unsigned next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(cache.AddEntry(RefCntPtr<RefCntObject>(new Payload(next++ / kEntriesPerGroup))));
    if (cache.GetEntryCount() == kAddBatch) {
      state.PauseTiming();
      cache.DeleteEntries();
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IndexedCache_AddEntry)->ArgName("indexes")->Arg(0)->Arg(1);

// ---- Use by id ----

constexpr size_t kLookupEntries = 100000;

std::vector<unsigned> ShuffledIds(std::vector<unsigned> ids) {
  std::shuffle(ids.begin(), ids.end(), std::mt19937(42));
  return ids;
}

void BM_Cache_UseEntryById(benchmark::State& state) {
  Cache cache(std::make_shared<MRUPolicy>(UINT64_MAX));
  std::vector<unsigned> ids;
  for (size_t i = 0; i < kLookupEntries; ++i)
    ids.push_back(cache.AddEntry(RefCntPtr<RefCntObject>(new Payload(0))));
  ids = ShuffledIds(std::move(ids));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(cache.UseEntry(ids[i]));
    if (++i == ids.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Cache_UseEntryById);

void BM_IndexedCache_UseEntryById(benchmark::State& state) {
  auto cache = MakeIndexedCache(kLookupEntries);
  std::vector<unsigned> ids;
  for (const Entry& entry : cache->GetEntries()) ids.push_back(entry.GetID());
  ids = ShuffledIds(std::move(ids));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(cache->UseEntry(ids[i]));
    if (++i == ids.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IndexedCache_UseEntryById);

// ---- Use by predicate: indexed against scan ----

// One cache per size, shared by the indexed and the scanning run at that size
// (they are registered next to each other), so that the 10^6 population is
// built once.
IndexedCache& CacheOfSize(size_t entries) {
  static size_t s_size = 0;
  static std::unique_ptr<IndexedCache> s_cache;
  if (s_size != entries) {
    s_cache.reset();
    s_cache = MakeIndexedCache(entries);
    s_size = entries;
  }
  return *s_cache;
}

// Args: entries, indexed (1) or scan (0). The lookups ask for every group of
// the population once, in a random order, then again: a few hot groups would
// stay in the processor caches and hide what a large population costs.
void BM_IndexedCache_UseEntryByPredicate(benchmark::State& state) {
  const size_t entries = static_cast<size_t>(state.range(0));
  const bool indexed = state.range(1) != 0;
  IndexedCache& cache = CacheOfSize(entries);
  std::vector<unsigned> groups(entries / kEntriesPerGroup);
  std::iota(groups.begin(), groups.end(), 0u);
  std::shuffle(groups.begin(), groups.end(), std::mt19937(7));
  std::vector<std::shared_ptr<EntryPredicate>> predicates;
  predicates.reserve(groups.size());
  for (unsigned group : groups) predicates.push_back(std::make_shared<GroupIs>(group, indexed));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(cache.UseEntry(predicates[i]));
    i = (i + 1) % predicates.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IndexedCache_UseEntryByPredicate)
    ->ArgNames({"entries", "indexed"})
    ->ArgsProduct({{1000, 10000, 100000, 1000000}, {1, 0}});

// The floor under the lookups above: one read of memory whose address comes
// from the read before, over a buffer of the given size (one random cycle
// through all its cache lines). An indexed lookup makes two such reads that
// wait for each other: the key's hint record, then the entry and its object
// (asked for together). At 10^6 entries the cache and its objects take about
// 430 MiB, so each of those reads costs what a chase over hundreds of MiB does.
void BM_DependentRead(benchmark::State& state) {
  constexpr size_t kLine = 64;
  const size_t lines = (static_cast<size_t>(state.range(0)) << 20) / kLine;
  struct alignas(kLine) Line {
    size_t next;
  };
  std::vector<Line> buffer(lines);
  std::vector<size_t> order(lines);
  std::iota(order.begin(), order.end(), size_t{0});
  std::shuffle(order.begin(), order.end(), std::mt19937_64(11));
  for (size_t i = 0; i < lines; ++i) buffer[order[i]].next = order[(i + 1) % lines];
  size_t at = order[0];
  for (auto _ : state) {
    at = buffer[at].next;
    benchmark::DoNotOptimize(at);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DependentRead)->ArgName("mib")->Arg(1)->Arg(8)->Arg(64)->Arg(512);

// ---- MRU selection against a full sort ----

constexpr size_t kPurgeEntries = 100000;

// Entries with distinct clocks in random order.
EntrySet EntriesWithShuffledClocks(size_t count) {
  std::vector<uint64_t> clocks(count);
  std::iota(clocks.begin(), clocks.end(), 0);
  std::shuffle(clocks.begin(), clocks.end(), std::mt19937(3));
  EntrySet set;
  RefCntPtr<RefCntObject> data(new Payload(0));
  for (uint64_t clock : clocks) set.insert(Entry(data, clock));
  return set;
}

// The same steps as MRUPolicy::Purge with std::sort in place of the
// nth-element selection.
class SortingMRUPolicy : public IPolicy {
 public:
  explicit SortingMRUPolicy(uint64_t limit) : m_limit(limit) {}
  EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last, uint64_t) override {
    EntrySet result(first, last);
    if (result.size() <= m_limit) return result;
    std::vector<Entry> entries(result.begin(), result.end());
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.GetClock() > b.GetClock(); });
    entries.resize(m_limit);
    result.clear();
    result.insert(std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()));
    return result;
  }

 private:
  uint64_t m_limit;
};

// Arg: 0 = MRUPolicy (nth_element), 1 = the same with a full sort. Keeps half.
void BM_MRUPolicy_Purge(benchmark::State& state) {
  const EntrySet entries = EntriesWithShuffledClocks(kPurgeEntries);
  std::unique_ptr<IPolicy> policy;
  if (state.range(0) == 0) {
    policy = std::make_unique<MRUPolicy>(kPurgeEntries / 2);
  } else {
    policy = std::make_unique<SortingMRUPolicy>(kPurgeEntries / 2);
  }
  for (auto _ : state) benchmark::DoNotOptimize(policy->Purge(entries.begin(), entries.end(), 0));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kPurgeEntries));
}
BENCHMARK(BM_MRUPolicy_Purge)->ArgName("sort")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The selection step alone over a vector copy: nth_element (0) or sort (1).
void BM_SelectNewestHalf(benchmark::State& state) {
  const EntrySet set = EntriesWithShuffledClocks(kPurgeEntries);
  const std::vector<Entry> source(set.begin(), set.end());
  auto newerFirst = [](const Entry& a, const Entry& b) { return a.GetClock() > b.GetClock(); };
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<Entry> entries = source;
    state.ResumeTiming();
    if (state.range(0) == 0) {
      std::nth_element(entries.begin(), entries.begin() + kPurgeEntries / 2, entries.end(), newerFirst);
    } else {
      std::sort(entries.begin(), entries.end(), newerFirst);
    }
    benchmark::DoNotOptimize(entries.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kPurgeEntries));
}
BENCHMARK(BM_SelectNewestHalf)->ArgName("sort")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// ---- A clock tick under LifetimePolicy ----

// 10^5 entries that all stay young: the cost of one tick when nothing goes
// (the policy still judges every entry).
void BM_Cache_IncrementClock_Lifetime(benchmark::State& state) {
  Cache cache(UINT64_MAX / 2);
  for (size_t i = 0; i < kPurgeEntries; ++i) cache.AddEntry(RefCntPtr<RefCntObject>(new Payload(0)));
  for (auto _ : state) benchmark::DoNotOptimize(cache.IncrementClock());
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kPurgeEntries));
}
BENCHMARK(BM_Cache_IncrementClock_Lifetime)->Unit(benchmark::kMillisecond);

void BM_IndexedCache_IncrementClock_Lifetime(benchmark::State& state) {
  IndexedCache cache(UINT64_MAX / 2);
  cache.AddIndex(u"Group", GroupKey);
  for (size_t i = 0; i < kPurgeEntries; ++i) {
    cache.AddEntry(RefCntPtr<RefCntObject>(new Payload(static_cast<unsigned>(i / kEntriesPerGroup))));
  }
  for (auto _ : state) benchmark::DoNotOptimize(cache.IncrementClock());
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kPurgeEntries));
}
BENCHMARK(BM_IndexedCache_IncrementClock_Lifetime)->Unit(benchmark::kMillisecond);

// Steady churn: lifetime 10, a tenth of the 10^5 entries is added at each tick
// and the tenth added 11 ticks ago goes. The tick (policy, index removal,
// notifications) is timed; the additions are not.
void BM_IndexedCache_IncrementClock_LifetimeChurn(benchmark::State& state) {
  constexpr size_t kPerTick = kPurgeEntries / 10;
  IndexedCache cache(10);
  cache.AddIndex(u"Group", GroupKey);
  unsigned next = 0;
  auto addSlice = [&] {
    for (size_t i = 0; i < kPerTick; ++i) {
      cache.AddEntry(RefCntPtr<RefCntObject>(new Payload(next++ / kEntriesPerGroup)));
    }
  };
  for (int tick = 0; tick < 11; ++tick) {
    addSlice();
    cache.IncrementClock();
  }
  for (auto _ : state) {
    state.PauseTiming();
    addSlice();
    state.ResumeTiming();
    benchmark::DoNotOptimize(cache.IncrementClock());
  }
  state.counters["entries"] = static_cast<double>(cache.GetEntryCount());
}
BENCHMARK(BM_IndexedCache_IncrementClock_LifetimeChurn)->Unit(benchmark::kMillisecond);

}  // namespace
