// Chapter: a thread-safe indexed cache shared by two threads, and an entry
// removed because another process made it dirty.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "examples/tour/Customers.h"
#include "examples/tour/Tour.h"
#include "main/utility/SynchronizedIndexedCache.h"

using CacheHelpers::Entry;
using CacheHelpers::EntryPredicate;

namespace tour {

namespace {

struct Person {
  const char* name;
  const char* region;
};
constexpr std::array<Person, 6> kPeople = {{{"Ada", "north"},
                                            {"Bob", "south"},
                                            {"Cy", "north"},
                                            {"Di", "south"},
                                            {"Ed", "north"},
                                            {"Flo", "south"}}};

}  // namespace

void ChapterSync() {
  Step("A SynchronizedIndexedCache guards an IndexedCache with a reader/writer lock; any thread may use it.");
  // Owned through a shared_ptr, as a cache that takes part in coherence must be.
  auto cache =
      std::make_shared<SynchronizedIndexedCache>(std::make_shared<CacheHelpers::LifetimePolicy>(6), nullptr);
  cache->AddIndex(u"Region",
                  [](const Entry& entry) { return TString::fromStdString(CustomerOf(entry).m_region); });
  const uint64_t ownSize = cache->GetCacheSizeBytes();
  Show("an empty cache counts only itself: GetCacheSizeBytes() = " + std::to_string(ownSize));
  auto bytes = [&] {
    const uint64_t count = cache->GetCacheSizeBytes();
    return std::to_string(count) + " = " + std::to_string(ownSize) + " + " +
           std::to_string((count - ownSize) / Customer::kBytes) + " x " + std::to_string(Customer::kBytes);
  };

  Step("Two threads share it: a writer adds six 200-byte customers, a reader finds each through the index.");
  std::vector<unsigned> ids(kPeople.size(), 0);
  int readBack = 0;
  std::vector<std::string> seenByReader;
  std::thread writer([&] {
    for (size_t i = 0; i < kPeople.size(); ++i) {
      // Adding with replacement: any older record of the same customer goes in the same step.
      ids[i] = cache
                   ->AddEntryAndDeleteExistingEntriesItMatches(
                       RefCntPtr<RefCntObject>(new Customer(kPeople[i].name, kPeople[i].region)),
                       std::make_shared<InRegion>(kPeople[i].region, kPeople[i].name), Customer::kBytes)
                   .first;
      if (cache->TryGetEntry(ids[i])) ++readBack;  // a lookup by id
    }
  });
  std::thread reader([&] {
    for (const Person& person : kPeople) {
      auto wanted = std::make_shared<InRegion>(person.region, person.name);
      RefCntPtr<RefCntObject> found;
      // A miss only means that the writer has not got that far yet.
      while (!(found = cache->TryGetEntry(wanted))) std::this_thread::yield();
      seenByReader.push_back(NameOf(found) + " (" + person.region + ")");
    }
  });
  writer.join();
  reader.join();
  Show("writer: " + std::to_string(kPeople.size()) + " added, " + std::to_string(readBack) +
       " read back by id");
  std::string seen;
  for (const std::string& name : seenByReader) seen += (seen.empty() ? "" : ", ") + name;
  Show("reader found: " + seen);
  Show("entries = " + std::to_string(cache->GetEntryCount()) + ", GetCacheSizeBytes() = " + bytes());

  Step("A new record for Ada replaces the old one; other threads see the delete and the add as one step.");
  auto [newAda, replaced] = cache->AddEntryAndDeleteExistingEntriesItMatches(
      RefCntPtr<RefCntObject>(new Customer("Ada", "north")), std::make_shared<InRegion>("north", "Ada"),
      Customer::kBytes);
  const std::string oldAda = replaced.size() == 1 ? std::to_string(replaced.begin()->GetID()) : "?";
  Show("deleted id " + oldAda + ", added id " + std::to_string(newAda) +
       "; the byte count gained 200 and lost 200: " + bytes());

  const unsigned bob = ids[1];
  Step("Another process changed Bob's data: the coherence service calls OnDirty({" + std::to_string(bob) +
       "}) and his entry is gone.");
  cache->OnDirty({bob});
  Show("TryGetEntry(" + std::to_string(bob) + ") -> " + NameOf(cache->TryGetEntry(bob)));
  Show("by index, Bob in the south -> " +
       NameOf(cache->TryGetEntry(std::make_shared<InRegion>("south", "Bob"))));
  Show("entries = " + std::to_string(cache->GetEntryCount()) + ", GetCacheSizeBytes() = " + bytes());
  Show(std::string("the byte count is an estimate: OnDirty leaves it alone, Bob's 200 bytes stay counted"));

  Step("Deleting the north region judges only its indexed entries, outside the lock, and drops their bytes.");
  const EntrySet north = cache->DeleteEntries(std::make_shared<InRegion>("north"));
  Show("deleted " + std::to_string(north.size()) +
       " entries; entries = " + std::to_string(cache->GetEntryCount()) +
       ", GetCacheSizeBytes() = " + bytes() + " (Di, Flo and Bob's stale 200 bytes)");
}

}  // namespace tour
