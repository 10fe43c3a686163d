// IndexedCache: indexed lookups, single-entry operations and refused calls,
// every policy hook with the right clock, and failures that leave the cache
// consistent.
#include "main/utility/IndexedCache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <tuple>
#include <unordered_map>

#include "host/Errors.h"
#include "tests/main/utility/CacheTestSupport.h"
#include "tests/support/FailingAllocation.h"

using namespace CacheHelpers;
using namespace cache_test;

namespace {

std::shared_ptr<Probe> InRegion(const std::string& region,
                                std::function<bool(const Record&)> test = [](const Record&) { return true; }) {
  return std::make_shared<Probe>(u"Region", TString::fromStdString(region), std::move(test));
}

// Claims TracksEntries without offering ComputeEntriesToPurge.
struct ClaimsTracking : IPolicy {
  EntrySet Purge(EntrySet::const_iterator, EntrySet::const_iterator, uint64_t) override { return EntrySet(); }
  bool HasCapability(Capability) override { return true; }
  void OnEntryDeleted(const Entry&) override { ++m_deletions; }
  int m_deletions = 0;
};

// Everything observable about an indexed cache, for before/after checks:
// each entry's clock, the listings and the keys of each entry.
using Snapshot = std::tuple<std::map<unsigned, uint64_t>, std::map<TString, std::set<unsigned>>,
                            std::map<unsigned, std::set<TString>>>;
Snapshot Take(IndexedCache& cache) {
  const IndexedCacheData& data = cache.GetCacheData();
  return {ClocksById(cache),
          {data.m_indexedEntries.begin(), data.m_indexedEntries.end()},
          {data.m_entryIndexKeys.begin(), data.m_entryIndexKeys.end()}};
}

// The three containers agree: the listings, turned round, are the keys of
// the entries; only present entries are listed and no id set is empty.
void ExpectConsistent(IndexedCache& cache) {
  const IndexedCacheData& data = cache.GetCacheData();
  std::map<unsigned, std::set<TString>> mirrored;
  for (const auto& [key, ids] : data.m_indexedEntries) {
    EXPECT_FALSE(ids.empty()) << key;
    for (unsigned id : ids) mirrored[id].insert(key);
  }
  EXPECT_EQ(mirrored, (std::map<unsigned, std::set<TString>>(data.m_entryIndexKeys.begin(),
                                                             data.m_entryIndexKeys.end())));
  for (const auto& [id, keys] : mirrored)
    EXPECT_EQ(data.m_entries.count(Entry(id)), 1u) << "listed absent " << id;
  EXPECT_EQ(IndexedCacheTestAccess::HintMirrorProblem(cache), "");
}

}  // namespace

TEST(IndexedCacheTest, IndexedPredicatesReadOnlyTheListedEntries) {
  IndexedCache cache(std::make_shared<RecordingPolicy>(), nullptr);
  cache.AddIndex(u"Region", RegionOf);
  const unsigned eu1 = cache.AddEntry(MakeRecord("EU", 1));
  const unsigned eu2 = cache.AddEntry(MakeRecord("EU", 2));
  const unsigned eu3 = cache.AddEntry(MakeRecord("EU", 2));
  const unsigned us = cache.AddEntry(MakeRecord("US", 2));
  EXPECT_FALSE(cache.HasIndex(nullptr));
  EXPECT_TRUE(cache.HasIndex(InRegion("nowhere")));
  EXPECT_FALSE(cache.HasIndex(std::make_shared<Probe>(u"Nope", u"EU", [](const Record&) { return true; })));

  // The hints of a key are the ids listed under it, one qualified key each.
  EXPECT_EQ(cache.GetHints(u"Region", u"EU"), (std::set<unsigned>{eu1, eu2, eu3}));
  EXPECT_TRUE(cache.GetHints(u"Region", u"APAC").empty());
  EXPECT_TRUE(cache.GetHints(u"Nope", u"EU").empty());
  EXPECT_EQ(cache.GetIndexedEntries(), (std::unordered_map<TString, std::set<unsigned>>{
                                           {TString(u"Region|EU"), {eu1, eu2, eu3}}, {TString(u"Region|US"), {us}}}));

  // The oldest listed entry that matches wins; only listed entries are tried,
  // in ascending id order, and the search stops at the match.
  auto two = InRegion("EU", [](const Record& r) { return r.m_value == 2; });
  EXPECT_EQ(ValueOf(cache.UseEntry(two)), 2);
  EXPECT_EQ(two->m_seen, (std::vector<unsigned>{eu1, eu2}));

  // A key with no listed entry is a miss without any scan, although a
  // matching entry sits under another key.
  auto unlisted = InRegion("APAC");
  EXPECT_EQ(cache.UseEntry(unlisted), nullptr);
  EXPECT_TRUE(unlisted->m_seen.empty());
  auto usOnlyInEU = InRegion("EU", [](const Record& r) { return r.m_region == "US"; });
  EXPECT_EQ(cache.UseEntry(usOnlyInEU), nullptr);
  EXPECT_EQ(usOnlyInEU->m_seen, (std::vector<unsigned>{eu1, eu2, eu3}));

  // A predicate that only claims HasIndex() means a scan of all entries (as
  // does an index the cache lacks, which the model test covers).
  auto claims = Unindexed([](const Record& r) { return r.m_region == "US"; });
  claims->m_claimsIndex = true;
  EXPECT_EQ(ValueOf(cache.UseEntry(claims)), 2);
  EXPECT_EQ(claims->m_seen.back(), us);
}

