// The connection pool over a real Redis Cluster of 3 masters and 3 replicas
// (testing/RedisClusterProcess.h): keys reach the master of their slot, a
// killed master is replaced under load, a slot migrates under load, silent
// nodes are asked for the slot map last, and a cluster that is all down gives
// misses and failures within the time-outs.
// The subscriber's move off a dead node is checked with the coherence
// service over a cluster (coherence_RedisPubsubClusterTest).
//
// Under ctest every test runs in a process of its own, so each starts its
// own cluster (a few seconds); a test checks one contract in full rather
// than share a cluster with others.
//
// "Wrong" values: every value written names its key and a version. A load
// may miss, and after a failover it may see an older version (replication
// is asynchronous, so a promoted replica can lack the last writes); it must
// never see bytes that were not written under that key.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/redis/RedisCluster.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/RedisKeySlot.h"
#include "testing/RedisClusterProcess.h"
#include "tests/host/redis/RedisTestSupport.h"

namespace kelcache_test {
namespace {

using namespace kelcache_testing;
using namespace kelvra::caching;
using Clock = std::chrono::steady_clock;

// The value of version `version` of `key`: names both, padded so that a value
// cut short or mixed with another shows.
std::string ValueOf(const std::string& key, long version) {
  std::string value = key + "#" + std::to_string(version) + "#";
  value.append(64 + key.size() % 17, static_cast<char>('a' + version % 26));
  return value;
}

// Whether `bytes` is a value that ValueOf made for `key`, with a version
// from 1 to `newest`.
bool WrittenUnder(const std::string& key, const std::string& bytes, long newest) {
  const std::string prefix = key + "#";
  if (bytes.rfind(prefix, 0) != 0) return false;
  const long version = std::atol(bytes.c_str() + prefix.size());
  return version >= 1 && version <= newest && bytes == ValueOf(key, version);
}

// Eight threads store and load their own keys (spread over all masters)
// while a master is killed. Operations on its slots fail until its replica
// is promoted, then succeed again; the others go on.
TEST(RedisCluster, AMasterKilledUnderLoadIsReplacedByItsReplicaAndNoValueComesBackWrong) {
  RedisClusterProcess cluster;
  // Generous waits for a place and for replies: on a loaded machine eight
  // threads must not fail for want of time once the promotion is done.
  Configure(cluster.ServersText(), "wait_ms=5000;command_timeout_ms=5000");
  const size_t victim = cluster.Masters().front();
  // A new cluster's nodes learn of each other's replicas by gossip: the
  // victim may name its replica a moment after the cluster says it is ok.
  size_t replica = cluster.Size();
  std::vector<std::pair<int, int>> victimSlots;
  ASSERT_TRUE(WaitUntil([&] {
    const auto nodes = cluster.Describe(victim);
    const auto self = std::find_if(nodes.begin(), nodes.end(), [&](const auto& node) { return node.index == victim; });
    for (const auto& node : nodes) {
      if (self != nodes.end() && !node.master && node.masterId == self->id) replica = node.index;
    }
    if (self != nodes.end()) victimSlots = self->slots;
    return replica < cluster.Size();
  })) << "the master to kill has no replica";
  std::atomic<bool> stop{false};
  std::atomic<long> operations{0};
  std::vector<std::string> wrongValues[8];                              // each thread's
  std::vector<std::pair<Clock::time_point, bool>> onVictimOutcomes[8];  // each thread's
  auto work = [&](int t) {
    std::vector<long> written(48, 0);  // newest version stored (or tried) per key
    for (long round = 1; !stop; ++round) {
      for (size_t k = 0; k < written.size() && !stop; ++k) {
        const std::string key = "failover\nt" + std::to_string(t) + "-k" + std::to_string(k);
        bool ok = false;
        try {
          if (auto guard = Lock(key)) {
            written[k] = round;
            if (guard->GetConnection().Set(key, MakeValue(ValueOf(key, round)))) {
              const std::string bytes = Text(guard->GetConnection().Get(key));
              if (bytes != "(nil)" && !WrittenUnder(key, bytes, written[k])) wrongValues[t].push_back(key + " -> " + bytes);
              ok = true;
            }
          }
        } catch (const kelvra::caching::RedisError&) {
          // The master of the slot is dead, or the cluster is failing over.
        }
        ++operations;
        const int slot = RedisKeySlot(key);
        for (const auto& [first, last] : victimSlots) {
          if (first <= slot && slot <= last) onVictimOutcomes[t].emplace_back(Clock::now(), ok);
        }
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) threads.emplace_back(work, t);

  std::this_thread::sleep_for(500ms);
  const long beforeKill = operations.load();
  cluster.Node(victim).Kill();
  const bool promoted = WaitUntil([&] { return cluster.IsMaster(replica); }, 30s);
  const Clock::time_point promotedAt = Clock::now();
  std::this_thread::sleep_for(8000ms);  // the load runs on for a while after the promotion
  stop = true;
  for (std::thread& thread : threads) thread.join();

  ASSERT_TRUE(promoted) << "the replica was not promoted";
  EXPECT_GT(beforeKill, 0);
  std::optional<Clock::time_point> firstSuccess;
  int failuresLate = 0, successesLate = 0;
  for (int t = 0; t < 8; ++t) {
    EXPECT_TRUE(wrongValues[t].empty()) << wrongValues[t].front();
    for (const auto& [when, ok] : onVictimOutcomes[t]) {
      if (when < promotedAt) continue;
      if (ok && (!firstSuccess || when < *firstSuccess)) firstSuccess = when;
      if (when > promotedAt + 5s) (ok ? successesLate : failuresLate)++;
    }
  }
  ASSERT_TRUE(firstSuccess.has_value()) << "no operation on the dead master's slots succeeded after the promotion";
  EXPECT_LE(*firstSuccess - promotedAt, 5s);
  EXPECT_EQ(failuresLate, 0) << "operations still failed more than 5 s after the promotion";
  EXPECT_GT(successesLate, 0);
  Configure("");
}

// Keys on every master reach the master of their slot straight away. Then
// loads run over the keys of one slot while it migrates from one master to
// another: the keys already moved are found through ASK (ASKING on the new
// master), the others on the old one, and once the slot belongs to the new
// master a MOVED updates the map. Every load finds its own value.
TEST(RedisCluster, KeysReachTheMasterOfTheirSlotAndFollowASlotMigratedWhileLoadsRunThroughAskThenMoved) {
  RedisClusterProcess cluster;
  Configure(cluster.ServersText({0}), "connections=16");  // one listed node is enough to learn the cluster
  // Sixteen threads ask the new pool at once: one fetches the slot map, the
  // others wait for it, and every one gets a connection.
  RunTogether(16, [](int t) { EXPECT_NE(Lock("first\n" + std::to_string(t)), nullptr) << "waited for the slot map"; });

  std::set<size_t> mastersReached;
  for (int i = 0; i < 30; ++i) {
    const std::string key = "store\n" + std::to_string(i);  // of the Redis store's form, "namespace\nkey"
    SCOPED_TRACE(key);
    const size_t master = cluster.MasterOf(RedisKeySlot(key), 0).value();
    mastersReached.insert(master);
    auto guard = Lock(key);
    ASSERT_NE(guard, nullptr);
    auto& connection = guard->GetConnection();
    ASSERT_TRUE(connection.Set(key, MakeValue(ValueOf(key, 1))));
    EXPECT_EQ(Text(connection.Get(key)), ValueOf(key, 1));
    EXPECT_EQ(connection.GetAddress(), (RedisServerAddress{"127.0.0.1", cluster.Node(master).Port()}))
        << "the master of the slot answered";
  }
  EXPECT_EQ(mastersReached.size(), 3u);

  // Straight to the right master: no redirection was ever needed.
  auto statistics = [] { return RedisConnectionPool::GetInstance().GetCluster()->GetStatistics(); };
  EXPECT_EQ(statistics().moved, 0u);
  EXPECT_EQ(statistics().asked, 0u);

  const int slot = RedisKeySlot("moving");
  const size_t source = cluster.MasterOf(slot, 0).value();
  std::map<size_t, std::string> ids;
  for (const auto& node : cluster.Describe(0)) ids[node.index] = node.id;
  std::vector<size_t> masters = cluster.Masters();
  std::erase(masters, source);
  ASSERT_EQ(masters.size(), 2u);
  const size_t target = masters[0];
  masters.insert(masters.begin() + 1, source);  // the target, the source, the other one

  constexpr int kKeys = 60;
  std::vector<std::string> keys;
  for (int i = 0; i < kKeys; ++i) {
    keys.push_back("mig\n{moving}" + std::to_string(i));
    ASSERT_EQ(RoundTrip(keys.back(), MakeValue(ValueOf(keys.back(), 1))), "");
  }

  std::atomic<bool> stop{false};
  std::atomic<int> loads{0};
  std::vector<std::string> problems[4];  // each loader's: wrong values, misses, failures
  std::vector<std::thread> loaders;
  for (int t = 0; t < 4; ++t) {
    loaders.emplace_back([&, t] {
      for (int i = t; !stop; i = (i + 7) % kKeys) {
        try {
          auto guard = Lock(keys[i]);
          const std::string value = guard ? Text(guard->GetConnection().Get(keys[i])) : "no connection";
          ++loads;
          if (value != ValueOf(keys[i], 1)) problems[t].push_back(keys[i] + " -> " + value);
        } catch (const std::exception& error) {
          problems[t].push_back(error.what());
        }
      }
    });
  }

  auto run = [&](size_t node, const std::vector<std::string>& command) {
    const RedisClusterReply reply = cluster.Command(node, command);
    EXPECT_FALSE(reply.IsError()) << command[0] << " " << command[1] << ": " << reply.text;
  };
  const std::string slotText = std::to_string(slot);
  run(target, {"CLUSTER", "SETSLOT", slotText, "IMPORTING", ids[source]});
  run(source, {"CLUSTER", "SETSLOT", slotText, "MIGRATING", ids[target]});
  std::this_thread::sleep_for(200ms);
  // Half the keys move; the window in which the old master answers ASK stays
  // open while the loads run.
  std::vector<std::string> firstHalf = {
      "MIGRATE", "127.0.0.1", std::to_string(cluster.Node(target).Port()), "", "0", "5000", "KEYS"};
  std::vector<std::string> secondHalf = firstHalf;
  for (int i = 0; i < kKeys; ++i) (i % 2 == 0 ? firstHalf : secondHalf).push_back(keys[i]);
  run(source, firstHalf);
  const bool asked = WaitUntil([&] { return statistics().asked > 20; });
  run(source, secondHalf);
  std::this_thread::sleep_for(200ms);
  // The slot belongs to the target from now on: the target first, then the
  // source, then the others, as Redis asks.
  for (size_t master : masters) run(master, {"CLUSTER", "SETSLOT", slotText, "NODE", ids[target]});
  const bool moved = WaitUntil([&] { return statistics().moved > 0; });
  std::this_thread::sleep_for(300ms);
  stop = true;
  for (std::thread& loader : loaders) loader.join();

  EXPECT_TRUE(asked) << "no load was sent on by ASK";
  EXPECT_TRUE(moved) << "no load was sent on by MOVED";
  // The first MOVED updated the map: only the loads already on their way to
  // the old master were redirected, not every load after it.
  EXPECT_LE(statistics().moved, 20u);
  for (const auto& mine : problems) EXPECT_TRUE(mine.empty()) << mine.size() << " problems, the first: " << mine.front();
  EXPECT_GT(loads.load(), 100);
  EXPECT_EQ(cluster.Command(target, {"GET", keys[1]}).text, ValueOf(keys[1], 1));
  // The map now sends the slot's keys straight to the target.
  auto guard = Lock(keys[0]);
  ASSERT_NE(guard, nullptr);
  EXPECT_EQ(Text(guard->GetConnection().Get(keys[0])), ValueOf(keys[0], 1));
  EXPECT_EQ(guard->GetConnection().GetAddress().port, cluster.Node(target).Port());
  Configure("");
}

// A node that let a command time out (stopped, hung) is asked for the slot
// map after the others: asked first, the silent nodes would spend the whole
// fetch while the healthy one could answer at once, and the fetch would fail
// for every key. Here the first two masters of the map are stopped, each
// found silent by a command on one of its keys; the next fetch, for a key of
// the third, succeeds. Then every node is down: loads miss and stores fail
// within the time-outs, at once when nothing listens, after the command
// time-out when the nodes are alive but silent (stopped). Nothing raises
// past the pool and the connection's documented errors.
TEST(RedisCluster, SilentNodesAreAskedForTheSlotMapLastAndWithEveryNodeDownCallsFailWithinTheTimeOuts) {
  RedisClusterProcess cluster(RedisClusterProcess::Options{.replicasPerMaster = 0});
  // (First, named as a single server, a node redirects keys of other nodes'
  // slots: the error says how to name the cluster.)
  const std::string node = "127.0.0.1:" + std::to_string(cluster.Node(0).Port());
  Configure(node);
  std::string refusal = "(none raised)";
  for (int i = 0; refusal == "(none raised)" && i < 100; ++i) {
    const std::string key = "k" + std::to_string(i);
    refusal = RaisedText<RedisReplyError>([&] { if (auto guard = Lock(key)) guard->GetConnection().Get(key); });
  }
  EXPECT_NE(refusal.find("MOVED"), std::string::npos) << refusal;
  EXPECT_NE(refusal.find("name the cluster as 'cluster:" + node + "'"), std::string::npos) << refusal;

  const std::string timeouts = "connect_timeout_ms=200;command_timeout_ms=300;wait_ms=100";
  // Bound on one operation: a map fetch over every node, then the command,
  // each within connect + command time-out, and slack for a loaded host
  // (a hang would take far longer).
  const auto bound = 3 * (200ms + 300ms) + 4s;
  // Whether `command` succeeded on the key's connection (not when there is
  // none, or it raised one of the documented errors); checks how long it took.
  auto succeeds = [&](const std::string& key, const std::function<bool(RedisConnection&)>& command) {
    const auto started = Clock::now();
    bool succeeded = false;
    try {
      if (auto guard = Lock(key)) succeeded = command(guard->GetConnection());
    } catch (const kelvra::caching::RedisError&) {
    }
    EXPECT_LT(Clock::now() - started, bound) << key;
    return succeeded;
  };
  // Whether a load was answered with a miss, and whether the store failed
  // and the load missed (each is tried).
  auto missed = [&](const std::string& key) { return succeeds(key, [&](RedisConnection& c) { return !c.Get(key); }); };
  auto storeAndLoadFail = [&](const std::string& key) {
    const bool stored = succeeds(key, [&](RedisConnection& c) { return c.Set(key, MakeValue("v")); });
    return !succeeds(key, [&](RedisConnection& c) { return c.Get(key) != nullptr; }) && !stored;
  };

  // Listed nodes where nothing listens: no connection at all.
  Configure("cluster:127.0.0.1:" + std::to_string(kelcache_testing::FindFreeLoopbackPort()), timeouts);
  EXPECT_TRUE(storeAndLoadFail("nobody"));
  std::string whyNot;
  EXPECT_EQ(RedisConnectionPool::FindAndLockPooledConnection(u"nobody", &whyNot), nullptr);
  EXPECT_EQ(whyNot.rfind("no node gave the slot map (", 0), 0u) << whyNot;
  EXPECT_NE(whyNot.find("Connection refused"), std::string::npos) << "each node's reason: " << whyNot;

  // The keys are stored under the default time-outs (a loaded host must not
  // fail them); the short ones hold once the nodes are down.
  Configure(cluster.ServersText());
  for (int i = 0; i < 4; ++i) ASSERT_EQ(RoundTrip("down\n" + std::to_string(i), MakeValue("v")), "") << i;
  Configure(cluster.ServersText(), timeouts);
  // The new configuration learns the slot map while the nodes still answer
  // (tried again should the loaded host exceed a short time-out once).
  ASSERT_TRUE(WaitUntil([&] {
    return succeeds("down\n0", [](RedisConnection& c) { return c.Get("down\n0") != nullptr; });
  }));
  kelvra::caching::RedisCluster& client = *RedisConnectionPool::GetInstance().GetCluster();
  const std::vector<RedisSlotMap::Node> nodes = client.SlotMap()->Nodes();
  ASSERT_EQ(nodes.size(), 3u);
  // A key on each master, in the map's order (not stored), and that
  // master's process.
  std::vector<std::string> keys(3);
  std::vector<size_t> processes(3);
  for (size_t n = 0; n < 3; ++n) {
    for (int i = 0; keys[n].empty(); ++i) {
      const std::string key = "silent\n" + std::to_string(i);
      if (client.SlotMap()->MasterOf(RedisKeySlot(key)) == static_cast<int>(n)) keys[n] = key;
    }
    processes[n] = cluster.IndexOfPort(nodes[n].address.port).value();
  }
  cluster.Node(processes[0]).Pause();
  cluster.Node(processes[1]).Pause();
  EXPECT_FALSE(missed(keys[0]));
  EXPECT_FALSE(missed(keys[1]));
  std::this_thread::sleep_for(2 * RedisCluster::kMinRefreshInterval);  // the next command may fetch again
  const RedisCluster::Statistics before = client.GetStatistics();
  EXPECT_TRUE(missed(keys[2])) << "a key of the healthy master";
  EXPECT_EQ(client.GetStatistics().failedRefreshes, before.failedRefreshes) << "the fetch asked a silent node first";
  EXPECT_GT(client.GetStatistics().refreshes, before.refreshes) << "no fetch ran: the test proves nothing";

  // Every node stopped, then every node killed.
  cluster.Node(processes[2]).Pause();
  for (bool killed : {false, true}) {
    for (size_t i = 0; killed && i < cluster.Size(); ++i) cluster.Node(i).Kill();
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(storeAndLoadFail("down\n" + std::to_string(i))) << killed << i;
  }
  Configure("");
}

}  // namespace
}  // namespace kelcache_test
