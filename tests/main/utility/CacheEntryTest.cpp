// Cache entries: ids issued in sequence (and wrapping), and the one reference
// an entry holds on its object; the two clocks; the byte figure cached
// objects report.
#include "main/utility/CacheEntry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host/DateTime.h"
#include "main/utility/CacheClocks.h"
#include "tests/main/utility/CacheTestSupport.h"

using namespace CacheHelpers;
using namespace cache_test;

TEST(CacheEntryTest, IdsAreIssuedInSequenceOnlyByTheDataConstructorAndWrap) {
  const unsigned saved = Entry::s_guid.load();
  Entry first(nullptr, 0);
  Entry second(nullptr, 0);
  EXPECT_EQ(second.GetID(), first.GetID() + 1);

  // Probes and copies do not consume ids.
  const unsigned before = Entry::s_guid.load();
  Entry empty;
  Entry probe(12345u);
  Entry copy(first);
  EXPECT_EQ(Entry::s_guid.load(), before);
  EXPECT_EQ(empty.GetID(), 0u);
  // An id converts to its probe, as a lookup in a set of entries wants.
  const EntrySet set{copy};  // the copy carries the id of its source
  EXPECT_NE(set.find(first.GetID()), set.end());

  // After the largest id the counter wraps; 0 is issued like any id.
  Entry::s_guid.store(0xFFFFFFFEu);
  Entry last(nullptr, 0);
  Entry wrapped(nullptr, 0);
  Entry next(nullptr, 0);
  Entry::s_guid.store(saved);
  EXPECT_EQ(last.GetID(), 0xFFFFFFFFu);
  EXPECT_EQ(wrapped.GetID(), 0u);
  EXPECT_EQ(next.GetID(), 1u);
}

TEST(CacheEntryTest, EntryHoldsExactlyOneReference) {
  bool destroyed = false;
  RefCntObject* object = new Record("", 0, &destroyed);
  {
    Entry entry(RefCntPtr<RefCntObject>(object), 0);
    EXPECT_EQ(object->GetReferenceCount(), 1);  // the temporary's reference passed to the entry
    {
      Entry copy(entry);
      EXPECT_EQ(object->GetReferenceCount(), 2);
      RefCntPtr<RefCntObject> used = copy.Use(1);
      EXPECT_EQ(object->GetReferenceCount(), 3);
    }
    EXPECT_EQ(object->GetReferenceCount(), 1);

    // Self-assignment of the only holder must not destroy the object.
    Entry& alias = entry;
    entry = alias;
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(object->GetReferenceCount(), 1);

    // Assignment releases the old object.
    bool otherDestroyed = false;
    Entry other(new Record("", 0, &otherDestroyed), 0);
    other = entry;
    EXPECT_TRUE(otherDestroyed);
    EXPECT_EQ(object->GetReferenceCount(), 2);
  }
  EXPECT_TRUE(destroyed);
}

TEST(CacheClocksTest, TickClockMovesOnlyOnIncrementAndWallClockOnlyByItself) {
  std::unique_ptr<IClock> ticks = CreateBasicClock();
  EXPECT_EQ(ticks->GetTime(), 0u);  // reading twice (here and below) does not move it
  for (int i = 0; i < 2; ++i) ticks->Increment();
  EXPECT_EQ(ticks->GetTime(), 2u);

  // The wall clock reads the host's milliseconds: it moves across a sleep
  // without Increment, and Increment does not push it ahead of real time.
  std::unique_ptr<IClock> wall = CreateSystemClock();
  const uint64_t before = DateTime::TotalMillisecondsFromMinDateTimeUTC();
  const uint64_t first = wall->GetTime();
  for (int i = 0; i < 1000; ++i) wall->Increment();
  const uint64_t afterIncrements = wall->GetTime();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const uint64_t later = wall->GetTime();
  EXPECT_LE(before, first);
  EXPECT_LE(afterIncrements, DateTime::TotalMillisecondsFromMinDateTimeUTC());
  EXPECT_GE(later, first + 20);
}

namespace {
// A derived class may set the field itself or through SetMemoryUsage.
struct Sized : KelCacheData {
  Sized() = default;
  explicit Sized(uint64_t bytes) { m_memoryUsage = bytes; }
};
}  // namespace

TEST(KelCacheDataTest, FigureDefaultsTo24AndTravelsWithCopiesButTheReferenceCountDoesNot) {
  RefCntPtr<Sized> plain(new Sized);
  EXPECT_EQ(plain->GetMemoryUsage(), 24u);

  RefCntPtr<Sized> big(new Sized(4096));
  RefCntPtr<Sized> holder = big;
  RefCntPtr<Sized> copy(new Sized(*big));
  EXPECT_EQ(copy->GetMemoryUsage(), 4096u);
  EXPECT_EQ(copy->GetReferenceCount(), 1);  // only `copy` holds it, whatever held the source
  *plain = *big;
  EXPECT_EQ(plain->GetMemoryUsage(), 4096u);
  EXPECT_EQ(plain->GetReferenceCount(), 1);
  big.reset();
  holder.reset();  // the source goes; its copies stay whole
  EXPECT_EQ(copy->GetMemoryUsage(), 4096u);
}
