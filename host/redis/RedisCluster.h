// RedisCluster: the client's view of one Redis Cluster, and the routing of
// commands to its nodes.
//
// 1. The slot map. A cluster spreads its keys over 16384 hash slots, each
//    served by one master (host/redis/RedisKeySlot.h, RedisSlotMap.h). The
//    map is fetched with CLUSTER SLOTS from the first node that answers: the
//    nodes of the current map in its order (its masters, then its replicas,
//    see RedisSlotMap.h), then the listed nodes of the configuration; a node
//    that let a command or a fetch time out in the last kSilentFor comes
//    after all of them, and no further node is asked once less than a
//    command time-out is left of the fetch's time. It is fetched again
//      - when a command finds a node unreachable, or the cluster down
//        (CLUSTERDOWN), at most once per kMinRefreshInterval: commands that
//        fail meanwhile do not each ask again;
//      - after a MOVED reply (which itself updates the one slot at once), by
//        the next command, with the same minimum interval;
//      - every kRefreshInterval, by the first command after it (lazily; no
//        thread of our own), so that a quiet client notices failovers and
//        resharding before its commands run into them.
//    Only one thread fetches at a time; a command that needs the new map
//    waits for it, the others go on with the map they have.
//
// 2. Routing. A command whose first argument is a key (GET, SET, SETEX, DEL,
//    TTL, ...) goes to the master of the key's slot: the key as it is sent,
//    so the Redis store's physical key ("namespace\nkey") decides, not the
//    entry key the pool was asked with. Other commands (PUBLISH: publish and
//    subscribe are cluster-wide) go to any node: the first master, then the
//    next node after each failure. Commands travel on shared, pipelined
//    sockets per node (host/redis/RedisServerLink.h).
//
// 3. Redirections. MOVED <slot> <host:port>: the slot has moved for good;
//    the map is updated for that slot and the command sent to the named node.
//    ASK <slot> <host:port>: the key is being migrated and is on the named
//    node already; the command goes there once, preceded by ASKING in the
//    same write (so that no other caller's command on the shared socket comes
//    between them and takes the ASKING for itself); the map stays.
//    TRYAGAIN, CLUSTERDOWN, LOADING and MASTERDOWN: the command is tried
//    again after a short pause (50 ms, doubling), after fetching the map for
//    CLUSTERDOWN and MASTERDOWN.
//
// 4. Failures. A node that cannot be reached (refused, reset, in its
//    back-off): the map is fetched again (see 1); if it now names another
//    master for the slot the command goes there, otherwise it fails at once
//    with RedisIoError (a master that died is replaced by a replica only
//    after the cluster's node time-out; until then its slots fail fast). A
//    time-out is not retried: the command fails with RedisTimeoutError and
//    the map is fetched again by a later command.
//
// Bounds: a command follows at most kMaxRedirections redirections, re-fetched
// maps and pauses together, and starts no new attempt once connect_timeout_ms
// + command_timeout_ms have passed since it began; each attempt is bounded as
// a single server's command is (connect_timeout_ms to connect,
// command_timeout_ms of silence). So no command takes much more than twice
// connect_timeout_ms + command_timeout_ms.
//
// Thread rules: thread-safe. m_mutex guards the current view (map and node
// links), the registry of links and the refresh state; it is never held
// during I/O (the fetch runs with m_refreshing set instead). The counters and
// m_available are atomic. Links are thread-safe and shared with the commands
// that use them, so a link dropped from the registry lives on until its last
// command ends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/Export.h"
#include "host/LogRateLimiter.h"
#include "host/ThreadAnnotations.h"
#include "host/redis/IRedisTransport.h"
#include "host/redis/RedisConfiguration.h"
#include "host/redis/RedisProtocol.h"
#include "host/redis/RedisSlotMap.h"
#include "host/TConditionVariable.h"

