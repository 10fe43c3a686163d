// The coherence service and the Redis store over a Redis Cluster of 3 masters
// and 3 replicas (testing/RedisClusterProcess.h): two processes whose pools
// name different nodes, so that their subscribers sit on different nodes,
// keep their caches coherent and share the store's values; and a process
// whose subscriber's node dies moves to another node and flushes as after
// any reconnection.
//
// A second participant runs in a child process (DISABLED_SecondProcess),
// told its servers text and a folder for hand-shake files through the
// environment. Waiting: "soon" means within kWait, polled; reaching it means
// a hang.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "host/AppOptions.h"
#include "host/RefCnt.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisSubscriptionManager.h"
#include "main/utility/CachePolicies.h"
#include "main/utility/SynchronizedIndexedCache.h"
#include "public/caching/RedisExternalCache.h"
#include "public/caching/RedisPubsub.h"
#include "testing/RedisClusterProcess.h"
#include "tests/main/caching/coherence/CoherenceTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestEnvironment.h"

namespace {

using namespace std::chrono_literals;
using coherence_test::Hash;
using kelcache_testing::RedisClusterProcess;
using kelcache_testing::RedisClusterReply;
using kelvra::appoptions::ScopedOptionOverride;
using kelvra::caching::RedisConnectionPool;
using kelvra::caching::RedisExternalCache;
using kelvra::caching::RedisPubsub;
using kelvra::caching::RedisSubscriptionManager;

constexpr auto kWait = 15s;
constexpr uint64_t kTime = 63900000000000ULL;  // a DateTime representation (ms)
constexpr uint64_t kLater = kTime + 6000;      // newer by more than the default 5 s margin
const Hash kValue{0x1, 0x2};
const Hash kOtherValue{0x3, 0x4};
const Hash kThirdValue{0x5, 0x6};
const char* const kServersVariable = "KELCACHE_CLUSTER_TEST_SERVERS";
const char* const kPortsVariable = "KELCACHE_CLUSTER_TEST_PORTS";
const char* const kDirVariable = "KELCACHE_CLUSTER_TEST_DIR";
const TString kNamespace(u"cluster-coherence");
const TString kSharedKey(u"shared entry");
constexpr unsigned kSlowLoadMs = 1000000;  // never skipped as "too fast to store"

struct Payload : RefCntObject {};

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kWait) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

void Touch(const std::string& path) {
  std::ofstream(path) << "1";
}
bool Exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// How many clients of the node on `port` hold a pattern subscription.
int PatternSubscribers(uint16_t port) {
  const RedisClusterReply clients = kelcache_testing::RedisCommandOnLoopback(port, {"CLIENT", "LIST"});
  int count = 0;
  for (size_t at = 0; (at = clients.text.find(" psub=", at)) != std::string::npos;) {
    at += 6;
    if (clients.text[at] != '0') ++count;
  }
  return count;
}

// One participating cache and its entries, registered with the process's
// service. Withdraws the cache from the service when it goes.
class Participant {
 public:
  Participant()
      : m_service(RedisPubsub::GetInstance().lock()),
        m_cache(std::make_shared<SynchronizedIndexedCache>(
            std::make_shared<CacheHelpers::LifetimePolicy>(1000), nullptr)) {}
  ~Participant() { m_service->OnRemoved(*m_cache); }

  unsigned Add(const Hash& key, const Hash& value, uint64_t timestamp) {
    const unsigned id = m_cache->AddEntry(RefCntPtr<RefCntObject>(new Payload));
    m_service->OnAdded(key, value, timestamp, id, m_cache);
    return id;
  }
  bool Has(unsigned id) { return static_cast<bool>(m_cache->TryGetEntry(id)); }
  bool WaitGone(unsigned id) {
    return WaitUntil([&] { return !Has(id); });
  }

 private:
  std::shared_ptr<RedisPubsub> m_service;
  std::shared_ptr<SynchronizedIndexedCache> m_cache;
};

std::vector<size_t> Masters(const RedisClusterProcess& cluster) {
  return cluster.Masters();
}

// `first`, then every other node.
std::vector<size_t> StartingAt(const RedisClusterProcess& cluster, size_t first) {
  std::vector<size_t> order = {first};
  for (size_t i = 0; i < cluster.Size(); ++i) {
    if (i != first) order.push_back(i);
  }
  return order;
}

