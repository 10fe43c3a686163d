// The cascade invalidator aggregator (query-job scopes told when an entry
// they used turns dirty) and the holder of the process's invalidators.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <stdexcept>

#include "host/AppConfig.h"
#include "host/AppOptions.h"
#include "host/Errors.h"
#include "host/KelvraTls.h"
#include "host/LogCapture.h"
#include "public/caching/CascadeInvalidatorAggregator.h"
#include "public/caching/CascadeInvalidatorHolder.h"
#include "tests/main/caching/coherence/CoherenceTestSupport.h"
#include "tests/support/TestEnvironment.h"

namespace {

using namespace kelvra::caching;
using coherence_test::RecordingInvalidator;
using kelvra::appoptions::ScopedOptionOverride;

// Counts how often it was told; runs an optional action when told.
// Also a holder's usual self-reference, which the interface leaves working.
class RecordingHandler : public IScopeDirtyHandler, public std::enable_shared_from_this<RecordingHandler> {
 public:
  void OnScopeDirty(const std::shared_ptr<IInvalidatorAggregatorScope>& scope) override {
    EXPECT_EQ(weak_from_this().lock().get(), this);
    ++m_calls;
    m_lastScope = scope.get();
    if (m_action) m_action(scope);
  }
  std::atomic<int> m_calls{0};
  IInvalidatorAggregatorScope* m_lastScope = nullptr;
  std::function<void(const std::shared_ptr<IInvalidatorAggregatorScope>&)> m_action;
};

std::string ExpressionOf(const std::function<void()>& action) {
  return kelcache_test::RaisedText<LogicException>(action, [](const LogicException& e) { return e.GetExpression(); });
}

class CascadeInvalidatorAggregatorTest : public testing::Test {
 protected:
  void SetUp() override {
    m_aggregator = CascadeInvalidatorAggregator::TryGetSingleton();
    ASSERT_NE(m_aggregator, nullptr);
    CascadeInvalidatorAggregator::ResetForTest();
  }
  void TearDown() override { CascadeInvalidatorAggregator::ResetForTest(); }

  // A new handler, added to scope.
  std::shared_ptr<RecordingHandler> AddHandler(const std::shared_ptr<IInvalidatorAggregatorScope>& scope) {
    auto handler = std::make_shared<RecordingHandler>();
    scope->AddHandler(handler);
    return handler;
  }