// What the random sequences of IndexedCacheModelTest do not pin down: the
// operations that judge one entry only, and the calls that are refused.
TEST(IndexedCacheTest, SingleEntryOperationsAndRefusedCalls) {
  auto recording = std::make_shared<RecordingPolicy>();
  IndexedCache cache(recording, std::make_unique<ManualClock>(5));
  EXPECT_FALSE(cache.AddIndex(TString(), RegionOf));
  EXPECT_FALSE(cache.AddIndex(u"Region", nullptr));
  EXPECT_TRUE(cache.AddIndex(u"Region", RegionOf));
  EXPECT_FALSE(cache.AddIndex(u"Region", [](const Entry&) { return TString(u"other"); }));  // the first stays
  const unsigned a = cache.AddEntry(MakeRecord("EU", 1));
  const unsigned b = cache.AddEntry(MakeRecord("EU", 2));
  cache.JustIncrementClock();  // to 5

  // GetEntry: a copy, clock untouched; Entry() when absent.
  Entry got = cache.GetEntry(a);
  EXPECT_EQ(got.GetID(), a);
  EXPECT_EQ(got.GetClock(), 0u);
  EXPECT_EQ(ValueOf(got.GetData()), 1);
  EXPECT_EQ(cache.GetEntry(b + 100).GetID(), 0u);

  // UseEntryIfMatchesPredicate: that entry only, no search.
  auto one = ValueIs(1);
  EXPECT_EQ(cache.UseEntryIfMatchesPredicate(b, one), nullptr);
  EXPECT_EQ(one->m_seen, std::vector<unsigned>{b});
  EXPECT_EQ(cache.UseEntryIfMatchesPredicate(b + 100, one), nullptr);
  EXPECT_EQ(ValueOf(cache.UseEntryIfMatchesPredicate(a, one)), 1);
  EXPECT_EQ(cache.GetEntry(a).GetClock(), 5u);

  // A null predicate finds nothing and leaves the hint; deletes nothing.
  unsigned hint = b;
  EXPECT_EQ(cache.UseEntryUpdateHint(nullptr, hint), nullptr);
  EXPECT_EQ(hint, b);
  EXPECT_TRUE(cache.DeleteEntries(nullptr).empty());

  // A pruned entry comes back as its id only, and the policy hears of it.
  recording->Take();
  Entry pruned = cache.PruneHints(InRegion("EU"), 1);
  EXPECT_EQ(pruned.GetID(), a);
  EXPECT_EQ(pruned.GetData(), nullptr);
  EXPECT_EQ(recording->Take(), (Calls{{"deleted", a, 5}}));
}

