// The match tests of the in-memory caches.
#include "main/utility/EntryPredicates.h"

namespace CacheHelpers {

EntryPredicate::~EntryPredicate() = default;
TString EntryPredicate::GetIndexName() {
  return TString();
}
TString EntryPredicate::GetKeyForIndexing() {
  return TString();
}
bool EntryPredicate::HasIndex() const {
  return false;
}

bool BooleanEntryPredicate::Matches(const Entry& /*entry*/) {
  return m_value;
}

bool LifetimePredicate::Matches(const Entry& entry) {
  return entry.GetClock() + m_lifetime < m_now;
}

EntryPredicateBinder::~EntryPredicateBinder() = default;

}  // namespace CacheHelpers
