// The coherence service over an in-process subscription manager, whose
// deliveries run on the calling thread: tracking, dirtiness, removals and
// pruning, withdrawal, reconnection and the asynchronous mode.
#include <gmock/gmock.h>

#include <algorithm>
#include <set>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "host/AppConfig.h"
#include "host/AppOptions.h"
#include "host/AsyncTask.h"
#include "host/Errors.h"
#include "host/KelvraCounters.h"
#include "host/LogCapture.h"
#include "public/caching/CascadeInvalidatorHolder.h"
#include "tests/main/caching/coherence/CoherenceTestSupport.h"
#include "tests/support/FailingAllocation.h"
#include "tests/support/TestGate.h"

namespace {

using namespace coherence_test;
using kelvra::appoptions::ScopedOptionOverride;
using kelvra::caching::CascadeInvalidatorHolderFactory;
using kelvra::caching::RedisPubsub;

const TString kPrefix(u"test.");
const Hash kKey{0xabc, 0x123};
const Hash kValue{0x1, 0x2};
const Hash kOtherValue{0x3, 0x4};
constexpr uint64_t kTime = 63900000000000ULL;  // a DateTime representation (ms)

// A cache that records, then refuses.
struct RaisingCache : RecordingCache {
  void OnDirty(const std::vector<unsigned int>& ids) override {
    RecordingCache::OnDirty(ids);
    throw std::runtime_error("cache refuses");
  }
};

void Refuse(const std::vector<unsigned int>&) { throw std::runtime_error("invalidator refuses"); }

class RedisPubsubTest : public testing::Test {
 protected:
  // m_refusing, told first, raises only in the tests that make it.
  void SetUp() override {
    CascadeInvalidatorHolderFactory::GetInstance().ResetForTest();
    CascadeInvalidatorHolderFactory::GetInstance().Initialize({&m_refusing, &m_invalidator, nullptr, nullptr});
  }
  void TearDown() override {
    // The tables are consistent at every test's end, and after its caches
    // withdraw.
    m_refusing.whenDirty = m_refusing.whenEvicted = m_invalidator.whenDirty = nullptr;
    if (m_service) {
      EXPECT_EQ(m_service->CheckConsistencyTestOnly(), "");
      m_service->OnRemoved(*m_cache);
      m_service->OnRemoved(*m_other);
      EXPECT_EQ(m_service->CheckConsistencyTestOnly(), "");
    }
    m_service.reset();
    CascadeInvalidatorHolderFactory::GetInstance().ResetForTest();
  }

  // Options are read when the service is made, so tests set them first.
  void MakeService() {
    m_service = RedisPubsub::CreateTestInstance(kPrefix, m_manager, [this](const TString& channel, const TString& message) {
      m_published.emplace_back(channel.toStdString(), message.toStdString());
      m_manager.Deliver(channel, message.toStdString());
    });
  }
  // Entries 1, 2, ... under the key hashes {1, 1}, {2, 2}, ..., entry n in
  // caches[n - 1].
  void AddEntriesTo(const std::vector<std::shared_ptr<kelvra::caching::ICoherentCache>>& caches) {
    for (unsigned id = 1; id <= caches.size(); ++id) {
      m_service->OnAdded({id, id}, kValue, kTime, id, caches[id - 1]);
    }
  }
  // A message from another process.
  void Receive(const Hash& key, const Hash& value, uint64_t timestamp) {
    m_manager.Deliver(kPrefix + TString::fromStdString(HashText(key)), MessageText(value, timestamp));
  }

