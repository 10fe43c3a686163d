// The asynchronous frame over store functions that the tests control: the
// outcomes and their event fields, the thresholds, time-outs, deferred
// caches, cancellation, the synchronous load, Run and the key hash. Events
// are checked through the log capture and metrics through Metrics::Capture.
// The concurrency limit has its own executable (ConcurrencyLimitTest.cpp),
// because the semaphore takes its size from the first request in a process.

#include <charconv>
#include <stdexcept>

#include "host/AppOptions.h"
#include "host/AsyncTaskTLS.h"
#include "host/Errors.h"
#include "host/Metrics.h"
#include "tests/main/caching/external/ExternalTestSupport.h"

namespace {

using namespace kelcache_test;
using kelvra::appoptions::ScopedOptionOverride;
using Fields = std::unordered_map<TString, TString>;

// What the test's store functions saw. Read only once the operations'
// futures are ready (which orders the functions' writes before the reads).
struct Calls {
  std::string ran;            // a letter per call, in call order: s(tore), l(oad), d(rop)
  std::map<char, int> depth;  // the task depth each function ran at
  TString key;
  TString keyHash;
  Value value;  // the last call's (a store's value and TTL; none for the others)
  long long ttlSec = 0;

  void Note(char call, const TString& k, const TString& hash, Value v = nullptr, long long ttl = 0) {
    ran += call;
    depth[call] = AsyncTask::TLS::GetDepth();
    key = k;
    keyHash = hash;
    value = std::move(v);
    ttlSec = ttl;
  }
};

// A store over functions that record their calls; the load gives loadResult.
std::unique_ptr<ScriptedStore> RecordingCache(std::shared_ptr<Calls> calls, unsigned lowerBoundMs = 100,
                                              bool asynchronous = true, Value loadResult = nullptr) {
  return std::make_unique<ScriptedStore>(
      u"frame-ns", lowerBoundMs, asynchronous,
      [calls](TString key, TString hash, Value value, long long ttl) { calls->Note('s', key, hash, value, ttl); },
      [calls, loadResult](TString key, TString keyHash) {
        calls->Note('l', key, keyHash);
        return loadResult;
      },
      [calls](TString key, TString keyHash) { calls->Note('d', key, keyHash); });
}

// Whether text is a whole non-negative number, as "elapsed-ms" gives the time taken.
bool IsGForm(const std::string& text) {
  double value = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value >= 0;
}

class ExternalCacheFrameTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(WaitForBackgroundTasks()); }
};

