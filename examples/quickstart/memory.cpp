// In-memory caches: keep computed objects, find them again by a named index,
// and let entries that nobody used for a while age out.
#include <kelcache.h>

#include <cstdio>
#include <memory>
#include <string>

// What the host caches: any reference-counted object. A KelCacheData also
// tells its size, which the cache takes off its byte count when a replacement,
// a deletion through an index or Purge removes it (IncrementClock, OnDirty and
// a deletion by a predicate that names no index leave the count).
struct Chart : KelCacheData {
  Chart(std::string workbook, std::string image) : workbook(std::move(workbook)), image(std::move(image)) {
    SetMemoryUsage(this->image.size());
  }
  std::string workbook;
  std::string image;
};

// "The chart of this workbook", answered through the "Workbook" index.
struct ChartOf : CacheHelpers::EntryPredicate {
  explicit ChartOf(std::string workbook) : workbook(std::move(workbook)) {}
  bool Matches(const CacheHelpers::Entry& entry) override {
    return static_cast<const Chart&>(*entry.GetData()).workbook == workbook;
  }
  TString GetIndexName() override { return u"Workbook"; }
  TString GetKeyForIndexing() override { return TString::fromStdString(workbook); }
  std::string workbook;
};

int main() {
  // Thread-safe; entries unused for more than 2 clock ticks go at the next tick.
  SynchronizedIndexedCache cache(std::make_shared<CacheHelpers::LifetimePolicy>(2), nullptr);
  cache.AddIndex(u"Workbook", [](const CacheHelpers::Entry& entry) {
    return TString::fromStdString(static_cast<const Chart&>(*entry.GetData()).workbook);
  });

  // Adding by key replaces what the key held; the addition declares the
  // bytes it adds (the count starts at the cache's own size).
  for (const char* workbook : {"sales", "costs"}) {
    auto chart = RefCntPtr<Chart>(new Chart(workbook, "<png: 4 kB>"));
    cache.AddEntryAndDeleteExistingEntriesItMatches(chart, std::make_shared<ChartOf>(workbook), chart->image.size());
  }
  std::printf("%llu entries, %llu bytes\n", static_cast<unsigned long long>(cache.GetEntryCount()),
              static_cast<unsigned long long>(cache.GetCacheSizeBytes()));

  for (int tick = 1; tick <= 3; ++tick) {
    // A lookup is a use: it keeps "sales" young.
    RefCntPtr<RefCntObject> hit = cache.TryGetEntry(std::make_shared<ChartOf>("sales"));
    std::printf("tick %d: sales is %s; ", tick, hit ? static_cast<const Chart&>(*hit).image.c_str() : "gone");
    const EntrySet aged = cache.IncrementClock();
    std::printf("%zu aged out, %llu left\n", aged.size(), static_cast<unsigned long long>(cache.GetEntryCount()));
  }
  return cache.GetEntryCount() == 1 ? 0 : 1;
}