  InProcessSubscriptionManager m_manager;
  RecordingInvalidator m_invalidator;
  RecordingInvalidator m_refusing;
  std::shared_ptr<RecordingCache> m_cache = std::make_shared<RecordingCache>();
  std::shared_ptr<RecordingCache> m_other = std::make_shared<RecordingCache>();
  std::shared_ptr<RedisPubsub> m_service;
  std::vector<std::pair<std::string, std::string>> m_published;
};

TEST_F(RedisPubsubTest, FirstLocalEntryIsTrackedAndPublishedAndItsOwnMessageIsHarmless) {
  ScopedOptionOverride delta("CacheSynchronizationMinimumDeltaSeconds", 5);
  MakeService();
  EXPECT_EQ(m_manager.SubscriptionCount(), 1u);
  const int64_t saved = KelvraCounters::RedisPubsubSavedMessages.load();
  m_service->OnAdded(kKey, kValue, kTime, 7, m_cache);
  EXPECT_EQ(m_published, (decltype(m_published){{"test.abc-123", "1-2@3a1de0cd1800"}}));
  EXPECT_EQ(KelvraCounters::RedisPubsubSavedMessages.load(), saved + 1);

  // A second entry of the same key hash and value in another cache: not saved again.
  m_service->OnAdded(kKey, kValue, kTime + 1, 8, m_other);
  EXPECT_EQ(KelvraCounters::RedisPubsubSavedMessages.load(), saved + 1);
  EXPECT_TRUE(m_cache->dirty.empty() && m_other->dirty.empty()) << "its own messages never make an entry dirty";
  m_service.reset();
  EXPECT_EQ(m_manager.SubscriptionCount(), 0u) << "destruction unsubscribes";
}

// Timestamps at the ends of the range: the margin is subtracted with
// saturation, so a message from before the minimum date plus the margin is
// never newer than anything, and one at the very end is newer than all.
TEST_F(RedisPubsubTest, MinimumDeltaBoundaryExtremeTimestampsEqualHashesAndZeroHashes) {
  ScopedOptionOverride delta("CacheSynchronizationMinimumDeltaSeconds", 5);
  MakeService();
  m_service->OnAdded(kKey, kValue, kTime, 7, m_cache);
  m_service->OnAdded(kKey, kValue, 0, 8, m_cache);  // an entry stamped with the minimum date
  for (uint64_t timestamp : {0, 1, 4999, 5000}) {
    SCOPED_TRACE(timestamp);
    Receive(kKey, kOtherValue, timestamp);  // at most the margin newer than entry 8
    EXPECT_TRUE(m_cache->dirty.empty()) << "an older message marks nothing dirty";
  }
  Receive(kKey, kValue, UINT64_MAX);  // same value, newer than all: never dirty
  EXPECT_TRUE(m_cache->dirty.empty());
  Receive(kKey, kOtherValue, UINT64_MAX);
  EXPECT_EQ(m_cache->dirty, (std::vector<unsigned>{7, 8}));
  ASSERT_EQ(m_invalidator.dirtyCalls.size(), 2u) << "one call per entry";
  EXPECT_EQ(m_invalidator.dirtyCalls[1].cache, m_cache.get());

  // Two zero hashes are values without a hash: time alone decides.
  m_service->OnAdded({0xdead, 0}, {0, 0}, kTime, 9, m_cache);
  Receive({0xdead, 0}, {0, 0}, kTime + 5000);  // exactly the margin: not older by more
  EXPECT_EQ(m_cache->dirty.size(), 2u);
  Receive({0xdead, 0}, {0, 0}, kTime + 5001);
  EXPECT_EQ(m_cache->dirty, (std::vector<unsigned>{7, 8, 9}));

  // An addition that is older than a local entry of another value is stale
  // at once: marked dirty, neither tracked nor published.
  m_service->OnAdded(kKey, kOtherValue, kTime + 100000, 10, m_cache);
  const size_t published = m_published.size();
  m_service->OnAdded(kKey, kValue, kTime, 11, m_cache);
  EXPECT_EQ(m_published.size(), published);
  EXPECT_EQ(m_cache->dirty.back(), 11u);
  // When its cache and an invalidator raise, the other invalidator still
  // hears of it, and the first failure reaches the caller.
  m_refusing.whenDirty = Refuse;
  const size_t told = m_invalidator.dirtyCalls.size();
  EXPECT_THROW(m_service->OnAdded(kKey, kValue, kTime, 12, std::make_shared<RaisingCache>()), std::runtime_error);
  ASSERT_EQ(m_invalidator.dirtyCalls.size(), told + 1);
  EXPECT_EQ(m_invalidator.dirtyCalls.back().ids, std::vector<unsigned>{12});
}

TEST_F(RedisPubsubTest, DryRunTellsOnlyTheInvalidators) {
  ScopedOptionOverride dryRun("CacheSynchronizationDryRun", true);
  ScopedOptionOverride delta("CacheSynchronizationMinimumDeltaSeconds", 0);
  MakeService();
  m_service->OnAdded(kKey, kValue, kTime, 7, m_cache);
  Receive(kKey, kOtherValue, kTime + 1);
  EXPECT_TRUE(m_cache->dirty.empty());
  ASSERT_EQ(m_invalidator.dirtyCalls.size(), 1u);
  EXPECT_EQ(m_invalidator.dirtyCalls[0].ids, std::vector<unsigned>{7});
  Receive(kKey, kOtherValue, kTime + 2);
  EXPECT_EQ(m_invalidator.dirtyCalls.size(), 1u) << "the record was forgotten as usual";
}

TEST_F(RedisPubsubTest, PlaceholdersForRemovalsBeforeAdditions) {
  ScopedOptionOverride logging("CacheSynchronizationLogging", true);
  TLog::Capture capture(TLog::Info);
  MakeService();
  m_service->OnRemoved({5}, m_cache);
  EXPECT_EQ(KelvraCounters::RedisPubsubPlaceholderSize.load(), 1);
  EXPECT_EQ(kelcache_test::LogicExceptionSite([&] { m_service->OnRemoved({5}, m_cache); }),
            "main/caching/RedisPubsub:646 m_removeBeforeAddPlaceholders.find({guid, cache.get()}) == "
            "m_removeBeforeAddPlaceholders.end()")
      << "a second removal of a placeholder pair";
  m_service->OnAdded(kKey, kValue, kTime, 5, m_cache);  // consumes the placeholder
  EXPECT_TRUE(m_published.empty());
  EXPECT_EQ(KelvraCounters::RedisPubsubPlaceholderSize.load(), 0);
  m_service->OnAdded(kKey, kValue, kTime, 5, m_cache);  // now tracked and published
  EXPECT_EQ(m_published.size(), 1u);

  // The 10001st placeholder flushes them all, naming some.
  std::vector<unsigned> many(10001);
  std::iota(many.begin(), many.end(), 1000u);
  capture.Clear();
  m_service->OnRemoved(many, m_cache);
  EXPECT_EQ(KelvraCounters::RedisPubsubPlaceholderSize.load(), 0);
  EXPECT_TRUE(capture.ContainsLine(TString(u" {CacheGuid=1000, cache=") + TString::pointer(m_cache.get()) + u"}"));
  m_service->OnRemoved({1000}, m_cache);  // no placeholder left: a new one, no error
}

TEST_F(RedisPubsubTest, RemovalsEvictAndPruningDropsByAgeAndCount) {
  ScopedOptionOverride lifetime("CacheSynchronizationEvictedLifetimeSec", 3600);
  ScopedOptionOverride max("CacheSynchronizationMaxEvictedEntries", 100);
  MakeService();
  for (unsigned guid = 1; guid <= 4; ++guid) m_service->OnAdded({guid, 0}, kValue, kTime, guid, m_cache);
  m_service->OnAdded({9, 0}, kValue, kTime, 9, m_other);

  // An empty removal does nothing and reports zeros.
  kelvra::caching::OnRemovedMetrics empty = m_service->OnRemoved({}, m_cache);
  EXPECT_EQ(empty.guidCount + empty.totalMs + empty.lockMs + empty.pruneMs, 0u);

  EXPECT_EQ(m_service->OnRemoved({1, 2}, m_cache).guidCount, 2u);
  m_service->OnRemoved({9}, m_other);
  m_service->OnRemoved({3, 4}, m_cache);
  EXPECT_EQ(m_service->CheckConsistencyTestOnly(), "");

  // Removing an evicted entry again is an error event and changes nothing.
  TLog::Capture capture(TLog::Info);
  m_service->OnRemoved({1}, m_cache);
  const auto events = capture.Events(u"RedisPubsub::OnRemoved - removing an evicted entry again.");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].severity, TLog::Error);
  EXPECT_EQ(events[0].fields.at(u"CacheGuid"), u"1");

  // An evicted entry still hears a late message (and leaves the tracking).
  Receive({2, 0}, kOtherValue, kTime + 100000);
  EXPECT_TRUE(m_cache->dirty.empty()) << "caches are not told about evicted entries";
  ASSERT_EQ(m_invalidator.dirtyCalls.size(), 1u);
  EXPECT_EQ(m_invalidator.dirtyCalls[0].ids, std::vector<unsigned>{2});

  // Count pass: four evicted records (1, 9, 3, 4 in eviction order), max 3:
  // down to 2, the oldest first; OnEvicted per cache, in drop order.
  m_service->TriggerPruneEvictedEntriesTestOnly(3, -1);
  ASSERT_EQ(m_invalidator.evicted.size(), 2u);
  std::map<const kelvra::caching::ICoherentCache*, std::vector<unsigned>> byCache;
  for (const auto& call : m_invalidator.evicted) byCache[call.cache] = call.ids;
  EXPECT_EQ(byCache, (decltype(byCache){{m_cache.get(), {1}}, {m_other.get(), {9}}}));
  EXPECT_TRUE(capture.ContainsLine(TString(u"RedisPubsub now tracking 2 evicted queries")));

  // Max 0: every remaining record goes.
  capture.Clear();
  m_service->TriggerPruneEvictedEntriesTestOnly(0, -1);
  EXPECT_TRUE(capture.ContainsLine(TString(u"RedisPubsub now tracking 0 evicted queries")));
  EXPECT_EQ(m_invalidator.evicted.back().ids, (std::vector<unsigned>{3, 4}));

  // Max 10 with twelve records: down to 6. Age pass: lifetime 0 drops all.
  m_service->TriggerPruneEvictedEntriesTestOnly(100, -1);  // the removal below prunes with the last max
  for (unsigned guid = 100; guid < 112; ++guid) {
    m_service->OnAdded({guid, 0}, kValue, kTime, guid, m_cache);
    m_service->OnRemoved({guid}, m_cache);
  }
  capture.Clear();
  m_service->TriggerPruneEvictedEntriesTestOnly(10, -1);
  EXPECT_TRUE(capture.ContainsLine(TString(u"RedisPubsub now tracking 6 evicted queries")));
  m_service->TriggerPruneEvictedEntriesTestOnly(-1, 0);
  EXPECT_EQ(m_invalidator.evicted.back().ids, (std::vector<unsigned>{106, 107, 108, 109, 110, 111}));
}