namespace kelvra::caching {

class RedisServerLink;

class KELCACHE_EXPORT RedisCluster {
 public:
  static constexpr int kMaxRedirections = 5;
  static constexpr std::chrono::milliseconds kMinRefreshInterval{100};
  static constexpr std::chrono::milliseconds kRefreshInterval{5000};
  static constexpr std::chrono::milliseconds kFirstRetryPause{50};
  // How long a node that let a command or a fetch time out is asked for the
  // map after the others.
  static constexpr std::chrono::seconds kSilentFor{30};

  struct Statistics {
    uint64_t moved = 0;            // MOVED replies followed
    uint64_t asked = 0;            // ASK replies followed
    uint64_t refreshes = 0;        // slot maps fetched
    uint64_t failedRefreshes = 0;  // fetches that no node answered
  };

  // A cluster known by its listed nodes (at least one). Nothing is fetched or
  // connected yet. Plain TCP unless another transport is given.
  RedisCluster(std::vector<RedisServerAddress> listedNodes, RedisPoolOptions options,
               RedisTransportFactory factory = {});
  ~RedisCluster();
  RedisCluster(const RedisCluster&) = delete;
  RedisCluster& operator=(const RedisCluster&) = delete;

  // Runs one command where it belongs (see the header comment) and gives its
  // reply, which may be an error reply other than a redirection. Raises
  // RedisIoError when no node could run it, RedisTimeoutError when the node
  // did not answer in time, RedisReplyError when a node refused the
  // connection's set-up (AUTH). *servedBy, when given, is set to the node
  // that answered. `keepAlive` owns the large arguments
  // (RedisCommand::Encode).
  RedisReplyPtr Execute(std::span<const std::string_view> arguments,
                        const std::shared_ptr<const void>& keepAlive = nullptr,
                        RedisServerAddress* servedBy = nullptr);

  // Whether the cluster can take commands: a slot map is known and no fetch
  // has failed on every node since a node last answered. When not, fetches
  // the map (at most once per kMinRefreshInterval) and says whether that
  // worked. Cheap when the answer is yes.
  bool IsAvailable();
  // Why the cluster cannot take commands: "no node gave the slot map (...)"
  // with each node's reason from the last fetch that failed.
  std::string WhyUnavailable() const;
  // Fetches the slot map now, waiting for a fetch in progress instead of
  // starting a second one, and unless one ended less than
  // kMinRefreshInterval ago. True when a map is known afterwards.
  bool Refresh();

  // The current slot map, or null before the first fetch.
  std::shared_ptr<const RedisSlotMap> SlotMap() const;
  // Masters in the current map (0 before the first fetch).
  size_t MasterCount() const { return m_masters.load(std::memory_order_relaxed); }
  // The master that serves `key`'s slot, fetching the map first when none
  // is known; nothing when no master serves it.
  std::optional<RedisServerAddress> MasterFor(std::string_view key);
  // The nodes that may carry a subscription, in the order to try them: the
  // listed nodes, then the other nodes of the current map in its order
  // (RedisSlotMap::Nodes).
  std::vector<RedisServerAddress> SubscriptionServers() const;
  const std::vector<RedisServerAddress>& ListedNodes() const { return m_listedNodes; }
  Statistics GetStatistics() const;

 private:
  using Clock = std::chrono::steady_clock;
  using LinkPtr = std::shared_ptr<RedisServerLink>;
  // A slot map with a link to each of its nodes: links[i] talks to
  // map->Nodes()[i]. Immutable once made.
  struct View {
    std::shared_ptr<const RedisSlotMap> map;
    std::vector<LinkPtr> links;
  };
  using ViewPtr = std::shared_ptr<const View>;
  enum class RefreshKind {
    kNeeded,  // the caller cannot go on without a new map: wait for one in progress
    kIfDue,   // only when wanted or due (see the header comment); waits only when there is no map
  };

