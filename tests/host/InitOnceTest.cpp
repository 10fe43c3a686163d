// InitOnce: one creation per slot, however many threads ask at once.
#include "host/InitOnce.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/host/ConcurrencyTestSupport.h"
#include "tests/support/TestEnvironment.h"

namespace {

using namespace concurrency_test;

// What InitOnce creates in these tests; counts its destructions.
struct Created {
  static inline std::atomic<int> s_destroyed{0};
  explicit Created(int value) : m_value(value) {}
  ~Created() { s_destroyed.fetch_add(1); }
  int m_value;
};

// Many threads at once ask a fresh slot for its object; the creation is slow
// so that the others have to wait for it. When the first creation fails, its
// thread alone gets the exception and one waiting thread creates instead.
TEST(InitOnceTest, ManyThreadsAtOnceCreateOneObjectThatIsKeptForever) {
  for (bool firstFails : {false, true}) {
    SCOPED_TRACE(firstFails ? "the first creation fails" : "every creation succeeds");
    // Slots are usually statics; local ones behave the same and keep repeated
    // runs of these tests independent.
    InitOnceSlot slot;
    std::atomic<int> creations{0};
    std::atomic<int> failures{0};
    std::vector<Created*> seen(16, nullptr);
    const int destroyedBefore = Created::s_destroyed.load();
    RunTogether(16, [&](int i) {
      try {
        seen[i] = InitOnceShared<Created>(slot, [&] {
          const int attempt = creations.fetch_add(1) + 1;
          std::this_thread::sleep_for(std::chrono::milliseconds(30));
          if (firstFails && attempt == 1) throw std::runtime_error("first attempt fails");
          return std::make_shared<Created>(40 + attempt);
        });
      } catch (const std::runtime_error&) {
        failures.fetch_add(1);
      }
    });
    EXPECT_EQ(firstFails ? 2 : 1, creations.load());
    EXPECT_EQ(firstFails ? 1 : 0, failures.load());
    Created* kept = InitOnceShared<Created>(slot, []() -> std::shared_ptr<Created> {
      ADD_FAILURE() << "created again";
      return nullptr;
    });
    ASSERT_NE(nullptr, kept);
    EXPECT_EQ(creations.load() + 40, kept->m_value);
    for (Created* pointer : seen) EXPECT_TRUE(pointer == kept || pointer == nullptr);
    EXPECT_EQ(failures.load(), std::count(seen.begin(), seen.end(), nullptr));
    // Nothing was destroyed: the kept shared_ptr still owns the object.
    EXPECT_EQ(destroyedBefore, Created::s_destroyed.load());
  }
}

// Raw form: the context is an int that the creation function reads.
boost::any MakeFromContext(void* context) { return std::make_shared<Created>(*static_cast<int*>(context)); }
void* ExtractCounted(boost::any& held) { return boost::any_cast<std::shared_ptr<Created>&>(held).get(); }
void* ExtractWrongType(boost::any& held) { return boost::any_cast<std::shared_ptr<int>&>(held).get(); }

TEST(InitOnceTest, RawFormSharedPtrFormAndNesting) {
  InitOnceSlot raw, badExtract, shared, outerSlot, innerSlot, recursive, unclaimed;  // one per case
  int context = 12;
  auto* made = static_cast<Created*>(InitOnce(raw, &MakeFromContext, &context, &ExtractCounted));
  ASSERT_NE(nullptr, made);
  EXPECT_EQ(12, made->m_value);

  // An extraction that fails (bad_any_cast) keeps nothing: the object made
  // is destroyed, and a right one later makes its own.
  const int destroyedBefore = Created::s_destroyed.load();
  EXPECT_THROW(InitOnce(badExtract, &MakeFromContext, &context, &ExtractWrongType), boost::bad_any_cast);
  EXPECT_EQ(Created::s_destroyed.load(), destroyedBefore + 1);
  int laterContext = 13;
  auto* later = static_cast<Created*>(InitOnce(badExtract, &MakeFromContext, &laterContext, &ExtractCounted));
  ASSERT_NE(nullptr, later);
  EXPECT_EQ(13, later->m_value);

  // The shared_ptr form hands out the kept shared_ptr: weak references to it
  // stay valid because it is never destroyed.
  const std::shared_ptr<Created>& kept =
      InitOnceSharedPtr<Created>(shared, [] { return std::make_shared<Created>(5); });
  std::weak_ptr<Created> weak = kept;
  EXPECT_EQ(1, kept.use_count());
  EXPECT_EQ(&kept, &InitOnceSharedPtr<Created>(shared, [] { return std::make_shared<Created>(6); }));
  EXPECT_FALSE(weak.expired());
  EXPECT_EQ(5, weak.lock()->m_value);

  // A creation may use InitOnce for another slot (no lock is held) ...
  Created* outer = InitOnceShared<Created>(outerSlot, [&innerSlot] {
    Created* inner = InitOnceShared<Created>(innerSlot, [] { return std::make_shared<Created>(1); });
    return std::make_shared<Created>(inner->m_value + 1);
  });
  EXPECT_EQ(2, outer->m_value);

  // ... but not for its own slot: that would wait for itself forever.
  EXPECT_THAT(kelcache_test::LogicExceptionSite([&recursive] {
                InitOnceShared<Created>(recursive, [&recursive] {
                  InitOnceShared<Created>(recursive, [] { return std::make_shared<Created>(0); });
                  return std::make_shared<Created>(1);
                });
              }),
              testing::StartsWith("host/InitOnce:"));
  // The refusal left the slot usable.
  EXPECT_EQ(3, InitOnceShared<Created>(recursive, [] { return std::make_shared<Created>(3); })->m_value);

  // A null function is refused before the slot is claimed.
  EXPECT_THAT(kelcache_test::LogicExceptionSite([&] { InitOnce(unclaimed, nullptr, &context, &ExtractCounted); }),
              testing::MatchesRegex("host/InitOnce:[0-9]+ create"));
  EXPECT_THAT(kelcache_test::LogicExceptionSite([&] { InitOnce(unclaimed, &MakeFromContext, &context, nullptr); }),
              testing::MatchesRegex("host/InitOnce:[0-9]+ extract"));
  EXPECT_NE(nullptr, InitOnce(unclaimed, &MakeFromContext, &context, &ExtractCounted));
}

}  // namespace