// Every successful operation reaches its function with the key and its hash
// and writes one event and one metrics scope with these fields (and no
// plain line): the key's fields everywhere, the load time and bounds for a
// store, the value's size where there is a value, the time taken where the
// function ran. A load function runs on its operation's task; a store or
// drop function runs as a task of that task (Run's), so it sees one more
// level of task depth, whether the cache is asynchronous (here) or deferred
// (below).
TEST_F(ExternalCacheFrameTest, EachOutcomeReachesTheFunctionAndWritesItsFields) {
  struct Case {
    const char* event;
    Value loadResult;  // for loads
    const char* outcome;
    std::map<std::string, std::string> fields;  // besides key-hash, cns, key-size-b and elapsed-ms
    long long ttlSec = 0;                        // for stores
  };
  const TString key(u"k\u00E9y-1");  // 10 bytes
  Value value = MakeValue(1000);
  // A store's TTL reaches the function unchanged; the event shows it.
  auto store = [](long long ttlSec, const char* ttlText) {
    return Case{"ec-store", nullptr, "done",
                {{"load-time-ms", "150"}, {"lower-bound-ms", "100"}, {"value-size-b", "1000"}, {"ttl-sec", ttlText}},
                ttlSec};
  };
  const int callerDepth = AsyncTask::TLS::GetDepth();
  const std::vector<Case> cases = {
      store(3600, "3600"), store(-1, "default"), store(-2, "-2"), store(0, "0"),
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
    EXPECT_EQ(calls->ran, std::string(1, name[3])) << "its own function, once";
    EXPECT_EQ(calls->depth[name[3]], callerDepth + (name == "ec-load" ? 1 : 2));
    EXPECT_EQ(calls->key, key);
    EXPECT_EQ(calls->keyHash.toStdString(), ExpectedKeyHash(key));
    if (name == "ec-store") {
      EXPECT_EQ(calls->value.get(), value.get()) << "the buffer is shared, never copied";
      EXPECT_EQ(calls->ttlSec, c.ttlSec);
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
    EXPECT_EQ(calls->ran, stored ? "s" : "");
    // Skipped stores never took a slot: no ttl-sec, no elapsed-ms.
    EXPECT_EQ(Field(event, "ttl-sec") == "<absent>", !stored);
    EXPECT_EQ(Field(event, "elapsed-ms") == "<absent>", !stored);
    EXPECT_EQ(event.fields.size(), stored ? 9u : 7u);
    EXPECT_EQ(Field(event, "value-size-b"), std::to_string(c.value->size()));
  }
}

// An operation fails, with the problem in its event, when its function
// raises (anything, even no std::exception) or is missing, and a store or a
// drop when its function outlasts the time-out: then the time-out is the
// time taken, and the function still runs to its end on its own thread,
// logging nothing more. (A load has no time-out of its own: below.)
TEST_F(ExternalCacheFrameTest, OperationsFailWithTheirProblemWhenTheFunctionRaisesIsMissingOrOutlastsItsTimeOut) {
  // A cache takes its time-outs when it is made. Those whose functions fail
  // at once get long ones, so that a loaded machine cannot turn their
  // failure into a time-out; the outlasting one gets short ones.
  const auto madeWithTimeouts = [](int storeMs, int dropMs, auto... arguments) {
    ScopedOptionOverride storeTimeout("ExternalCacheStoreTimeoutMs", storeMs);
    ScopedOptionOverride dropTimeout("ExternalCacheDropTimeoutMs", dropMs);
    return std::make_shared<ScriptedStore>(arguments...);
  };
  auto gate = std::make_shared<Gate>();
  auto finished = std::make_shared<std::atomic<int>>(0);
  auto blocked = [gate, finished](auto&&...) {
    gate->Wait();
    ++*finished;
  };
  struct Case {
    const char* name;
    std::shared_ptr<ScriptedStore> cache;
    std::map<std::string, std::string> elapsed;  // timed out, by event: the time taken; others raised
  };
  const Case cases[] = {
      {"raising",
       madeWithTimeouts(
           20000, 20000, u"frame-ns", 0, true,
           [](TString, TString, Value, long long) { throw std::runtime_error("disk on fire"); },
           [](TString, TString) -> Value { throw KelvraException(u"no"); }, [](TString, TString) { throw 42; }),
       {}},
      {"missing", madeWithTimeouts(20000, 20000, u"frame-ns", 0, true, nullptr, nullptr, nullptr), {}},
      {"outlasting", madeWithTimeouts(100, 60, u"frame-ns", 0, true, blocked, nullptr, blocked),
       {{"ec-store", "100"}, {"ec-drop", "60"}}},
  };
  TLog::Capture capture(TLog::Info);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    capture.Clear();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.cache->TryStore(u"k", MakeValue("v"), 0, -1).Get());
    EXPECT_FALSE(c.cache->TryDrop(u"k").Get());
    EXPECT_EQ(c.cache->TryLoad(u"k").Get(), nullptr);
    for (const char* name : {"ec-store", "ec-drop", "ec-load"}) {
      SCOPED_TRACE(name);
      const TLog::Record event = SingleEvent(capture, TString(name));
      EXPECT_EQ(Field(event, "outcome"), "fail");
      const bool timedOut = c.elapsed.count(name) != 0;
      EXPECT_EQ(Field(event, "problem"), timedOut ? "timeout" : "exception");
      const std::string elapsed = Field(event, "elapsed-ms");
      EXPECT_TRUE(timedOut ? elapsed == c.elapsed.at(name) : IsGForm(elapsed)) << elapsed;
      EXPECT_EQ(Field(event, "value-size-b") != "<absent>", std::string(name) == "ec-store");
    }
    EXPECT_EQ(Field(SingleEvent(capture, u"ec-store"), "ttl-sec"), "default");
    EXPECT_TRUE(capture.Lines().empty());
    if (!c.elapsed.empty()) EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  }
  // The operations ended while the functions that outlasted them were still
  // blocked; they run to their end.
  EXPECT_EQ(finished->load(), 0);
  gate->Open();
  EXPECT_TRUE(WaitForBackgroundTasks());
  EXPECT_EQ(finished->load(), 2);
  EXPECT_EQ(capture.Events(u"ec-store").size(), 1u) << "a late function logs nothing more";
}

