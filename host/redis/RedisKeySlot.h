// RedisKeySlot: the hash slot of a key in a Redis Cluster, as the servers
// compute it, so that a command goes straight to the node that holds its key.
//
// A cluster divides its keys into 16384 slots: slot = CRC16(key) mod 16384,
// with the CRC16 of the XMODEM variant (polynomial 0x1021, initial value 0,
// no reflection; the CRC of "123456789" is 0x31C3). Hash tags: when the key
// holds a '{' and, after it, a '}' with at least one byte between them, only
// the bytes between the first '{' and the first '}' after it are hashed, so
// "{user1}.a" and "{user1}.b" share a slot. "{}" (nothing between) does not
// count, and the whole key is hashed.
//
// Keys are bytes (binary-safe); the physical keys of the Redis store are the
// UTF-8 text "namespace\nkey", hashed as they are sent.
//
// Thread rules: pure functions.
#pragma once

#include <cstdint>
#include <string_view>

#include "host/Export.h"

namespace kelvra::caching {

inline constexpr int kRedisClusterSlots = 16384;

// CRC16-XMODEM of the bytes.
KELCACHE_EXPORT uint16_t RedisCrc16(std::string_view bytes);

// The slot of `key` (0..16383), hash tags honoured.
KELCACHE_EXPORT uint16_t RedisKeySlot(std::string_view key);

}  // namespace kelvra::caching
