// The process-wide concurrency limit of the external caches. The semaphore
// takes its size from ExternalCacheConcurrencyLimit at the first slot request
// in the process, so this executable holds a single test, which sets the
// option before anything asks for a slot (whether it runs under ctest, one
// process per test, or on its own). A forked child gets a semaphore of its own.

#include "host/AppOptions.h"
#include "tests/main/caching/external/ExternalTestSupport.h"
#include "tests/support/ForkedChild.h"

namespace {

using namespace kelcache_test;
using kelvra::appoptions::ScopedOptionOverride;
using kelvra::caching::TryAcquireConcurrencySemaphore;

TEST(ExternalCacheConcurrencyLimitTest, OneSlotMakesEveryOtherOperationJamUntilItIsGivenBack) {
  ScopedOptionOverride limit("ExternalCacheConcurrencyLimit", 1);
  ScopedOptionOverride wait("ExternalCacheConcurrencyTimeoutMs", 50);
  ScopedOptionOverride storeTimeout("ExternalCacheStoreTimeoutMs", 20000);

  // The stores of "blocker" and "slow" wait for their gate.
  std::map<TString, std::pair<std::shared_ptr<Gate>, std::shared_ptr<Gate>>> gates;  // entered, go on
  for (const char16_t* key : {u"blocker", u"slow"}) gates[key] = {std::make_shared<Gate>(), std::make_shared<Gate>()};
  auto stores = std::make_shared<std::atomic<int>>(0);
  const auto store = [gates, stores](TString key, TString, Value, long long) {
    ++*stores;
    if (const auto found = gates.find(key); found != gates.end()) {
      found->second.first->Open();
      found->second.second->Wait();
    }
  };
  const auto load = [](TString, TString) { return MakeValue("v"); };
  ScriptedStore cache(u"limit-ns", 0, true, store, load, [](TString, TString) {});
  TLog::Capture capture(TLog::Info);

  // The first request creates the semaphore with one slot; the blocker holds it.
  AsyncTask::Future<bool> blocker = cache.TryStore(u"blocker", MakeValue("v"), 0, -1);
  ASSERT_TRUE(gates[u"blocker"].first->Wait());

  EXPECT_FALSE(cache.TryStore(u"second", MakeValue("v"), 0, -1).Get());
  EXPECT_EQ(cache.TryLoad(u"second").Get(), nullptr);
  EXPECT_FALSE(cache.TryDrop(u"second").Get());
  EXPECT_FALSE(TryAcquireConcurrencySemaphore()->IsAcquired());
  for (const char* name : {"ec-store", "ec-load", "ec-drop"}) {
    SCOPED_TRACE(name);
    const TLog::Record event = SingleEvent(capture, TString(name));
    EXPECT_EQ(Field(event, "outcome"), "jam");
    EXPECT_EQ(Field(event, "elapsed-ms"), "<absent>") << "no function ran";
    EXPECT_EQ(Field(event, "ttl-sec"), "<absent>") << "ttl-sec only once a slot was had";
  }
  EXPECT_EQ(stores->load(), 1);

#if !defined(__SANITIZE_THREAD__)  // see ForkedChild.h
  // A child forked without exec while the blocker holds the slot has the
  // slot: the blocker's task is not in the child and would never give it back.
  EXPECT_TRUE(RunInForkedChild(
      [&] { return cache.TryStore(u"in a child", MakeValue("v"), 0, -1).Get() ? 0 : 1; }, "1: the store jammed"));
#endif

  // Skipped stores never ask for a slot, so they do not jam.
  capture.Clear();
  {
    ScopedOptionOverride keyBound("ExternalCacheUpperBoundKeySizeB", 2);
    EXPECT_TRUE(cache.TryStore(u"long key", MakeValue("v"), 0, -1).Get());
    EXPECT_EQ(Field(SingleEvent(capture, u"ec-store"), "outcome"), "ignore-large-key");
  }

  // A later change of the limit has no effect: the semaphore exists.
  {
    ScopedOptionOverride more("ExternalCacheConcurrencyLimit", 8);
    EXPECT_FALSE(TryAcquireConcurrencySemaphore()->IsAcquired());
  }

  // Once the blocker ends, its slot comes back.
  gates[u"blocker"].second->Open();
  EXPECT_TRUE(blocker.Get());
  {
    auto slot = TryAcquireConcurrencySemaphore();
    EXPECT_TRUE(slot->IsAcquired());
    EXPECT_FALSE(TryAcquireConcurrencySemaphore()->IsAcquired()) << "held until the last reference goes";
  }
  capture.Clear();
  EXPECT_TRUE(cache.TryDrop(u"second").Get());
  EXPECT_EQ(Field(SingleEvent(capture, u"ec-drop"), "outcome"), "done");

  // A store that timed out gives its slot back while its function still runs
  // (a store made now: a cache reads its time-outs when it is made).
  ScopedOptionOverride shortTimeout("ExternalCacheStoreTimeoutMs", 50);
  ScriptedStore hurried(u"limit-ns", 0, true, store, load, [](TString, TString) {});
  EXPECT_FALSE(hurried.TryStore(u"slow", MakeValue("v"), 0, -1).Get());
  ASSERT_TRUE(gates[u"slow"].first->Wait());
  EXPECT_NE(cache.TryLoad(u"other").Get(), nullptr) << "the slot is free although the slow function runs";
  gates[u"slow"].second->Open();
  EXPECT_TRUE(WaitForBackgroundTasks());

  // A store cancelled while its task waits for the slot: once it has the
  // slot it does not run its function; its future holds the cancellation,
  // nothing is logged for it, and the slot comes back.
  ScopedOptionOverride longWait("ExternalCacheConcurrencyTimeoutMs", 20000);
  ScopedOptionOverride longTimeout("ExternalCacheStoreTimeoutMs", 20000);
  auto holderEntered = std::make_shared<Gate>();
  auto holderGoesOn = std::make_shared<Gate>();
  auto cancelledRan = std::make_shared<std::atomic<int>>(0);
  ScriptedStore second(
      u"cancel-ns", 0, true,
      [=](TString key, TString, Value, long long) {
        if (key != u"holder") {
          ++*cancelledRan;
          return;
        }
        holderEntered->Open();
        holderGoesOn->Wait();
      },
      [](TString, TString) { return Value(); }, [](TString, TString) {});
  AsyncTask::Future<bool> holder = second.TryStore(u"holder", MakeValue("v"), 0, -1);
  ASSERT_TRUE(holderEntered->Wait());
  auto cancel = std::make_shared<AsyncTask::CancelEvent>();
  AsyncTask::Future<bool> cancelled;
  {
    AsyncTask::Cancel::Scope scope(cancel);
    cancelled = second.TryStore(u"cancelled", MakeValue("v"), 0, -1);
  }
  std::this_thread::sleep_for(100ms);  // its task waits for the slot meanwhile
  capture.Clear();
  cancel->Signal();
  holderGoesOn->Open();
  EXPECT_TRUE(holder.Get());
  EXPECT_THROW(cancelled.Get(), AsyncTask::CancelException);
  EXPECT_EQ(cancelledRan->load(), 0);
  EXPECT_EQ(capture.Events(u"ec-store").size(), 1u) << "the holder's event only";
  EXPECT_TRUE(WaitUntil([] { return TryAcquireConcurrencySemaphore()->IsAcquired(); }));
}

}  // namespace
