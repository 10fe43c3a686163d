#include "host/LogCapture.h"

#include <algorithm>
#include <atomic>
#include <climits>

#include "host/TMutex.h"

namespace TLog {

// The live captures of the process.
//
// Thread-safe: m_mutex guards m_captures; m_lowestLevel is an atomic copy of
// the lowest minimum among them, read without the lock on every log call.
// A capture's own mutex is taken while m_mutex is held (when recording), so
// a capture cannot be destroyed while a record is being added to it.
//
// Created on first use and never destroyed, so logging during static
// destruction finds it intact.
struct CaptureRegistry {
  static CaptureRegistry& Get() {
    static CaptureRegistry* registry = new CaptureRegistry();
    return *registry;
  }

  void Add(Capture* capture) {
    TMutexLock lock(m_mutex);
    m_captures.push_back(capture);
    UpdateLowestLevel();
  }

  void Remove(Capture* capture) {
    TMutexLock lock(m_mutex);
    m_captures.erase(std::remove(m_captures.begin(), m_captures.end(), capture), m_captures.end());
    UpdateLowestLevel();
  }

  void Deliver(const Record& record) {
    TMutexLock lock(m_mutex);
    for (Capture* capture : m_captures) {
      if (record.severity >= capture->m_minimum) capture->Add(record);
    }
  }

  void UpdateLowestLevel() KELCACHE_REQUIRES(m_mutex) {
    int lowest = INT_MAX;
    for (const Capture* capture : m_captures) lowest = std::min(lowest, capture->m_minimum.Level());
    m_lowestLevel.store(lowest, std::memory_order_relaxed);
  }

  TMutex m_mutex;
  std::vector<Capture*> m_captures KELCACHE_GUARDED_BY(m_mutex);
  std::atomic<int> m_lowestLevel{INT_MAX};
};

Capture::Capture(AnySeverity minimum) : m_minimum(minimum) {
  CaptureRegistry::Get().Add(this);
}

Capture::~Capture() {
  CaptureRegistry::Get().Remove(this);
}

void Capture::Add(const Record& record) {
  m_records.Add(record);
}

std::vector<Record> Capture::Records() const {
  return m_records.All();
}

std::vector<Record> Capture::Events(const TString& name) const {
  return m_records.Where([&](const Record& record) { return record.IsEvent() && record.eventName == name; });
}

std::vector<TString> Capture::Lines() const {
  std::vector<TString> lines;
  for (const Record& record : m_records.Where([](const Record& record) { return !record.IsEvent(); })) {
    lines.push_back(record.text);
  }
  return lines;
}

bool Capture::ContainsLine(const TString& fragment) const {
  return !m_records
              .Where([&](const Record& record) { return !record.IsEvent() && record.text.contains(fragment); })
              .empty();
}

void Capture::Clear() {
  m_records.Clear();
}

namespace internal {

int LowestCapturedLevel() noexcept {
  try {
    return CaptureRegistry::Get().m_lowestLevel.load(std::memory_order_relaxed);
  } catch (...) {
    return INT_MAX;  // no memory for the registry yet: no capture exists either
  }
}

void RecordInCaptures(const Record& record) noexcept {
  try {
    CaptureRegistry::Get().Deliver(record);
  } catch (...) {
    // Out of memory while copying the record: the capture misses it, the
    // caller goes on.
  }
}

}  // namespace internal

}  // namespace TLog