// Process A (this test) subscribes on one master, process B (a child) on
// another. Each adds an entry for two key hashes: for the first B adds the
// same value later, which removes nothing; for the second B adds another
// value later by more than the margin, and A's entry leaves A's cache. Then A
// adds a third value later still, and B's entry leaves B's cache. B also
// loads the value that A stored in the Redis store.
TEST(RedisPubsubClusterTest, TwoProcessesOnDifferentNodesKeepTheirCachesCoherent) {
  RedisClusterProcess cluster;
  const std::vector<size_t> masters = Masters(cluster);
  ASSERT_GE(masters.size(), 2u);
  RedisConnectionPool::GetInstance().Reset(
      TString::fromStdString(cluster.ServersText(StartingAt(cluster, masters[0]))), TString());
  Participant a;
  ASSERT_TRUE(WaitUntil([&] { return PatternSubscribers(cluster.Node(masters[0]).Port()) == 1; }))
      << "A did not subscribe on its first listed node";
  const Hash sameKey{0xc1, 0x1};
  const Hash changedKey{0xc1, 0x2};
  const unsigned kept = a.Add(sameKey, kValue, kTime);
  const unsigned stale = a.Add(changedKey, kValue, kTime);
  RedisExternalCache store(kNamespace);
  auto value = std::make_shared<std::vector<uint8_t>>(3000, uint8_t{0xA5});
  ASSERT_TRUE(store.TryStore(kSharedKey, value, kSlowLoadMs, -1).Get());

  kelcache_test::TempDir dir;
  const pid_t child =
      kelcache_test::StartChildTest("RedisPubsubClusterTest.DISABLED_SecondProcess",
                                    {{kServersVariable, cluster.ServersText(StartingAt(cluster, masters[1]))},
                                     {kPortsVariable, std::to_string(cluster.Node(masters[0]).Port()) + "," +
                                                          std::to_string(cluster.Node(masters[1]).Port())},
                                     {kDirVariable, dir.str()}});
  EXPECT_TRUE(a.WaitGone(stale)) << "B's newer value of the second key did not reach A";
  EXPECT_TRUE(a.Has(kept)) << "the same value, even much later, never makes an entry dirty";
  a.Add(changedKey, kThirdValue, kLater + 6000);
  Touch(dir.str() + "/a-added");

  const kelcache_test::ChildResult result = kelcache_test::WaitForChild(child, 60s);
  EXPECT_TRUE(result.Passed()) << "process B failed (its output is above)";
  EXPECT_TRUE(a.Has(kept));
  RedisConnectionPool::GetInstance().Reset(TString(), TString());
}

// Process B of the test above.
TEST(RedisPubsubClusterTest, DISABLED_SecondProcess) {
  const std::string servers = kelcache_test::GetEnv(kServersVariable);
  const std::string ports = kelcache_test::GetEnv(kPortsVariable);
  const std::string dir = kelcache_test::GetEnv(kDirVariable);
  ASSERT_FALSE(servers.empty());
  const uint16_t portOfA = static_cast<uint16_t>(std::stoi(ports.substr(0, ports.find(','))));
  const uint16_t portOfB = static_cast<uint16_t>(std::stoi(ports.substr(ports.find(',') + 1)));
  RedisConnectionPool::GetInstance().Reset(TString::fromStdString(servers), TString());
  Participant b;
  ASSERT_TRUE(WaitUntil([&] { return PatternSubscribers(portOfB) == 1; }))
      << "B did not subscribe on its listed node";
  EXPECT_EQ(PatternSubscribers(portOfA), 1) << "A's subscription is on the other node";

  RedisExternalCache store(kNamespace);
  auto loaded = store.TryLoad(kSharedKey).Get();
  ASSERT_NE(loaded, nullptr) << "the value A stored is not found through the nodes B lists";
  EXPECT_EQ(*loaded, std::vector<uint8_t>(3000, uint8_t{0xA5}));

  const unsigned same = b.Add({0xc1, 0x1}, kValue, kLater);
  const unsigned changed = b.Add({0xc1, 0x2}, kOtherValue, kLater);
  ASSERT_TRUE(WaitUntil([&] { return Exists(dir + "/a-added"); }, 30s)) << "A never added its newer value";
  EXPECT_TRUE(b.WaitGone(changed)) << "A's newer value did not reach B";
  EXPECT_TRUE(b.Has(same)) << "its own messages and A's same value leave B's entry alone";
}

// The node that carries the subscription dies (a replica, so no failover is
// needed): the subscriber moves to another node, and with the option on the
// live entries from before are flushed, as after any reconnection. The entry
// added afterwards is reached by messages published through the cluster.
TEST(RedisPubsubClusterTest, WhenTheSubscribersNodeDiesItMovesAndTheReconnectFlushRuns) {
  ScopedOptionOverride flush("CacheSynchronizationFlushOnReconnect", true);
  RedisClusterProcess cluster;
  const std::vector<size_t> masters = Masters(cluster);
  size_t replica = 0;
  while (std::find(masters.begin(), masters.end(), replica) != masters.end()) ++replica;
  RedisConnectionPool::GetInstance().Reset(
      TString::fromStdString(cluster.ServersText(StartingAt(cluster, replica))), TString());
  Participant participant;
  ASSERT_TRUE(WaitUntil([&] { return PatternSubscribers(cluster.Node(replica).Port()) == 1; }));
  const uint64_t reconnects = RedisSubscriptionManager::GetInstance().GetReconnectCount();
  const unsigned before = participant.Add({0xd2, 0x1}, kValue, kTime);

  cluster.Node(replica).Kill();
  EXPECT_TRUE(participant.WaitGone(before)) << "the live entry survived the move to another node";
  EXPECT_EQ(RedisSubscriptionManager::GetInstance().GetReconnectCount(), reconnects + 1);

  const Hash afterKey{0xd2, 0x2};
  const unsigned after = participant.Add(afterKey, kValue, kTime);
  // Published by hand on a master; the cluster forwards it to the node the
  // subscriber moved to.
  const std::string channel = "defaultns." + coherence_test::HashText(afterKey);
  const std::string message = coherence_test::MessageText(kOtherValue, kLater);
  EXPECT_TRUE(WaitUntil([&] {
    cluster.Command(masters[0], {"PUBLISH", channel, message});
    return !participant.Has(after);
  })) << "the subscription does not work after the move";
  RedisConnectionPool::GetInstance().Reset(TString(), TString());
}

}  // namespace
