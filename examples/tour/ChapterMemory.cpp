// Chapter: an indexed in-memory cache whose entries age out.
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "examples/tour/Customers.h"
#include "examples/tour/Tour.h"
#include "main/utility/IndexedCache.h"

using CacheHelpers::Entry;
using CacheHelpers::EntryPredicate;

namespace tour {

namespace {

// "Ada (id 1), Cy (id 3)" in id order, or "nothing".
std::string Describe(const EntrySet& entries) {
  std::set<unsigned> ids;
  for (const Entry& entry : entries) ids.insert(entry.GetID());
  std::string text;
  for (unsigned id : ids) {
    if (!text.empty()) text += ", ";
    text += CustomerOf(*entries.find(Entry(id))).m_name + " (id " + std::to_string(id) + ")";
  }
  return text.empty() ? "nothing" : text;
}

std::string IdList(const std::set<unsigned>& ids) {
  std::string text;
  for (unsigned id : ids) text += (text.empty() ? "" : ", ") + std::to_string(id);
  return "{" + text + "}";
}

}  // namespace

void ChapterMemory() {
  Step("An IndexedCache with a lifetime of 2 ticks: an entry unused for more than 2 clock ticks goes.");
  IndexedCache cache(2);
  Show("clock = " + std::to_string(cache.GetClock()) +
       ", entries = " + std::to_string(cache.GetEntryCount()));

  Step("A \"Region\" index lists every entry under the key its key function computes.");
  const bool added = cache.AddIndex(
      u"Region", [](const Entry& entry) { return TString::fromStdString(CustomerOf(entry).m_region); });
  Show(std::string("AddIndex(\"Region\") -> ") + (added ? "true" : "false"));

  Step("Three customers are added at tick 0; each gets a new id and is listed under its region.");
  const unsigned ada = cache.AddEntry(RefCntPtr<RefCntObject>(new Customer("Ada", "north")));
  const unsigned bob = cache.AddEntry(RefCntPtr<RefCntObject>(new Customer("Bob", "south")));
  const unsigned cy = cache.AddEntry(RefCntPtr<RefCntObject>(new Customer("Cy", "north")));
  Show("Ada = " + std::to_string(ada) + " (north), Bob = " + std::to_string(bob) +
       " (south), Cy = " + std::to_string(cy) + " (north)");
  Show("ids listed under Region|north: " + IdList(cache.GetHints(u"Region", u"north")));

  Step("A predicate that names the index is answered from its list, not by a scan; the oldest match wins.");
  auto north = std::make_shared<InRegion>("north");
  Show(std::string("indexed predicate: ") + (cache.HasIndex(north) ? "yes" : "no"));
  Show("UseEntry(region is north) -> " + NameOf(cache.UseEntry(north)));

  Step("Tick 1: IncrementClock advances the clock and purges; everyone is still young.");
  Show("deleted: " + Describe(cache.IncrementClock()));

  Step("Bob is used by id at tick 1: the use restamps him, which keeps him one tick longer.");
  Show("UseEntry(" + std::to_string(bob) + ") -> " + NameOf(cache.UseEntry(bob)));

  Step("Tick 2: nobody has been idle for more than 2 ticks yet.");
  Show("deleted: " + Describe(cache.IncrementClock()));

  Step("Tick 3: Ada and Cy, last used at tick 0, have been idle for 3 ticks and go.");
  Show("deleted: " + Describe(cache.IncrementClock()));
  Show("entries left: " + std::to_string(cache.GetEntryCount()));

  Step("Their ids left the index with them, so the same lookup is now a miss, again without a scan.");
  Show("ids listed under Region|north: " + IdList(cache.GetHints(u"Region", u"north")));
  Show("UseEntry(region is north) -> " + NameOf(cache.UseEntry(north)));

  Step("Tick 4: Bob, last used at tick 1, goes too; the cache is empty.");
  Show("deleted: " + Describe(cache.IncrementClock()));
  Show("entries left: " + std::to_string(cache.GetEntryCount()) +
       ", index keys left: " + std::to_string(cache.GetIndexedEntryCount()));
}

}  // namespace tour
