// Policies, a clock and helpers shared by the in-memory cache tests.
#pragma once

#include <set>
#include <stdexcept>

#include "main/utility/CacheHelpers.h"

namespace cache_test {

// A clock set by the test; Increment adds a step; reports its destruction.
class ManualClock : public CacheHelpers::IClock {
 public:
  explicit ManualClock(uint64_t step = 1, bool* destroyed = nullptr) : m_step(step), m_destroyed(destroyed) {}
  ~ManualClock() override {
    if (m_destroyed) *m_destroyed = true;
  }
  uint64_t GetTime() override { return m_time; }
  void Increment() override { m_time += m_step; }
  uint64_t m_time = 0;

 private:
  uint64_t m_step;
  bool* m_destroyed;
};

// A policy whose Purge fails.
class Throwing : public CacheHelpers::IPolicy {
 public:
  EntrySet Purge(EntrySet::const_iterator, EntrySet::const_iterator, uint64_t) override {
    throw std::runtime_error("policy failed");
  }
};

inline std::set<unsigned> IdsOf(const EntrySet& set) {
  std::set<unsigned> ids;
  for (const CacheHelpers::Entry& entry : set) ids.insert(entry.GetID());
  return ids;
}

}  // namespace cache_test
