// IndexedCache against a reference model: long random sequences of additions,
// index additions, uses, deletions, hint pruning and purges, with the cache's
// three containers compared with the model after every step.
#include "main/utility/IndexedCache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>

#include "tests/main/utility/CacheTestSupport.h"

using namespace CacheHelpers;
using namespace cache_test;

namespace {

// The indexes the test may add; "a|b" and "a" can produce the same qualified
// key ("a|b|c").
const std::vector<std::string> kIndexNames = {"Region", "Bucket", "Parity", "Blank", "a|b", "a"};

std::string KeyFor(const std::string& index, const Record& p) {
  if (index == "Region") return "r" + p.m_region;
  if (index == "Bucket") return std::to_string(p.m_value);
  if (index == "Parity") return (std::stoi(p.m_region) + p.m_value) % 2 ? "odd" : "even";
  if (index == "Blank") return "";
  if (index == "a|b") return p.m_region == "0" ? "c" : "x";
  return p.m_value == 0 ? "b|c" : "y";  // "a"
}

// The qualified key as the model forms it, independently of the cache.
TString Qualified(const TString& index, const TString& key) { return index + u"|" + key; }

// The installed policy: a lifetime policy that also keeps its own record of
// the ids it was told about, to prove that every path notifies it.
struct ShadowPolicy : LifetimePolicy {
  explicit ShadowPolicy(uint64_t lifetime) : LifetimePolicy(lifetime) {}
  void OnEntryAdded(const Entry& entry) override { m_ids.insert(entry.GetID()); }
  void OnEntryDeleted(const Entry& entry) override { m_ids.erase(entry.GetID()); }
  std::set<unsigned> m_ids;
};

struct ModelEntry {
  RefCntPtr<Record> payload;
  uint64_t clock = 0;
  std::set<TString> keys;  // qualified keys the entry was listed under
};

class Model {
 public:
  static constexpr uint64_t kLifetime = 10;

  explicit Model(unsigned sequence) : m_random(sequence) {}

  void Step();
  ::testing::AssertionResult Agrees() const;

 private:
  int Roll(int n) { return static_cast<int>(m_random() % static_cast<unsigned>(n)); }
  // A record of the model: region a number 0..4, value a bucket 0..7.
  RefCntPtr<Record> SomeRecord() { return RefCntPtr<Record>(new Record(std::to_string(Roll(5)), Roll(8))); }
  bool HasIndex(const std::string& name) const { return m_indexes.count(name) == 1; }
  void ListUnderIndexes(ModelEntry& entry) {
    for (const std::string& index : m_indexes)
      entry.keys.insert(
          Qualified(TString::fromStdString(index), TString::fromStdString(KeyFor(index, *entry.payload))));
  }
  std::map<TString, std::set<unsigned>> Listings() const {
    std::map<TString, std::set<unsigned>> listings;
    for (const auto& [id, entry] : m_entries)
      for (const TString& key : entry.keys) listings[key].insert(id);
    return listings;
  }
  unsigned SomeId() {
    if (m_entries.empty() || Roll(5) == 0) return static_cast<unsigned>(m_random());  // most likely absent
    auto it = m_entries.begin();
    std::advance(it, Roll(static_cast<int>(m_entries.size())));
    return it->first;
  }
  // A test of the bucket (a multiple of 1, 2 or 3) that may name an index and
  // the key of a random record there; `drawn`, when given, gets that record.
  std::shared_ptr<Probe> SomeTest(bool indexed, RefCntPtr<Record>* drawn = nullptr) {
    const std::string index = indexed ? kIndexNames[Roll(static_cast<int>(kIndexNames.size()))] : "";
    RefCntPtr<Record> sample = SomeRecord();
    if (drawn) *drawn = sample;
    return std::make_shared<Probe>(
        TString::fromStdString(index), TString::fromStdString(indexed ? KeyFor(index, *sample) : ""),
        [modulo = 1 + Roll(3)](const Record& r) { return r.m_value % modulo == 0; });
  }
  void Add(RefCntPtr<Record> payload, unsigned id) {
    ListUnderIndexes(m_entries[id] = ModelEntry{std::move(payload), m_now, {}});
  }
  // The ids listed under the test's qualified key, ascending.
  std::set<unsigned> Listed(const Probe& test) const {
    return Listings()[Qualified(test.m_index, test.m_key)];
  }
  unsigned IdOf(const RefCntPtr<RefCntObject>& data) const {
    for (const auto& [id, entry] : m_entries)
      if (entry.payload.get() == data.get()) return id;
    return 0;
  }
  void Forget(const EntrySet& deleted) {
    for (const Entry& entry : deleted) {
      ASSERT_EQ(m_entries.count(entry.GetID()), 1u) << "deleted an unknown id " << entry.GetID();
      m_entries.erase(entry.GetID());
    }
  }
  // The ids among `ids` (all entries when absent) whose payload the test accepts.
  std::set<unsigned> Accepted(const Probe& test, std::optional<std::set<unsigned>> ids = std::nullopt) const {
    std::set<unsigned> accepted;
    for (const auto& [id, entry] : m_entries)
      if ((!ids || ids->count(id)) && test.m_test(*entry.payload)) accepted.insert(id);
    return accepted;
  }
  // What a deletion by the test takes: the accepted listed entries when the
  // cache has its index, else every accepted entry.
  std::set<unsigned> Matching(const Probe& test) const {
    return HasIndex(test.m_index.toStdString()) ? Accepted(test, Listed(test)) : Accepted(test);
  }
  void UseIndexed(std::shared_ptr<Probe> test, bool updateHint);