// A move takes everything over, and both caches stay fully usable: the one
// moved from is a new cache of its own, so nothing it does reaches the
// moved policy or the moved entries' indexes.
TEST(IndexedCacheTest, MovesLeaveBothCachesUsable) {
  for (const bool byAssignment : {false, true}) {
    SCOPED_TRACE(byAssignment ? "move assignment" : "move construction");
    auto recording = std::make_shared<RecordingPolicy>();
    IndexedCache source(recording, std::make_unique<ManualClock>(3));
    source.AddIndex(u"Region", RegionOf);
    const unsigned eu = source.AddEntry(MakeRecord("EU", 1));
    const unsigned us = source.AddEntry(MakeRecord("US", 2));
    source.JustIncrementClock();  // to 3
    const Snapshot before = Take(source);

    std::optional<IndexedCache> moved;
    if (byAssignment) {
      moved.emplace();
      moved->AddEntry(MakeRecord("APAC", 9));  // replaced whole by the assignment
      *moved = std::move(source);
    } else {
      moved.emplace(std::move(source));
    }
    IndexedCache& target = *moved;
    recording->Take();
    EXPECT_EQ(Take(target), before);
    EXPECT_EQ(target.GetPolicy(), recording);
    EXPECT_EQ(ValueOf(target.UseEntry(InRegion("US"))), 2);
    EXPECT_EQ(recording->Take(), (Calls{{"used", us, 3}}));

    // The cache moved from: empty, no index, a policy and a clock of its own.
    EXPECT_EQ(source.GetEntryCount(), 0u);
    EXPECT_FALSE(source.HasIndex(InRegion("EU")));
    EXPECT_NE(source.GetPolicy(), recording);
    EXPECT_EQ(source.GetClock(), 0u);
    EXPECT_TRUE(source.AddIndex(u"Region", RegionOf));
    const unsigned fresh = source.AddEntry(MakeRecord("EU", 5));
    EXPECT_EQ(ValueOf(source.UseEntry(InRegion("EU"))), 5);
    EXPECT_EQ(source.DeleteEntries(InRegion("EU")).size(), 1u);
    EXPECT_TRUE(recording->Take().empty());
    EXPECT_EQ(target.GetHints(u"Region", u"EU"), std::set<unsigned>{eu});
    EXPECT_NE(fresh, eu);
    ExpectConsistent(source);
    ExpectConsistent(target);

    // Moving onto itself changes nothing.
    const Snapshot now = Take(target);
    IndexedCache& alias = target;
    target = std::move(alias);
    EXPECT_EQ(Take(target), now);
  }
}

