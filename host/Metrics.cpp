#include "host/Metrics.h"
#include "host/TMutex.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <string>

namespace Metrics {

// The process-wide metrics state: the enabled mask, the installed sink and
// the live captures.
//
// Thread-safe: m_enabledMask is atomic; m_mutex guards m_sink and
// m_captures. Closing a scope holds m_mutex once, briefly, to copy the sink
// pointer and hand the record to live captures (the mutex of each capture's
// record list is taken inside: lock order m_mutex, then that one); the sink
// itself is called after m_mutex is released.
//
// Created on first use and never destroyed, so scopes closed during static
// destruction find it intact.
struct Registry {
  static Registry& Get() {
    static Registry* registry = new Registry();
    return *registry;
  }

  void Deliver(const ScopeRecord& record) {
    std::shared_ptr<ISink> sink;
    {
      TMutexLock lock(m_mutex);
      sink = m_sink;
      for (Capture* capture : m_captures) capture->Add(record);
    }
    if (sink) sink->OnScopeClosed(record);
  }

  std::atomic<uint64_t> m_enabledMask{kAllCategories};
  const std::shared_ptr<AggregatingSink> m_defaultSink = std::make_shared<AggregatingSink>();
  TMutex m_mutex;
  std::shared_ptr<ISink> m_sink KELCACHE_GUARDED_BY(m_mutex) = m_defaultSink;
  std::vector<Capture*> m_captures KELCACHE_GUARDED_BY(m_mutex);
};

// Made when the library loads, not at a first use in a noexcept function,
// where running out of memory would end the process.
[[maybe_unused]] const bool s_registryMade = (Registry::Get(), true);

bool TestBitsAndContext(uint64_t mask) noexcept {
  return (mask & Registry::Get().m_enabledMask.load(std::memory_order_relaxed)) != 0;
}

void SetEnabledMask(uint64_t mask) noexcept {
  Registry::Get().m_enabledMask.store(mask);
}

uint64_t GetEnabledMask() noexcept {
  return Registry::Get().m_enabledMask.load();
}

TString AttributeToString(const AttributeValue& value) {
  if (const auto* text = std::get_if<TString>(&value)) return *text;
  if (const auto* number = std::get_if<int64_t>(&value))
    return TString::number(static_cast<long long>(*number));
  if (const auto* number = std::get_if<uint64_t>(&value)) {
    return TString::number(static_cast<unsigned long long>(*number));
  }
  return TString::number(std::get<double>(value));
}

ISink::~ISink() = default;

void AggregatingSink::OnScopeClosed(const ScopeRecord& record) {
  TMutexLock lock(m_mutex);
  auto found = m_stats.find(record.name);
  if (found == m_stats.end()) found = m_stats.emplace(record.name, Stats{}).first;
  Stats& stats = found->second;
  ++stats.count;
  stats.totalMs += record.durationMs;
  stats.maxMs = std::max(stats.maxMs, record.durationMs);

  const AttributeValue* outcome = record.FindAttribute(TString(u"outcome"));
  const TString outcomeText = outcome != nullptr ? AttributeToString(*outcome) : TString();
  auto series = m_series.find({record.name, outcomeText});
  if (series == m_series.end()) {
    DurationSeries fresh;
    fresh.scope = record.name;
    fresh.outcome = outcomeText;
    series = m_series.emplace(std::make_pair(record.name, outcomeText), std::move(fresh)).first;
  }
  DurationSeries& histogram = series->second;
  ++histogram.count;
  histogram.totalMs += record.durationMs;
  const auto bucket = std::lower_bound(std::begin(kDurationBucketsMs), std::end(kDurationBucketsMs),
                                       record.durationMs);
  ++histogram.buckets[static_cast<size_t>(bucket - std::begin(kDurationBucketsMs))];
}

std::vector<DurationSeries> AggregatingSink::SeriesSnapshot() const {
  TMutexLock lock(m_mutex);
  std::vector<DurationSeries> series;
  series.reserve(m_series.size());
  for (const auto& [key, histogram] : m_series) series.push_back(histogram);
  return series;
}

std::map<TString, AggregatingSink::Stats> AggregatingSink::Snapshot() const {
  TMutexLock lock(m_mutex);
  return std::map<TString, Stats>(m_stats.begin(), m_stats.end());
}

TString AggregatingSink::Render() const {
  const std::map<TString, Stats> snapshot = Snapshot();
  std::vector<std::pair<std::string, Stats>> rows;
  size_t nameWidth = 5;  // "scope"
  for (const auto& [name, stats] : snapshot) {
    rows.emplace_back(name.toStdString(), stats);
    nameWidth = std::max(nameWidth, rows.back().first.size());
  }
  std::string table;
  // A column: a space, then `text` right-aligned in `width`.
  auto cell = [&table](std::string_view text, size_t width) {
    table += ' ';
    if (text.size() < width) table.append(width - text.size(), ' ');
    table += text;
  };
  // Numbers through std::to_chars: the table reads the same whatever the
  // process's numeric locale.
  auto column = [&cell](auto value, size_t width, auto... format) {
    char text[400];
    const char* end = std::to_chars(text, text + sizeof text, value, format...).ptr;
    cell(std::string_view(text, static_cast<size_t>(end - text)), width);
  };
  table += "scope";
  table.append(nameWidth - 5, ' ');
  cell("count", 10);
  cell("total-ms", 14);
  cell("max-ms", 12);
  cell("mean-ms", 12);
  table += '\n';
  for (const auto& [name, stats] : rows) {
    const double mean = stats.count == 0 ? 0.0 : stats.totalMs / static_cast<double>(stats.count);
    table += name;
    table.append(nameWidth - name.size(), ' ');
    column(stats.count, 10);
    column(stats.totalMs, 14, std::chars_format::fixed, 3);
    column(stats.maxMs, 12, std::chars_format::fixed, 3);
    column(mean, 12, std::chars_format::fixed, 3);
    table += '\n';
  }
  return TString::fromStdString(table);
}

void AggregatingSink::Reset() {
  TMutexLock lock(m_mutex);
  m_stats.clear();
  m_series.clear();
}

std::shared_ptr<AggregatingSink> GetDefaultSink() {
  return Registry::Get().m_defaultSink;
}

void SetSink(std::shared_ptr<ISink> sink) {
  Registry& registry = Registry::Get();
  if (!sink) sink = registry.m_defaultSink;
  TMutexLock lock(registry.m_mutex);
  registry.m_sink = std::move(sink);
}

std::shared_ptr<ISink> GetSink() {
  Registry& registry = Registry::Get();
  TMutexLock lock(registry.m_mutex);
  return registry.m_sink;
}

Scope::Scope(const TString& name, uint64_t mask) : m_open(TestBitsAndContext(mask)) {
  if (!m_open) return;
  m_record.name = name;
  m_record.mask = mask;
  m_start = std::chrono::steady_clock::now();
}

Scope::~Scope() {
  Close();
}

void Scope::SetAttribute(const TString& name, const TString& value) {
  if (m_open) SetValue(name, value);
}

void Scope::SetValue(const TString& name, AttributeValue value) {
  if (!m_open) return;
  for (auto& attribute : m_record.attributes) {
    if (attribute.first == name) {
      attribute.second = std::move(value);
      return;
    }
  }
  m_record.attributes.emplace_back(name, std::move(value));
}

void Scope::Close() noexcept {
  if (!m_open) return;
  m_open = false;
  try {
    m_record.durationMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m_start).count();
    Registry::Get().Deliver(m_record);
  } catch (...) {
    // A failing sink must not reach the measured operation.
  }
}

Capture::Capture() {
  Registry& registry = Registry::Get();
  TMutexLock lock(registry.m_mutex);
  registry.m_captures.push_back(this);
}

Capture::~Capture() {
  Registry& registry = Registry::Get();
  TMutexLock lock(registry.m_mutex);
  auto& captures = registry.m_captures;
  captures.erase(std::remove(captures.begin(), captures.end(), this), captures.end());
}

void Capture::Add(const ScopeRecord& record) {
  m_records.Add(record);
}

std::vector<ScopeRecord> Capture::Records() const {
  return m_records.All();
}

std::vector<ScopeRecord> Capture::Scopes(const TString& name) const {
  return m_records.Where([&](const ScopeRecord& record) { return record.name == name; });
}

void Capture::Clear() {
  m_records.Clear();
}

}  // namespace Metrics
