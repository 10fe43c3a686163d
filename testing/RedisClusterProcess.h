// RedisClusterProcess: a private Redis Cluster of child processes for the
// tests and the benchmarks: by default 3 masters with one replica each, every
// node a redis-server started with --cluster-enabled yes on a free loopback
// port (testing/RedisServerProcess.h), its configuration file in its own
// temporary folder, and a short cluster-node-timeout so that a replica takes
// over from a dead master within a few seconds. The nodes are joined with
//   redis-cli --cluster create <nodes> --cluster-replicas <n> --cluster-yes
// and the constructor returns once every node reports cluster_state:ok, knows
// every other node, and every replica's link to its master is up.
//
//   kelcache_testing::RedisClusterProcess cluster;
//   pool.Reset(cluster.ServersText(), "");       // "cluster:127.0.0.1:<p>,..."
//   cluster.Node(i).Kill();  cluster.Node(i).Restart();
//   cluster.Command(i, {"CLUSTER", "SETSLOT", ...});
//
// A node restarted in place keeps its folder, so it reads its nodes.conf and
// rejoins as the same node (a former master as a replica of the node that
// replaced it). WaitUntilHealthy waits for the cluster to settle again.
//
// Commands to single nodes go over a small client of its own (no hiredis), so
// programs that use this helper need nothing but the C++ library and POSIX.
// When redis-server or redis-cli is missing the constructor raises
// std::runtime_error saying so.
//
// Lifetime: the destructor kills every node (SIGKILL). As with
// RedisServerProcess, create, restart and destroy the cluster on the main
// thread (or a thread that outlives it).
//
// Thread rules: not thread-safe; one thread drives the cluster. Command and
// the read-only accessors may be called from other threads while no thread
// restarts a node.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testing/RedisServerProcess.h"

namespace kelcache_testing {

// A reply of a node, as far as the tests need it.
struct RedisClusterReply {
  enum class Type { kNone, kStatus, kError, kInteger, kString, kNil, kArray };
  Type type = Type::kNone;  // kNone: no answer (connection failed or timed out)
  std::string text;         // status, error or string
  long long integer = 0;
  std::vector<RedisClusterReply> elements;

  bool IsError() const { return type == Type::kError || type == Type::kNone; }
};

// Sends one command to the server on 127.0.0.1:`port` on a new connection
// and gives its whole reply (type kNone when none comes within `timeout`).
RedisClusterReply RedisCommandOnLoopback(uint16_t port, const std::vector<std::string>& arguments,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(5));

class RedisClusterProcess {
 public:
  struct Options {
    int masters = 3;
    int replicasPerMaster = 1;
    // cluster-node-timeout: how long a node may be silent before the others
    // count it as failed (a replica is promoted about a second after that).
    std::chrono::milliseconds nodeTimeout{1000};
    // Bound on the whole start, and on each later WaitUntilHealthy.
    std::chrono::milliseconds startTimeout{60000};
  };

  // One node as CLUSTER NODES describes it.
  struct NodeInfo {
    size_t index = 0;  // in Node(); the nodes list only nodes of this cluster
    std::string id;
    bool master = false;
    bool failed = false;                     // flagged fail or pfail, or disconnected
    std::string masterId;                    // of a replica
    std::vector<std::pair<int, int>> slots;  // ranges a master serves
  };

  // Starts and joins the cluster. Raises std::runtime_error (with the end of
  // redis-cli's output or a node's log) when it does not come up.
  RedisClusterProcess();
  explicit RedisClusterProcess(Options options);
  ~RedisClusterProcess();
  RedisClusterProcess(const RedisClusterProcess&) = delete;
  RedisClusterProcess& operator=(const RedisClusterProcess&) = delete;

  size_t Size() const { return m_nodes.size(); }
  RedisServerProcess& Node(size_t index) { return *m_nodes.at(index); }
  const RedisServerProcess& Node(size_t index) const { return *m_nodes.at(index); }
  // The index of the node listening on `port`, or nothing.
  std::optional<size_t> IndexOfPort(uint16_t port) const;

  // "cluster:127.0.0.1:<port>,..." for RedisConnectionPool::Reset: the nodes
  // in `order` (indices), or all of them in order when `order` is empty.
  std::string ServersText(const std::vector<size_t>& order = {}) const;

  // Sends one command to node `index` on a new connection and gives its
  // reply (type kNone when the node does not answer within `timeout`).
  RedisClusterReply Command(size_t index, const std::vector<std::string>& arguments,
                            std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  // CLUSTER NODES as node `index` sees it; empty when it does not answer.
  std::vector<NodeInfo> Describe(size_t index) const;
  // The node that node `asked` says serves `slot`, or nothing.
  std::optional<size_t> MasterOf(int slot, size_t asked) const;
  // The indices of the masters, as the first running node sees them.
  std::vector<size_t> Masters() const;
  // The cluster's view of a node's role: whether node `index` says it is a
  // master now.
  bool IsMaster(size_t index) const;

  // Waits until every running node reports cluster_state:ok and knows the
  // others, every replica's link is up and all agree on the masters. False
  // after `timeout` (the constructor's startTimeout when zero).
  bool WaitUntilHealthy(std::chrono::milliseconds timeout = std::chrono::milliseconds(0));
  // What WaitUntilHealthy found wrong last; for failure messages.
  const std::string& LastProblem() const { return m_lastProblem; }

 private:
  // Runs redis-cli --cluster create; raises with its output on failure.
  void Create();
  // One pass of WaitUntilHealthy's checks; the problem, or empty.
  std::string Problem() const;

  Options m_options;
  std::vector<std::unique_ptr<RedisServerProcess>> m_nodes;
  std::string m_lastProblem;
};

}  // namespace kelcache_testing