TEST(IndexedCacheTest, PolicyHearsEveryHookInOrderWithTheRightClock) {
  auto* time = new ManualClock();
  auto policy = std::make_shared<RecordingPolicy>(true);
  IndexedCache cache(policy, std::unique_ptr<IClock>(time));
  policy->m_watched = &cache;
  cache.AddIndex(u"Region", RegionOf);
  EXPECT_TRUE(policy->Take().empty());  // indexes are not the policy's business

  time->m_time = 10;
  const unsigned a = cache.AddEntry(MakeRecord("EU", 1));
  const unsigned b = cache.AddEntry(MakeRecord("EU", 2));
  const unsigned c = cache.AddEntry(MakeRecord("US", 3));
  EXPECT_EQ(policy->Take(), (Calls{{"added", a, 10}, {"added", b, 10}, {"added", c, 10}}));

  // Reads by id report the old clock; the other uses the new one. Each use
  // is made at its own time.
  unsigned hint = 0;
  auto two = InRegion("EU", [](const Record& r) { return r.m_value == 2; });
  const std::tuple<uint64_t, std::function<void()>, Call> uses[] = {
      {20, [&] { cache.UseEntry(a); }, {"used", a, 10}},
      {20, [&] { cache.GetEntry(b); }, {"used", b, 10}},
      {30, [&] { cache.UseEntry(two); }, {"used", b, 30}},
      {31, [&] { cache.UseEntryGetHint(ValueIs(3), hint); }, {"used", c, 31}},
      {32, [&] { cache.UseEntryIfMatchesPredicate(a, ValueIs(1)); }, {"used", a, 32}},
      {33, [&] { cache.UseEntryUpdateHint(ValueIs(3), hint = c); }, {"used", c, 33}},
      {34, [&] { cache.UseEntryUpdateHint(ValueIs(2), hint = 0); }, {"used", b, 34}},
  };
  for (const auto& [at, use, heard] : uses) {
    time->m_time = at;
    use();
    EXPECT_EQ(policy->Take(), Calls{heard}) << "at " << at;
  }
  // Misses call nothing.
  cache.UseEntry(c + 100);
  cache.GetEntry(c + 100);
  cache.UseEntry(ValueIs(9));
  cache.UseEntryIfMatchesPredicate(a, ValueIs(9));
  cache.UseEntryUpdateHint(ValueIs(9), hint);
  EXPECT_TRUE(policy->Take().empty());

  // A tracking purge asks the policy that was passed for its victims and
  // never calls Purge; absent victims are skipped; the result holds the
  // cache's own entries. The hooks come after all deletions.
  time->m_time = 40;
  const unsigned d = cache.AddEntry(MakeRecord("EU", 4));
  policy->Take();
  policy->m_victims = {Entry(a), Entry(c), Entry(d + 100)};
  const EntrySet purged = cache.Purge();
  EXPECT_EQ(IdsOf(purged), (std::set<unsigned>{a, c}));
  EXPECT_EQ(ValueOf(purged.find(Entry(a))->GetData()), 1);
  Calls calls = policy->Take();
  ASSERT_EQ(calls.size(), 4u);
  // The deletions in id order (a < c).
  std::sort(calls.begin() + 2, calls.end(), [](const Call& x, const Call& y) { return x.id < y.id; });
  EXPECT_EQ(calls, (Calls{{"capability", IPolicy::TracksEntries, 0}, {"compute", 0, 0}, {"deleted", a, 32},
                          {"deleted", c, 33}}));
  EXPECT_EQ(policy->m_deletedWhileStored, (std::vector<bool>{false, false}));
  ExpectConsistent(cache);

  // DeleteEntry: the stored entry, still in the cache, already out of the
  // indexes. PruneHints goes the same way.
  policy->m_deletedWhileStored.clear();
  const unsigned e = cache.AddEntry(MakeRecord("EU", 5));
  policy->Take();
  cache.DeleteEntry(b);
  cache.PruneHints(InRegion("EU"), 1);  // d and e listed: d goes
  EXPECT_EQ(policy->Take(), (Calls{{"deleted", b, 34}, {"deleted", d, 40}}));
  EXPECT_EQ(policy->m_deletedWhileStored, (std::vector<bool>{true, true}));
  EXPECT_EQ(policy->m_deletedWhileIndexed, (std::vector<bool>{false, false, false, false}));

  // SetPolicy: the same policy is not catalogued again; another one is, over
  // all entries, before it is installed; hooks then go to the new one only.
  cache.SetPolicy(policy, nullptr);
  EXPECT_TRUE(policy->Take().empty());
  auto next = std::make_shared<RecordingPolicy>(true);
  next->m_watched = &cache;
  cache.SetPolicy(next, nullptr);
  EXPECT_EQ(next->Take(), (Calls{{"catalog", 1, 0}, {"added", e, 40}}));
  EXPECT_EQ(next->m_installedDuringCatalog, policy);
  EXPECT_EQ(cache.GetPolicy(), next);
  cache.UseEntry(e);
  EXPECT_TRUE(policy->Take().empty());
  EXPECT_EQ(next->Take(), (Calls{{"used", e, 40}}));

  // A purge with another policy: that policy decides (capability, then its
  // survivors), the installed one hears of the deletions.
  time->m_time = 50;
  const unsigned f = cache.AddEntry(MakeRecord("US", 6));
  next->Take();
  auto survivorPolicy = std::make_shared<RecordingPolicy>(false);
  survivorPolicy->m_victims = {Entry(f)};
  EXPECT_EQ(IdsOf(cache.IncrementClock(survivorPolicy)), std::set<unsigned>{f});
  EXPECT_EQ(survivorPolicy->Take(), (Calls{{"capability", 0, 0}, {"purge", 2, 51}}));
  EXPECT_EQ(next->Take(), (Calls{{"deleted", f, 50}}));

  auto trackingOther = std::make_shared<RecordingPolicy>(true);
  trackingOther->m_victims = {Entry(e)};
  EXPECT_EQ(IdsOf(cache.Purge(trackingOther)), std::set<unsigned>{e});
  EXPECT_EQ(trackingOther->Take(), (Calls{{"capability", 0, 0}, {"compute", 0, 0}}));
  EXPECT_EQ(next->Take(), (Calls{{"deleted", e, 40}}));

  // DeleteEntries: hooks after all deletions, one per entry.
  const unsigned g = cache.AddEntry(MakeRecord("EU", 7));
  const unsigned h = cache.AddEntry(MakeRecord("EU", 8));
  next->Take();
  next->m_deletedWhileStored.clear();
  EXPECT_EQ(IdsOf(cache.DeleteEntries(InRegion("EU"))), (std::set<unsigned>{g, h}));
  EXPECT_EQ(next->Take().size(), 2u);
  EXPECT_EQ(next->m_deletedWhileStored, (std::vector<bool>{false, false}));
  EXPECT_EQ(cache.GetEntryCount(), 0u);
}