  std::mt19937 m_random;
  std::shared_ptr<ShadowPolicy> m_shadow = std::make_shared<ShadowPolicy>(kLifetime);
  std::unique_ptr<IndexedCache> m_cache = std::make_unique<IndexedCache>(m_shadow, nullptr);
  std::map<unsigned, ModelEntry> m_entries;
  std::set<std::string> m_indexes;
  uint64_t m_now = 0;
};

void Model::UseIndexed(std::shared_ptr<Probe> test, bool updateHint) {
  unsigned hint = updateHint ? SomeId() : 0;
  const unsigned hintBefore = hint;
  // The outcome is determined by a valid matching hint or by an index (oldest
  // listed match); a scan may pick any match.
  const bool hintTaken = updateHint && m_entries.count(hint) && test->m_test(*m_entries.at(hint).payload);
  const bool indexed = HasIndex(test->m_index.toStdString());
  unsigned expected = hintTaken ? hint : 0;
  if (!hintTaken && indexed) {
    const std::set<unsigned> accepted = Accepted(*test, Listed(*test));
    if (!accepted.empty()) expected = *accepted.begin();
  }

  const unsigned used = IdOf(updateHint ? m_cache->UseEntryUpdateHint(test, hint) : m_cache->UseEntry(test));
  if (hintTaken || indexed) {
    ASSERT_EQ(used, expected) << "index " << test->m_index << " key " << test->m_key;
  } else if (used != 0) {
    ASSERT_TRUE(test->m_test(*m_entries.at(used).payload));
  } else {
    ASSERT_TRUE(Accepted(*test).empty()) << "the scan missed a match";
  }
  if (used) m_entries.at(used).clock = m_now;
  if (updateHint) ASSERT_EQ(hint, used ? used : hintBefore);
}

void Model::Step() {
  const int roll = Roll(100);
  if (roll < 24) {
    auto payload = SomeRecord();
    Add(payload, m_cache->AddEntry(payload));
  } else if (roll < 30) {
    // Replacement: mostly by a payload under the key that was deleted, as a
    // cache replaces a value, sometimes by one under another key.
    RefCntPtr<Record> payload;
    auto test = SomeTest(Roll(4) != 0, &payload);
    if (Roll(3) == 0) payload = SomeRecord();
    const std::set<unsigned> expected = Matching(*test);
    auto [id, deleted] = IndexedCacheTestAccess::Replace(*m_cache, *test, payload);
    ASSERT_EQ(IdsOf(deleted), expected);
    Forget(deleted);
    Add(payload, id);
  } else if (roll < 33) {
    const std::string name = kIndexNames[Roll(static_cast<int>(kIndexNames.size()))];
    const bool added = m_cache->AddIndex(TString::fromStdString(name), [name](const Entry& e) {
      return TString::fromStdString(KeyFor(name, RecordOf(e)));
    });
    ASSERT_EQ(added, !HasIndex(name));
    if (added) {
      m_indexes.insert(name);
      for (auto& [id, entry] : m_entries) ListUnderIndexes(entry);
    }
  } else if (roll < 41) {
    const unsigned id = SomeId();
    RefCntPtr<RefCntObject> data = m_cache->UseEntry(id);
    auto it = m_entries.find(id);
    ASSERT_EQ(data.get(), it == m_entries.end() ? nullptr : it->second.payload.get());
    if (it != m_entries.end()) it->second.clock = m_now;
  } else if (roll < 56) {
    UseIndexed(SomeTest(roll < 51), Roll(2) == 0);
  } else if (roll < 62) {
    const unsigned id = SomeId();
    m_cache->DeleteEntry(id);
    m_entries.erase(id);
  } else if (roll < 72) {
    auto test = SomeTest(roll < 68);
    const std::set<unsigned> expected = Matching(*test);
    EntrySet deleted = m_cache->DeleteEntries(test);
    ASSERT_EQ(IdsOf(deleted), expected);
    Forget(deleted);
  } else if (roll < 78) {
    auto test = SomeTest(true);
    const unsigned maxHints = static_cast<unsigned>(Roll(4));
    const std::set<unsigned> listed = Listed(*test);  // whether or not the index exists
    const unsigned expected = listed.size() > maxHints ? *listed.begin() : 0;
    Entry pruned = m_cache->PruneHints(test, maxHints);
    ASSERT_EQ(pruned.GetID(), expected);
    m_entries.erase(expected);
  } else if (roll < 82) {
    const uint64_t limit = static_cast<uint64_t>(Roll(static_cast<int>(m_entries.size()) + 2));
    EntrySet deleted = m_cache->Purge(std::make_shared<MRUPolicy>(limit));
    ASSERT_EQ(m_entries.size() - deleted.size(), std::min<uint64_t>(limit, m_entries.size()));
    Forget(deleted);
    for (const Entry& gone : deleted)
      for (const auto& [id, kept] : m_entries) ASSERT_LE(gone.GetClock(), kept.clock);
  } else if (roll < 88) {
    ++m_now;
    std::set<unsigned> expected;
    for (const auto& [id, entry] : m_entries)
      if (entry.clock + kLifetime < m_now) expected.insert(id);
    EntrySet deleted = m_cache->IncrementClock();
    ASSERT_EQ(IdsOf(deleted), expected);
    Forget(deleted);
  } else if (roll < 94) {
    ++m_now;
    m_cache->JustIncrementClock();
  } else {
    // Change an object in place: its listings stay until an index is added.
    if (m_entries.empty()) return;
    ModelEntry& entry = m_entries.at(SomeId() % 2 ? m_entries.begin()->first : m_entries.rbegin()->first);
    entry.payload->m_region = std::to_string(Roll(5));
    entry.payload->m_value = Roll(8);
  }
}

::testing::AssertionResult Model::Agrees() const {
  const IndexedCacheData& data = m_cache->GetCacheData();
  std::map<unsigned, std::pair<uint64_t, const void*>> entries, expectedEntries;
  for (const Entry& entry : data.m_entries) entries[entry.GetID()] = {entry.GetClock(), entry.GetData().get()};
  std::map<unsigned, std::set<TString>> keys(data.m_entryIndexKeys.begin(), data.m_entryIndexKeys.end());
  std::map<unsigned, std::set<TString>> expectedKeys;
  std::set<unsigned> ids;
  for (const auto& [id, entry] : m_entries) {
    expectedEntries[id] = {entry.clock, static_cast<const RefCntObject*>(entry.payload.get())};
    if (!entry.keys.empty()) expectedKeys[id] = entry.keys;
    ids.insert(id);
  }
  // Key to ids, in both the cache's directions, against the model.
  const auto listings = Listings();
  if (entries != expectedEntries) return ::testing::AssertionFailure() << "the entries or their clocks differ";
  if (std::map<TString, std::set<unsigned>>(data.m_indexedEntries.begin(), data.m_indexedEntries.end()) != listings)
    return ::testing::AssertionFailure() << "the listings differ";
  if (keys != expectedKeys) return ::testing::AssertionFailure() << "the keys of the entries differ";
  if (m_shadow->m_ids != ids) return ::testing::AssertionFailure() << "the policy's record of the entries differs";
  if (m_cache->GetIndexedEntryCount() != listings.size()) return ::testing::AssertionFailure() << "key count";
  if (std::string problem = IndexedCacheTestAccess::HintMirrorProblem(*m_cache); !problem.empty())
    return ::testing::AssertionFailure() << problem;
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST(IndexedCacheModelTest, RandomSequencesKeepTheContainersInAgreementWithTheModel) {
  constexpr int kSteps = 5000;
  for (unsigned sequence : {11u, 2024u, 777777u}) {  // three fixed, reproducible sequences
    Model model(sequence);
    for (int step = 0; step < kSteps; ++step) {
      SCOPED_TRACE(::testing::Message() << "sequence " << sequence << " step " << step);
      model.Step();
      if (::testing::Test::HasFatalFailure()) return;
      ASSERT_TRUE(model.Agrees());
    }
  }
}