TEST_F(RedisPubsubTest, WithdrawingACacheForgetsItsEntries) {
  MakeService();
  m_service->OnAdded(kKey, kValue, kTime, 1, m_cache);
  m_service->OnAdded(kKey, kValue, kTime, 2, m_other);
  m_service->OnAdded({7, 7}, kValue, kTime, 3, m_cache);
  m_service->OnRemoved({3}, m_cache);
  m_service->OnRemoved(m_cache);  // through its shared pointer, as OnAdded takes it
  ASSERT_FALSE(m_invalidator.evicted.empty());
  EXPECT_EQ(m_invalidator.evicted.back().cache, m_cache.get());
  EXPECT_EQ(m_invalidator.evicted.back().ids, (std::vector<unsigned>{1, 3}));
  // Its key hash now has only the other cache's entry; {7,7} has none.
  const int64_t wasted = KelvraCounters::RedisPubsubWastedMessages.load();
  Receive({7, 7}, kOtherValue, kTime + 10000000);
  EXPECT_EQ(KelvraCounters::RedisPubsubWastedMessages.load(), wasted + 1);
  Receive(kKey, kOtherValue, kTime + 10000000);
  EXPECT_TRUE(m_cache->dirty.empty());
  EXPECT_EQ(m_other->dirty, std::vector<unsigned>{2});
  // A removal for a cache that is gone does nothing: no placeholder for the
  // id it never added (99), no eviction told, nothing tracked.
  const std::weak_ptr<kelvra::caching::ICoherentCache> gone = std::make_shared<RecordingCache>();  // expired
  const size_t evictionsTold = m_invalidator.evicted.size();
  const int64_t placeholders = KelvraCounters::RedisPubsubPlaceholderSize.load();
  const kelvra::caching::OnRemovedMetrics removed = m_service->OnRemoved({1, 99}, gone);
  EXPECT_EQ(removed.guidCount, 2u);
  EXPECT_EQ(removed.lockMs, 0u);
  EXPECT_EQ(KelvraCounters::RedisPubsubPlaceholderSize.load(), placeholders);
  m_service->OnRemoved(gone);  // a withdrawal of it: nothing to do either
  EXPECT_EQ(m_invalidator.evicted.size(), evictionsTold) << "neither told of an eviction";
}

