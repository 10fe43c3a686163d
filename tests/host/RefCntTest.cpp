// RefCnt: the last reference destroys the object exactly once.
#include "host/RefCnt.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

struct Counted : RefCntObject {
  explicit Counted(std::atomic<int>* destroyed) : m_destroyed(destroyed) {}
  ~Counted() override { ++*m_destroyed; }
  std::atomic<int>* m_destroyed;
};

// (References taken and dropped on many threads at once are the synchronized
// caches' stress test, which checks that every object is freed exactly with
// its last reference, under ThreadSanitizer too.)
TEST(RefCntTest, LastReferenceDestroysOnce) {
  std::atomic<int> destroyed{0};
  RefCntPtr<Counted> object(new Counted(&destroyed));
  RefCntPtr<RefCntObject> asBase = object;
  EXPECT_EQ(object->GetReferenceCount(), 2);
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
