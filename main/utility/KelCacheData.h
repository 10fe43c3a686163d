// KelCacheData: a base for cached objects that report how much memory they
// take, so that a cache can keep a running byte count of what it holds.
//
// A plain RefCntObject counts as 0 bytes; a KelCacheData reports
// GetMemoryUsage(), 24 bytes unless the derived class sets its own figure.
//
// Ownership: instances are reference counted (RefCntPtr) and destroyed only by
// the count reaching zero, hence the protected destructor.
//
// Thread rules: the figure is fixed once the object is built and may then be
// read from any thread; set it only from the derived class's constructor.
#pragma once

#include <cstdint>

#include "host/Export.h"
#include "host/RefCnt.h"

class KELCACHE_EXPORT KelCacheData : public RefCntObject {
 public:
  KelCacheData() = default;
  // Copies the figure; the reference count of the copy starts afresh.
  KelCacheData(const KelCacheData& other) = default;
  KelCacheData& operator=(const KelCacheData& other) = default;

  // The object's memory use in bytes.
  uint64_t GetMemoryUsage() const { return m_memoryUsage; }

 protected:
  ~KelCacheData() override;
  // For derived constructors that know their real footprint (or they set
  // m_memoryUsage themselves).
  void SetMemoryUsage(uint64_t bytes) { m_memoryUsage = bytes; }

  // The object's memory use in bytes; the only store of the figure.
  uint64_t m_memoryUsage = 24;
};
