// The asynchronous frame over store functions that the tests control: the
// outcomes and their event fields, the thresholds, time-outs, deferred
// caches, cancellation, the synchronous load, Run and the key hash. Events
// are checked through the log capture and metrics through Metrics::Capture.
// The concurrency limit has its own executable (ConcurrencyLimitTest.cpp),
// because the semaphore takes its size from the first request in a process.

#include <stdexcept>

#include "host/AppOptions.h"
#include "host/AsyncTask.h"
#include "host/Errors.h"
#include "host/LogCapture.h"
#include "host/Metrics.h"
#include "public/caching/ExternalCache.h"
#include "tests/main/caching/external/ExternalTestSupport.h"

namespace {

using namespace kelcache_test;
using kelvra::appoptions::ScopedOptionOverride;
using kelvra::caching::KeyHash;
using Fields = std::unordered_map<TString, TString>;

// What the test's store functions saw. Thread-safe: the mutex guards all.
struct Calls {
  std::mutex mutex;
  int stores = 0;
  int loads = 0;
  int drops = 0;
  TString key;
  TString keyHash;
  long long ttlSec = 0;
  Value value;

  int Count(int Calls::*which) {
    std::lock_guard<std::mutex> lock(mutex);
    return this->*which;
  }
  void Note(int Calls::*which, const TString& k, const TString& hash) {
    std::lock_guard<std::mutex> lock(mutex);
    ++(this->*which);
    key = k;
    keyHash = hash;
  }
};

// A store over functions that record their calls; the load gives loadResult.
std::unique_ptr<ScriptedStore> RecordingCache(std::shared_ptr<Calls> calls, unsigned lowerBoundMs = 100,
                                              bool asynchronous = true, Value loadResult = nullptr) {
  return std::make_unique<ScriptedStore>(
      u"frame-ns", lowerBoundMs, asynchronous,
      [calls](TString key, TString keyHash, Value value, long long ttlSec) {
        calls->Note(&Calls::stores, key, keyHash);
        std::lock_guard<std::mutex> lock(calls->mutex);
        calls->value = value;
        calls->ttlSec = ttlSec;
      },
      [calls, loadResult](TString key, TString keyHash) {
        calls->Note(&Calls::loads, key, keyHash);
        return loadResult;
      },
      [calls](TString key, TString keyHash) { calls->Note(&Calls::drops, key, keyHash); });
}

bool IsGForm(const std::string& text) {
  try {
    size_t used = 0;
    const double value = std::stod(text, &used);
    return used == text.size() && value >= 0;
  } catch (...) {
    return false;
  }
}

class ExternalCacheFrameTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(WaitForBackgroundTasks()); }
};

// The key hash of every other key is checked through ExpectedKeyHash in the
// event fields and the disk store's folder names.
TEST_F(ExternalCacheFrameTest, KeyHashIsDecimalXxh32OfTheUtf16Bytes) {
  EXPECT_EQ(KeyHash(TString()).toStdString(), std::to_string(XXH32("", 0, 0xDEADBEEFu)));
  EXPECT_EQ(KeyHash(kCollidingKeyA).toStdString(), std::to_string(kCollidingHash));
}

