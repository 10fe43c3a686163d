// RefCnt: references taken and dropped on several threads at once, and the
// last one destroying the object exactly once.
#include "host/RefCnt.h"

#include <gtest/gtest.h>

#include <atomic>

#include "tests/host/ConcurrencyTestSupport.h"

namespace {

using namespace concurrency_test;

struct Counted : RefCntObject {
  explicit Counted(std::atomic<int>* destroyed) : m_destroyed(destroyed) {}
  ~Counted() override { ++*m_destroyed; }
  std::atomic<int>* m_destroyed;
};

TEST(RefCntTest, LastReferenceDestroysOnceAcrossThreads) {
  std::atomic<int> destroyed{0};
  RefCntPtr<Counted> object(new Counted(&destroyed));
  RunTogether(4, [&object](int) {
    for (int i = 0; i < 10000; ++i) {
      RefCntPtr<RefCntObject> base = object;  // take and drop references
    }
  });
  EXPECT_EQ(destroyed.load(), 0);
  EXPECT_EQ(object->GetReferenceCount(), 1);
  RefCntPtr<RefCntObject> asBase = object;
  object.reset();
  EXPECT_EQ(destroyed.load(), 0);
  EXPECT_TRUE(boost::dynamic_pointer_cast<Counted>(asBase));
  asBase.reset();
  EXPECT_EQ(destroyed.load(), 1);

  // By hand: RemoveReference tells the references left, 0 when it destroyed.
  auto* raw = new Counted(&destroyed);
  raw->AddReference();
  raw->AddReference();
  EXPECT_EQ(raw->RemoveReference(), 1);
  EXPECT_EQ(destroyed.load(), 1);
  EXPECT_EQ(raw->RemoveReference(), 0);
  EXPECT_EQ(destroyed.load(), 2);
}

}  // namespace
