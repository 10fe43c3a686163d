// IndexedCache keeps private lookup mirrors of its public containers: the
// stored entries by id (EntryIdTable), the listings by qualified key
// (HintTable, with each listed entry's address) and the index functions in
// the map's order. A mirror that misses one change answers lookups from a
// freed entry or a stale listing, which the public containers never show. So
// these tests run long random sequences of every changing operation, with
// populations large enough for the flat tables to grow, to collide and to
// wrap around their ends, and compare every mirror with the public containers
// after every step; and they check the ids around the wrap of the id counter,
// where 0 is a valid id.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "main/utility/IndexedCache.h"

using namespace CacheHelpers;

// Reads the cache's private members (a friend of IndexedCache).
struct IndexedCacheMirrorCheck {
  static ::testing::AssertionResult Agree(const IndexedCache& cache) {
    const IndexedCacheData& data = cache.m_cacheData;

    // Id table: exactly the stored entries, each with its element and object.
    if (cache.m_ids.Size() != data.m_entries.size()) {
      return ::testing::AssertionFailure()
             << cache.m_ids.Size() << " ids for " << data.m_entries.size() << " entries";
    }
    for (const Entry& entry : data.m_entries) {
      const auto* stored = cache.m_ids.Find(entry.GetID());
      if (stored == nullptr) return ::testing::AssertionFailure() << "id " << entry.GetID() << " not found";
      if (stored->entry != &entry || stored->data != entry.GetData().get()) {
        return ::testing::AssertionFailure() << "id " << entry.GetID() << " points elsewhere";
      }
    }

    // Hint table: one record per listing, with the listing's smallest id and
    // its stored entry.
    if (cache.m_hints.Size() != data.m_indexedEntries.size()) {
      return ::testing::AssertionFailure()
             << cache.m_hints.Size() << " records for " << data.m_indexedEntries.size() << " keys";
    }
    for (const auto& listing : data.m_indexedEntries) {
      const auto* record = const_cast<internal::HintTable&>(cache.m_hints).Find(listing.first.u16());
      if (record == nullptr) return ::testing::AssertionFailure() << "no record for " << listing.first;
      if (record->listing != &listing || record->Key() != listing.first.u16()) {
        return ::testing::AssertionFailure() << "the record of " << listing.first << " points elsewhere";
      }
      // Visiting the record's hints gives the listing's ids, ascending, each
      // with its stored entry; the first of them is kept in the record.
      std::vector<internal::Hint> visited;
      cache.VisitHints(*record, [&](const internal::Hint& hint) {
        visited.push_back(hint);
        return true;
      });
      if (record->first.id != *listing.second.begin()) {
        return ::testing::AssertionFailure() << listing.first << ": the first hint is " << record->first.id
                                             << ", the listing starts at " << *listing.second.begin();
      }
      if (visited.size() != listing.second.size()) {
        return ::testing::AssertionFailure()
               << listing.first << ": " << visited.size() << " hints for " << listing.second.size() << " ids";
      }
      size_t i = 0;
      for (unsigned id : listing.second) {
        const internal::Hint& hint = visited[i++];
        auto stored = data.m_entries.find(Entry(id));
        if (hint.id != id || stored == data.m_entries.end() || hint.entry != &*stored ||
            hint.data != stored->GetData().get()) {
          return ::testing::AssertionFailure() << listing.first << ": hint " << i - 1 << " is not id " << id;
        }
      }
    }

    // Index order: the map's iteration order, with the map's functions.
    if (cache.m_indexOrder.size() != data.m_indexFunctions.size()) {
      return ::testing::AssertionFailure()
             << "index order has " << cache.m_indexOrder.size() << " of " << data.m_indexFunctions.size();
    }
    size_t position = 0;
    for (const auto& [name, function] : data.m_indexFunctions) {
      if (cache.m_indexOrder[position++] != function.target<IndexedCache::QualifyingKeyFunction>()) {
        return ::testing::AssertionFailure() << "index " << name << " out of order";
      }
    }
    return ::testing::AssertionSuccess();
  }
};

