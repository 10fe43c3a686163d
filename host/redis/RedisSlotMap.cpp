#include "host/redis/RedisSlotMap.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "host/redis/RedisErrors.h"
#include "host/redis/RedisKeySlot.h"

namespace kelvra::caching {

namespace {

[[noreturn]] void Malformed(const RedisServerAddress& answeredBy, const std::string& what) {
  throw RedisReplyError(TString::fromStdString("Redis Cluster: the answer of " + answeredBy.ToString() +
                                               " to CLUSTER SLOTS is not a slot table (" + what + ")"));
}

// The text of a bulk or status reply, or nothing.
std::optional<std::string> TextOf(const RedisReply& reply) {
  if (reply.type == RedisReply::Type::kString && reply.bytes) {
    return std::string(reply.bytes->begin(), reply.bytes->end());
  }
  if (reply.type == RedisReply::Type::kStatus) return reply.text;
  return std::nullopt;
}

bool IsInteger(const RedisReply* reply, long long minimum, long long maximum) {
  return reply != nullptr && reply->type == RedisReply::Type::kInteger && reply->integer >= minimum &&
         reply->integer <= maximum;
}

}  // namespace

RedisSlotMap::RedisSlotMap() : m_slotOwner(kRedisClusterSlots, static_cast<int16_t>(kNoNode)) {}

int RedisSlotMap::FindNode(const RedisServerAddress& address) const {
  for (size_t i = 0; i < m_nodes.size(); ++i) {
    // The port first: it tells most nodes apart without a string compare.
    if (m_nodes[i].address.port == address.port && m_nodes[i].address.host == address.host) {
      return static_cast<int>(i);
    }
  }
  return kNoNode;
}

int RedisSlotMap::AddNode(const RedisServerAddress& address, const std::string& id, bool master) {
  if (const int known = FindNode(address); known != kNoNode) {
    Node& node = m_nodes[static_cast<size_t>(known)];
    if (master && !node.master) {
      node.master = true;
      ++m_masters;
    }
    if (node.id.empty()) node.id = id;
    return known;
  }
  m_nodes.push_back(Node{address, id, master});
  if (master) ++m_masters;
  return static_cast<int>(m_nodes.size() - 1);
}

std::shared_ptr<const RedisSlotMap> RedisSlotMap::FromClusterSlots(const RedisReply& reply,
                                                                   const RedisServerAddress& answeredBy) {
  if (reply.type != RedisReply::Type::kArray) Malformed(answeredBy, "not an array");
  // Read every range first; the nodes are numbered afterwards so that the
  // masters come first, in slot order.
  struct Endpoint {
    RedisServerAddress address;
    std::string id;
  };
  struct Range {
    int first;
    int last;
    std::optional<Endpoint> master;
    std::vector<Endpoint> replicas;
  };
  std::vector<Range> ranges;
  for (const std::unique_ptr<RedisReply>& element : reply.elements) {
    if (!element || element->type != RedisReply::Type::kArray || element->elements.size() < 3) {
      Malformed(answeredBy, "a range is not an array of at least three elements");
    }
    const auto& parts = element->elements;
    if (!IsInteger(parts[0].get(), 0, kRedisClusterSlots - 1) ||
        !IsInteger(parts[1].get(), parts[0]->integer, kRedisClusterSlots - 1)) {
      Malformed(answeredBy, "a range does not begin with two slot numbers in order");
    }
    Range range{static_cast<int>(parts[0]->integer), static_cast<int>(parts[1]->integer), std::nullopt, {}};
    for (size_t i = 2; i < parts.size(); ++i) {
      const RedisReply* node = parts[i].get();
      if (!node || node->type != RedisReply::Type::kArray || node->elements.size() < 2 ||
          !node->elements[0] || !IsInteger(node->elements[1].get(), 0, 65535)) {
        Malformed(answeredBy, "a node is not given as host and port");
      }
      std::optional<std::string> host = TextOf(*node->elements[0]);
      if (!host) Malformed(answeredBy, "a node's host is not text");
      std::string id;
      if (node->elements.size() > 2 && node->elements[2]) id = TextOf(*node->elements[2]).value_or("");
      const long long port = node->elements[1]->integer;
      // "?": the node's address is unknown (or it has none of the preferred
      // kind); port 0: it is not reachable at all. Either way, leave it out.
      if (*host == "?" || port == 0) continue;
      Endpoint endpoint{{host->empty() ? answeredBy.host : *host, static_cast<uint16_t>(port)}, id};
      if (i == 2) {
        range.master = std::move(endpoint);
      } else {
        range.replicas.push_back(std::move(endpoint));
      }
    }
    ranges.push_back(std::move(range));
  }

  std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.first < b.first; });
  // Each slot has one owner: a table in which two ranges claim a slot is no
  // slot table. That also keeps the masters (numbered first) to at most one
  // per slot, so every owner fits the table's 16-bit entries.
  for (size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i].first <= ranges[i - 1].last) {
      Malformed(answeredBy, "two ranges claim slot " + std::to_string(ranges[i].first));
    }
  }
  std::shared_ptr<RedisSlotMap> map(new RedisSlotMap());
  auto addNode = [&](const Endpoint& endpoint, bool master) {
    const int index = map->AddNode(endpoint.address, endpoint.id, master);
    if (map->m_nodes.size() > kMaxNodes) Malformed(answeredBy, "more nodes than a cluster has");
    return index;
  };
  for (const Range& range : ranges) {
    if (!range.master) continue;
    const int owner = addNode(*range.master, true);
    for (int slot = range.first; slot <= range.last; ++slot)
      map->m_slotOwner[slot] = static_cast<int16_t>(owner);
  }
  for (const Range& range : ranges) {
    for (const Endpoint& replica : range.replicas) addNode(replica, false);
  }
  return map;
}

