#include "host/redis/RedisKeySlot.h"

#include <array>

namespace kelvra::caching {

namespace {

// The CRC of every byte value, computed at compile time from the polynomial.
constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    uint16_t crc = static_cast<uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    table[byte] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

uint16_t RedisCrc16(std::string_view bytes) {
  uint16_t crc = 0;
  for (char c : bytes) {
    crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ static_cast<unsigned char>(c)) & 0xFF]);
  }
  return crc;
}

uint16_t RedisKeySlot(std::string_view key) {
  const size_t open = key.find('{');
  if (open != std::string_view::npos) {
    const size_t close = key.find('}', open + 1);
    if (close != std::string_view::npos && close > open + 1) key = key.substr(open + 1, close - open - 1);
  }
  return static_cast<uint16_t>(RedisCrc16(key) & (kRedisClusterSlots - 1));
}

}  // namespace kelvra::caching
