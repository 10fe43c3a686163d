// Entry predicates: the match tests that callers hand to the caches to find,
// use or delete entries, and that the eviction policies use internally.
//
// A predicate that can be answered through an index of IndexedCache names the
// index (GetIndexName) and the key to look up in it (GetKeyForIndexing); the
// cache then tests only the entries listed under that key. The predicates
// defined here keep the defaults (no index).
//
// Ownership: predicates are shared through std::shared_ptr<EntryPredicate>;
// EntryPredicateBinder shares the predicate it wraps.
//
// Thread rules: not synchronized. Matches is non-const, so a predicate with
// state of its own must guard it if it is used on several threads.
#pragma once

#include <cstdint>
#include <memory>

#include "host/Export.h"
#include "host/TString.h"
#include "main/utility/CacheEntry.h"

namespace CacheHelpers {

struct KELCACHE_EXPORT EntryPredicate {
  EntryPredicate() = default;
  virtual ~EntryPredicate();
  virtual bool Matches(const Entry& entry) = 0;
  // The index that can answer this predicate; empty for none.
  virtual TString GetIndexName();
  // The key to look up in that index.
  virtual TString GetKeyForIndexing();
  // False unless overridden. The caches never ask it: whether a predicate is
  // answered through an index depends on GetIndexName naming an index of the
  // cache (IndexedCache::HasIndex).
  virtual bool HasIndex() const;
};

// Answers m_value for every entry; BooleanEntryPredicate(true) selects all.
struct KELCACHE_EXPORT BooleanEntryPredicate : EntryPredicate {
  explicit BooleanEntryPredicate(bool value) : m_value(value) {}
  bool Matches(const Entry& entry) override;

  bool m_value;
};

// Matches the entries idle for longer than the lifetime: clock + lifetime <
// now, in unsigned 64-bit arithmetic (the sum wraps) with a strict comparison,
// so an entry whose clock plus lifetime equals now does not match.
struct KELCACHE_EXPORT LifetimePredicate : EntryPredicate {
  LifetimePredicate(uint64_t lifetime, uint64_t now) : m_lifetime(lifetime), m_now(now) {}
  bool Matches(const Entry& entry) override;

  uint64_t m_lifetime;  // a span in clock units
  uint64_t m_now;       // the clock value to judge against
};

// Adapts a shared predicate to the standard algorithms (find_if, remove_if).
// Copies share the predicate.
struct KELCACHE_EXPORT EntryPredicateBinder {
  explicit EntryPredicateBinder(std::shared_ptr<EntryPredicate> predicate)
      : m_predicate(std::move(predicate)) {}
  EntryPredicateBinder(const EntryPredicateBinder&) = default;
  EntryPredicateBinder& operator=(const EntryPredicateBinder&) = default;
  virtual ~EntryPredicateBinder();

  bool operator()(const Entry& entry) { return m_predicate->Matches(entry); }

  std::shared_ptr<EntryPredicate> m_predicate;
};

}  // namespace CacheHelpers