// A derived store may give its stores and drops no time limit
// (milliseconds::max(), as Run takes it) or one longer than any clock holds:
// they run to their end and are done, asynchronous or deferred.
TEST_F(ExternalCacheFrameTest, StoresAndDropsWithoutATimeLimitRunToTheirEnd) {
  class Unlimited : public ScriptedStore {
   public:
    Unlimited(bool asynchronous, std::chrono::milliseconds timeout)
        : ScriptedStore(u"frame-ns", 0, asynchronous,
                        [](TString, TString, Value, long long) { std::this_thread::sleep_for(20ms); }, nullptr,
                        [](TString, TString) { std::this_thread::sleep_for(20ms); }) {
      m_storeTimeout = m_dropTimeout = timeout;
    }
  };
  TLog::Capture capture(TLog::Info);
  for (const bool asynchronous : {true, false}) {
    const std::chrono::milliseconds millennium = std::chrono::hours(24 * 365 * 1000);
    for (const auto timeout : {std::chrono::milliseconds::max(), millennium}) {
      SCOPED_TRACE(std::string(asynchronous ? "asynchronous, " : "deferred, ") + std::to_string(timeout.count()));
      capture.Clear();
      const Unlimited cache(asynchronous, timeout);
      EXPECT_TRUE(cache.TryStore(u"k", MakeValue("v"), 0, -1).Get());
      EXPECT_TRUE(cache.TryDrop(u"k").Get());
      for (const char* name : {"ec-store", "ec-drop"}) {
        const TLog::Record event = SingleEvent(capture, TString(name));
        EXPECT_EQ(Field(event, "outcome"), "done") << name;
        EXPECT_EQ(Field(event, "problem"), "<absent>") << name;
      }
    }
  }
}

// A time-out writes its event and closes its scope, so the log and the
// metrics sink run in it: a sink that holds one time-out back must not hold
// back another operation's.
TEST_F(ExternalCacheFrameTest, ASinkThatHoldsOneTimeOutDoesNotDelayAnother) {
  ScopedOptionOverride storeTimeout("ExternalCacheStoreTimeoutMs", 50);
  struct HoldingSink : Metrics::ISink {
    void OnScopeClosed(const Metrics::ScopeRecord& record) override {
      if (record.name != TString(u"ec-store") || held.exchange(true)) return;
      holding.Open();
      release.Wait();
    }
    std::atomic<bool> held{false};
    Gate holding, release;
  };
  auto sink = std::make_shared<HoldingSink>();
  auto functionsGo = std::make_shared<Gate>();
  Metrics::SetSink(sink);
  auto cache = std::make_shared<ScriptedStore>(
      u"frame-ns", 0, true, [functionsGo](auto&&...) { functionsGo->Wait(); }, nullptr, nullptr);

  AsyncTask::Future<bool> first = cache->TryStore(u"a", MakeValue("v"), 0, -1);
  // (No ASSERT up to the clean-up at the end: nothing may stay held or installed.)
  EXPECT_TRUE(sink->holding.Wait()) << "the first store's time-out never reached the sink";
  AsyncTask::Future<bool> second = cache->TryStore(u"b", MakeValue("v"), 0, -1);
  EXPECT_EQ(second.WaitFor(std::chrono::seconds(10)), AsyncTask::FutureStatus::Ready);
  EXPECT_EQ(first.WaitFor(std::chrono::milliseconds(0)), AsyncTask::FutureStatus::Timeout);
  sink->release.Open();
  EXPECT_FALSE(first.Get());
  EXPECT_FALSE(second.Get());
  functionsGo->Open();
  Metrics::SetSink(nullptr);
}

