// The tour's cached objects: customer records, asked for by region through
// the "Region" index of the in-memory caches.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "host/RefCnt.h"
#include "host/TString.h"
#include "main/utility/CacheEntry.h"
#include "main/utility/EntryPredicates.h"
#include "main/utility/KelCacheData.h"

namespace tour {

// A cached customer record that declares its footprint, so that a cache's
// byte count can follow it.
class Customer : public KelCacheData {
 public:
  static constexpr uint64_t kBytes = 200;
  Customer(std::string name, std::string region) : m_name(std::move(name)), m_region(std::move(region)) {
    SetMemoryUsage(kBytes);
  }
  const std::string m_name;
  const std::string m_region;
};

inline const Customer& CustomerOf(const CacheHelpers::Entry& entry) {
  return static_cast<const Customer&>(*entry.GetData());
}

// The customers of one region, or one customer of it when a name is given;
// either way the "Region" index narrows the search to the region's entries.
class InRegion : public CacheHelpers::EntryPredicate {
 public:
  explicit InRegion(std::string region, std::string name = {})
      : m_region(std::move(region)), m_name(std::move(name)) {}
  bool Matches(const CacheHelpers::Entry& entry) override {
    const Customer& customer = CustomerOf(entry);
    return customer.m_region == m_region && (m_name.empty() || customer.m_name == m_name);
  }
  TString GetIndexName() override { return TString(u"Region"); }
  TString GetKeyForIndexing() override { return TString::fromStdString(m_region); }

 private:
  const std::string m_region;
  const std::string m_name;  // empty: any customer of the region
};

// The customer's name, or "(none)".
inline std::string NameOf(const RefCntPtr<RefCntObject>& data) {
  return data ? static_cast<const Customer&>(*data).m_name : std::string("(none)");
}

}  // namespace tour