// Every successful operation reaches its function with the key and its hash
// and writes one event and one metrics scope with these fields (and no
// plain line): the key's fields everywhere, the load time and bounds for a
// store, the value's size where there is a value, the time taken where the
// function ran.
TEST_F(ExternalCacheFrameTest, EachOutcomeReachesTheFunctionAndWritesItsFields) {
  struct Case {
    const char* event;
    Value loadResult;  // for loads
    const char* outcome;
    std::map<std::string, std::string> fields;  // besides key-hash, cns, key-size-b and elapsed-ms
    long long ttlSec = 3600;                     // for stores: reaches the function unchanged
  };
  const TString key(u"k\u00E9y-1");  // 10 bytes
  Value value = MakeValue(1000);
  const std::vector<Case> cases = {
      {"ec-store", nullptr, "done",
       {{"load-time-ms", "150"}, {"lower-bound-ms", "100"}, {"value-size-b", "1000"}, {"ttl-sec", "3600"}}},
      {"ec-store", nullptr, "done",
       {{"load-time-ms", "150"}, {"lower-bound-ms", "100"}, {"value-size-b", "1000"}, {"ttl-sec", "default"}}, -1},
      {"ec-store", nullptr, "done",
       {{"load-time-ms", "150"}, {"lower-bound-ms", "100"}, {"value-size-b", "1000"}, {"ttl-sec", "-2"}}, -2},
      {"ec-store", nullptr, "done",
       {{"load-time-ms", "150"}, {"lower-bound-ms", "100"}, {"value-size-b", "1000"}, {"ttl-sec", "0"}}, 0},
      {"ec-load", MakeValue(77), "hit", {{"value-size-b", "77"}}},
      {"ec-load", std::make_shared<Bytes>(), "hit", {{"value-size-b", "0"}}},
      {"ec-load", nullptr, "miss", {}},
      {"ec-drop", nullptr, "done", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.event) + " " + c.outcome);
    auto calls = std::make_shared<Calls>();
    auto cache = RecordingCache(calls, 100, true, c.loadResult);
    TLog::Capture capture(TLog::Info);
    Metrics::Capture metrics;
    const std::string name = c.event;
    if (name == "ec-store") {
      ASSERT_TRUE(cache->TryStore(key, value, 150, c.ttlSec).Get());
    } else if (name == "ec-load") {
      EXPECT_EQ(cache->TryLoad(key).Get().get(), c.loadResult.get()) << "the buffer is shared, never copied";
    } else {
      EXPECT_TRUE(cache->TryDrop(key).Get());
    }
    {
      std::lock_guard<std::mutex> lock(calls->mutex);
      EXPECT_EQ(calls->stores + calls->loads + calls->drops, 1);
      EXPECT_EQ(calls->key, key);
      EXPECT_EQ(calls->keyHash.toStdString(), ExpectedKeyHash(key));
      if (name == "ec-store") {
        EXPECT_EQ(calls->value.get(), value.get()) << "the buffer is shared, never copied";
        EXPECT_EQ(calls->ttlSec, c.ttlSec);
      }
    }
    const TLog::Record event = SingleEvent(capture, TString::fromStdString(name));
    EXPECT_EQ(event.severity, TLog::Info);
    EXPECT_EQ(Field(event, "outcome"), c.outcome);
    EXPECT_EQ(Field(event, "key-hash"), ExpectedKeyHash(key));
    EXPECT_EQ(Field(event, "cns"), "frame-ns");
    EXPECT_EQ(Field(event, "key-size-b"), "10");
    EXPECT_TRUE(IsGForm(Field(event, "elapsed-ms"))) << Field(event, "elapsed-ms");
    for (const auto& [field, text] : c.fields) EXPECT_EQ(Field(event, field.c_str()), text) << field;
    EXPECT_EQ(event.fields.size(), 5 + c.fields.size()) << "no problem field on success";
    EXPECT_TRUE(capture.Lines().empty()) << "the frame writes no plain line";

    // The same fields on the metrics scope, as text.
    std::vector<Metrics::ScopeRecord> scopes = metrics.Scopes(TString::fromStdString(name));
    ASSERT_EQ(scopes.size(), 1u);
    EXPECT_EQ(scopes[0].mask, 0x80000020001u);
    // (Only a store puts the value size on its scope; a load logs it.)
    for (const char* field : {"key-size-b", "outcome", "cns", "key-hash", "value-size-b"}) {
      if (name != "ec-store" && field == std::string("value-size-b")) continue;
      const auto* found = scopes[0].FindAttribute(TString(field));
      EXPECT_EQ(found ? Metrics::AttributeToString(*found).toStdString() : "<absent>", Field(event, field)) << field;
    }
  }
}