namespace {

class Payload : public RefCntObject {
 public:
  Payload(int region, int bucket) : m_region(region), m_bucket(bucket) {}
  int m_region;
  int m_bucket;
};

const Payload& PayloadOf(const Entry& entry) {
  return static_cast<const Payload&>(*entry.GetData());
}

// Keys with few and with many entries each, texts short and long, and two
// indexes whose qualified keys meet ("a|b" + "c" and "a" + "b|c").
const std::vector<std::string> kIndexNames = {"Region", "Bucket", "Wide", "a|b", "a"};

std::string KeyFor(const std::string& index, const Payload& p) {
  if (index == "Region") return "r" + std::to_string(p.m_region % 7);
  if (index == "Bucket") return std::to_string(p.m_bucket);
  if (index == "Wide") return std::string(40, 'w') + std::to_string(p.m_bucket % 3);
  if (index == "a|b") return p.m_region % 2 ? "c" : "x";
  return p.m_bucket % 2 ? "b|c" : "y";  // "a"
}

class KeyTest : public EntryPredicate {
 public:
  KeyTest(std::string index, std::string key, int modulo)
      : m_index(std::move(index)), m_key(std::move(key)), m_modulo(modulo) {}
  bool Matches(const Entry& entry) override { return PayloadOf(entry).m_bucket % m_modulo == 0; }
  TString GetIndexName() override { return TString::fromStdString(m_index); }
  TString GetKeyForIndexing() override { return TString::fromStdString(m_key); }

 private:
  std::string m_index;
  std::string m_key;
  int m_modulo;
};

// Purges the entries it was told to (TracksEntries).
class Choosing : public IPolicy {
 public:
  EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last, uint64_t) override {
    return EntrySet(first, last);
  }
  bool HasCapability(Capability capability) override { return capability == TracksEntries; }
  EntrySet ComputeEntriesToPurge() override { return m_victims; }
  EntrySet m_victims;
};

class RandomRun {
 public:
  explicit RandomRun(unsigned sequence)
      : m_random(sequence), m_cache(std::make_shared<LifetimePolicy>(1000), nullptr) {}

  // A growing step adds more than it deletes, a shrinking one the reverse.
  void Step(bool growing) {
    if (Roll(1000) < (growing ? 600 : 150)) {
      m_cache.AddEntry(RefCntPtr<RefCntObject>(new Payload(Roll(50), Roll(400))));
      return;
    }
    const int roll = Roll(1000);
    if (roll < 15) {
      const std::string name = kIndexNames[Roll(static_cast<int>(kIndexNames.size()))];
      m_cache.AddIndex(TString::fromStdString(name),
                       [name](const Entry& e) { return TString::fromStdString(KeyFor(name, PayloadOf(e))); });
    } else if (roll < 520) {
      m_cache.DeleteEntry(SomeId());
    } else if (roll < 530) {
      // Mostly through the index with many small keys: the others list up to
      // half of the population under one key.
      m_cache.DeleteEntries(Roll(10) == 0 ? SomeTest(true) : BucketTest());
    } else if (roll < 527) {
      m_cache.DeleteEntries(SomeTest(false));
    } else if (roll < 600) {
      m_cache.PruneHints(SomeTest(true), static_cast<unsigned>(Roll(4)));
    } else if (roll < 605) {
      m_cache.Purge(std::make_shared<MRUPolicy>(m_cache.GetEntryCount() * 9 / 10));
    } else if (roll < 615) {
      auto choosing = std::make_shared<Choosing>();
      for (int i = 0; i < 20; ++i) choosing->m_victims.insert(Entry(SomeId()));
      m_cache.Purge(choosing);
    } else if (roll < 640) {
      m_cache.IncrementClock();
    } else if (roll < 740) {
      m_cache.UseEntry(SomeId());
    } else if (roll < 840) {
      m_cache.UseEntry(SomeTest(true));
    } else if (roll < 940) {
      unsigned hint = SomeId();
      m_cache.UseEntryUpdateHint(SomeTest(Roll(2) == 0), hint);
    } else {
      m_cache.GetEntry(SomeId());
    }
  }

  IndexedCache& Cache() { return m_cache; }