// What a host does when it destroys a cache: it withdraws the cache, then
// lets it go. An addition under way at that moment must not track the cache
// again: its record would outlive the cache, and the next message would tell
// a destroyed cache. It still publishes the value. Synchronously, another
// thread's addition waits for the service's lock while the withdrawal is made
// in its hold; asynchronously, an addition launched before the withdrawal
// runs after it.
TEST_F(RedisPubsubTest, AnAdditionUnderWayWhenItsCacheIsWithdrawnLeavesTheCacheAlone) {
  ScopedOptionOverride delta("CacheSynchronizationMinimumDeltaSeconds", 0);
  std::atomic<int> published{0};
  for (const bool async : {false, true}) {
    SCOPED_TRACE(async ? "asynchronous" : "synchronous");
    ScopedOptionOverride asyncOption("AsyncCacheCoherence", async);
    published = 0;
    m_service = RedisPubsub::CreateTestInstance(kPrefix, m_manager,
                                                [&published](const TString&, const TString&) { ++published; });
    auto told = std::make_shared<RecordingCache>();
    auto withdrawn = std::make_shared<RecordingCache>();
    const std::weak_ptr<RecordingCache> watched = withdrawn;
    std::thread adder;
    // The service's lock is held while the invalidator is told of a dirty
    // entry.
    m_invalidator.whenDirty = [&](const std::vector<unsigned int>&) {
      if (adder.joinable()) return;
      std::atomic<bool> started{false};
      adder = std::thread([&, cache = std::weak_ptr<kelvra::caching::ICoherentCache>(withdrawn)] {
        started = true;
        m_service->OnAdded({7, 7}, kValue, kTime, 42, cache);  // waits for the lock, or is launched
      });
      while (!started) std::this_thread::yield();
      if (async) adder.join();  // launched
      if (!async) std::this_thread::sleep_for(200ms);
      m_service->OnRemoved(*withdrawn);
      withdrawn.reset();
    };
    m_service->OnAdded({1, 1}, kValue, kTime, 1, told);
    ASSERT_TRUE(WaitUntil([&] { return published == 1; }));
    Receive({1, 1}, kOtherValue, kTime + 10);
    if (adder.joinable()) adder.join();
    ASSERT_TRUE(WaitUntil([&] { return published == 2; })) << "the addition still publishes";
    m_invalidator.whenDirty = nullptr;
    EXPECT_TRUE(watched.expired());
    EXPECT_EQ(told->dirty, std::vector<unsigned>{1});
    m_invalidator.dirtyCalls.clear();
    Receive({7, 7}, kOtherValue, kTime + 10);
    EXPECT_TRUE(m_invalidator.dirtyCalls.empty()) << "the destroyed cache's entry was tracked";
    EXPECT_EQ(m_service->CheckConsistencyTestOnly(), "");
    m_service.reset();  // waits for its tasks, which use `published`
  }
}