  // The view for a new command: fetched first when there is none (waiting
  // for a fetch in progress), or when a fetch is due. Null when no map can be
  // had.
  ViewPtr ViewForCommand(Clock::time_point deadline);
  // Fetches the map (see RefreshKind) and gives the view in force afterwards.
  ViewPtr RefreshView(RefreshKind kind, Clock::time_point deadline);
  // Asks every candidate node in turn for the map, until one answers or too
  // little time is left for another to answer (a silent node costs a whole
  // command time-out). Runs without m_mutex. *failures says what went wrong;
  // the nodes that did not answer in time are added to *silent; *outOfTime
  // is set when nodes were left unasked for want of time.
  std::shared_ptr<const RedisSlotMap> FetchMap(const std::vector<LinkPtr>& candidates,
                                               Clock::time_point deadline, RedisServerAddress* answeredBy,
                                               std::string* failures, std::vector<std::string>* silent,
                                               bool* outOfTime);
  // The nodes to ask for the map, in order (masters, replicas, listed nodes),
  // those that fell silent lately last.
  std::vector<LinkPtr> FetchCandidates(Clock::time_point now) const KELCACHE_REQUIRES(m_mutex);
  // Remembers that the node did not answer in time (see m_silentSince).
  void NoteSilent(const std::string& address, Clock::time_point now) KELCACHE_REQUIRES(m_mutex);
  // Installs a view of `map` (links made or reused) and drops the links of
  // nodes that are neither in it nor listed.
  ViewPtr InstallView(std::shared_ptr<const RedisSlotMap> map) KELCACHE_REQUIRES(m_mutex);
  // The slot of `redirection` now served by its node (a MOVED reply).
  ViewPtr AdoptMoved(const RedisRedirection& redirection);
  // The link to `address`: the view's, the registry's, or a new one.
  LinkPtr LinkTo(const RedisServerAddress& address) KELCACHE_REQUIRES(m_mutex);

  const std::vector<RedisServerAddress> m_listedNodes;
  const RedisPoolOptions m_options;
  const RedisTransportFactory m_factory;

  mutable TMutex m_mutex;
  TConditionVariable m_refreshEnded;       // a fetch ended
  ViewPtr m_view KELCACHE_GUARDED_BY(m_mutex);  // null before the first map
  // By "host:port": the nodes of the view, and the listed nodes.
  std::map<std::string, LinkPtr> m_links KELCACHE_GUARDED_BY(m_mutex);
  bool m_refreshing KELCACHE_GUARDED_BY(m_mutex) = false;     // a thread is fetching the map
  bool m_refreshWanted KELCACHE_GUARDED_BY(m_mutex) = false;  // a MOVED or time-out: fetch soon
  // When the last fetch ended, whether it worked or not.
  Clock::time_point m_lastAttemptEnded KELCACHE_GUARDED_BY(m_mutex){};
  Clock::time_point m_fetchedAt KELCACHE_GUARDED_BY(m_mutex){};  // of the map in force
  std::string m_lastFailure KELCACHE_GUARDED_BY(m_mutex);        // why the last fetch failed
  // By "host:port": when a node last let a command or a fetch time out. Such
  // a node (stopped, hung) is asked for the map after the others for
  // kSilentFor, or until it answers a fetch: asked first, it would spend a
  // fetch's whole time while other nodes could answer at once.
  std::map<std::string, Clock::time_point> m_silentSince KELCACHE_GUARDED_BY(m_mutex);

  // A map is known and no fetch has failed on every node since a node last
  // answered (see IsAvailable).
  std::atomic<bool> m_available{false};
  std::atomic<size_t> m_masters{0};
  std::atomic<uint64_t> m_moved{0};
  std::atomic<uint64_t> m_asked{0};
  std::atomic<uint64_t> m_refreshes{0};
  std::atomic<uint64_t> m_failedRefreshes{0};
  LogRateLimiter m_failureLog;  // thread-safe by itself
};

}  // namespace kelvra::caching
