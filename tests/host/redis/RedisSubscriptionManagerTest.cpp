// The subscription manager on its own connection to the servers: pattern
// subscriptions and own publications, the subscriber thread's lifecycle,
// Unsubscribe's promise (also for a delivery in progress), throwing callbacks,
// refused subscriptions and their back-off, the publish/subscribe server of
// the configuration, and a subscription that survives a server restart and
// reports it, over plain TCP and TLS; and a child forked without exec.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "host/AsyncTask.h"
#include "host/LogCapture.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/RedisSubscriptionManager.h"
#include "tests/host/redis/RedisTestSupport.h"
#include "tests/support/ChildMode.h"
#include "tests/support/ForkedChild.h"
#include "tests/support/TestGate.h"

namespace kelcache_test {
namespace {

using namespace kelvra::caching;

// Publishes `message` on `channel` until `received` holds, waiting a little
// after each publication (so that none is still on its way at the end): for
// a subscription made in the background, or that a reconnection must bring
// back first.
bool PublishUntil(RedisSubscriptionManager& manager, const TString& channel, const TString& message,
                  const std::function<bool()>& received) {
  return WaitUntil([&] {
    manager.TryPublish(channel, message, {});
    return WaitUntil(received, 50ms);
  });
}

// How many established loopback TCP connections lead to `port`: the kernel
// completes a connection to a paused server, which answers nothing on it.
size_t EstablishedConnectionsTo(uint16_t port) {
  char wanted[16];  // a line's remote port, then its state: 01 is ESTABLISHED
  std::snprintf(wanted, sizeof wanted, ":%04X 01 ", port);
  std::ifstream table("/proc/net/tcp");
  size_t count = 0;
  for (std::string line; std::getline(table, line);) count += line.find(wanted) != std::string::npos;
  return count;
}

using Message = std::pair<std::string, std::string>;
using Messages = std::vector<Message>;

// A server, the pool configured for it (until the end of the test), and a
// manager of the test's own, whose reconnections `reconnects` counts.
class RedisSubscriptions : public testing::Test {
 protected:
  RedisSubscriptions() {
    Configure(server.Address());
    manager.AddReconnectListener([this] { ++reconnects; });
  }
  ~RedisSubscriptions() override { Configure(""); }

