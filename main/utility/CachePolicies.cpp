// The eviction policies of the in-memory caches.
#include "main/utility/CachePolicies.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "host/Errors.h"

namespace CacheHelpers {

namespace {

// An EntrySet holding the given entries, moved in.
EntrySet MakeEntrySet(std::vector<Entry>& entries) {
  EntrySet result;
  result.reserve(entries.size());
  result.insert(std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()));
  return result;
}

}  // namespace

// ---- IPolicy defaults ----

IPolicy::~IPolicy() = default;
void IPolicy::OnEntryAdded(const Entry& /*entry*/) {}
void IPolicy::OnEntryDeleted(const Entry& /*entry*/) {}
void IPolicy::OnEntryUsed(const Entry& /*entry*/) {}
bool IPolicy::HasCapability(Capability /*capability*/) {
  return false;
}

EntrySet IPolicy::ComputeEntriesToPurge() {
  throw NotImplementedException(TString(), KelvraError::NoError());
}

void IPolicy::CatalogCacheEntries(const EntrySet& entries) {
  for (const Entry& entry : entries) OnEntryAdded(entry);
}

uint64_t IPolicy::GetCacheSizeBytes() {
  throw NotImplementedException(TString(), KelvraError::NoError());
}

// ---- MRUPolicy ----

EntrySet MRUPolicy::Purge(EntrySet::const_iterator first, EntrySet::const_iterator last, uint64_t /*now*/) {
  EntrySet result(first, last);
  // Within the limit every entry survives: no ordering work at all.
  if (result.size() <= m_cacheLimit) return result;

  std::vector<Entry> vecEntries(result.begin(), result.end());
  // Partition so that the first m_cacheLimit positions hold the greatest
  // clocks; a full sort is not needed to know who survives.
  const auto cut = vecEntries.begin() + static_cast<std::ptrdiff_t>(m_cacheLimit);
  std::nth_element(vecEntries.begin(), cut, vecEntries.end(),
                   [](const Entry& a, const Entry& b) { return a.GetClock() > b.GetClock(); });
  vecEntries.erase(cut, vecEntries.end());
  if (!(vecEntries.size() <= m_cacheLimit)) {
    ThrowLogicException("main/utility/CacheHelpers", 61, "vecEntries.size() <= m_cacheLimit");
  }

  result.clear();
  result.insert(std::make_move_iterator(vecEntries.begin()), std::make_move_iterator(vecEntries.end()));
  return result;
}

// ---- LifetimePolicy ----

EntrySet LifetimePolicy::Purge(EntrySet::const_iterator first, EntrySet::const_iterator last, uint64_t now) {
  std::vector<Entry> entries(first, last);
  LifetimePredicate idle(m_lifetime, now);
  entries.erase(
      std::remove_if(entries.begin(), entries.end(), [&idle](const Entry& e) { return idle.Matches(e); }),
      entries.end());
  return MakeEntrySet(entries);
}

// ---- EntryPredicatePolicy ----

EntryPredicatePolicy::~EntryPredicatePolicy() = default;

EntrySet EntryPredicatePolicy::Purge(EntrySet::const_iterator first, EntrySet::const_iterator last,
                                     uint64_t /*now*/) {
  std::vector<Entry> entries(first, last);
  // remove_if applies the predicate exactly once per element, front to back.
  entries.erase(std::remove_if(entries.begin(), entries.end(), EntryPredicateBinder(m_predicate)),
                entries.end());
  return MakeEntrySet(entries);
}

// ---- CascadedPolicy ----

CascadedPolicy::~CascadedPolicy() = default;

void CascadedPolicy::AddPolicy(std::shared_ptr<IPolicy> policy) {
  m_policies.push_back(std::move(policy));
}

EntrySet CascadedPolicy::Purge(EntrySet::const_iterator first, EntrySet::const_iterator last, uint64_t now) {
  EntrySet working(first, last);
  for (const std::shared_ptr<IPolicy>& policy : m_policies) {
    EntrySet kept = policy->Purge(working.begin(), working.end(), now);
    working.swap(kept);
  }
  return working;
}

}  // namespace CacheHelpers