// An invalidator told of a cache's entry may withdraw the cache, and the
// host may then destroy it: whatever was telling of it tells nobody else of
// it after that, whether a message, a reconnection or pruning was telling.
TEST_F(RedisPubsubTest, NobodyIsToldOfACacheAfterAnInvalidatorWithdrewIt) {
  ScopedOptionOverride delta("CacheSynchronizationMinimumDeltaSeconds", 0);
  const std::pair<const char*, std::function<void()>> paths[] = {
      {"message", [&] { Receive({2, 2}, kOtherValue, kTime + 10); }},
      {"reconnection", [&] { m_manager.SimulateReconnect(); }},
      {"pruning",
       [&] {
         m_service->OnRemoved({1}, m_cache);
         m_service->OnRemoved({2}, m_other);
         m_service->TriggerPruneEvictedEntriesTestOnly(-1, 0);
       }},
  };
  for (const auto& [path, tell] : paths) {
    SCOPED_TRACE(path);
    MakeService();
    AddEntriesTo({m_cache, m_other});  // entry 1 in m_cache, entry 2 in m_other
    bool withdrew = false;
    size_t withdrawalsOwn[2] = {0, 0};  // m_invalidator's evicted calls made by the withdrawal itself
    auto withdrawOther = [&](const std::vector<RecordingInvalidator::Call>& calls) {
      if (!withdrew && calls.back().cache == m_other.get()) {
        withdrew = true;
        withdrawalsOwn[0] = m_invalidator.evicted.size();
        m_service->OnRemoved(*m_other);
        withdrawalsOwn[1] = m_invalidator.evicted.size();
      }
    };
    m_refusing.whenDirty = [&](const std::vector<unsigned>&) { withdrawOther(m_refusing.dirtyCalls); };
    m_refusing.whenEvicted = [&](const std::vector<unsigned>&) { withdrawOther(m_refusing.evicted); };
    m_invalidator.dirtyCalls.clear();
    m_invalidator.evicted.clear();
    tell();
    EXPECT_TRUE(withdrew);
    // The withdrawal itself tells of what it forgot; nothing else may.
    auto& evicted = m_invalidator.evicted;
    evicted.erase(evicted.begin() + withdrawalsOwn[0], evicted.begin() + withdrawalsOwn[1]);
    for (const auto* calls : {&m_invalidator.dirtyCalls, &evicted}) {
      for (const auto& call : *calls) EXPECT_NE(call.cache, m_other.get()) << "told of the withdrawn cache";
    }
    m_refusing.whenDirty = m_refusing.whenEvicted = nullptr;
    m_service->OnRemoved(*m_cache);
  }
}

// Those told of a dirty entry may call back into the service on the same
// thread (its lock admits its holder again), for example with a removal whose
// pruning drops the evicted record being reported and every other evicted
// one. The walk over the key hash's records must still tell each dirty live
// entry, forget exactly the records it told of, and survive the key hash
// losing all its records meanwhile.
TEST_F(RedisPubsubTest, ACallbackThatCallsBackIntoTheServiceMidWalkLosesNoDirtyEntry) {
  ScopedOptionOverride delta("CacheSynchronizationMinimumDeltaSeconds", 0);
  ScopedOptionOverride lifetime("CacheSynchronizationEvictedLifetimeSec", 3600);
  MakeService();
  // The pruning a removal ends with, here one that drops every evicted
  // record; later removals may keep theirs again.
  m_invalidator.whenDirty = [this](const std::vector<unsigned int>&) {
    m_service->TriggerPruneEvictedEntriesTestOnly(0, -1);
    m_service->TriggerPruneEvictedEntriesTestOnly(100, -1);
  };
  const Hash liveBeside{0x10, 0x10};
  const Hash evictedOnly{0x20, 0x20};
  m_service->OnAdded(liveBeside, kValue, kTime, 1, m_cache);
  m_service->OnRemoved({1}, m_cache);
  m_service->OnAdded(liveBeside, kValue, kTime, 2, m_cache);
  m_service->OnAdded(evictedOnly, kValue, kTime, 3, m_cache);
  m_service->OnRemoved({3}, m_cache);

  Receive(liveBeside, kOtherValue, kTime + 1);
  EXPECT_EQ(m_cache->dirty, std::vector<unsigned>{2}) << "the live entry after the evicted one";
  ASSERT_EQ(m_invalidator.dirtyCalls.size(), 2u);
  EXPECT_EQ(m_invalidator.dirtyCalls[0].ids, std::vector<unsigned>{1});
  EXPECT_EQ(m_invalidator.dirtyCalls[1].ids, std::vector<unsigned>{2});
  EXPECT_EQ(m_service->CheckConsistencyTestOnly(), "");

  m_service->OnAdded(evictedOnly, kValue, kTime, 4, m_cache);
  m_service->OnRemoved({4}, m_cache);
  EXPECT_NO_THROW(Receive(evictedOnly, kOtherValue, kTime + 1));
  EXPECT_EQ(m_invalidator.dirtyCalls.size(), 3u);
  EXPECT_EQ(m_cache->dirty, std::vector<unsigned>{2});
}

