// Metrics: timed scopes with attributes, for the host's metrics collection.
//
// A Metrics::Scope measures one operation. It opens only when its category
// mask shares a bit with the process's enabled mask (TestBitsAndContext);
// attributes set on it are kept only while it is open; when it closes (on
// destruction or Close) its record - name, mask, duration in milliseconds on
// the steady clock, attributes - goes to the installed sink and to every live
// Metrics::Capture.
//
//   Metrics::Scope scope(L"ec-store", 0x80000020001);
//   scope.SetAttribute(L"cns", cacheNamespace);
//   scope.SetAttribute(L"value-size-b", uint64_t{size});
//
// The default sink is an AggregatingSink: per scope name, the count, total
// and maximum duration. SetSink installs another.
//
// Thread rules: the free functions, sinks and captures are thread-safe. A
// Scope is a plain value: one thread at a time uses it, and it may be handed
// to another thread, which may close it (it keeps no per-thread state).
// Sinks are called from whichever thread closes a scope, possibly from
// several threads at once, and outside the library's locks with one
// exception: the coherence service's pruning scope
// ("RedisPubsub::PruneEvictedEntries") may close while its caller holds the
// service's lock. A sink must therefore not wait for a lock that a thread
// may hold while it calls the coherence service.
//
// Ownership: sinks are shared (std::shared_ptr); a sink replaced by SetSink
// may still receive records that were being delivered at that moment.
#pragma once

#include <array>
#include <boost/core/noncopyable.hpp>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "host/Export.h"
#include "host/RecordList.h"
#include "host/TMutex.h"
#include "host/TString.h"

namespace Metrics {

// Every category bit.
inline constexpr uint64_t kAllCategories = ~uint64_t{0};

// Whether metrics of a category mask are collected: (mask & enabled) != 0.
// The host has no per-thread metrics context here; the enabled mask alone
// decides.
KELCACHE_EXPORT bool TestBitsAndContext(uint64_t mask) noexcept;
// The enabled categories (default: all).
KELCACHE_EXPORT void SetEnabledMask(uint64_t mask) noexcept;
KELCACHE_EXPORT uint64_t GetEnabledMask() noexcept;

// An attribute's value: text, a signed or unsigned integer, or a double.
using AttributeValue = std::variant<TString, int64_t, uint64_t, double>;
// The value as text (numbers in decimal; doubles as printf's "%.6g").
KELCACHE_EXPORT TString AttributeToString(const AttributeValue& value);

// A closed scope.
struct ScopeRecord {
  TString name;
  uint64_t mask = 0;
  double durationMs = 0;
  // In the order first set; setting a name again replaces its value.
  std::vector<std::pair<TString, AttributeValue>> attributes;

  // The attribute's value, or null when it was not set.
  const AttributeValue* FindAttribute(const TString& attributeName) const {
    for (const auto& attribute : attributes) {
      if (attribute.first == attributeName) return &attribute.second;
    }
    return nullptr;
  }
};

// Where closed scopes go. Implementations must be thread-safe and should be
// quick: they run on the thread that closes the scope.
class KELCACHE_EXPORT ISink {
 public:
  virtual ~ISink();
  virtual void OnScopeClosed(const ScopeRecord& record) = 0;
};

// Upper bounds, in milliseconds, of the duration buckets that the aggregating
// sink counts (a last, unbounded bucket takes the rest): from 0.1 ms, a
// cached lookup, to 10 s, beyond every default time-out.
inline constexpr double kDurationBucketsMs[] = {0.1, 0.25, 0.5, 1,   2.5,  5,    10,   25,
                                                50,  100,  250, 500, 1000, 2500, 5000, 10000};
inline constexpr size_t kDurationBucketCount = std::size(kDurationBucketsMs) + 1;

// The durations of one scope name and outcome (the scope's "outcome"
// attribute; empty when it has none).
struct DurationSeries {
  TString scope;
  TString outcome;
  uint64_t count = 0;
  double totalMs = 0;
  // Scopes per bucket, not cumulative; the last one is unbounded.
  std::array<uint64_t, kDurationBucketCount> buckets{};
};

// Keeps, per scope name, the count and the total and maximum duration, and
// per scope name and outcome a histogram of the durations.
// Thread-safe: m_mutex guards m_stats and m_series.
class KELCACHE_EXPORT AggregatingSink final : public ISink {
 public:
  struct Stats {
    uint64_t count = 0;
    double totalMs = 0;
    double maxMs = 0;
  };

