// The coherence service between real processes over real servers: the
// process-wide service (RedisPubsub::GetInstance) on the process's
// subscription manager, synchronized indexed caches as the participants.
// The same bodies run over one private redis-server (program
// coherence_RedisPubsubProcessTest) and over a Redis Cluster of 3 masters and
// 3 replicas (coherence_RedisPubsubClusterTest, KELCACHE_COHERENCE_CLUSTER=1),
// where the two processes subscribe on different nodes. The wire format of
// the messages is the in-process tests' (RedisPubsubTest.cpp).
//
// A second participant runs in a child process (the DISABLED_ tests), told
// the servers and a folder for hand-shake files through the environment.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "host/AppOptions.h"
#include "host/LogCapture.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisSubscriptionManager.h"
#include "public/caching/RedisExternalCache.h"
#include "testing/RedisClusterProcess.h"
#include "tests/main/caching/coherence/CoherenceTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/RedisServer.h"
#include "tests/support/TestEnvironment.h"

namespace {

using namespace coherence_test;
using kelcache_testing::RedisCommandOnLoopback;
using kelvra::appoptions::ScopedOptionOverride;
using namespace kelvra::caching;

constexpr uint64_t kTime = 63900000000000ULL;  // a DateTime representation (ms)
constexpr uint64_t kLater = kTime + 6000;      // newer by more than the default 5 s margin
const Hash kValue{0x1, 0x2};
const Hash kOtherValue{0x3, 0x4};
const char* const kServersVariable = "KELCACHE_COHERENCE_TEST_SERVERS";
const char* const kPortsVariable = "KELCACHE_COHERENCE_TEST_PORTS";
const char* const kDirVariable = "KELCACHE_COHERENCE_TEST_DIR";
const TString kNamespace(u"coherence-store");
const std::vector<uint8_t> kShared(3000, 0xA5);  // what A stores in the Redis store and B loads

// How many clients of the server on `port` hold a pattern subscription
// (PUBSUB NUMPAT would count distinct patterns, and every participant uses
// the same one).
int PatternSubscribers(uint16_t port) {
  const std::string clients = RedisCommandOnLoopback(port, {"CLIENT", "LIST"}).text;
  int count = 0;
  for (size_t at = 0; (at = clients.find(" psub=", at)) != std::string::npos; at += 6) {
    if (clients[at + 6] != '0') ++count;
  }
  return count;
}

// What the service runs on. The roles name the node a process lists first,
// where its subscriber sits: process A, process B, and a process whose node
// is made to fail. One server plays every role; in the cluster A and B sit
// on two masters, the failing node is a replica (no failover needed).
enum Role { kA, kB, kFailing };
#if KELCACHE_COHERENCE_CLUSTER
class Servers {
 public:
  Servers() : m_nodes{m_masters.at(0), m_masters.at(1), 0} {
    while (std::count(m_masters.begin(), m_masters.end(), m_nodes[kFailing]) > 0) ++m_nodes[kFailing];
  }
  uint16_t Port(Role role) const { return m_cluster.Node(m_nodes[role]).Port(); }
  std::string ServersText(Role role) const {
    std::vector<size_t> order = {m_nodes[role]};
    for (size_t i = 0; i < m_cluster.Size(); ++i) if (i != m_nodes[role]) order.push_back(i);
    return m_cluster.ServersText(order);
  }
  void Fail(Role role) { m_cluster.Node(m_nodes[role]).Kill(); }

 private:
  kelcache_testing::RedisClusterProcess m_cluster;
  const std::vector<size_t> m_masters = m_cluster.Masters();
  size_t m_nodes[3];
};
#else
class Servers {
 public:
  uint16_t Port(Role) const { return m_server.Port(); }
  std::string ServersText(Role) const { return m_server.Address(); }
  void Fail(Role) { m_server.Restart(); }