TEST_F(ExternalCacheFrameTest, ThresholdBoundariesAndTheirOrder) {
  ScopedOptionOverride keyBound("ExternalCacheUpperBoundKeySizeB", 1000);
  const TString key500(std::u16string(500, u'k'));  // 1000 bytes
  const TString key501(std::u16string(501, u'k'));  // 1002 bytes
  Value small = MakeValue("v");
  Value justBelow = MakeValue(2 * 1048576 - 1);
  Value twoMiB = MakeValue(2 * 1048576);

  struct Case {
    const char* what;
    TString key;
    Value value;
    unsigned loadTimeMs;
    const char* outcome;
    int sizeBoundMb = 2;
  };
  const Case cases[] = {
      {"load time at the lower bound is stored", u"k", small, 100, "done"},
      {"one below the lower bound is skipped", u"k", small, 99, "ignore-fast"},
      {"a key of exactly the bound passes", key500, small, 100, "done"},
      {"one character more is skipped", key501, small, 100, "ignore-large-key"},
      {"2 MiB - 1 byte is stored", u"k", justBelow, 100, "done"},
      {"2 MiB is skipped", u"k", twoMiB, 100, "ignore-large"},
      {"the lower bound is tested first", key501, twoMiB, 0, "ignore-fast"},
      {"then the key size", key501, twoMiB, 100, "ignore-large-key"},
      {"an upper bound of 0 skips even an empty value", u"k", std::make_shared<Bytes>(), 100, "ignore-large", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedOptionOverride sizeBound("ExternalCacheUpperBound2SizeMb", c.sizeBoundMb);
    auto calls = std::make_shared<Calls>();
    auto cache = RecordingCache(calls, 100);
    TLog::Capture capture(TLog::Info);
    EXPECT_TRUE(cache->TryStore(c.key, c.value, c.loadTimeMs, -1).Get()) << "skips report true as well";
    const TLog::Record event = SingleEvent(capture, u"ec-store");
    EXPECT_EQ(Field(event, "outcome"), c.outcome);
    const bool stored = std::string(c.outcome) == "done";
    EXPECT_EQ(calls->Count(&Calls::stores), stored ? 1 : 0);
    // Skipped stores never took a slot: no ttl-sec, no elapsed-ms.
    EXPECT_EQ(Field(event, "ttl-sec") == "<absent>", !stored);
    EXPECT_EQ(Field(event, "elapsed-ms") == "<absent>", !stored);
    EXPECT_EQ(event.fields.size(), stored ? 9u : 7u);
    EXPECT_EQ(Field(event, "value-size-b"), std::to_string(c.value->size()));
  }
}

TEST_F(ExternalCacheFrameTest, FunctionsThatRaiseFailTheirOperation) {
  auto calls = std::make_shared<Calls>();
  ScriptedStore cache(
      u"frame-ns", 0, true,
      [](TString, TString, Value, long long) { throw std::runtime_error("disk on fire"); },
      [](TString, TString) -> Value { throw KelvraException(u"no"); },
      [](TString, TString) { throw 42; });  // not even an std::exception
  TLog::Capture capture(TLog::Info);
  EXPECT_FALSE(cache.TryStore(u"k", MakeValue("v"), 0, -1).Get());
  EXPECT_EQ(cache.TryLoad(u"k").Get(), nullptr);
  EXPECT_FALSE(cache.TryDrop(u"k").Get());
  for (const char* name : {"ec-store", "ec-load", "ec-drop"}) {
    SCOPED_TRACE(name);
    const TLog::Record event = SingleEvent(capture, TString(name));
    EXPECT_EQ(Field(event, "outcome"), "fail");
    EXPECT_EQ(Field(event, "problem"), "exception");
    EXPECT_TRUE(IsGForm(Field(event, "elapsed-ms"))) << Field(event, "elapsed-ms");
    EXPECT_EQ(Field(event, "value-size-b") != "<absent>", std::string(name) == "ec-store");
  }
  EXPECT_TRUE(capture.Lines().empty());

  // An empty function is a failure like any other.
  ScriptedStore empty(u"frame-ns", 0, true, nullptr, nullptr, nullptr);
  EXPECT_FALSE(empty.TryStore(u"k", MakeValue("v"), 0, -1).Get());
  EXPECT_EQ(empty.TryLoad(u"k").Get(), nullptr);
  EXPECT_FALSE(empty.TryDrop(u"k").Get());
}

TEST_F(ExternalCacheFrameTest, StoreAndDropGiveUpAtTheirTimeOutWhileTheFunctionGoesOn) {
  ScopedOptionOverride storeTimeout("ExternalCacheStoreTimeoutMs", 100);
  ScopedOptionOverride dropTimeout("ExternalCacheDropTimeoutMs", 60);
  auto gate = std::make_shared<Gate>();
  auto finished = std::make_shared<std::atomic<int>>(0);
  ScriptedStore cache(
      u"frame-ns", 0, true,
      [gate, finished](TString, TString, Value, long long) {
        gate->Wait();
        ++*finished;
      },
      [](TString, TString) { return Value(); },
      [gate, finished](TString, TString) {
        gate->Wait();
        ++*finished;
      });
  TLog::Capture capture(TLog::Info);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(cache.TryStore(u"slow", MakeValue("v"), 0, -1).Get());
  EXPECT_FALSE(cache.TryDrop(u"slow").Get());
  // The operations ended while both functions were still blocked.
  EXPECT_FALSE(gate->IsOpen());
  EXPECT_EQ(finished->load(), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);

  const TLog::Record store = SingleEvent(capture, u"ec-store");
  EXPECT_EQ(Field(store, "outcome"), "fail");
  EXPECT_EQ(Field(store, "problem"), "timeout");
  EXPECT_EQ(Field(store, "elapsed-ms"), "100");
  EXPECT_EQ(Field(store, "ttl-sec"), "default");
  const TLog::Record drop = SingleEvent(capture, u"ec-drop");
  EXPECT_EQ(Field(drop, "outcome"), "fail");
  EXPECT_EQ(Field(drop, "problem"), "timeout");
  EXPECT_EQ(Field(drop, "elapsed-ms"), "60");

  // The functions still run to their end, on their own threads.
  gate->Open();
  EXPECT_TRUE(WaitForBackgroundTasks());
  EXPECT_EQ(finished->load(), 2);
  EXPECT_EQ(capture.Events(u"ec-store").size(), 1u) << "a late function logs nothing more";
}

TEST_F(ExternalCacheFrameTest, LoadsWaitAsLongAsTheFunctionTakesAndTheSynchronousFormTimesOut) {
  auto gate = std::make_shared<Gate>();
  Value stored = MakeValue("slow value");
  ScriptedStore cache(
      u"frame-ns", 0, true, [](TString, TString, Value, long long) {},
      [gate, stored](TString, TString) {
        gate->Wait();
        return stored;
      },
      [](TString, TString) {});
  TLog::Capture capture(TLog::Info);

  AsyncTask::Future<Value> future = cache.TryLoad(u"k");
  EXPECT_EQ(future.WaitFor(50ms), AsyncTask::FutureStatus::Timeout) << "a load has no time-out of its own";

  bool timedOut = false;
  EXPECT_EQ(cache.TryLoad(u"k", 10, &timedOut), nullptr);
  EXPECT_TRUE(timedOut);
  EXPECT_EQ(cache.TryLoad(u"k", 10, nullptr), nullptr);  // writes nothing, does not crash

  gate->Open();
  EXPECT_EQ(future.Get(), stored);
  timedOut = true;
  EXPECT_EQ(cache.TryLoad(u"k", 20000, &timedOut), stored);
  EXPECT_FALSE(timedOut) << "false is written when the load was ready";
  EXPECT_TRUE(WaitForBackgroundTasks());
  // Every load ran to its end and was logged, the abandoned ones included.
  EXPECT_EQ(capture.Events(u"ec-load").size(), 4u);
}

TEST_F(ExternalCacheFrameTest, DeferredCachesRunTheirTasksOnlyWhenTheValueIsFetched) {
  auto calls = std::make_shared<Calls>();
  Value stored = MakeValue("deferred");
  auto cache = RecordingCache(calls, 0, false, stored);
  TLog::Capture capture(TLog::Info);

  AsyncTask::Future<bool> store = cache->TryStore(u"k", MakeValue("v"), 0, -1);
  AsyncTask::Future<Value> load = cache->TryLoad(u"k");
  AsyncTask::Future<bool> drop = cache->TryDrop(u"k");
  EXPECT_EQ(store.WaitFor(20ms), AsyncTask::FutureStatus::Deferred) << "a timed wait does not run it";
  EXPECT_EQ(load.WaitFor(0ms), AsyncTask::FutureStatus::Deferred);
  EXPECT_EQ(calls->Count(&Calls::stores), 0);
  EXPECT_TRUE(capture.Records().empty());

  // The synchronous load of a deferred cache never runs its load.
  bool timedOut = false;
  EXPECT_EQ(cache->TryLoad(u"k", 50, &timedOut), nullptr);
  EXPECT_TRUE(timedOut);
  EXPECT_EQ(calls->Count(&Calls::loads), 0);

  EXPECT_TRUE(store.Get());
  EXPECT_EQ(calls->Count(&Calls::stores), 1);
  EXPECT_EQ(load.Get(), stored);
  EXPECT_TRUE(drop.Get());
  EXPECT_EQ(capture.Events(u"ec-store").size(), 1u);
  EXPECT_EQ(capture.Events(u"ec-load").size(), 1u);
  EXPECT_EQ(capture.Events(u"ec-drop").size(), 1u);
}

TEST_F(ExternalCacheFrameTest, TasksCancelledBeforeTheyStartDoNotRunAndLogNothing) {
  auto calls = std::make_shared<Calls>();
  auto cache = RecordingCache(calls, 0, true, MakeValue("v"));
  auto deferred = RecordingCache(calls, 0, false, MakeValue("v"));
  TLog::Capture capture;
  auto event = std::make_shared<AsyncTask::CancelEvent>();
  event->Signal();
  AsyncTask::Future<bool> store, drop, deferredStore;
  AsyncTask::Future<Value> load;
  {
    AsyncTask::Cancel::Scope scope(event);
    store = cache->TryStore(u"k", MakeValue("v"), 0, -1);
    load = cache->TryLoad(u"k");
    drop = cache->TryDrop(u"k");
    deferredStore = deferred->TryStore(u"k", MakeValue("v"), 0, -1);
    // The synchronous load raises the cancellation on the caller's thread.
    EXPECT_THROW(cache->TryLoad(u"k", 20000, nullptr), AsyncTask::CancelException);
  }
  EXPECT_THROW(store.Get(), AsyncTask::CancelException);
  EXPECT_THROW(load.Get(), AsyncTask::CancelException);
  EXPECT_THROW(drop.Get(), AsyncTask::CancelException);
  // A deferred task keeps the event of the thread that launched it.
  EXPECT_THROW(deferredStore.Get(), AsyncTask::CancelException);
  std::lock_guard<std::mutex> lock(calls->mutex);
  EXPECT_EQ(calls->stores + calls->loads + calls->drops, 0);
  EXPECT_TRUE(capture.Records().empty());
}

TEST_F(ExternalCacheFrameTest, RunMeasuresKeepsEarlierFieldsAndReportsProblems) {
  Fields fields{{u"key-hash", u"1"}, {u"cns", u"ns"}};
  EXPECT_TRUE(kelvra::caching::Run([] {}, fields, 5000ms));
  EXPECT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[u"key-hash"], TString(u"1"));
  EXPECT_TRUE(IsGForm(fields[u"elapsed-ms"].toStdString()));

  Fields failing{{u"cns", u"ns"}};
  EXPECT_FALSE(kelvra::caching::Run([] { throw std::logic_error("x"); }, failing, 5000ms));
  EXPECT_EQ(failing[u"problem"], TString(u"exception"));
  EXPECT_EQ(failing.size(), 3u);

  Fields empty;
  EXPECT_FALSE(kelvra::caching::Run(nullptr, empty, std::chrono::milliseconds::max()));
  EXPECT_EQ(empty[u"problem"], TString(u"exception"));

  // The maximal time-out runs the function on the calling thread.
  std::thread::id ranOn;
  Fields here;
  EXPECT_TRUE(kelvra::caching::Run([&ranOn] { ranOn = std::this_thread::get_id(); }, here,
                                   std::chrono::milliseconds::max()));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(IsGForm(here[u"elapsed-ms"].toStdString()));

  // Any other time-out runs it elsewhere.
  Fields elsewhere;
  EXPECT_TRUE(kelvra::caching::Run([&ranOn] { ranOn = std::this_thread::get_id(); }, elsewhere, 20000ms));
  EXPECT_NE(ranOn, std::this_thread::get_id());
}