// Running out of memory while an entry is tracked or evicted leaves the
// tables in step: each allocation of an addition and a removal fails in
// turn, and the tables stay consistent after each failure. A withdrawal
// finishes whatever fails: the cache is about to go, so none of its records,
// live or evicted, may stay to be told or pruned later. A reconnection's
// flush tells every live entry's cache, in the flush that fails or in the
// next one: no entry is forgotten untold. So does pruning: the invalidators
// hear of every evicted entry pruned, in the pass that fails or the next.
TEST_F(RedisPubsubTest, RunningOutOfMemoryWhileTrackingLeavesTheTablesConsistent) {
  if (!kelcache_test::AllocationFailuresAvailable()) return;  // the sanitizers' builds
  MakeService();
  // Once outside the failures: what the process makes on first use (the
  // metrics registry, the log) is made.
  m_service->OnAdded({0x900, 0x900}, kValue, kTime, 1000, m_cache);
  m_service->OnRemoved({1000}, m_cache);
  for (long successes = 0;; ++successes) {
    SCOPED_TRACE("allocations before the failure: " + std::to_string(successes));
    const unsigned guid = static_cast<unsigned>(successes) + 1;
    const Hash key{0x900, static_cast<uint64_t>(successes)};
    const bool failed = kelcache_test::RunFailingAllocation(successes, [&] {
      m_service->OnAdded(key, kValue, kTime, guid, m_cache);
      m_service->OnRemoved({guid}, m_cache);
    });
    EXPECT_EQ(m_service->CheckConsistencyTestOnly(), "");
    if (!failed) break;  // every allocation of the calls has failed once
  }
  const Hash live{0x901, 1};
  for (long successes = 0;; ++successes) {
    SCOPED_TRACE("withdrawal, allocations before the failure: " + std::to_string(successes));
    m_service->OnAdded(live, kValue, kTime, 1, m_cache);
    m_service->OnAdded({0x901, 2}, kValue, kTime, 2, m_cache);
    m_service->OnRemoved({2}, m_cache);
    const bool failed = kelcache_test::RunFailingAllocation(successes, [&] { m_service->OnRemoved(*m_cache); });
    EXPECT_EQ(m_service->CheckConsistencyTestOnly(), "");
    m_cache->dirty.clear();
    Receive(live, kOtherValue, kTime + 6000);  // newer by more than the 5 s margin
    EXPECT_TRUE(m_cache->dirty.empty()) << "the withdrawn cache was told";
    if (!failed) break;
  }
  for (long successes = 0;; ++successes) {
    SCOPED_TRACE("reconnection, allocations before the failure: " + std::to_string(successes));
    AddEntriesTo({m_cache, m_cache, m_cache});
    m_cache->dirty.clear();
    m_cache->dirty.reserve(8);  // so that the test's cache records without allocating
    const bool failed = kelcache_test::RunFailingAllocation(successes, [&] { m_manager.SimulateReconnect(); });
    m_manager.SimulateReconnect();
    EXPECT_THAT(m_cache->dirty, testing::UnorderedElementsAre(1, 2, 3));
    if (!failed) break;
  }
  for (long successes = 0;; ++successes) {
    SCOPED_TRACE("pruning, allocations before the failure: " + std::to_string(successes));
    m_service->TriggerPruneEvictedEntriesTestOnly(-1, 3600);  // nothing is that old
    AddEntriesTo({m_cache, m_other, m_cache, m_other});
    m_service->OnRemoved({1, 3}, m_cache);
    m_service->OnRemoved({2, 4}, m_other);
    m_refusing.evicted.clear();
    m_invalidator.evicted.clear();
    const bool failed =
        kelcache_test::RunFailingAllocation(successes, [&] { m_service->TriggerPruneEvictedEntriesTestOnly(-1, 0); });
    m_service->TriggerPruneEvictedEntriesTestOnly(-1, 0);
    // Either invalidator may be the one whose own record of a call failed.
    std::set<unsigned> heard;
    for (const RecordingInvalidator* invalidator : {&m_refusing, &m_invalidator}) {
      for (const RecordingInvalidator::Call& call : invalidator->evicted) heard.insert(call.ids.begin(), call.ids.end());
    }
    EXPECT_EQ(heard, (std::set<unsigned>{1, 2, 3, 4}));
    EXPECT_EQ(m_service->CheckConsistencyTestOnly(), "");
    if (!failed) break;
  }
}

