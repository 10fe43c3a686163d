// The cascade invalidator aggregator (query-job scopes told when an entry
// they used turns dirty) and the holder of the process's invalidators.
#include <gtest/gtest.h>

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

  auto first = AddHandler(scope);
  auto second = AddHandler(scope);
  scope->AddHandler(first);  // the same handler twice is kept once
  EXPECT_EQ(m_aggregator->GetScopeCount(), 1u);

  m_aggregator->OnDirty({42, 5}, m_cache);  // the used id is not the first one reported
  EXPECT_EQ(first->m_calls, 1);
  EXPECT_EQ(second->m_calls, 1);
  EXPECT_EQ(first->m_lastScope, scope.get());
  EXPECT_EQ(m_aggregator->GetScopeCount(), 0u) << "a dirty scope is never told again";
}

// Each step of a scope's life writes its line, in order, at the severity the
// option CacheSynchronizationLogging chooses: Info when on, Debug when off.
TEST_F(CascadeInvalidatorAggregatorTest, EachStepWritesItsLineAtTheSynchronisationSeverity) {
  for (const bool logging : {true, false}) {
    SCOPED_TRACE(logging ? "logging on" : "logging off");
    ScopedOptionOverride option("CacheSynchronizationLogging", logging);
    const TLog::AnySeverity expected = logging ? TLog::AnySeverity(TLog::Info) : TLog::AnySeverity(TLog::Debug);
    TLog::Capture capture(TLog::Debug);
    std::shared_ptr<IInvalidatorAggregatorScope> scope = CascadeInvalidatorAggregator_CreateQueryJobScope();
    const std::string s = TString::pointer(scope.get()).toStdString();
    m_aggregator->OnEntryUsed(5, m_cache);
    auto handler = AddHandler(scope);
    const std::string h = TString::pointer(handler.get()).toStdString();
    m_aggregator->OnEvicted({7}, m_cache);
    m_aggregator->OnDirty({5}, m_cache);
    scope->EndScope();
    scope.reset();
    KelvraTls::GetThreadContext().SetCurrentQueryJobScope(nullptr);  // releases the scope's last reference
    const std::vector<std::string> lines = {
        "CascadeInvalidatorAggregator CreateQueryJobScope Scope=" + s,
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
    EXPECT_EQ(written, lines);
  }
}

// Uses go to the thread's current scope while it is open. A scope without
// handlers is never tested: a dirty report before its first handler leaves it
// clean. Eviction forgets ids and never makes a scope dirty, not even one whose
// ids were all evicted.
TEST_F(CascadeInvalidatorAggregatorTest, UsesGoToTheCurrentOpenScopeAndOnlyScopesWithHandlersAreTested) {
  m_aggregator->OnEntryUsed(1, m_cache);  // no current scope: nothing happens
  auto evicted = CascadeInvalidatorAggregator_CreateQueryJobScope();
  m_aggregator->OnEntryUsed(5, m_cache);
  auto evictedHandler = AddHandler(evicted);
  auto scope = CascadeInvalidatorAggregator_CreateQueryJobScope();  // replaces the current scope
  m_aggregator->OnEntryUsed(1, m_cache);
  m_aggregator->OnDirty({1}, m_cache);
  auto handler = AddHandler(scope);  // registered only now: the earlier report did not reach it
  EXPECT_EQ(handler->m_calls, 0);
  scope->EndScope();
  m_aggregator->OnEntryUsed(2, m_cache);  // after EndScope: not recorded
  m_aggregator->OnEvicted({}, m_cache);
  m_aggregator->OnEvicted({5}, m_cache);
  EXPECT_EQ(m_aggregator->GetScopeCount(), 2u) << "a scope whose ids were all evicted stays registered";
  m_aggregator->OnDirty({2, 5}, m_cache);
  EXPECT_EQ(handler->m_calls, 0) << "a use after EndScope is not recorded";
  EXPECT_EQ(evictedHandler->m_calls, 0) << "an evicted id is forgotten";
  m_aggregator->OnDirty({1}, m_cache);
  EXPECT_EQ(handler->m_calls, 1);
  EXPECT_EQ(evictedHandler->m_calls, 0) << "the use went to the current scope only";
}

// Handlers run with no lock held, so from inside the notification a handler
// may report more dirty and evicted ids and add a handler to the now dirty
// scope, which is told at once. An exception from a handler leaves OnDirty;
// the scope is already dirty and unregistered.
TEST_F(CascadeInvalidatorAggregatorTest, HandlersMayCallBackAndAHandlersExceptionLeavesOnDirty) {
  auto scope = CascadeInvalidatorAggregator_CreateQueryJobScope();
  m_aggregator->OnEntryUsed(7, m_cache);
  auto reentrant = AddHandler(scope);
  auto added = std::make_shared<RecordingHandler>();
  added->m_action = [](const std::shared_ptr<IInvalidatorAggregatorScope>&) { throw std::runtime_error("boom"); };
  reentrant->m_action = [&](const std::shared_ptr<IInvalidatorAggregatorScope>& dirty) {
    m_aggregator->OnDirty({7, 8}, m_cache);
    m_aggregator->OnEvicted({7}, m_cache);
    dirty->AddHandler(added);  // told at once, and throws
  };
  EXPECT_THROW(m_aggregator->OnDirty({7}, m_cache), std::runtime_error);
  EXPECT_EQ(reentrant->m_calls, 1);
  EXPECT_EQ(added->m_calls, 1);
  EXPECT_EQ(m_aggregator->GetScopeCount(), 0u);
}

// The holder of one invalidator per type, each of which hears of a scope's
// result use; misuse of the aggregator and the holder raises a LogicException
// naming the check that failed, and changes nothing.
TEST_F(CascadeInvalidatorAggregatorTest, TheHolderKeepsOneInvalidatorPerTypeAndMisuseRaisesNamingTheCheck) {
  class ForeignScope : public IInvalidatorAggregatorScope {
   public:
    void EndScope() override {}
    void OnResultUsed() override {}
    void AddHandler(std::shared_ptr<IScopeDirtyHandler>) override {}
  };
  auto outsideUnitTests = [](std::function<void()> action) {
    return [action] {
      AppConfig::GetInstance().SetUnitTestFlag(false);
      struct Restore {
        ~Restore() { AppConfig::GetInstance().SetUnitTestFlag(true); }
      } restore;
      action();
    };
  };
  ICascadeInvalidatorHolder& holder = CascadeInvalidatorHolderFactory::GetInstance();
  holder.ResetForTest();
  struct Refusing : RecordingInvalidator {
    void OnResultUsed(const std::shared_ptr<IInvalidatorAggregatorScope>& scope) override {
      RecordingInvalidator::OnResultUsed(scope);
      throw std::runtime_error("refused");
    }
  };
  RecordingInvalidator a;
  Refusing b;
  // Empty, the holder gives null for every valid type; a wrong count raises
  // and leaves it empty. Initialized, it holds the pointers in type order.
  for (int type = 0; type < CascadeInvalidatorType::End; ++type)
    EXPECT_EQ(holder.GetInvalidator(static_cast<CascadeInvalidatorType>(type)), nullptr);
  const std::string wrongCount = "Number of invalidators does not match enum!";
  EXPECT_EQ(ExpressionOf([&] { holder.Initialize({&a, &b, nullptr}); }), wrongCount);
  EXPECT_EQ(ExpressionOf([&] { holder.Initialize({&a, &b, nullptr, &a, &a}); }), wrongCount);
  EXPECT_TRUE(holder.GetInvalidators().empty());
  const std::vector<ICascadeInvalidator*> invalidators{&a, &b, nullptr, &a};
  {
    TLog::Capture capture(TLog::Info);
    holder.Initialize(invalidators);
    std::vector<TString> lines{"Initialize invalidators on holder=" + TString::pointer(&holder)};
    for (const void* invalidator : invalidators)
      lines.push_back("    invalidator=" + TString::pointer(invalidator));
    EXPECT_EQ(capture.Lines(), lines);
  }
  EXPECT_EQ(holder.GetInvalidator(CascadeInvalidatorType::QueryResults), &b);
  EXPECT_EQ(holder.GetInvalidator(static_cast<CascadeInvalidatorType>(2)), nullptr);
  auto scope = CascadeInvalidatorAggregator_CreateQueryJobScope();
  // Every invalidator hears of a result's use, also after one raised; the
  // first failure then reaches the caller.
  EXPECT_THROW(scope->OnResultUsed(), std::runtime_error);
  EXPECT_EQ(a.resultScopes, (std::vector<std::shared_ptr<IInvalidatorAggregatorScope>>{scope, scope}));
  EXPECT_EQ(b.resultScopes.size(), 1u);
  scope->EndScope();
  const std::string unitTestsOnly = "AppConfig::GetInstance().GetUnitTestFlag()";
  const std::string typeInRange = "invalidatorType < CascadeInvalidatorType::End";
  const std::pair<std::function<void()>, std::string> cases[] = {  // misuse, the check named
      {[&] { m_aggregator->OnDirty({}, m_cache); }, "!guids.empty()"},
      {[&] { scope->EndScope(); }, "!m_endedScope"},
      // Refused when added, not when the scope goes dirty later.
      {[&] { scope->AddHandler(nullptr); }, "handler"},
      {[&] { m_aggregator->OnScopeHasHandler(nullptr); }, "scope"},
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
  EXPECT_EQ(holder.GetInvalidators(), invalidators);
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

}  // namespace