// A policy hook that looks the replaced key up from inside a replacement,
// which the cache does not support but must survive, finds nothing there:
// the listing the deletion emptied is kept for the addition, without entry.
TEST(IndexedCacheTest, AHookThatLooksUpTheKeyBeingReplacedFindsNothing) {
  struct LookingPolicy : IPolicy {
    EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last, uint64_t) override {
      return EntrySet(first, last);
    }
    void OnEntryDeleted(const Entry&) override {
      looked = true;
      found = cache->UseEntry(InRegion("EU"));
    }
    IndexedCache* cache = nullptr;
    bool looked = false;
    RefCntPtr<RefCntObject> found;
  };
  auto policy = std::make_shared<LookingPolicy>();
  IndexedCache cache(policy, nullptr);
  policy->cache = &cache;
  cache.AddIndex(u"Region", RegionOf);
  cache.AddEntry(MakeRecord("EU", 1));
  IndexedCacheTestAccess::Replace(cache, *InRegion("EU"), MakeRecord("EU", 2));
  EXPECT_TRUE(policy->looked);
  EXPECT_FALSE(policy->found);
  EXPECT_EQ(cache.GetEntryCount(), 1u);
  ExpectConsistent(cache);
}

TEST(IndexedCacheTest, FailuresLeaveTheCacheConsistent) {
  auto policy = std::make_shared<RecordingPolicy>();
  IndexedCache cache(policy, nullptr);
  cache.AddIndex(u"Region", RegionOf);
  for (int v = 0; v < 6; ++v) cache.AddEntry(MakeRecord(v % 2 ? "EU" : "US", v));
  cache.JustIncrementClock();
  cache.UseEntry(ValueIs(3));
  const Snapshot before = Take(cache);
  policy->Take();

  // A throwing predicate, not indexed: nothing deleted, nobody told.
  EXPECT_THROW(cache.DeleteEntries(ThrowingOnCall(4)), std::runtime_error);
  EXPECT_EQ(Take(cache), before);
  EXPECT_TRUE(policy->Take().empty());

  // A policy that claims tracking without ComputeEntriesToPurge.
  auto claims = std::make_shared<ClaimsTracking>();
  EXPECT_THROW(cache.Purge(claims), NotImplementedException);
  cache.SetPolicy(claims, nullptr);
  EXPECT_THROW(cache.IncrementClock(), NotImplementedException);
  EXPECT_EQ(Take(cache), before);
  EXPECT_EQ(claims->m_deletions, 0);
  cache.SetPolicy(policy, nullptr);
  policy->Take();

  // Indexed: each listed entry is deleted on its match before the next is
  // judged, so the two matches before the throw are gone, unannounced.
  const std::set<unsigned> europe = std::get<1>(before).at(TString(u"Region|EU"));
  ASSERT_EQ(europe.size(), 3u);
  EXPECT_THROW(cache.DeleteEntries(ThrowingOnCall(3, InRegion("EU"))), std::runtime_error);
  EXPECT_EQ(cache.GetCacheData().m_indexedEntries.at(TString(u"Region|EU")),
            std::set<unsigned>{*europe.rbegin()});
  EXPECT_EQ(cache.GetEntryCount(), std::get<0>(before).size() - 2);
  EXPECT_TRUE(policy->Take().empty());
  ExpectConsistent(cache);

  // A key function that throws during AddEntry: the entry stays, unindexed,
  // and the policy is not told of it.
  cache.AddIndex(u"Strict", [](const Entry& e) -> TString {
    if (RecordOf(e).m_value == 99) throw std::runtime_error("no key");
    return TString(u"ok");
  });
  cache.AddIndex(u"Other", [](const Entry&) { return TString(u"x"); });
  policy->Take();
  const uint64_t count = cache.GetEntryCount();
  EXPECT_THROW(cache.AddEntry(MakeRecord("EU", 99)), std::runtime_error);
  EXPECT_EQ(cache.GetEntryCount(), count + 1);
  EXPECT_TRUE(policy->Take().empty());
  ExpectConsistent(cache);
  // It can still be found by a scan and deleted like any other entry.
  EntrySet odd = cache.DeleteEntries(ValueIs(99));
  ASSERT_EQ(odd.size(), 1u);
  EXPECT_EQ(policy->Take(), (Calls{{"deleted", odd.begin()->GetID(), 2}}));
  ExpectConsistent(cache);

  // A replacement whose new entry's key function throws: the old entry is
  // gone, the new one stays unindexed, and the listing the deletion emptied
  // goes with it.
  cache.AddEntry(MakeRecord("ASIA", 5));
  EXPECT_THROW(IndexedCacheTestAccess::Replace(cache, *InRegion("ASIA"), MakeRecord("ASIA", 99)),
               std::runtime_error);
  EXPECT_EQ(cache.GetCacheData().m_indexedEntries.count(TString(u"Region|ASIA")), 0u);
  ExpectConsistent(cache);
  cache.DeleteEntries(ValueIs(99));

  // A hook that throws in DeleteEntry: the exception reaches the caller, and
  // the entry stays, out of the indexes. When it throws in a replacement's
  // deletion, the deletion is done and nothing is added.
  policy->m_throwOnDelete = true;
  const unsigned victim = cache.AddEntry(MakeRecord("EU", 7));
  EXPECT_THROW(cache.DeleteEntry(victim), std::runtime_error);
  EXPECT_EQ(cache.GetEntry(victim).GetID(), victim);
  EXPECT_EQ(cache.GetCacheData().m_entryIndexKeys.count(victim), 0u);
  ExpectConsistent(cache);
  cache.AddEntry(MakeRecord("ASIA", 6));
  const uint64_t entriesBefore = cache.GetEntryCount();
  EXPECT_THROW(IndexedCacheTestAccess::Replace(cache, *InRegion("ASIA"), MakeRecord("ASIA", 8)),
               std::runtime_error);
  EXPECT_EQ(cache.GetEntryCount(), entriesBefore - 1);
  ExpectConsistent(cache);
}

