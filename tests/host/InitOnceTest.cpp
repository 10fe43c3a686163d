#include "host/InitOnce.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "host/Errors.h"

namespace {

// An object that counts its destructions.
struct Counted {
  static std::atomic<int> s_destroyed;
  explicit Counted(int value) : m_value(value) {}
  ~Counted() { s_destroyed.fetch_add(1); }
  int m_value;
};
std::atomic<int> Counted::s_destroyed{0};

// Runs fn on count threads that all start at the same moment.
template <class Fn>
void RunTogether(int count, Fn fn) {
  std::latch start(count);
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&start, &fn, i] {
      start.arrive_and_wait();
      fn(i);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace

TEST(InitOnceTest, ManyThreadsAtOnceCreateOneObjectThatIsKeptForever) {
  // Slots are usually statics; local ones behave the same and keep repeated
  // runs of these tests independent.
  InitOnceSlot slot;
  std::atomic<int> creations{0};
  std::vector<Counted*> seen(16, nullptr);
  int destroyedBefore = Counted::s_destroyed.load();

  RunTogether(16, [&](int i) {
    seen[i] = InitOnceShared<Counted>(slot, [&creations] {
      creations.fetch_add(1);
      // Slow creation, so that the other threads have to wait for it.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      return std::make_shared<Counted>(41);
    });
  });

  EXPECT_EQ(1, creations.load());
  ASSERT_NE(nullptr, seen[0]);
  for (Counted* pointer : seen) EXPECT_EQ(seen[0], pointer);
  EXPECT_EQ(41, seen[0]->m_value);

  // Later calls take the fast path and never run their creation function.
  Counted* again = InitOnceShared<Counted>(slot, []() -> std::shared_ptr<Counted> {
    ADD_FAILURE() << "created twice";
    return nullptr;
  });
  EXPECT_EQ(seen[0], again);
  // Nothing was destroyed: the kept shared_ptr still owns the object.
  EXPECT_EQ(destroyedBefore, Counted::s_destroyed.load());
}

TEST(InitOnceTest, AFailedCreationKeepsNothingAndIsRetried) {
  InitOnceSlot slot;
  int attempts = 0;
  auto failFirst = [&attempts] {
    if (++attempts == 1) throw std::runtime_error("first attempt fails");
    return std::make_shared<Counted>(attempts);
  };
  EXPECT_THROW(InitOnceShared<Counted>(slot, failFirst), std::runtime_error);
  EXPECT_EQ(nullptr, slot.m_pointer.load());
  Counted* made = InitOnceShared<Counted>(slot, failFirst);
  ASSERT_NE(nullptr, made);
  EXPECT_EQ(2, made->m_value);

  // Under contention: the thread whose creation fails gets the exception; a
  // waiting thread then creates, and every other thread gets its object.
  InitOnceSlot contended;
  std::atomic<int> creations{0};
  std::atomic<int> failures{0};
  std::vector<Counted*> seen(8, nullptr);
  RunTogether(8, [&](int i) {
    try {
      seen[i] = InitOnceShared<Counted>(contended, [&creations] {
        int attempt = creations.fetch_add(1) + 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (attempt == 1) throw std::runtime_error("first attempt fails");
        return std::make_shared<Counted>(attempt);
      });
    } catch (const std::runtime_error&) {
      failures.fetch_add(1);
    }
  });
  EXPECT_EQ(2, creations.load());
  EXPECT_EQ(1, failures.load());
  Counted* winner = nullptr;
  for (Counted* pointer : seen) {
    if (pointer == nullptr) continue;
    if (winner == nullptr) winner = pointer;
    EXPECT_EQ(winner, pointer);
  }
  ASSERT_NE(nullptr, winner);
  EXPECT_EQ(2, winner->m_value);
}

namespace {

// Raw form: the context is an int that the creation function reads.
boost::any MakeFromContext(void* context) {
  return boost::any(std::make_shared<Counted>(*static_cast<int*>(context)));
}
void* ExtractCounted(boost::any& held) {
  return boost::any_cast<std::shared_ptr<Counted>&>(held).get();
}
void* ExtractWrongType(boost::any& held) {
  return boost::any_cast<std::shared_ptr<int>&>(held).get();
}

}  // namespace

TEST(InitOnceTest, RawFormSharedPtrFormAndNesting) {
  InitOnceSlot raw;
  int context = 12;
  auto* made = static_cast<Counted*>(InitOnce(raw, &MakeFromContext, &context, &ExtractCounted));
  ASSERT_NE(nullptr, made);
  EXPECT_EQ(12, made->m_value);

  // An extraction that fails (bad_any_cast) keeps nothing; a right one later
  // succeeds.
  InitOnceSlot badExtract;
  EXPECT_THROW(InitOnce(badExtract, &MakeFromContext, &context, &ExtractWrongType), boost::bad_any_cast);
  EXPECT_NE(nullptr, InitOnce(badExtract, &MakeFromContext, &context, &ExtractCounted));

  // The shared_ptr form hands out the kept shared_ptr: weak references to it
  // stay valid because it is never destroyed.
  InitOnceSlot shared;
  const std::shared_ptr<Counted>& kept =
      InitOnceSharedPtr<Counted>(shared, [] { return std::make_shared<Counted>(5); });
  std::weak_ptr<Counted> weak = kept;
  EXPECT_EQ(1, kept.use_count());
  EXPECT_EQ(&kept, &InitOnceSharedPtr<Counted>(shared, [] { return std::make_shared<Counted>(6); }));
  EXPECT_FALSE(weak.expired());
  EXPECT_EQ(5, weak.lock()->m_value);

  // A creation may use InitOnce for another slot (no lock is held) ...
  InitOnceSlot outerSlot;
  InitOnceSlot innerSlot;
  Counted* outer = InitOnceShared<Counted>(outerSlot, [&innerSlot] {
    Counted* inner = InitOnceShared<Counted>(innerSlot, [] { return std::make_shared<Counted>(1); });
    return std::make_shared<Counted>(inner->m_value + 1);
  });
  EXPECT_EQ(2, outer->m_value);

  // ... but not for its own slot: that would wait for itself forever.
  InitOnceSlot recursive;
  try {
    InitOnceShared<Counted>(recursive, [&recursive] {
      InitOnceShared<Counted>(recursive, [] { return std::make_shared<Counted>(0); });
      return std::make_shared<Counted>(1);
    });
    ADD_FAILURE() << "recursion was not refused";
  } catch (const LogicException& error) {
    EXPECT_EQ("host/InitOnce", error.GetSourceFile());
  }
  // The refusal left the slot usable.
  EXPECT_EQ(3, InitOnceShared<Counted>(recursive, [] { return std::make_shared<Counted>(3); })->m_value);
}
