// RecordList<T>: a list of records that any thread appends to and that is
// read as copies. The log and metrics captures for tests hold one each.
//
// Thread rules: thread-safe; m_mutex guards m_records. The selection
// function of Where runs under m_mutex and must not use the list.
#pragma once

#include <vector>

#include "host/TMutex.h"

template <class T>
class RecordList {
 public:
  void Add(const T& record) {
    TMutexLock lock(m_mutex);
    m_records.push_back(record);
  }
  // Every record so far, in order of addition.
  std::vector<T> All() const {
    TMutexLock lock(m_mutex);
    return m_records;
  }
  // The records that `selected` accepts, in order.
  template <class Selected>
  std::vector<T> Where(Selected selected) const {
    TMutexLock lock(m_mutex);
    std::vector<T> chosen;
    for (const T& record : m_records) {
      if (selected(record)) chosen.push_back(record);
    }
    return chosen;
  }
  void Clear() {
    TMutexLock lock(m_mutex);
    m_records.clear();
  }

 private:
  mutable TMutex m_mutex;
  std::vector<T> m_records KELCACHE_GUARDED_BY(m_mutex);
};
