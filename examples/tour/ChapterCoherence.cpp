// Chapter: two caches kept coherent by the coherence service.
//
// Each cache stands for a process with its own coherence service. Instead of
// a redis-server, a small in-process bus carries the published messages: the
// tour needs no server, and every step happens at once, in order.
//
// Not a pattern to copy: the bus and RedisPubsub::CreateTestInstance are test
// facilities (the first is not installed, the second needs unit-test mode, and
// unit-test mode also turns off the key-attribute checks for good if they are
// first asked for while it is on). A host uses RedisPubsub::GetInstance()
// over its Redis servers.
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "examples/tour/Tour.h"
#include "host/AppConfig.h"
#include "host/AppOptions.h"
#include "host/DateTime.h"
#include "host/RefCnt.h"
#include "host/redis/IRedisSubscriptionManager.h"
#include "main/utility/CachePolicies.h"
#include "main/utility/SynchronizedIndexedCache.h"
#include "public/caching/RedisPubsub.h"
#include "testing/InProcessSubscriptionManager.h"

namespace tour {

namespace {

using kelvra::caching::RedisPubsub;

// One "process's" subscriptions: a message is handed to the callback of every
// pattern that matches its channel, on the delivering thread.
using InProcessSubscriptions = kelcache_testing::InProcessSubscriptionManager;

// Test instances of the service may only be made in unit-test mode; the tour
// turns it on for this chapter alone.
class UnitTestModeForThisChapter {
 public:
  UnitTestModeForThisChapter() : m_before(AppConfig::GetInstance().GetUnitTestFlag()) {
    AppConfig::GetInstance().SetUnitTestFlag(true);
  }
  ~UnitTestModeForThisChapter() { AppConfig::GetInstance().SetUnitTestFlag(m_before); }

 private:
  bool m_before;
};

struct Price : RefCntObject {
  explicit Price(int value) : m_value(value) {}
  int m_value;
};

// A "process": its cache, its subscriptions and its coherence service.
struct Process {
  std::string name;
  InProcessSubscriptions subscriptions;
  std::shared_ptr<SynchronizedIndexedCache> cache =
      std::make_shared<SynchronizedIndexedCache>(std::make_shared<CacheHelpers::LifetimePolicy>(100), nullptr);
  std::shared_ptr<RedisPubsub> service;
};

std::string Describe(Process& process, unsigned id) {
  RefCntPtr<RefCntObject> found = process.cache->TryGetEntry(id);
  return process.name + "'s entry " + std::to_string(id) + ": " +
         (found ? "price " + std::to_string(static_cast<Price*>(found.get())->m_value) : "gone");
}

}  // namespace

void ChapterCoherence() {
  UnitTestModeForThisChapter unitTestMode;
  kelvra::appoptions::ScopedOptionOverride margin("CacheSynchronizationMinimumDeltaSeconds", 5);

  Step("Two processes, A and B, cache the same computed price; each has a coherence service on one bus.");
  Process a{"A"};
  Process b{"B"};
  // Publishing shows the message and hands it to both processes, the publisher included (as Redis does).
  auto publishFrom = [&](const std::string& publisher) {
    return [&, publisher](const TString& channel, const TString& message) {
      Show("  " + publisher + " publishes  " + channel.toStdString() + "  " + message.toStdString());
      a.subscriptions.Deliver(channel, message.toStdString());
      b.subscriptions.Deliver(channel, message.toStdString());
    };
  };
  a.service = RedisPubsub::CreateTestInstance(TString(u"defaultns."), a.subscriptions, publishFrom("A"));
  b.service = RedisPubsub::CreateTestInstance(TString(u"defaultns."), b.subscriptions, publishFrom("B"));
  Show(std::string("the channel is \"defaultns.\" + the key hash; the message is <value hash>@<timestamp>, in hex"));

  // The key hash names what was computed ("price of item 42"); the value hash, the result.
  const std::pair<uint64_t, uint64_t> key{0x42, 0x17};
  const DateTime noon = DateTime::GetUtcTime();
  auto add = [&](Process& process, int price, DateTime at) {
    const unsigned id = process.cache->AddEntry(RefCntPtr<RefCntObject>(new Price(price)));
    process.service->OnAdded(key, {static_cast<uint64_t>(price), 0}, at.GetRepresentation(), id, process.cache);
    return id;
  };

  Step("A computes price 10 and caches it; its own message changes nothing.");
  const unsigned fromA = add(a, 10, noon);
  Show(Describe(a, fromA));

  Step("B computes price 12 three seconds later: within the 5 s margin (clocks differ a little), A keeps 10.");
  const unsigned firstFromB = add(b, 12, noon + DateTimeSpan::FromSeconds(3));
  Show(Describe(a, fromA));

  Step("B computes 12 again ten seconds after A: A's 10 is older by more than the margin, so A drops it.");
  const unsigned secondFromB = add(b, 12, noon + DateTimeSpan::FromSeconds(10));
  Show(Describe(a, fromA));
  Show(Describe(b, firstFromB) + "; " + Describe(b, secondFromB) + " (the same value is never stale)");

  Step("A computes the price anew and caches 12; B's entries agree with it and stay.");
  const unsigned againFromA = add(a, 12, noon + DateTimeSpan::FromSeconds(20));
  Show(Describe(a, againFromA) + "; " + Describe(b, secondFromB));

  // A cache is withdrawn from its service before it goes.
  a.service->OnRemoved(*a.cache);
  b.service->OnRemoved(*b.cache);
}

}  // namespace tour
