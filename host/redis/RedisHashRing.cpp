#include "host/redis/RedisHashRing.h"

#include <algorithm>
#include <string>

#include "host/Errors.h"
#include "host/THash.h"

namespace kelvra::caching {

RedisHashRing::RedisHashRing(const std::vector<RedisServerAddress>& servers) {
  m_points.reserve(servers.size() * kVirtualNodesPerServer);
  for (size_t server = 0; server < servers.size(); ++server) {
    // The host:port text without IPv6 brackets, so that the ring does not
    // depend on how an address was written.
    std::string base = servers[server].host + ":" + std::to_string(servers[server].port) + "#";
    for (int node = 0; node < kVirtualNodesPerServer; ++node) {
      std::string label = base + std::to_string(node);
      m_points.emplace_back(THash32(label.data(), label.size(), 0), static_cast<uint32_t>(server));
    }
  }
  // Equal points order by their server's host:port text, not by list order,
  // so that the ring is the same whatever order the servers were listed in.
  std::sort(m_points.begin(), m_points.end(), [&servers](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first < b.first;
    return servers[a.second].ToString() < servers[b.second].ToString();
  });
}

uint32_t RedisHashRing::HashKey(const TString& key) { return THash32(key.constData(), key.lengthInBytes(), 0); }

size_t RedisHashRing::ServerFor(const TString& key) const { return ServerForHash(HashKey(key)); }

size_t RedisHashRing::ServerForHash(uint32_t hash) const {
  if (m_points.empty()) ThrowLogicException("host/redis/RedisHashRing", __LINE__, "!m_points.empty()");
  auto found = std::lower_bound(m_points.begin(), m_points.end(), hash,
                                [](const std::pair<uint32_t, uint32_t>& point, uint32_t value) {
                                  return point.first < value;
                                });
  if (found == m_points.end()) found = m_points.begin();
  return found->second;
}

}  // namespace kelvra::caching