// Running out of memory anywhere in an addition or in a new index leaves the
// tables in step: each allocation of the calls fails in turn, and after each
// failure the cache is consistent, the entries that were there before are
// found by their key, and the newcomer, when found, is found by its own.
TEST(IndexedCacheTest, AnAllocationFailureAnywhereLeavesTheCacheConsistent) {
  if (!kelcache_test::AllocationFailuresAvailable()) return;  // the sanitizers' builds
  for (long successes = 0;; ++successes) {
    SCOPED_TRACE("allocations before the failure: " + std::to_string(successes));
    IndexedCache cache(std::make_shared<RecordingPolicy>(), nullptr);
    cache.AddIndex(u"Region", RegionOf);
    for (int v = 0; v < 4; ++v) cache.AddEntry(MakeRecord(v % 2 ? "EU" : "US", v));
    const bool failed = kelcache_test::RunFailingAllocation(successes, [&] {
      cache.AddEntry(MakeRecord("ASIA", 9));
      cache.AddIndex(u"Value", [](const Entry& entry) { return TString::number(RecordOf(entry).m_value); });
    });
    ExpectConsistent(cache);
    for (const char* region : {"EU", "US", "ASIA"}) {
      const RefCntPtr<RefCntObject> found = cache.UseEntry(InRegion(region));
      if (std::string(region) != "ASIA") EXPECT_TRUE(found) << region;
      if (found) EXPECT_EQ(static_cast<const Record&>(*found).m_region, region);
    }
    if (!failed) break;  // every allocation of the calls has failed once
  }
}