 private:
  int Roll(int n) { return static_cast<int>(m_random() % static_cast<unsigned>(n)); }
  unsigned SomeId() {
    const EntrySet& entries = m_cache.GetCacheData().m_entries;
    if (entries.empty() || Roll(8) == 0) return static_cast<unsigned>(m_random());
    auto it = entries.begin();
    std::advance(it, Roll(static_cast<int>(std::min<size_t>(entries.size(), 64))));
    return it->GetID();
  }
  std::shared_ptr<KeyTest> BucketTest() {
    return std::make_shared<KeyTest>("Bucket", std::to_string(Roll(400)), 1 + Roll(3));
  }
  std::shared_ptr<KeyTest> SomeTest(bool indexed) {
    if (!indexed) return std::make_shared<KeyTest>("", "", 1 + Roll(5));
    const std::string index = kIndexNames[Roll(static_cast<int>(kIndexNames.size()))];
    return std::make_shared<KeyTest>(index, KeyFor(index, Payload(Roll(50), Roll(400))), 1 + Roll(3));
  }

  std::mt19937 m_random;
  IndexedCache m_cache;
};

TEST(IndexedCacheMirrorTest, MirrorsAgreeWithTheContainersAfterEveryOperation) {
  // Phases of growth and shrinking, so that the tables grow, fill, and empty
  // again through long runs of deletions.
  constexpr int kSteps = 12000;
  constexpr int kPhase = 3000;
  for (unsigned sequence : {5u, 6060u, 424242u}) {  // fixed, reproducible sequences
    RandomRun run(sequence);
    size_t largest = 0;
    for (int step = 0; step < kSteps; ++step) {
      run.Step(step / kPhase % 2 == 0);
      ASSERT_TRUE(IndexedCacheMirrorCheck::Agree(run.Cache())) << "sequence " << sequence << " step " << step;
      largest = std::max<size_t>(largest, run.Cache().GetEntryCount());
    }
    EXPECT_GT(largest, 500u) << "the population should grow to hundreds of entries";
    run.Cache().DeleteEntries();
    EXPECT_TRUE(IndexedCacheMirrorCheck::Agree(run.Cache()));
    EXPECT_EQ(run.Cache().GetIndexedEntryCount(), 0u);
  }
}

TEST(IndexedCacheMirrorTest, IdsAcrossTheWrapOfTheIdCounterIncludingZero) {
  const unsigned saved = Entry::s_guid.load();
  Entry::s_guid.store(0xFFFFFFFFu - 3);  // the next ids: ...FFFD, ...FFFE, ...FFFF, 0, 1, 2
  IndexedCache cache(std::make_shared<MRUPolicy>(100), nullptr);
  ASSERT_TRUE(
      cache.AddIndex(u"Bucket", [](const Entry& e) { return TString::number(PayloadOf(e).m_bucket); }));
  std::vector<unsigned> ids;
  for (int i = 0; i < 6; ++i) ids.push_back(cache.AddEntry(RefCntPtr<RefCntObject>(new Payload(0, 7))));
  Entry::s_guid.store(saved);
  ASSERT_EQ(ids[3], 0u);
  EXPECT_TRUE(IndexedCacheMirrorCheck::Agree(cache));

  // Id 0 is found like any other; the listing orders the ids as unsigned
  // numbers, so the oldest listed entry is no longer the smallest id.
  for (unsigned id : ids) EXPECT_TRUE(cache.UseEntry(id)) << id;
  const std::set<unsigned> hints = cache.GetHints(u"Bucket", u"7");
  EXPECT_EQ(hints, std::set<unsigned>(ids.begin(), ids.end()));
  EXPECT_EQ(cache.PruneHints(std::make_shared<KeyTest>("Bucket", "7", 1), 5).GetID(), 0u)
      << "the smallest id goes";
  EXPECT_TRUE(IndexedCacheMirrorCheck::Agree(cache));
  cache.DeleteEntry(1);
  EXPECT_TRUE(IndexedCacheMirrorCheck::Agree(cache));
  EXPECT_EQ(cache.DeleteEntries(std::make_shared<KeyTest>("Bucket", "7", 1)).size(), 4u);
  EXPECT_TRUE(IndexedCacheMirrorCheck::Agree(cache));
  EXPECT_EQ(cache.GetIndexedEntryCount(), 0u);
}

}  // namespace
