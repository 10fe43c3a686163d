// Cache: see Cache.h.
#include "main/utility/Cache.h"

#include <algorithm>

#include "host/Errors.h"

using CacheHelpers::BooleanEntryPredicate;
using CacheHelpers::CreateBasicClock;
using CacheHelpers::Entry;
using CacheHelpers::EntryPredicate;
using CacheHelpers::EntryPredicateBinder;
using CacheHelpers::EntryPredicatePolicy;
using CacheHelpers::IClock;
using CacheHelpers::IPolicy;
using CacheHelpers::LifetimePolicy;

ICache::~ICache() = default;
ICacheEx::~ICacheEx() = default;

Cache::Cache(std::shared_ptr<IPolicy> policy, std::unique_ptr<IClock> clock)
    : m_policy(std::move(policy)), m_clock(clock ? std::move(clock) : CreateBasicClock()) {
  if (!m_policy) ThrowLogicException("main/utility/Cache", 15, "m_policy");
}

Cache::Cache(std::shared_ptr<IPolicy> policy) : m_policy(std::move(policy)), m_clock(CreateBasicClock()) {
  if (!m_policy) ThrowLogicException("main/utility/Cache", 26, "m_policy");
}

Cache::Cache(uint64_t lifetime, std::unique_ptr<IClock> clock)
    : m_policy(std::make_shared<LifetimePolicy>(lifetime)),
      m_clock(clock ? std::move(clock) : CreateBasicClock()) {}

// Members go in reverse order: the clock, the policy, then the entries.
Cache::~Cache() = default;

RefCntPtr<RefCntObject> Cache::UseEntry(std::shared_ptr<EntryPredicate> pred) {
  auto it = std::find_if(m_entries.begin(), m_entries.end(), EntryPredicateBinder(std::move(pred)));
  if (it == m_entries.end()) return nullptr;
  return it->Use(m_clock->GetTime());
}

unsigned Cache::AddEntry(RefCntPtr<RefCntObject> data) {
  const uint64_t now = m_clock->GetTime();
  return m_entries.insert(Entry(std::move(data), now)).first->GetID();
}

EntrySet Cache::DeleteEntries(std::shared_ptr<EntryPredicate> pred) {
  return Purge(std::make_shared<EntryPredicatePolicy>(std::move(pred)));
}

EntrySet Cache::DeleteEntries() {
  return DeleteEntries(std::make_shared<BooleanEntryPredicate>(true));
}

bool Cache::HasEntry(unsigned id) const {
  return m_entries.find(Entry(id)) != m_entries.end();
}

bool Cache::HasEntry(std::shared_ptr<EntryPredicate> pred) const {
  return std::find_if(m_entries.begin(), m_entries.end(), EntryPredicateBinder(std::move(pred))) !=
         m_entries.end();
}

RefCntPtr<RefCntObject> Cache::UseEntry(unsigned id) {
  auto it = m_entries.find(Entry(id));
  if (it == m_entries.end()) return nullptr;
  return it->Use(m_clock->GetTime());
}

RefCntPtr<RefCntObject> Cache::UseEntry(std::shared_ptr<EntryPredicate> pred, unsigned& hint) {
  // One probe and one test when the hint still names a matching entry.
  auto it = m_entries.find(Entry(hint));
  if (it == m_entries.end() || !pred->Matches(*it)) {
    hint = 0;
    it = std::find_if(m_entries.begin(), m_entries.end(), EntryPredicateBinder(std::move(pred)));
    if (it == m_entries.end()) return nullptr;
    hint = it->GetID();
  }
  return it->Use(m_clock->GetTime());
}

RefCntPtr<RefCntObject> Cache::UseEntryGetHint(std::shared_ptr<EntryPredicate> pred, unsigned& hint) {
  hint = 0;
  auto it = std::find_if(m_entries.begin(), m_entries.end(), EntryPredicateBinder(std::move(pred)));
  if (it == m_entries.end()) return nullptr;
  hint = it->GetID();
  return it->Use(m_clock->GetTime());
}

RefCntPtr<RefCntObject> Cache::DeleteEntry(unsigned id) {
  auto it = m_entries.find(Entry(id));
  if (it == m_entries.end()) return nullptr;
  RefCntPtr<RefCntObject> data = it->GetData();
  m_entries.erase(it);
  return data;
}

EntrySet Cache::GetEntries() {
  return m_entries;
}

uint64_t Cache::GetSize() const {
  return m_entries.size();
}

std::shared_ptr<IPolicy> Cache::GetPolicy() {
  return m_policy;
}

void Cache::SetPolicy(std::shared_ptr<IPolicy> policy, std::unique_ptr<IClock> clock) {
  m_policy = std::move(policy);
  if (clock) m_clock = std::move(clock);
}

uint64_t Cache::GetClock() const {
  return m_clock->GetTime();
}

EntrySet Cache::IncrementClock(std::shared_ptr<IPolicy> policy) {
  m_clock->Increment();
  return Purge(std::move(policy));
}

// The policy sees the live entry set as a range (no copy). Nothing in
// m_entries changes until the final swap, so an exception from the policy, a
// predicate or an allocation leaves the cache as it was.
EntrySet Cache::Purge(std::shared_ptr<IPolicy> policy) {
  const uint64_t now = m_clock->GetTime();
  EntrySet survivors = policy->Purge(m_entries.begin(), m_entries.end(), now);
  if (survivors.size() == m_entries.size()) return EntrySet();

  EntrySet deleted;
  for (const Entry& entry : m_entries) {
    if (survivors.find(entry) == survivors.end()) deleted.insert(entry);
  }
  // The cache now holds exactly what the policy returned.
  m_entries.swap(survivors);
  return deleted;
}

void Cache::JustIncrementClock() {
  m_clock->Increment();
}