  KelvraTls::ScopedThreadContext m_context;
  CascadeInvalidatorAggregator* m_aggregator = nullptr;
  coherence_test::RecordingCache m_cache;
};

TEST_F(CascadeInvalidatorAggregatorTest, DirtyUsedIdTellsEachHandlerOnceAndUnregistersTheScope) {
  std::shared_ptr<IInvalidatorAggregatorScope> scope = CascadeInvalidatorAggregator_CreateQueryJobScope();
  ASSERT_TRUE(scope);
  EXPECT_EQ(KelvraTls::GetThreadContext().GetCurrentQueryJobScope(), scope);
  m_aggregator->OnEntryUsed(5, m_cache);
  m_aggregator->OnEntryUsed(6, m_cache);

  auto first = AddHandler(scope);
  auto second = AddHandler(scope);
  scope->AddHandler(first);  // the same handler twice is kept once
  EXPECT_EQ(m_aggregator->GetScopeCount(), 1u);

  m_aggregator->OnDirty({99}, m_cache);  // an id nobody used
  EXPECT_EQ(first->m_calls, 0);
  EXPECT_EQ(m_aggregator->GetScopeCount(), 1u);

  m_aggregator->OnDirty({42, 5}, m_cache);
  EXPECT_EQ(first->m_calls, 1);
  EXPECT_EQ(second->m_calls, 1);
  EXPECT_EQ(first->m_lastScope, scope.get());
  EXPECT_EQ(m_aggregator->GetScopeCount(), 0u);

  m_aggregator->OnDirty({5}, m_cache);
  m_aggregator->OnDirty({6}, m_cache);
  EXPECT_EQ(first->m_calls, 1);
  EXPECT_EQ(second->m_calls, 1);
}

// Each step of a scope's life writes its line, in order, at the severity the
// option CacheSynchronizationLogging chooses: Info when on, Debug when off.
TEST_F(CascadeInvalidatorAggregatorTest, EachStepWritesItsLineAtTheSynchronisationSeverity) {
  for (const bool logging : {true, false}) {
    SCOPED_TRACE(logging ? "logging on" : "logging off");
    ScopedOptionOverride option("CacheSynchronizationLogging", logging);
    const TLog::AnySeverity expected = logging ? TLog::AnySeverity(TLog::Info) : TLog::AnySeverity(TLog::Debug);
    std::vector<std::string> lines;
    const auto text = [](const void* object) { return TString::pointer(object).toStdString(); };
    {
      TLog::Capture capture(TLog::Debug);
      std::shared_ptr<IInvalidatorAggregatorScope> scope = CascadeInvalidatorAggregator_CreateQueryJobScope();
      const std::string s = text(scope.get());
      m_aggregator->OnEntryUsed(5, m_cache);
      auto handler = AddHandler(scope);
      const std::string h = text(handler.get());
      m_aggregator->OnEvicted({7}, m_cache);
      m_aggregator->OnDirty({5}, m_cache);
      scope->EndScope();
      scope.reset();
      CascadeInvalidatorAggregator_CreateQueryJobScope();  // replaces, and so releases, the first scope
      lines = {"CascadeInvalidatorAggregator CreateQueryJobScope Scope=" + s,
               "CascadeInvalidatorAggregator OnEntryUsed scope=" + s + " guid=5",
               "CascadeInvalidatorAggregator::Scope AddHandler inserted handler=" + h,
               "CascadeInvalidatorAggregator OnScopeHasHandler inserted Scope=" + s + " numScopes=1",
               "CascadeInvalidatorAggregator OnEvicted guid=7",
               "CascadeInvalidatorAggregator OnDirty guid=5",
               "CascadeInvalidatorAggregator::Scope this=" + s + " is now dirty",
               "CascadeInvalidatorAggregator::Scope notify dirty to handler=" + h,
               "CascadeInvalidatorAggregator OnDirty scopes erased=1 remaining=0",
               "CascadeInvalidatorAggregator::Scope EndScope this=" + s,
               "CascadeInvalidatorAggregator ~Scope this=" + s};
      std::vector<std::string> written;
      for (const TLog::Record& record : capture.Records()) {
        if (record.IsEvent() || !record.text.startsWith(u"CascadeInvalidatorAggregator")) continue;
        EXPECT_EQ(record.severity.Level(), expected.Level()) << record.text.toStdString();
        written.push_back(record.text.toStdString());
      }
      // Opening a scope releases the thread's earlier one first (here one
      // left by an earlier step), and the second scope's own line comes last.
      written.erase(written.begin(), std::find(written.begin(), written.end(), lines.front()));
      ASSERT_FALSE(written.empty());
      written.pop_back();
      EXPECT_EQ(written, lines);
    }
  }
}

TEST_F(CascadeInvalidatorAggregatorTest, UsesAreRecordedOnlyForTheCurrentOpenScope) {
  // No current scope: nothing happens.
  m_aggregator->OnEntryUsed(1, m_cache);

  auto oldScope = CascadeInvalidatorAggregator_CreateQueryJobScope();
  auto oldHandler = AddHandler(oldScope);
  auto scope = CascadeInvalidatorAggregator_CreateQueryJobScope();  // replaces the current scope
  auto handler = AddHandler(scope);
  m_aggregator->OnEntryUsed(1, m_cache);
  scope->EndScope();
  m_aggregator->OnEntryUsed(2, m_cache);  // after EndScope: not recorded

  m_aggregator->OnDirty({2}, m_cache);
  EXPECT_EQ(handler->m_calls, 0);
  m_aggregator->OnDirty({1}, m_cache);
  EXPECT_EQ(handler->m_calls, 1);
  EXPECT_EQ(oldHandler->m_calls, 0) << "the use went to the current scope only";
}

// A scope without handlers is never tested: a dirty report before its first
// handler leaves it clean. Eviction forgets ids and never makes a scope dirty,
// not even one whose ids were all evicted.
TEST_F(CascadeInvalidatorAggregatorTest, ScopesWithoutHandlersAreNeverTestedAndEvictionForgetsIds) {
  auto evicted = CascadeInvalidatorAggregator_CreateQueryJobScope();
  m_aggregator->OnEntryUsed(5, m_cache);
  auto evictedHandler = AddHandler(evicted);
  auto scope = CascadeInvalidatorAggregator_CreateQueryJobScope();
  m_aggregator->OnEntryUsed(6, m_cache);
  m_aggregator->OnDirty({6}, m_cache);
  auto handler = AddHandler(scope);  // registered only now: the earlier report did not reach it
  EXPECT_EQ(handler->m_calls, 0);
  m_aggregator->OnEvicted({}, m_cache);
  m_aggregator->OnEvicted({5}, m_cache);
  EXPECT_EQ(m_aggregator->GetScopeCount(), 2u) << "a scope whose ids were all evicted stays registered";
  m_aggregator->OnDirty({5}, m_cache);
  EXPECT_EQ(evictedHandler->m_calls, 0) << "an evicted id is forgotten";
  m_aggregator->OnDirty({6}, m_cache);
  EXPECT_EQ(handler->m_calls, 1);
  EXPECT_EQ(evictedHandler->m_calls, 0);
}

TEST_F(CascadeInvalidatorAggregatorTest, HandlersMayCallBackAndAThrowingHandlerStopsTheRest) {
  auto scope = CascadeInvalidatorAggregator_CreateQueryJobScope();
  m_aggregator->OnEntryUsed(7, m_cache);
  auto reentrant = AddHandler(scope);
  auto added = std::make_shared<RecordingHandler>();
  // From inside the notification: add a handler to the same (now dirty) scope
  // and report more dirty ids. No lock is held, so neither deadlocks.
  reentrant->m_action = [&](const std::shared_ptr<IInvalidatorAggregatorScope>& dirty) {
    dirty->AddHandler(added);
    m_aggregator->OnDirty({7, 8}, m_cache);
    m_aggregator->OnEvicted({7}, m_cache);
  };
  m_aggregator->OnDirty({7}, m_cache);
  EXPECT_EQ(reentrant->m_calls, 1);
  EXPECT_EQ(added->m_calls, 1);

  // A handler that throws: the exception leaves OnDirty, the scope is already
  // dirty and unregistered.
  auto throwingScope = CascadeInvalidatorAggregator_CreateQueryJobScope();
  m_aggregator->OnEntryUsed(9, m_cache);
  auto thrower = AddHandler(throwingScope);
  thrower->m_action = [](const std::shared_ptr<IInvalidatorAggregatorScope>&) {
    throw std::runtime_error("boom");
  };
  EXPECT_THROW(m_aggregator->OnDirty({9}, m_cache), std::runtime_error);
  EXPECT_EQ(thrower->m_calls, 1);
  EXPECT_EQ(m_aggregator->GetScopeCount(), 0u);
  // A handler added to the dirty scope is told at once and not kept.
  auto another = AddHandler(throwingScope);
  EXPECT_EQ(another->m_calls, 1) << "the scope stayed dirty";
  EXPECT_EQ(m_aggregator->GetScopeCount(), 0u);
}

// The holder of one invalidator per type; misuse of the aggregator and the
// holder raises a LogicException naming the check that failed, and changes
// nothing.
TEST_F(CascadeInvalidatorAggregatorTest, TheHolderKeepsOneInvalidatorPerTypeAndMisuseRaisesNamingTheCheck) {
  class ForeignScope : public IInvalidatorAggregatorScope {
   public:
    void EndScope() override {}
    void OnResultUsed() override {}
    void AddHandler(std::shared_ptr<IScopeDirtyHandler>) override {}
  };
  auto outsideUnitTests = [](std::function<void()> action) {
    return [action] {
      struct Restore {
        ~Restore() { AppConfig::GetInstance().SetUnitTestFlag(true); }
      } restore;
      AppConfig::GetInstance().SetUnitTestFlag(false);
      action();
    };
  };
  ICascadeInvalidatorHolder& holder = CascadeInvalidatorHolderFactory::GetInstance();
  holder.ResetForTest();
  RecordingInvalidator a, b;
  // Empty, the holder gives null for every valid type; a wrong count raises
  // and leaves it empty. Initialized, it holds the pointers in type order.
  for (int type = 0; type < CascadeInvalidatorType::End; ++type) {
    EXPECT_EQ(holder.GetInvalidator(static_cast<CascadeInvalidatorType>(type)), nullptr);
  }
  const std::string wrongCount = "Number of invalidators does not match enum!";
  EXPECT_EQ(ExpressionOf([&] { holder.Initialize({&a, &b, nullptr}); }), wrongCount);
  EXPECT_EQ(ExpressionOf([&] { holder.Initialize({&a, &b, nullptr, &a, &a}); }), wrongCount);
  EXPECT_TRUE(holder.GetInvalidators().empty());
  {
    TLog::Capture capture(TLog::Info);
    holder.Initialize({&a, &b, nullptr, &a});
    const auto line = [](const char* text, const void* object) {
      return TString::fromStdString(text + TString::pointer(object).toStdString());
    };
    EXPECT_EQ(capture.Lines(), (std::vector<TString>{line("Initialize invalidators on holder=", &holder),
                                                     line("    invalidator=", &a), line("    invalidator=", &b),
                                                     line("    invalidator=", nullptr),
                                                     line("    invalidator=", &a)}));
  }
  EXPECT_EQ(holder.GetInvalidator(CascadeInvalidatorType::QueryResults), &b);
  EXPECT_EQ(holder.GetInvalidator(static_cast<CascadeInvalidatorType>(2)), nullptr);
  auto ended = CascadeInvalidatorAggregator_CreateQueryJobScope();
  ended->EndScope();
  const std::string unitTestsOnly = "AppConfig::GetInstance().GetUnitTestFlag()";
  const std::string typeInRange = "invalidatorType < CascadeInvalidatorType::End";
  const std::pair<std::function<void()>, std::string> cases[] = {  // misuse, the check named
      {[&] { m_aggregator->OnDirty({}, m_cache); }, "!guids.empty()"},
      {[&] { ended->EndScope(); }, "!m_endedScope"},
      // Refused when added, not when the scope goes dirty later.
      {[&] { ended->AddHandler(nullptr); }, "handler"},
      {[&] {
         KelvraTls::GetThreadContext().SetCurrentQueryJobScope(std::make_shared<ForeignScope>());
         m_aggregator->OnEntryUsed(1, m_cache);
       },
       "scope"},
      // A thread without a context.
      {[] { std::async(std::launch::async, [] { CascadeInvalidatorAggregator_CreateQueryJobScope(); }).get(); },
       "threadContext"},
      {outsideUnitTests([] { CascadeInvalidatorAggregator::ResetForTest(); }), unitTestsOnly},
      {outsideUnitTests([&] { holder.ResetForTest(); }), unitTestsOnly},
      {[&] { holder.GetInvalidator(CascadeInvalidatorType::End); }, typeInRange},
      {[&] { holder.GetInvalidator(static_cast<CascadeInvalidatorType>(-1)); }, typeInRange},
      {[&] { holder.Initialize({&b, &b, &b, &b}); }, "Already initialized!"},
  };
  for (const auto& [misuse, check] : cases) EXPECT_EQ(ExpressionOf(misuse), check);
  EXPECT_EQ(holder.GetInvalidators(), (std::vector<ICascadeInvalidator*>{&a, &b, nullptr, &a}));
  holder.ResetForTest();
  EXPECT_TRUE(holder.GetInvalidators().empty());
}

TEST_F(CascadeInvalidatorAggregatorTest, SyncCachesOffHidesTheAggregator) {
  ScopedOptionOverride off("SyncCaches", false);
  EXPECT_FALSE(CascadeInvalidatorAggregator_CreateQueryJobScope());
  EXPECT_EQ(CascadeInvalidatorAggregator::TryGetSingleton(), nullptr);
  EXPECT_FALSE(KelvraTls::GetThreadContext().GetCurrentQueryJobScope()) << "the context is left untouched";
  // Tested at every call: on again, the same aggregator is back.
  ScopedOptionOverride on("SyncCaches", true);
  EXPECT_EQ(CascadeInvalidatorAggregator::TryGetSingleton(), m_aggregator);
}

// Every invalidator hears of a result's use, also after one raised; the
// first failure then reaches the caller.
TEST_F(CascadeInvalidatorAggregatorTest, ResultUseReachesEveryInvalidatorOfTheHolder) {
  struct Refusing : RecordingInvalidator {
    void OnResultUsed(const std::shared_ptr<IInvalidatorAggregatorScope>& scope) override {
      RecordingInvalidator::OnResultUsed(scope);
      throw std::runtime_error("refused");
    }
  };
  RecordingInvalidator recorder;
  Refusing refusing;
  ICascadeInvalidatorHolder& holder = CascadeInvalidatorHolderFactory::GetInstance();
  holder.ResetForTest();
  holder.Initialize({m_aggregator, &recorder, &refusing, &recorder});
  auto scope = CascadeInvalidatorAggregator_CreateQueryJobScope();
  EXPECT_THROW(scope->OnResultUsed(), std::runtime_error);
  holder.ResetForTest();
  EXPECT_EQ(recorder.resultScopes, (std::vector<std::shared_ptr<IInvalidatorAggregatorScope>>{scope, scope}));
  EXPECT_EQ(refusing.resultScopes.size(), 1u);
}

}  // namespace