  RedisServer server;
  std::atomic<int> reconnects{0};  // these outlive the manager, whose callbacks use them
  Inbox inbox;
  RedisSubscriptionManager manager;
};

TEST_F(RedisSubscriptions, MatchingMessagesArriveOnceEachIncludingOwnPublications) {
  EXPECT_FALSE(manager.IsSubscriberRunning()) << "the thread starts with the first subscription";

  // A subscription is in force when Subscribe returns: the first
  // publication after it arrives. The raw reply is PUBLISH's count of
  // receivers: at least our subscriber.
  manager.Subscribe(u"kc.test.*", inbox.Callback());
  EXPECT_TRUE(manager.IsSubscriberRunning());
  long long receivers = -1;
  EXPECT_TRUE(manager.TryPublish(u"kc.test.a-1", u"hash@5e", [&](redisContext*, redisReply* reply, void*) {
    if (reply != nullptr && reply->type == REDIS_REPLY_INTEGER) receivers = reply->integer;
  }));
  EXPECT_GE(receivers, 1);
  EXPECT_TRUE(manager.TryPublish(u"kc.other.b", u"not for us", {}));
  ASSERT_TRUE(inbox.WaitFor(1));
  std::this_thread::sleep_for(200ms);  // room for a wrong extra delivery
  EXPECT_EQ(inbox.Messages(), (Messages{{"kc.test.a-1", "hash@5e"}}));

  // The last Unsubscribe stops the thread and its connection; subscribing
  // to the same pattern again starts both anew, and is in force only once
  // the new connection's server confirmed it, not on the old confirmation.
  manager.Unsubscribe(u"kc.test.*");
  EXPECT_FALSE(manager.IsConfirmed(u"kc.test.*"));
  EXPECT_TRUE(WaitUntil([&] { return !manager.IsSubscriberRunning(); }));
  Inbox second, alongside;
  manager.Subscribe(u"kc.test.*", second.Callback());
  EXPECT_TRUE(manager.IsConfirmed(u"kc.test.*"));
  EXPECT_TRUE(manager.TryPublish(u"kc.test.again-1", u"m", {}));
  EXPECT_TRUE(second.WaitFor(1));
  EXPECT_EQ(inbox.Count(), 1u) << "the old subscription got nothing more";

  // A second subscription to the pattern: both get each message, and one
  // Unsubscribe ends both.
  manager.Subscribe(u"kc.test.*", alongside.Callback());
  EXPECT_TRUE(manager.TryPublish(u"kc.test.again-2", u"m", {}));
  EXPECT_TRUE(alongside.WaitFor(1));
  EXPECT_TRUE(second.WaitFor(2));
  manager.Unsubscribe(u"kc.test.*");
  manager.TryPublish(u"kc.test.again-3", u"m", {});
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(second.Count(), 2u);
  EXPECT_EQ(alongside.Count(), 1u);
}

TEST_F(RedisSubscriptions, APatternSubscribedAgainRightAfterItsUnsubscribeMissesNothing) {
  // Another pattern keeps the thread and its connection alive, so the
  // server gives the pattern up (PUNSUBSCRIBE) and takes it again (PSUBSCRIBE)
  // on one connection, in whichever order the thread sees the requests: a
  // pattern added to a live connection is in force when Subscribe returns.
  manager.Subscribe(u"kc.keep.*", inbox.Callback());
  for (int round = 0; round < 300; ++round) {
    Inbox churn;
    manager.Subscribe(u"kc.churn.*", churn.Callback());
    ASSERT_TRUE(manager.TryPublish(u"kc.churn.x", TString::number(round), {}));
    ASSERT_TRUE(churn.WaitFor(1)) << "round " << round << ": the publication right after Subscribe was lost";
    manager.Unsubscribe(u"kc.churn.*");
    // Subscribe again at once or after a pause of up to 150 us, around the
    // time the woken thread reads the requests and gives the pattern up.
    std::this_thread::sleep_for(std::chrono::microseconds((round * 37) % 151));
  }
}

// See ForkedChild.h for why ThreadSanitizer leaves this out.
#if !defined(__SANITIZE_THREAD__)
TEST_F(RedisSubscriptions, AForkedChildUsesRedisOnlyOnceItConfiguredThePoolAndLeavesTheParentsAlone) {
  manager.Subscribe(u"kc.fork.*", inbox.Callback());
  // A second manager, which the child destroys before it configures the pool.
  Inbox secondInbox;
  auto second = std::make_unique<RedisSubscriptionManager>();
  second->Subscribe(u"kc.second.*", secondInbox.Callback());
  const RedisValue stored = MakePatternValue(16, 'p');
  ASSERT_EQ(RoundTrip("kc:fork", stored), "");
  auto inherited = Lock("kc:fork");  // a guard the parent holds across the fork
  ASSERT_TRUE(inherited);

  EXPECT_TRUE(RunInForkedChild(
      [&] {
        int failures = 0;
        // Threads of the child first: the C library gives them the descriptors
        // of the parent's threads, which the managers must then leave alone.
        for (int i = 0; i < 8; ++i) {
          if (AsyncTask::Launch(AsyncTask::LaunchMode::Asynchronous, [i] { return i; }).Get() != i) failures |= 64;
        }
        second.reset();
        // The inherited connections are the parent's sockets: none is given.
        std::string whyNot;
        if (RedisConnectionPool::FindAndLockPooledConnection(u"kc:fork", &whyNot)) failures |= 1;
        if (whyNot.find("forked") == std::string::npos) failures |= 2;
        // Nor does a connection the parent held at the fork write or read
        // anything here: its replies would go to the wrong process.
        try {
          inherited->GetConnection().Get("kc:other");
          failures |= 128;
        } catch (const kelvra::caching::RedisIoError& error) {
          if (std::string(error.what()).find("forked") == std::string::npos) failures |= 128;
        }
        Configure(server.Address());
        if (auto guard = Lock("kc:fork"); !guard || Text(guard->GetConnection().Get("kc:fork")) != Text(stored)) {
          failures |= 4;
        }
        // The subscription came back on a thread of the child, which reports
        // the gap since the fork as a reconnection.
        if (!manager.TryPublish(u"kc.fork.child", u"c", {})) failures |= 8;
        if (!inbox.WaitFor(1, 10s)) failures |= 16;
        if (!WaitUntil([&] { return reconnects.load() == 1; }, 10s)) failures |= 32;
        return failures;
      },
      "1, 2: a connection of the parent's; 4: none after Reset; 8, 16: no subscription in the child; 32: no "
      "reconnection reported; 64: tasks; 128: the parent's guard used"));
  // The guard held across the fork still serves the parent, with its own replies.
  EXPECT_EQ(Text(inherited->GetConnection().Get("kc:fork")), Text(stored));
  inherited.reset();

  // The parent's connections and subscriptions go on (the child's
  // publication reached it too), with no reconnection.
  EXPECT_EQ(RoundTrip("kc:fork", stored), "");
  ASSERT_TRUE(manager.TryPublish(u"kc.fork.parent", u"p", {}));
  ASSERT_TRUE(inbox.WaitFor(2));
  EXPECT_EQ(inbox.Messages().back().first, "kc.fork.parent");
  ASSERT_TRUE(second->TryPublish(u"kc.second.parent", u"p", {}));
  EXPECT_TRUE(secondInbox.WaitFor(1));
  EXPECT_EQ(reconnects.load(), 0);
}
#endif

TEST_F(RedisSubscriptions, NoCallbackRunsAfterUnsubscribeReturnsEvenOneAlreadyInProgress) {
  TestGate inCallback, release;
  std::atomic<int> calls{0};
  std::atomic<bool> callbackRunning{false}, unsubscribed{false}, runningWhenReturned{true};
  manager.Subscribe(u"gate.*", [&](const TString&, const void*, int) {
    callbackRunning = true;
    ++calls;
    inCallback.Open();
    release.Wait();
    callbackRunning = false;
  });
  ASSERT_TRUE(PublishUntil(manager, u"gate.1", u"m", [&] { return inCallback.IsOpen(); }));

  // Unsubscribe while the callback runs: it must wait for it to end.
  std::thread unsubscriber([&] {
    manager.Unsubscribe(u"gate.*");
    runningWhenReturned = callbackRunning.load();
    unsubscribed = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(unsubscribed) << "Unsubscribe returned while its callback still ran";
  release.Open();
  unsubscriber.join();
  EXPECT_FALSE(runningWhenReturned);
  const int callsAtReturn = calls.load();
  for (int i = 0; i < 5; ++i) manager.TryPublish(u"gate.2", u"m", {});
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(calls.load(), callsAtReturn);
}

// A callback may unsubscribe its own pattern or destroy its manager without
// deadlock: the other callbacks of that message are not called, and the
// subscriber thread comes back from the callback and ends, releasing what the
// subscriptions hold. (The address-sanitizer build sees the state used after
// it was freed, should it be.)
TEST_F(RedisSubscriptions, ACallbackThatUnsubscribesOrDestroysItsManagerEndsItsDeliveries) {
  using Own = std::unique_ptr<RedisSubscriptionManager>;
  const std::pair<const char*, void (*)(Own&)> cases[] = {
      {"it unsubscribes its pattern", [](Own& own) { own->Unsubscribe(u"own.*"); }},
      {"it destroys its manager", [](Own& own) { own.reset(); }},
  };
  for (const auto& [name, act] : cases) {
    SCOPED_TRACE(name);
    auto own = std::make_unique<RedisSubscriptionManager>();
    std::atomic<int> actorCalls{0}, siblingCalls{0};
    auto token = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = token;
    own->Subscribe(u"own.*", [&, token, act = act](const TString&, const void*, int) {
      ++actorCalls;
      act(own);
    });
    own->Subscribe(u"own.*", [&](const TString&, const void*, int) { ++siblingCalls; });
    token.reset();
    ASSERT_TRUE(PublishUntil(manager, u"own.1", u"m", [&] { return actorCalls.load() > 0; }));
    // Once the thread let go of the callbacks, none can be called any more.
    EXPECT_TRUE(WaitUntil([&] { return watch.expired(); })) << "the subscriber thread let go of its callbacks";
    EXPECT_EQ(actorCalls.load(), 1);
    EXPECT_EQ(siblingCalls.load(), 0) << "called after its subscription ended";
  }
}

// A throwing callback is logged and delivery goes on; a burst of failures
// writes the line in full a few times, then at most once per interval (of
// ten seconds, longer than this test: LogRateLimiterTest checks the count of
// lines left out that the next line carries).
TEST_F(RedisSubscriptions, AThrowingCallbackIsLoggedWithoutFloodingAndDeliveryGoesOn) {
  TLog::Capture capture(TLog::Error);
  std::atomic<int> thrown{0};
  manager.Subscribe(u"throws.*", [&](const TString& channel, const void* data, int length) {
    if (std::string(static_cast<const char*>(data), length) == "bad") {
      ++thrown;
      throw std::runtime_error("callback failure for the test");
    }
    inbox.Add(channel, data, length);
  });
  ASSERT_TRUE(PublishUntil(manager, u"throws.1", u"bad", [&] { return thrown.load() > 0; }));
  const int warmup = thrown.load();
  constexpr int kBurst = 2000;
  for (int i = 0; i < kBurst; ++i) manager.TryPublish(u"throws.1", u"bad", {});
  EXPECT_TRUE(manager.TryPublish(u"throws.2", u"good", {}));
  ASSERT_TRUE(inbox.WaitFor(1));
  EXPECT_EQ(inbox.Messages()[0].second, "good");
  EXPECT_GE(thrown.load(), warmup + kBurst);
  const size_t lines = LinesWith(capture, "a subscription callback failed");
  EXPECT_GE(lines, 1u);
  EXPECT_LE(lines, 6u) << "a few lines in full, then one per interval";
  EXPECT_TRUE(capture.ContainsLine(u"callback failure for the test"));
  manager.Unsubscribe(u"throws.*");  // no callback may run once its locals are gone
}

// A server that refuses the subscription after accepting the connection
// (authentication required, a user without pub/sub rights) must not make the
// subscriber reconnect in a tight loop: the back-off (50 ms doubling to 2 s)
// holds until a subscription is confirmed, and the Warn says why in plain
// words, once per back-off step.
TEST(RedisSubscriptionManager, RefusedSubscriptionsBackOffAndSayWhy) {
  const std::tuple<const char*, const char*, const char*> cases[] = {  // what, the pool's options, the Warn says
      {"no password for a server that requires one", "", "requires authentication"},
      {"a user without pub/sub rights", "user=nopubsub;password=secret", "may not subscribe"},
  };
  for (const auto& [name, options, says] : cases) {
    SCOPED_TRACE(name);
    RedisServer server(RedisServer::Options{"admin-password"});
    RawRedis admin(server, "admin-password");
    admin.Command({"ACL", "SETUSER", "nopubsub", "on", ">secret", "~*", "+@all", "-@pubsub"});
    Configure(server.Address(), options);
    const long long before = admin.Info("total_connections_received");
    TLog::Capture capture(TLog::Warn);
    RedisSubscriptionManager manager;
    manager.Subscribe(u"refused.*", [](const TString&, const void*, int) {});
    std::this_thread::sleep_for(2s);
    // The admin's own connections count too: one per Info call.
    const long long attempts = admin.Info("total_connections_received") - before - 1;
    EXPECT_LE(attempts, 10) << "reconnected in a tight loop";
    EXPECT_GE(attempts, 2) << "never retried";
    EXPECT_GT(LinesWith(capture, "cannot subscribe", says), 0u) << "no Warn says: " << says;
    EXPECT_LE(LinesWith(capture, "cannot subscribe"), 7u) << "at most one Warn per back-off step";
  }
  Configure("");
}

// A publication that fails while the subscribers stay connected (here a user
// who may not publish; as well a server that paused its writes, or a PUBLISH
// that timed out) would leave other processes' entries stale, with no
// reconnect flush to save them: it is said at Warn, kept, and sent once,
// oldest first, after the next publication that succeeds or when the server
// answers the subscriber's next PING.
TEST(RedisSubscriptionManager, AFailedPublicationIsSentAgainAfterTheNextThatSucceeds) {
  RedisServer server(RedisServer::Options{"admin-password"});
  RawRedis admin(server, "admin-password");
  admin.Command({"ACL", "SETUSER", "publisher", "on", ">secret", "~*", "&*", "+@all", "-publish"});
  Configure(server.Address(), "user=publisher;password=secret");
  RedisSubscriptionManager manager;
  Inbox inbox;
  manager.Subscribe(u"kc.again.*", inbox.Callback());
  {
    TLog::Capture capture(TLog::Warn);
    EXPECT_FALSE(manager.TryPublish(u"kc.again.1", u"first", {}));
    EXPECT_FALSE(manager.TryPublish(u"kc.again.2", u"second", {}));
    EXPECT_EQ(LinesWith(capture, "publication on kc.again.1 failed", "sent again after the next one"), 1u);
  }
  admin.Command({"ACL", "SETUSER", "publisher", "+publish"});
  EXPECT_TRUE(manager.TryPublish(u"kc.again.3", u"third", {}));
  EXPECT_TRUE(manager.TryPublish(u"kc.again.4", u"fourth", {}));
  ASSERT_TRUE(inbox.WaitFor(4));
  std::this_thread::sleep_for(200ms);  // room for a wrong extra delivery
  // Once each; the kept ones oldest first (a PING answer may send them
  // before the third goes).
  const Messages received = inbox.Messages();
  const Message first{"kc.again.1", "first"}, second{"kc.again.2", "second"};
  EXPECT_EQ(std::multiset<Message>(received.begin(), received.end()),
            (std::multiset<Message>{first, second, {"kc.again.3", "third"}, {"kc.again.4", "fourth"}}));
  EXPECT_LT(std::find(received.begin(), received.end(), first), std::find(received.begin(), received.end(), second));
  // With nothing more published, they go once the subscriber's server
  // answers its next PING (after a second without traffic).
  admin.Command({"ACL", "SETUSER", "publisher", "-publish"});
  EXPECT_FALSE(manager.TryPublish(u"kc.again.5", u"fifth", {}));
  admin.Command({"ACL", "SETUSER", "publisher", "+publish"});
  ASSERT_TRUE(inbox.WaitFor(5));
  EXPECT_EQ(inbox.Messages().back(), (Message{"kc.again.5", "fifth"}));
  manager.Unsubscribe(u"kc.again.*");
  Configure("");
}

// A server that stalls (here it pauses its writes) lets a PUBLISH time out:
// for the next second publications are kept without waiting for it again,
// so that a burst of them (each coherence addition publishes) does not cost
// a time-out each; all go once the server answers again.
TEST_F(RedisSubscriptions, AfterAPublicationTimedOutTheNextAreKeptWithoutWaiting) {
  Configure(server.Address(), "command_timeout_ms=300");
  manager.Subscribe(u"kc.stall.*", inbox.Callback());
  RawRedis(server).Command({"CLIENT", "PAUSE", "1200", "WRITE"});
  EXPECT_FALSE(manager.TryPublish(u"kc.stall.1", u"first", {}));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 2; i <= 4; ++i) EXPECT_FALSE(manager.TryPublish(u"kc.stall." + TString::number(i), u"m", {}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 300ms) << "waited for the stalled server again";
  ASSERT_TRUE(inbox.WaitFor(4));
  EXPECT_EQ(inbox.Messages().front(), (Message{"kc.stall.1", "first"}));
  manager.Unsubscribe(u"kc.stall.*");
}

// The child of the test below: a first Subscribe while the address space has
// no room for the subscriber thread's stack, then a second one with room.
// The server's address comes in SUBSCRIBER_TEST_SERVER.
void SubscribeWithoutRoomForTheThread() {
  Configure(std::getenv("SUBSCRIBER_TEST_SERVER"));
  // The process ends with _Exit: these are never destroyed.
  auto *refused = new Inbox, *accepted = new Inbox;
  auto* manager = new RedisSubscriptionManager;
  rlimit saved{};
  getrlimit(RLIMIT_AS, &saved);
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (2u << 20);
  if (setrlimit(RLIMIT_AS, &tight) != 0) return;
  bool threw = false;
  try {
    manager->Subscribe(u"refused.*", refused->Callback());
  } catch (const std::system_error&) {
    threw = true;
  }
  const bool runningAfterThrow = manager->IsSubscriberRunning();
  setrlimit(RLIMIT_AS, &saved);

  manager->Subscribe(u"accepted.*", accepted->Callback());
  const bool delivered = PublishUntil(*manager, u"accepted.1", u"m", [&] { return accepted->Count() > 0; });
  manager->TryPublish(u"refused.1", u"m", {});
  std::this_thread::sleep_for(200ms);  // room for a wrong delivery
  std::printf("value threw=%d\nvalue running_after_throw=%d\nvalue delivered=%d\nvalue refused=%zu\n", threw,
              runningAfterThrow, delivered, refused->Count());
}

[[maybe_unused]] const bool s_childMode = RunIfChildMode("subscriber-thread-refused", SubscribeWithoutRoomForTheThread);

// Address-space limits and the sanitizers' shadow memory do not mix.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// A Subscribe whose subscriber thread cannot be made raises and leaves
// nothing behind: its callback is never called, and the next Subscribe starts
// the thread and works.
TEST(RedisSubscriptionManager, ASubscribeThatCannotStartTheThreadLeavesNothingBehind) {
  RedisServer server;
  ChildModeResult child = RunChildMode("subscriber-thread-refused", {"SUBSCRIBER_TEST_SERVER=" + server.Address()});
  ASSERT_EQ(child.exitCode, 0) << child.output;
  EXPECT_EQ(child.values["threw"], "1") << child.output;
  EXPECT_EQ(child.values["running_after_throw"], "0") << child.output;
  EXPECT_EQ(child.values["delivered"], "1") << "the next subscription never came into force\n" << child.output;
  EXPECT_EQ(child.values["refused"], "0") << "the refused subscription's callback was called";
}
#endif

TEST_F(RedisSubscriptions, PublishAndSubscribeUseTheConfiguredServerAndFollowTheConfiguration) {
  RedisServer& first = server;
  RedisServer second;
  Configure("");
  TLog::Capture capture(TLog::Warn);
  manager.Subscribe(u"where.*", inbox.Callback());
  auto lost = [&](const RedisServer& gone) {
    const TString line = TString::fromStdString("lost the connection to " + gone.Address());
    return WaitUntil([&] { return capture.ContainsLine(line); });
  };

  // Reset returns once a subscription made before any configuration is in
  // force on the configured server: one publication right after it arrives.
  Configure(first.Address());
  ASSERT_TRUE(manager.TryPublish(u"where.1", u"m", {}));
  ASSERT_TRUE(inbox.WaitFor(1));
  RawRedis(second).Command({"PUBLISH", "where.2", "on the other server"});
  std::this_thread::sleep_for(200ms);  // room for a wrong delivery
  ASSERT_EQ(inbox.Count(), 1u) << "subscribed on the other server too";

  // A new configuration moves the subscription to its server, and only that
  // server's confirmation counts: while the subscriber thread is held in a
  // callback it cannot move, so Reset waits out its bound (the connect and
  // command time-outs, 1.5 s) rather than return on the old server's
  // confirmation. (Unheld, the thread drops the old confirmations at once,
  // so an early return would show only now and then.)
  TestGate held, release;
  manager.Subscribe(u"hold.*", [&](const TString&, const void*, int) {
    held.Open();
    release.Wait();
  });
  ASSERT_TRUE(manager.TryPublish(u"hold.1", u"m", {}));
  ASSERT_TRUE(WaitUntil([&] { return held.IsOpen(); }));
  const auto start = std::chrono::steady_clock::now();
  Configure(second.Address());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1s) << "Reset returned on the old server's confirmation";
  release.Open();
  manager.Unsubscribe(u"hold.*");
  // Delivered once: a publication before the move reaches no subscriber.
  EXPECT_TRUE(WaitUntil([&] { return RawRedis(second).Integer({"PUBLISH", "where.3", "moved"}) == 1; }));
  EXPECT_TRUE(inbox.WaitFor(2));

  // So does one set after the current server died (as tests that each start
  // their own server do). Neither move is a reconnection.
  RedisServer third;
  second.Kill();
  ASSERT_TRUE(lost(second));
  Configure(third.Address());
  RawRedis(third).Command({"PUBLISH", "where.4", "moved again"});
  EXPECT_TRUE(inbox.WaitFor(3));
  EXPECT_EQ(reconnects.load(), 0);

  // A subscription made again on the servers it was lost on is one, also when
  // the host sets the same servers again meanwhile, even between the new
  // connection and the server's confirmation: the server stays paused until
  // Reset has run into that window.
  third.Kill();
  ASSERT_TRUE(lost(third));
  third.Restart();
  third.Pause();
  ASSERT_TRUE(WaitUntil([&] { return EstablishedConnectionsTo(third.Port()) > 0; }));
  std::thread resume([&] {
    std::this_thread::sleep_for(300ms);
    third.Resume();
  });
  Configure(third.Address());
  resume.join();
  EXPECT_TRUE(WaitUntil([&] { return reconnects.load() == 1; }));
}

// The same server set again: when the subscriber would connect and log in as
// before (here only the pool's size changes), its connection stays, with no
// gap in which messages could be missed. Other connection options (a
// time-out) make it subscribe again on a new connection, and as messages may
// have been missed in between, its listeners hear of a reconnection; so they
// do when the servers were unset for a while and set again.
TEST_F(RedisSubscriptions, TheSameServerSetAgainKeepsTheSubscriptionOrReportsTheGap) {
  manager.Subscribe(u"same.*", inbox.Callback());
  // Each look makes one connection of its own.
  const auto connectionsMade = [&] { return RawRedis(server).Info("total_connections_received"); };
  const auto before = connectionsMade();
  Configure(server.Address(), "connections=7");
  EXPECT_EQ(connectionsMade(), before + 1) << "the subscriber connected again";
  RawRedis(server).Command({"PUBLISH", "same.1", "kept"});
  EXPECT_TRUE(inbox.WaitFor(1));

  Configure(server.Address(), "connections=7;command_timeout_ms=1500");
  EXPECT_TRUE(WaitUntil([&] { return reconnects.load() == 1; }));
  RawRedis(server).Command({"PUBLISH", "same.2", "after the gap"});
  EXPECT_TRUE(inbox.WaitFor(2));

  // Unset (as a host reloading its settings may) and then set again as it
  // was: what was published meanwhile is lost, a gap like any other.
  Configure("");
  ASSERT_TRUE(WaitUntil([&] { return RawRedis(server).Integer({"PUBSUB", "NUMPAT"}) == 0; }));
  RawRedis(server).Command({"PUBLISH", "same.3", "while unset"});
  Configure(server.Address(), "connections=7;command_timeout_ms=1500");
  EXPECT_TRUE(WaitUntil([&] { return reconnects.load() == 2; }));
  EXPECT_EQ(inbox.Count(), 2u);
}

// Over plain TCP and TLS alike: a subscription survives a kill and a restart
// of its server (a new connection, a new handshake) and tells its listeners,
// and a paused server that stops answering PING is given up after the command
// time-out and subscribed to again when it is back.
class RedisSubscriptionWire : public testing::TestWithParam<Wire> {};

TEST_P(RedisSubscriptionWire, ASubscriptionSurvivesARestartAndAPauseAndTellsItsListeners) {
  WireServer server(GetParam());
  Configure(server.Address(), server.Options("command_timeout_ms=500"));
  TLog::Capture capture(TLog::Warn);
  Inbox inbox;
  std::atomic<int> reconnects{0};
  RedisSubscriptionManager manager;
  const uint64_t token = manager.AddReconnectListener([&] { ++reconnects; });
  // Subscribe returns at the first failed attempt, and its owner goes on
  // without hearing anything: the first subscription made after that is a
  // reconnection too, for what was published meanwhile is lost. (A first
  // subscription without failures is none: RedisSubscriptions' tests.)
  server.Kill();
  manager.Subscribe(u"survive.*", inbox.Callback());
  server.Restart();
  ASSERT_TRUE(WaitUntil([&] { return reconnects.load() == 1; }));
  // Binary bytes travel unchanged.
  const std::string binary("a\0b\r\n", 5);
  ASSERT_TRUE(
      PublishUntil(manager, u"survive.1", TString::fromStdString(binary), [&] { return inbox.Count() > 0; }));
  EXPECT_EQ(inbox.Messages()[0].second, binary);
  EXPECT_TRUE(manager.IsConfirmed(u"survive.*"));

  server.Kill();
  ASSERT_TRUE(WaitUntil([&] { return capture.ContainsLine(u"RedisSubscriptionManager: lost the connection"); }));
  std::this_thread::sleep_for(300ms);  // a few failed attempts
  EXPECT_FALSE(manager.IsConfirmed(u"survive.*")) << "no confirmation while the server is down";
  server.Restart();
  ASSERT_TRUE(WaitUntil([&] { return reconnects.load() == 2; }));
  EXPECT_EQ(manager.GetReconnectCount(), 2u);
  EXPECT_TRUE(manager.IsConfirmed(u"survive.*"));
  // Once the listener ran, every pattern is subscribed again: a message
  // published now arrives on the first try.
  size_t count = inbox.Count();
  EXPECT_TRUE(manager.TryPublish(u"survive.2", u"after", {}));
  ASSERT_TRUE(inbox.WaitFor(count + 1));
  EXPECT_EQ(inbox.Messages().back().second, "after");
  EXPECT_TRUE(capture.ContainsLine(u"RedisSubscriptionManager: subscribed again"));

  // A paused server stops answering PING: the subscriber gives the connection
  // up after the command time-out and comes back when the server does.
  server.Pause();
  ASSERT_TRUE(WaitUntil([&] { return capture.ContainsLine(u"no answer to PING"); }));
  // The line may be another manager's (the process-wide one, when the tests
  // share a process): this one has given the connection up once its pattern
  // is no longer confirmed.
  ASSERT_TRUE(WaitUntil([&] { return !manager.IsConfirmed(u"survive.*"); }));
  server.Resume();
  ASSERT_TRUE(WaitUntil([&] { return reconnects.load() == 3; }));

  // A removed listener hears of no further reconnection.
  manager.RemoveReconnectListener(token);
  manager.RemoveReconnectListener(token);  // unknown now: nothing happens
  server.Restart();
  count = inbox.Count();
  ASSERT_TRUE(PublishUntil(manager, u"survive.3", u"later", [&] { return inbox.Count() > count; }));
  EXPECT_EQ(reconnects.load(), 3);
  Configure("");
}

INSTANTIATE_TEST_SUITE_P(Wires, RedisSubscriptionWire, kWires, WireName);

}  // namespace
}  // namespace kelcache_test
