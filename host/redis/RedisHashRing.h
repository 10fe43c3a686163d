// RedisHashRing: consistent hashing of entry keys over the configured
// servers, so that a deployment can outgrow one Redis by listing more
// servers, and adding a server moves only about 1/n of the keys.
//
// Every server owns kVirtualNodesPerServer points on a 32-bit ring: the
// THash32 (XXH32, seed 0) of the UTF-8 text "host:port#i" for i = 0..159. A
// key belongs to the server of the first point at or after the key's hash,
// wrapping around. The key's hash is THash32 of its UTF-16 code units as
// bytes (TString::constData, lengthInBytes; little-endian on the platforms we
// build for), seed 0. Points of equal value order by their server's
// "host:port" text. The ring depends only on the servers' host:port texts, not on
// their order, so every process configured with the same servers agrees.
//
// Thread rules: immutable after construction; any number of threads may look
// keys up at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "host/Export.h"
#include "host/TString.h"
#include "host/redis/RedisConfiguration.h"

namespace kelvra::caching {

class KELCACHE_EXPORT RedisHashRing {
 public:
  static constexpr int kVirtualNodesPerServer = 160;

  explicit RedisHashRing(const std::vector<RedisServerAddress>& servers);

  bool Empty() const { return m_points.empty(); }
  // The index (into the server list given at construction) of the server
  // that owns the key. Requires a ring with at least one server.
  size_t ServerFor(const TString& key) const;
  size_t ServerForHash(uint32_t hash) const;
  // The hash that places an entry key on the ring.
  static uint32_t HashKey(const TString& key);

 private:
  // (point, server index), sorted.
  std::vector<std::pair<uint32_t, uint32_t>> m_points;
};

}  // namespace kelvra::caching
