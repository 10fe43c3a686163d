// The per-thread and per-process identity facilities: SessionActorInfo,
// KelvraTls, FeatureFlags and the authoring client's main-thread mark.
#include "host/SessionActorInfo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/Errors.h"
#include "host/FeatureFlags.h"
#include "host/KelvraTls.h"
#include "host/TSystem.h"
#include "tests/host/OptionsTestSupport.h"
#include "tests/support/TestEnvironment.h"

using kelvra::caching::IInvalidatorAggregatorScope;
using namespace options_test;

namespace {

// A stand-in for a query-job scope: the scope type is only declared here, so
// the pointer aliases an int that the test owns and is never dereferenced.
std::shared_ptr<IInvalidatorAggregatorScope> StandInScope(const std::shared_ptr<int>& owner) {
  return std::shared_ptr<IInvalidatorAggregatorScope>(
      owner, reinterpret_cast<IInvalidatorAggregatorScope*>(owner.get()));
}

// The calling thread's actor as "site/user".
TString ThreadActor() {
  SessionActorInfo info = SessionActorInfo::GetSessionActorInfoFromThread();
  return info.GetSiteLuid() + TString("/") + info.GetUserLuid();
}

}  // namespace

TEST(IdentityTest, SessionActorIsPerThreadAndScoped) {
  EXPECT_EQ(TString("/"), ThreadActor());
  SessionActorInfo kept;
  {
    SessionActorInfo::ScopedThreadActor actor(TString("site-1"), TString("user-1"));
    EXPECT_EQ(TString("site-1/user-1"), ThreadActor());
    // Another thread does not see this thread's actor, and its own actor does
    // not leak back.
    std::thread([] {
      EXPECT_EQ(TString("/"), ThreadActor());
      SessionActorInfo::ScopedThreadActor mine(TString("site-2"), TString("user-2"));
      EXPECT_EQ(TString("site-2/user-2"), ThreadActor());
    }).join();
    {
      // Nested: a site-only actor, then back to the outer one.
      SessionActorInfo::ScopedThreadActor inner(TString("site-3"), TString());
      EXPECT_EQ(TString("site-3/"), ThreadActor());
    }
    EXPECT_EQ(TString("site-1/user-1"), ThreadActor());
    kept = SessionActorInfo::GetSessionActorInfoFromThread();
  }
  EXPECT_EQ(TString("/"), ThreadActor());
  EXPECT_EQ(TString("site-1"), kept.GetSiteLuid()) << "a copy, it outlives the scope";
}

TEST(IdentityTest, ThreadContextIsRequiredAndHoldsTheQueryJobScope) {
  ASSERT_FALSE(KelvraTls::HasThreadContext());
  const auto expression = [](const LogicException& error) { return error.GetExpression(); };
  EXPECT_EQ("threadContext",
            kelcache_test::RaisedText<LogicException>([] { KelvraTls::GetThreadContext(); }, expression));

  auto owner = std::make_shared<int>(1);
  std::weak_ptr<int> watch = owner;
  {
    KelvraTls::ScopedThreadContext context;
    ASSERT_TRUE(KelvraTls::HasThreadContext());
    IThreadContext& current = KelvraTls::GetThreadContext();
    EXPECT_EQ(nullptr, current.GetCurrentQueryJobScope());

    current.SetCurrentQueryJobScope(StandInScope(owner));
    owner.reset();
    // The context keeps the scope alive; reading it gives a copy.
    ASSERT_FALSE(watch.expired());
    std::shared_ptr<IInvalidatorAggregatorScope> copy = current.GetCurrentQueryJobScope();
    EXPECT_EQ(reinterpret_cast<IInvalidatorAggregatorScope*>(watch.lock().get()), copy.get());
    EXPECT_EQ(2, watch.use_count());  // the context and the copy
    copy.reset();

    // Other threads have no context of their own.
    std::thread([] { EXPECT_FALSE(KelvraTls::HasThreadContext()); }).join();

    {
      // A nested context hides the outer one and restores it when it ends.
      KelvraTls::ScopedThreadContext nested;
      EXPECT_EQ(&nested.Get(), &KelvraTls::GetThreadContext());
      EXPECT_EQ(nullptr, KelvraTls::GetThreadContext().GetCurrentQueryJobScope());
    }
    EXPECT_EQ(&current, &KelvraTls::GetThreadContext());
    EXPECT_NE(nullptr, KelvraTls::GetThreadContext().GetCurrentQueryJobScope());

    // Replacing the scope releases the previous one.
    KelvraTls::GetThreadContext().SetCurrentQueryJobScope(nullptr);
    EXPECT_TRUE(watch.expired());

    // The context's own scope is released when the context goes.
    owner = std::make_shared<int>(2);
    watch = owner;
    current.SetCurrentQueryJobScope(StandInScope(owner));
    owner.reset();
  }
  EXPECT_TRUE(watch.expired());
  EXPECT_FALSE(KelvraTls::HasThreadContext());

  // A context that the caller owns may be installed, and outlives the scope.
  ThreadContext mine;
  {
    KelvraTls::ScopedThreadContext borrowed(mine);
    KelvraTls::GetThreadContext().SetCurrentQueryJobScope(StandInScope(std::make_shared<int>(3)));
  }
  EXPECT_FALSE(KelvraTls::HasThreadContext());
  EXPECT_NE(nullptr, mine.GetCurrentQueryJobScope());
}