  void OnScopeClosed(const ScopeRecord& record) override;
  // The statistics so far, by name.
  std::map<TString, Stats> Snapshot() const;
  // The histograms so far, sorted by scope name, then outcome.
  std::vector<DurationSeries> SeriesSnapshot() const;
  // The snapshot as a text table, one scope per line sorted by name, with
  // the columns scope, count, total-ms, max-ms and mean-ms.
  TString Render() const;
  void Reset();

 private:
  mutable TMutex m_mutex;
  std::unordered_map<TString, Stats> m_stats KELCACHE_GUARDED_BY(m_mutex);
  // Keyed by scope name, then outcome.
  std::map<std::pair<TString, TString>, DurationSeries> m_series KELCACHE_GUARDED_BY(m_mutex);
};

// The process's aggregating sink, installed until SetSink replaces it.
KELCACHE_EXPORT std::shared_ptr<AggregatingSink> GetDefaultSink();
// Installs the sink; null puts the default aggregating sink back.
KELCACHE_EXPORT void SetSink(std::shared_ptr<ISink> sink);
KELCACHE_EXPORT std::shared_ptr<ISink> GetSink();

// One timed operation (see the header comment). A plain value: one thread
// at a time, which may hand it to another.
class KELCACHE_EXPORT Scope {
 public:
  Scope(const TString& name, uint64_t mask);
  ~Scope();
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

  bool IsOpen() const { return m_open; }

  // Kept only while the scope is open. Signed integers are kept as int64_t,
  // unsigned ones as uint64_t.
  void SetAttribute(const TString& name, const TString& value);
  void SetAttribute(const TString& name, int value) { SetValue(name, int64_t{value}); }
  void SetAttribute(const TString& name, long value) { SetValue(name, int64_t{value}); }
  void SetAttribute(const TString& name, long long value) { SetValue(name, static_cast<int64_t>(value)); }
  void SetAttribute(const TString& name, unsigned value) { SetValue(name, uint64_t{value}); }
  void SetAttribute(const TString& name, unsigned long value) { SetValue(name, uint64_t{value}); }
  void SetAttribute(const TString& name, unsigned long long value) {
    SetValue(name, static_cast<uint64_t>(value));
  }
  void SetAttribute(const TString& name, double value) { SetValue(name, value); }

  // Closes the scope now and delivers its record; later calls, and the
  // destructor, do nothing.
  void Close() noexcept;

 private:
  void SetValue(const TString& name, AttributeValue value);

  bool m_open;
  std::chrono::steady_clock::time_point m_start;
  ScopeRecord m_record;
};

// Records closed scopes while alive, for tests; the installed sink still
// receives them too. Several captures may be alive at once.
// Thread-safe. Lock order: the registry of live captures (in Metrics.cpp)
// before the lock of the capture's record list.
class KELCACHE_EXPORT Capture : boost::noncopyable {
 public:
  Capture();
  ~Capture();

  // Every closed scope so far, in order of closing (a copy).
  std::vector<ScopeRecord> Records() const;
  // The closed scopes of that name.
  std::vector<ScopeRecord> Scopes(const TString& name) const;
  void Clear();

 private:
  friend struct Registry;
  void Add(const ScopeRecord& record);

  RecordList<ScopeRecord> m_records;
};

}  // namespace Metrics
