// RedisSlotMap: which node of a Redis Cluster serves each of its 16384 hash
// slots (host/redis/RedisKeySlot.h), and the cluster's nodes, as one node
// described them in its answer to CLUSTER SLOTS. RedisRedirection reads the
// MOVED and ASK error replies with which a node sends a command elsewhere.
//
// Nodes() lists a reply's masters first, in the order of the first slot each
// serves, then its replicas, range by range in the same order. A copy made
// for a MOVED reply adds a node it did not know at the end, and a replica it
// names becomes a master where it stands. A slot that no
// master serves (a cluster being set up, or one that lost a master and has no
// replica to promote) has no node: MasterOf gives kNoNode.
//
// A map is immutable: a MOVED reply makes a changed copy (WithSlotServedBy),
// a new CLUSTER SLOTS reply a new map. Copying costs 32 KiB, which is nothing
// beside the round trip that brought the news.
//
// Thread rules: immutable after construction; any number of threads may read
// one map at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/Export.h"
#include "host/redis/RedisConfiguration.h"
#include "host/redis/RedisProtocol.h"

namespace kelvra::caching {

class KELCACHE_EXPORT RedisSlotMap {
 public:
  struct Node {
    RedisServerAddress address;
    std::string id;       // the node's id, when the reply gave one
    bool master = false;  // serves slots; otherwise a replica
  };
  static constexpr int kNoNode = -1;
  // The most nodes a map holds (Redis Cluster itself suggests at most about
  // a thousand); a table naming more is refused.
  static constexpr size_t kMaxNodes = 16384;

  // The map in `reply`, the answer to CLUSTER SLOTS that `answeredBy` gave.
  // A node given with an empty host is `answeredBy`'s host (a node that does
  // not know its own address yet); a node whose address is unknown ("?") is
  // left out. Raises RedisReplyError when the reply is not a slot table
  // (two ranges that claim one slot, more than kMaxNodes nodes).
  static std::shared_ptr<const RedisSlotMap> FromClusterSlots(const RedisReply& reply,
                                                              const RedisServerAddress& answeredBy);

  // A copy in which `master` serves `slot` (added as a master when new). A
  // map that already holds kMaxNodes nodes gains none: when `master` is new
  // to it, the copy is unchanged and the slot keeps its owner until the next
  // CLUSTER SLOTS.
  std::shared_ptr<const RedisSlotMap> WithSlotServedBy(uint16_t slot, const RedisServerAddress& master) const;

  // The index in Nodes() of the master that serves `slot`, or kNoNode.
  int MasterOf(uint16_t slot) const { return m_slotOwner[slot]; }
  const std::vector<Node>& Nodes() const { return m_nodes; }
  size_t MasterCount() const { return m_masters; }
  // How many slots no master serves.
  int UnservedSlots() const;
  // Same nodes, roles and slot owners.
  bool SameAs(const RedisSlotMap& other) const;
  // "3 masters (127.0.0.1:7000 0-5460, ...), 3 replicas", for log lines.
  std::string Describe() const;

 private:
  RedisSlotMap();
  // The index of the node at `address`, added (with `master`) when new.
  int AddNode(const RedisServerAddress& address, const std::string& id, bool master);
  // The index in m_nodes of the node at `address`, or kNoNode.
  int FindNode(const RedisServerAddress& address) const;

  std::vector<Node> m_nodes;
  size_t m_masters = 0;
  std::vector<int16_t> m_slotOwner;  // kRedisClusterSlots entries
};

// A MOVED or ASK error reply: the slot and the node to ask instead.
struct KELCACHE_EXPORT RedisRedirection {
  enum class Kind { kMoved, kAsk };
  Kind kind = Kind::kMoved;
  uint16_t slot = 0;
  // The node to ask. Port 0 when the reply did not say ("?"): then only a new
  // slot map can tell.
  RedisServerAddress address;

  // Reads "MOVED <slot> <host>:<port>" or "ASK <slot> <host>:<port>" (the
  // text of an error reply); nothing for any other text. An empty host is
  // `answeredBy`'s host. The host may be an IPv6 address without brackets:
  // the port follows the last ':'.
  static std::optional<RedisRedirection> Parse(std::string_view errorText,
                                               const RedisServerAddress& answeredBy);
};

}  // namespace kelvra::caching