TEST_F(RedisPubsubTest, MalformedMessagesAndTestOnlyCallsOutsideUnitTestsRaise) {
  ScopedOptionOverride delta("CacheSynchronizationMinimumDeltaSeconds", 0);
  MakeService();
  m_service->OnAdded(kKey, kValue, kTime, 1, m_cache);
  const std::string parts = "main/caching/RedisPubsub:237 parts.size() == 2";
  const std::string split = "main/caching/RedisPubsub:251 split.size() == 2";
  struct Case {
    const char16_t* channel;
    std::string message;
    std::string raised;
  };
  for (const Case& malformed : {Case{u"test.abc", "1-2@5", parts},         // key text without "-"
                                Case{u"test.abc-123", "1-2", split},       // no "@"
                                Case{u"test.abc-123", "1-2@3@4", split},   // two "@"
                                Case{u"test.abc-123", "12@5", parts}}) {   // value hash without "-"
    EXPECT_EQ(kelcache_test::LogicExceptionSite([&] { m_manager.Deliver(malformed.channel, malformed.message); }),
              malformed.raised)
        << malformed.message;
  }
  EXPECT_NO_THROW(m_manager.Deliver(u"test.", "1-2@5")) << "no key text: ignored";
  Receive(kKey, kOtherValue, kTime + 1);
  EXPECT_EQ(m_cache->dirty, std::vector<unsigned>{1}) << "the service still works";

  // A test instance without a way to publish drops its publications and
  // still hears other processes; outside unit tests, the test-only
  // operations raise.
  {
    InProcessSubscriptionManager manager;
    auto silent = RedisPubsub::CreateTestInstance(kPrefix, manager, {});
    auto cache = std::make_shared<RecordingCache>();
    silent->OnAdded(kKey, kValue, kTime, 1, cache);
    manager.Deliver(kPrefix + TString::fromStdString(HashText(kKey)), MessageText(kOtherValue, kTime + 6000));
    EXPECT_EQ(cache->dirty, std::vector<unsigned>{1});
    silent->OnRemoved(*cache);
  }
  AppConfig::GetInstance().SetUnitTestFlag(false);
  EXPECT_EQ(kelcache_test::LogicExceptionSite([&] { RedisPubsub::CreateTestInstance(kPrefix, m_manager, {}); }),
            "main/caching/RedisPubsub:173 AppConfig::GetInstance().GetUnitTestFlag()");
  EXPECT_EQ(kelcache_test::LogicExceptionSite([&] { m_service->TriggerPruneEvictedEntriesTestOnly(-1, -1); }),
            "main/caching/RedisPubsub:180 AppConfig::GetInstance().GetUnitTestFlag()");
  AppConfig::GetInstance().SetUnitTestFlag(true);
}

// A reconnect marks every live entry dirty (one call per entry), and tells
// the invalidators of every evicted one (results derived from it may be stale
// as well), unless the option is off. A cache or invalidator told during the
// flush may withdraw a cache, which the host may then destroy: that cache's
// other entries are told nothing more.
TEST_F(RedisPubsubTest, AReconnectMarksTrackedEntriesDirtyUnlessSwitchedOffAndSparesACacheWithdrawnMeanwhile) {
  MakeService();
  AddEntriesTo({m_cache, m_other, m_other, m_cache, m_cache});
  m_service->OnRemoved({5}, m_cache);  // evicted: the cache is not told, its invalidators are
  {
    ScopedOptionOverride off("CacheSynchronizationFlushOnReconnect", false);
    m_manager.SimulateReconnect();
    EXPECT_TRUE(m_cache->dirty.empty() && m_other->dirty.empty());
  }
  std::optional<size_t> toldBeforeWithdrawal;
  m_invalidator.whenDirty = [&](const std::vector<unsigned int>&) {
    if (toldBeforeWithdrawal) return;
    m_service->OnRemoved(*m_other);
    toldBeforeWithdrawal = m_other->dirty.size();
  };
  m_manager.SimulateReconnect();
  EXPECT_LE(m_other->dirty.size(), 1u);
  EXPECT_EQ(m_other->dirty.size(), toldBeforeWithdrawal) << "the withdrawn cache was told of an entry";
  EXPECT_THAT(m_cache->dirty, testing::UnorderedElementsAre(1, 4));
  EXPECT_EQ(m_invalidator.dirtyCalls.size(), 3u + m_other->dirty.size()) << "1, 4 and the evicted 5";
  EXPECT_TRUE(std::any_of(m_invalidator.dirtyCalls.begin(), m_invalidator.dirtyCalls.end(), [&](const auto& call) {
    return call.ids == std::vector<unsigned>{5} && call.cache == m_cache.get();
  })) << "the evicted entry's invalidators were not told";
}