TEST_F(ExternalCacheFrameTest, RunAfterATimeOutNeverTouchesTheCallersFieldsAgain) {
  auto gate = std::make_shared<Gate>();
  auto done = std::make_shared<std::atomic<bool>>(false);
  Fields fields{{u"cns", u"ns"}};
  EXPECT_FALSE(kelvra::caching::Run(
      [gate, done] {
        gate->Wait();
        *done = true;
      },
      fields, 30ms));
  EXPECT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[u"problem"], TString(u"timeout"));
  EXPECT_EQ(fields[u"elapsed-ms"], TString(u"30"));
  EXPECT_EQ(fields[u"cns"], TString(u"ns"));
  // The caller may use its map at once, while the task still runs; the task
  // writes its measurement into its own copy only (TSan checks the rest).
  fields[u"outcome"] = u"fail";
  gate->Open();
  EXPECT_TRUE(WaitForBackgroundTasks());
  EXPECT_TRUE(done->load());
  EXPECT_EQ(fields[u"elapsed-ms"], TString(u"30"));
  EXPECT_EQ(fields.size(), 4u);

  // A negative time-out does not wait at all.
  auto gate2 = std::make_shared<Gate>();
  Fields negative;
  EXPECT_FALSE(kelvra::caching::Run([gate2] { gate2->Wait(); }, negative, -5ms));
  EXPECT_EQ(negative[u"elapsed-ms"], TString(u"-5"));
  gate2->Open();
}

}  // namespace