std::shared_ptr<const RedisSlotMap> RedisSlotMap::WithSlotServedBy(uint16_t slot,
                                                                   const RedisServerAddress& master) const {
  std::shared_ptr<RedisSlotMap> copy(new RedisSlotMap(*this));
  // Redirections that keep naming new nodes (refreshes failing meanwhile)
  // must not grow the map past kMaxNodes, which its 16-bit entries can name:
  // the slot then keeps its owner, and the next refresh sets it right.
  if (m_nodes.size() >= kMaxNodes && FindNode(master) == kNoNode) return copy;
  const int owner = copy->AddNode(master, std::string(), true);
  copy->m_slotOwner[slot] = static_cast<int16_t>(owner);
  return copy;
}

int RedisSlotMap::UnservedSlots() const {
  int unserved = 0;
  for (int16_t owner : m_slotOwner) unserved += owner == kNoNode;
  return unserved;
}

bool RedisSlotMap::SameAs(const RedisSlotMap& other) const {
  if (m_nodes.size() != other.m_nodes.size() || m_slotOwner != other.m_slotOwner) return false;
  for (size_t i = 0; i < m_nodes.size(); ++i) {
    if (!(m_nodes[i].address == other.m_nodes[i].address) || m_nodes[i].master != other.m_nodes[i].master) {
      return false;
    }
  }
  return true;
}

std::string RedisSlotMap::Describe() const {
  std::string text = std::to_string(m_masters) + (m_masters == 1 ? " master (" : " masters (");
  // Each master with its slot ranges.
  bool firstMaster = true;
  for (size_t node = 0; node < m_nodes.size(); ++node) {
    if (!m_nodes[node].master) continue;
    text += (firstMaster ? "" : ", ") + m_nodes[node].address.ToString();
    firstMaster = false;
    for (int slot = 0; slot < kRedisClusterSlots;) {
      if (m_slotOwner[slot] != static_cast<int16_t>(node)) {
        ++slot;
        continue;
      }
      int last = slot;
      while (last + 1 < kRedisClusterSlots && m_slotOwner[last + 1] == static_cast<int16_t>(node)) ++last;
      text += " " + std::to_string(slot) + (last > slot ? "-" + std::to_string(last) : "");
      slot = last + 1;
    }
  }
  const size_t replicas = m_nodes.size() - m_masters;
  text += "), " + std::to_string(replicas) + (replicas == 1 ? " replica" : " replicas");
  if (int unserved = UnservedSlots(); unserved > 0)
    text += ", " + std::to_string(unserved) + " slots unserved";
  return text;
}

std::optional<RedisRedirection> RedisRedirection::Parse(std::string_view text,
                                                        const RedisServerAddress& answeredBy) {
  RedisRedirection redirection;
  if (text.starts_with("MOVED ")) {
    redirection.kind = Kind::kMoved;
    text.remove_prefix(6);
  } else if (text.starts_with("ASK ")) {
    redirection.kind = Kind::kAsk;
    text.remove_prefix(4);
  } else {
    return std::nullopt;
  }
  const size_t space = text.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const std::string_view slotText = text.substr(0, space);
  std::string_view endpoint = text.substr(space + 1);
  while (!endpoint.empty() &&
         (endpoint.back() == ' ' || endpoint.back() == '\r' || endpoint.back() == '\n')) {
    endpoint.remove_suffix(1);
  }
  unsigned slot = 0;
  auto [slotEnd, slotError] = std::from_chars(slotText.data(), slotText.data() + slotText.size(), slot);
  if (slotError != std::errc() || slotEnd != slotText.data() + slotText.size() ||
      slot >= kRedisClusterSlots) {
    return std::nullopt;
  }
  redirection.slot = static_cast<uint16_t>(slot);
  const size_t colon = endpoint.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view host = endpoint.substr(0, colon);
  const std::string_view portText = endpoint.substr(colon + 1);
  unsigned port = 0;
  auto [portEnd, portError] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
  if (portError != std::errc() || portEnd != portText.data() + portText.size() || port > 65535) {
    return std::nullopt;
  }
  if (host == "?" || port == 0) {
    redirection.address = RedisServerAddress{std::string(), 0};
  } else {
    std::string hostText(host);
    // Tolerate a bracketed IPv6 address.
    if (hostText.size() >= 2 && hostText.front() == '[' && hostText.back() == ']') {
      hostText = hostText.substr(1, hostText.size() - 2);
    }
    redirection.address =
        RedisServerAddress{hostText.empty() ? answeredBy.host : hostText, static_cast<uint16_t>(port)};
  }
  return redirection;
}

}  // namespace kelvra::caching