 private:
  kelcache_test::RedisServer m_server;
};
#endif

void UseServers(const std::string& servers) {
  RedisConnectionPool::GetInstance().Reset(TString::fromStdString(servers), TString());
}

class RedisPubsubServerTest : public testing::Test {
 protected:
  // The participant of this process, subscribed on the node of `role`. (The
  // pool is never reset to no servers between tests: the subscriber then
  // took more than the wait to follow the next reset in one process.)
  std::unique_ptr<Participant> Subscribe(Role role) {
    UseServers(m_servers.ServersText(role));
    auto participant = std::make_unique<Participant>();
    EXPECT_TRUE(WaitUntil([&] { return PatternSubscribers(m_servers.Port(role)) == 1; }))
        << "did not subscribe on its first listed node";
    return participant;
  }

  Servers m_servers;
};

// Process A (this test) and process B (a child) each add an entry for two
// key hashes: for the first B adds the same value later, which removes
// nothing; for the second B adds another value later by more than the
// margin, and A's entry leaves A's cache. Then A adds a third value later
// still, and B's entry leaves B's cache. B also loads the value that A stored
// in the Redis store.
TEST_F(RedisPubsubServerTest, TwoProcessesKeepTheirCachesCoherentAndShareTheStore) {
  auto a = Subscribe(kA);
  const unsigned kept = a->Add({0xc1, 0x1}, kValue, kTime);
  const unsigned stale = a->Add({0xc1, 0x2}, kValue, kTime);
  RedisExternalCache store(kNamespace);
  ASSERT_TRUE(store.TryStore(u"shared", std::make_shared<std::vector<uint8_t>>(kShared), 1000000, -1).Get());

  kelcache_test::TempDir dir;
  const pid_t child = kelcache_test::StartChildTest(
      "RedisPubsubChild.DISABLED_SecondProcess",
      {{kServersVariable, m_servers.ServersText(kB)},
       {kPortsVariable, std::to_string(m_servers.Port(kA)) + "," + std::to_string(m_servers.Port(kB))},
       {kDirVariable, dir.str()}});
  EXPECT_TRUE(a->WaitGone(stale)) << "B's newer value of the second key did not reach A";
  EXPECT_TRUE(a->Has(kept)) << "the same value, even much later, never makes an entry dirty";
  a->Add({0xc1, 0x2}, {0x5, 0x6}, kLater + 6000);
  Touch(dir.str() + "/a-added");
  EXPECT_TRUE(kelcache_test::WaitForChild(child, 60s).Passed()) << "process B failed (its output is above)";
  EXPECT_TRUE(a->Has(kept));
}

// Process B of the test above.
TEST(RedisPubsubChild, DISABLED_SecondProcess) {
  const std::string dir = kelcache_test::GetEnv(kDirVariable);
  unsigned portOfA = 0, portOfB = 0;
  ASSERT_EQ(std::sscanf(kelcache_test::GetEnv(kPortsVariable).c_str(), "%u,%u", &portOfA, &portOfB), 2);
  UseServers(kelcache_test::GetEnv(kServersVariable));
  Participant b;
  ASSERT_TRUE(WaitUntil([&] { return PatternSubscribers(portOfB) == (portOfA == portOfB ? 2 : 1); }))
      << "B did not subscribe on its listed node";
  if (portOfA != portOfB) EXPECT_EQ(PatternSubscribers(portOfA), 1) << "A's subscription is on the other node";

  auto loaded = RedisExternalCache(kNamespace).TryLoad(u"shared").Get();
  EXPECT_TRUE(loaded && *loaded == kShared) << "the value A stored is not found through the servers B lists";

  const unsigned same = b.Add({0xc1, 0x1}, kValue, kLater);
  const unsigned changed = b.Add({0xc1, 0x2}, kOtherValue, kLater);
  ASSERT_TRUE(WaitUntil([&] { return Exists(dir + "/a-added"); }, 30s)) << "A never added its newer value";
  EXPECT_TRUE(b.WaitGone(changed)) << "A's newer value did not reach B";
  EXPECT_TRUE(b.Has(same)) << "its own messages and A's same value leave B's entry alone";
}

// The subscriber's server restarts (one server) or its node dies and it
// moves to another (the cluster). With the option on, the live entries from
// before are marked dirty once the subscription is back; the entry added
// afterwards is reached by messages published by hand as usual.
TEST_F(RedisPubsubServerTest, AfterTheSubscribersServerFailsTheReconnectMarksLiveEntriesDirty) {
  ScopedOptionOverride flush("CacheSynchronizationFlushOnReconnect", true);
  auto participant = Subscribe(kFailing);
  const uint64_t reconnects = RedisSubscriptionManager::GetInstance().GetReconnectCount();
  const unsigned before = participant->Add({0xd1, 0x1}, kValue, kTime);

  m_servers.Fail(kFailing);
  // A cluster's subscriber first waits out its back-off, then finds another
  // node: on a loaded machine that can take longer than the usual wait.
  EXPECT_TRUE(participant->WaitGone(before, 60s)) << "the live entry survived the reconnect";
  EXPECT_GT(RedisSubscriptionManager::GetInstance().GetReconnectCount(), reconnects);

  const unsigned after = participant->Add({0xd1, 0x2}, kValue, kTime);
  EXPECT_TRUE(participant->Has(after));
  // Published by hand until a subscriber receives it (the subscription may be
  // re-establishing itself); in the cluster, on a master that forwards it to
  // the node the subscriber moved to.
  EXPECT_TRUE(WaitUntil([&] {
    const std::string message = MessageText(kOtherValue, kLater);
    return RedisCommandOnLoopback(m_servers.Port(kA), {"PUBLISH", "defaultns.d1-2", message}).integer > 0;
  }));
  EXPECT_TRUE(participant->WaitGone(after)) << "the subscription does not work after the reconnect";
}

// Servers the host sets while the subscriber is retrying dead ones start
// afresh, as in a new process: at the node listed first (the attempts made on
// the old servers do not choose the node), and without the back-off those
// attempts built up. With a cluster, a dead node is listed first, then B: B
// must follow the first step of the back-off (50 ms), not the grown one (2 s).
TEST_F(RedisPubsubServerTest, ServersSetDuringRetriesStartAtTheirFirstNodeWithoutTheOldBackOff) {
  auto participant = Subscribe(kA);
  auto deadNode = [] { return "127.0.0.1:" + std::to_string(kelcache_test::FindFreeLoopbackPort()); };
  UseServers("cluster:" + deadNode() + "," + deadNode() + "," + deadNode());
  // Attempts at about 0, 50, 150, 350, 750, 1550 and 3150 ms: past the first
  // node, and the back-off at its longest.
  std::this_thread::sleep_for(3500ms);
#if KELCACHE_COHERENCE_CLUSTER
  // The failure at the new dead node is the first step of a fresh back-off:
  // a warning that names the node and 50 ms (the grown back-off would wait
  // 2 s, and its repeated step is logged at Debug only).
  TLog::Capture capture(TLog::Warn);
  const std::string firstNode = deadNode();
  UseServers("cluster:" + firstNode + "," + m_servers.ServersText(kB).substr(std::string("cluster:").size()));
  EXPECT_TRUE(WaitUntil([&] { return PatternSubscribers(m_servers.Port(kB)) == 1; }))
      << "not subscribed at the first live node listed";
  const std::vector<TString> lines = capture.Lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const TString& line) {
    return line.contains(TString::fromStdString("cannot subscribe at " + firstNode)) &&
           line.contains(u"next attempt in 50 ms");
  })) << "the new servers did not start with a fresh back-off";
#else
  UseServers(m_servers.ServersText(kB));  // returns once the subscription is in force again
  EXPECT_EQ(PatternSubscribers(m_servers.Port(kB)), 1);
#endif
}

}  // namespace