TEST_F(ExternalCacheFrameTest, LoadsWaitAsLongAsTheFunctionTakesAndTheSynchronousFormTimesOut) {
  auto gate = std::make_shared<Gate>();
  Value stored = MakeValue("slow value");
  ScriptedStore cache(
      u"frame-ns", 0, true, nullptr,
      [gate, stored](TString, TString) {
        gate->Wait();
        return stored;
      },
      nullptr);
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
  EXPECT_EQ(calls->ran, "");
  EXPECT_TRUE(capture.Records().empty());

  // The synchronous load of a deferred cache never runs its load.
  bool timedOut = false;
  EXPECT_EQ(cache->TryLoad(u"k", 50, &timedOut), nullptr);
  EXPECT_TRUE(timedOut);
  EXPECT_EQ(calls->ran, "") << "neither the load nor anything else ran";

  EXPECT_TRUE(store.Get());
  EXPECT_EQ(calls->ran, "s");
  EXPECT_EQ(load.Get(), stored);
  EXPECT_TRUE(drop.Get());
  const int callerDepth = AsyncTask::TLS::GetDepth();
  EXPECT_EQ(calls->depth,
            (std::map<char, int>{{'s', callerDepth + 2}, {'l', callerDepth + 1}, {'d', callerDepth + 2}}));
  for (const char16_t* name : {u"ec-store", u"ec-load", u"ec-drop"}) {
    EXPECT_EQ(capture.Events(name).size(), 1u) << TString(name);
  }
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
  EXPECT_EQ(calls->ran, "");
  EXPECT_TRUE(capture.Records().empty());
}

// Run, the measuring wrapper of every operation (whose failures are checked
// above, through the operations): it adds elapsed-ms and, on failure,
// problem to the caller's fields and keeps the others. The maximal
// time-out runs the function on the calling thread, any other elsewhere; one
// that ran out reports its own value as the time taken, and from then on the
// caller's map is the caller's alone (the task measures into its own copy;
// TSan checks the rest).
TEST_F(ExternalCacheFrameTest, RunMeasuresReportsProblemsAndLetsGoOfTheCallersFieldsAtItsTimeOut) {
  constexpr auto kMax = std::chrono::milliseconds::max();
  auto gate = std::make_shared<Gate>();
  auto finished = std::make_shared<std::atomic<int>>(0);
  std::thread::id ranOn;
  const std::function<void()> record = [&ranOn] { ranOn = std::this_thread::get_id(); };
  const std::function<void()> blocked = [gate, finished] {
    gate->Wait();
    ++*finished;
  };
  struct Case {
    const char* name;
    std::function<void()> function;
    std::chrono::milliseconds timeout;
    const char* problem;  // "": none
    const char* elapsed;  // "": a measured time
  };
  const Case cases[] = {
      {"done on the calling thread", record, kMax, "", ""},
      {"done elsewhere", record, 20000ms, "", ""},
      {"timed out", blocked, 30ms, "timeout", "30"},
      {"a negative time-out does not wait at all", blocked, -5ms, "timeout", "-5"},
  };
  std::vector<Fields> kept(std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    Fields& fields = kept[i] = Fields{{u"cns", u"ns"}};
    ranOn = std::thread::id();
    EXPECT_EQ(kelvra::caching::Run(c.function, fields, c.timeout), *c.problem == 0);
    EXPECT_EQ(fields[u"cns"], TString(u"ns"));
    EXPECT_EQ(fields.count(u"problem") ? fields[u"problem"].toStdString() : "", c.problem);
    const std::string elapsed = fields[u"elapsed-ms"].toStdString();
    EXPECT_TRUE(*c.elapsed ? elapsed == c.elapsed : IsGForm(elapsed)) << elapsed;
    EXPECT_EQ(fields.size(), *c.problem ? 3u : 2u);
    if (*c.problem == 0) {  // a function that ran to its end: where it ran
      ASSERT_NE(ranOn, std::thread::id()) << "the function did not run";
      EXPECT_EQ(ranOn == std::this_thread::get_id(), c.timeout == kMax);
    }
  }
  // The caller may use its map at once, while the timed-out tasks still run.
  for (Fields& fields : kept) fields[u"outcome"] = u"fail";
  gate->Open();
  EXPECT_TRUE(WaitForBackgroundTasks());
  EXPECT_EQ(finished->load(), 2);
  EXPECT_EQ(kept[2][u"elapsed-ms"], TString(u"30"));
  EXPECT_EQ(kept[2].size(), 4u);
}

}  // namespace