TEST(IdentityTest, FeatureFlagsAreOffUntilTurnedOn) {
  EXPECT_FALSE(FeatureFlags::IsOn(kInvariantsFlag));
  EXPECT_FALSE(FeatureFlags::IsOn(kRedisTtlFlag));
  {
    FeatureFlags::ScopedOverride on(kInvariantsFlag, true);
    EXPECT_TRUE(FeatureFlags::IsOn(kInvariantsFlag));
    EXPECT_FALSE(FeatureFlags::IsOn(kRedisTtlFlag));
    {
      FeatureFlags::ScopedOverride off(kInvariantsFlag, false);
      EXPECT_FALSE(FeatureFlags::IsOn(kInvariantsFlag));
    }
    EXPECT_TRUE(FeatureFlags::IsOn(kInvariantsFlag));
    std::thread([] { EXPECT_TRUE(FeatureFlags::IsOn(kInvariantsFlag)) << "on another thread"; }).join();
  }
  EXPECT_FALSE(FeatureFlags::IsOn(kInvariantsFlag));

  // The list form: decimal and hex ids, =0 / =1, white space, empty items.
  using Flags = std::vector<std::pair<FeatureFlagId, bool>>;
  EXPECT_EQ(FeatureFlags::ParseFlagList(" 0x6460C0E0 , 2494173859=1,, 5 = 0,0XFF=1 ,"),
            (Flags{{kInvariantsFlag, true}, {kRedisTtlFlag, true}, {5, false}, {255, true}}));
  EXPECT_TRUE(FeatureFlags::ParseFlagList("").empty());
  for (const char* bad : {"abc", "-1", "4294967296", "0x", "12=2", "12=", "0x1G", "1 2"}) {
    EXPECT_THAT(kelcache_test::RaisedText<std::invalid_argument>(
                    [&] { FeatureFlags::ParseFlagList(std::string("7,") + bad); }),
                testing::HasSubstr(std::string("\"") + bad + "\""));
  }
  // SetFromText applies left to right, and applies nothing when it throws.
  FeatureFlags::SetFromText("0x94AA12A3, 0x94AA12A3=0, 6");
  EXPECT_FALSE(FeatureFlags::IsOn(kRedisTtlFlag));
  EXPECT_TRUE(FeatureFlags::IsOn(6));
  EXPECT_THROW(FeatureFlags::SetFromText("6=0, nonsense"), std::invalid_argument);
  EXPECT_TRUE(FeatureFlags::IsOn(6));
  FeatureFlags::Set(6, false);

  // Reads while another thread flips a flag (checked by ThreadSanitizer); a
  // flag that nobody sets stays off.
  const auto read = [] { return (void)FeatureFlags::IsOn(kInvariantsFlag), !FeatureFlags::IsOn(kRedisTtlFlag); };
  EXPECT_EQ(0, ReadsBesideWritesThatFail(read, [](int i) { FeatureFlags::Set(kInvariantsFlag, i % 2 == 0); }));
  EXPECT_FALSE(FeatureFlags::IsOn(kInvariantsFlag));

  // The environment variable, in a fresh process: good items apply, bad ones
  // are reported by name and skipped.
  kelcache_test::ChildModeResult child =
      ExpectChild({"KELCACHE_FEATURE_FLAGS=0x6460C0E0, 2494173859=1, 5, 5=0, bogus, 7=1, 0xFFFFFFFF"}, {});
  for (FeatureFlagId id : kPrintedFlags) {
    EXPECT_EQ(Text(id != 5 && id != 6), child.values["flag." + std::to_string(id)]) << id;
  }
  EXPECT_THAT(child.output,
              testing::AllOf(testing::HasSubstr("\"bogus\""), testing::HasSubstr("KELCACHE_FEATURE_FLAGS")));
}

TEST(IdentityTest, OnlyTheMarkedThreadIsTheAuthoringClientMainThreadEvenAfterItEnded) {
  EXPECT_FALSE(TSystem::IsAuthoringClientMainThread()) << "no thread is marked at first";
  TSystem::SetAuthoringClientMainThread();
  EXPECT_TRUE(TSystem::IsAuthoringClientMainThread());
  std::thread([] { EXPECT_FALSE(TSystem::IsAuthoringClientMainThread()) << "another thread"; }).join();
  TSystem::ClearAuthoringClientMainThread();
  EXPECT_FALSE(TSystem::IsAuthoringClientMainThread());

  // A marked thread that ends without clearing its mark: the threads made
  // after it (which may get its thread-local storage) are not marked.
  std::thread([] { TSystem::SetAuthoringClientMainThread(); }).join();
  for (int i = 0; i < 8; ++i) {
    std::thread([i] { EXPECT_FALSE(TSystem::IsAuthoringClientMainThread()) << "thread " << i; }).join();
  }
  EXPECT_FALSE(TSystem::IsAuthoringClientMainThread());
  TSystem::ClearAuthoringClientMainThread();
}