// A received message and the reconnect flush tell every cache and invalidator
// of every dirty entry even when some of them raise, and the service forgets
// the entries. A message then raises the first failure to its caller; the
// flush, which nobody waits for, says so in one line, not one per failure.
TEST_F(RedisPubsubTest, DirtyEntriesReachEveryCacheAndInvalidatorPastOneThatRaises) {
  m_refusing.whenDirty = Refuse;
  for (const bool byMessage : {true, false}) {
    SCOPED_TRACE(byMessage ? "message" : "reconnection");
    const auto makeDirty = [&] {
      byMessage ? Receive(kKey, kOtherValue, kTime + 3600000) : m_manager.SimulateReconnect();
    };
    MakeService();
    m_cache->dirty.clear();
    m_invalidator.dirtyCalls.clear();
    m_refusing.dirtyCalls.clear();
    auto raising = std::make_shared<RaisingCache>();
    for (unsigned guid = 1; guid <= 4; ++guid) {
      m_service->OnAdded(kKey, kValue, kTime, guid, guid % 2 == 1 ? raising : m_cache);
    }
    TLog::Capture capture(TLog::Warn);
    if (byMessage) {
      EXPECT_THROW(makeDirty(), std::runtime_error);
    } else {
      EXPECT_NO_THROW(makeDirty());
      const std::vector<TString> lines = capture.Lines();
      EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                              [](const TString& line) { return line.contains(u"failed to take an entry as dirty"); }),
                1);
    }
    EXPECT_THAT(m_cache->dirty, testing::UnorderedElementsAre(2, 4));
    EXPECT_THAT(raising->dirty, testing::UnorderedElementsAre(1, 3));
    EXPECT_EQ(m_invalidator.dirtyCalls.size(), 4u) << "the invalidator after the raising one hears of every entry";
    EXPECT_EQ(m_refusing.dirtyCalls.size(), 4u) << "so does the raising one, after it raised";
    EXPECT_NO_THROW(makeDirty()) << "the entries were forgotten";
    EXPECT_EQ(m_invalidator.dirtyCalls.size(), 4u);
  }
}

// Entries dropped by pruning or a withdrawal reach every invalidator past one
// that raises, and an addition whose pruning raised is still published.
TEST_F(RedisPubsubTest, EvictedEntriesReachEveryInvalidatorPastOneThatRaises) {
  ScopedOptionOverride lifetime("CacheSynchronizationEvictedLifetimeSec", 1);
  MakeService();
  AddEntriesTo({m_cache, m_cache});
  m_service->OnRemoved({1}, m_cache);
  std::this_thread::sleep_for(1100ms);  // entry 1 outlives its lifetime
  m_refusing.whenEvicted = Refuse;
  EXPECT_THROW(m_service->OnAdded({3, 3}, kValue, kTime, 3, m_cache), std::runtime_error);
  ASSERT_EQ(m_invalidator.evicted.size(), 1u);
  EXPECT_EQ(m_invalidator.evicted[0].ids, (std::vector<unsigned>{1}));
  ASSERT_FALSE(m_published.empty());
  EXPECT_EQ(m_published.back().first, "test.3-3") << "the addition is published all the same";

  // Withdrawing the cache: every invalidator hears of its entries.
  EXPECT_THROW(m_service->OnRemoved(*m_cache), std::runtime_error);
  ASSERT_EQ(m_invalidator.evicted.size(), 2u);
  EXPECT_EQ(m_invalidator.evicted[1].ids.size(), 2u);
}

TEST_F(RedisPubsubTest, AsynchronousModeSchedulesTheWork) {
  ScopedOptionOverride async("AsyncCacheCoherence", true);
  MakeService();
  kelvra::caching::OnAddedMetrics added = m_service->OnAdded(kKey, kValue, kTime, 1, m_cache);
  EXPECT_EQ(added.lockMs + added.dirtyMs + added.pruneMs + added.publishMs, 0u);
  kelvra::caching::OnRemovedMetrics removed = m_service->OnRemoved({5, 6}, m_cache);
  EXPECT_EQ(removed.guidCount, 2u);
  EXPECT_EQ(removed.lockMs, 0u);
  {
    // Work launched under a cancelled event never runs, and the service does
    // not wait for it when it goes.
    auto cancelled = std::make_shared<AsyncTask::CancelEvent>();
    cancelled->Signal();
    AsyncTask::Cancel::Scope scope(cancelled);
    m_service->OnAdded({0x5, 0x5}, kValue, kTime, 2, m_cache);
    m_service->OnRemoved({1}, m_cache);
  }
  // Going waits for the scheduled work, and only for that.
  kelcache_test::TestGate gone;
  std::thread destroy([&] {
    m_service.reset();
    gone.Open();
  });
  if (!gone.Wait(std::chrono::seconds(60))) {
    std::fprintf(stderr, "the service still waits for work that never ran\n");
    std::abort();  // the destroying thread cannot be left behind
  }
  destroy.join();
  EXPECT_EQ(m_published.size(), 1u);
}

}  // namespace
