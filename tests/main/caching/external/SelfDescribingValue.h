// Values that describe themselves, for the tests that look for torn or
// misplaced values: a header naming the key, the writer and the generation,
// a payload derived from them, and a checksum over everything before it.
//
//   "KCV1|<key>|<writer>|<generation>|<payload length>|" payload checksum(8 bytes)
//
// A value cut short, spliced from two writes, or stored under another key
// fails CheckSelfDescribingValue. Used by the tests and by the writer helper
// process, so it depends on nothing but the standard library.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kelcache_test {

inline uint64_t Fnv1a64(const uint8_t* bytes, size_t length) {
  uint64_t hash = 1469598103934665603ULL;
  for (size_t i = 0; i < length; ++i) {
    hash ^= bytes[i];
    hash *= 1099511628211ULL;
  }
  return hash;
}

inline std::vector<uint8_t> MakeSelfDescribingValue(const std::string& key, uint64_t writer,
                                                    uint64_t generation, size_t payloadLength) {
  const std::string header = "KCV1|" + key + "|" + std::to_string(writer) + "|" + std::to_string(generation) +
                             "|" + std::to_string(payloadLength) + "|";
  std::vector<uint8_t> value(header.begin(), header.end());
  value.reserve(header.size() + payloadLength + 8);
  uint64_t state = Fnv1a64(value.data(), value.size());
  for (size_t i = 0; i < payloadLength; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;  // a small LCG
    value.push_back(static_cast<uint8_t>(state >> 56));
  }
  const uint64_t checksum = Fnv1a64(value.data(), value.size());
  for (int i = 0; i < 8; ++i) value.push_back(static_cast<uint8_t>(checksum >> (8 * i)));
  return value;
}

// What a value says about itself.
struct SelfDescription {
  std::string key;
  uint64_t writer = 0;
  uint64_t generation = 0;
};

// True when value is whole, consistent and written for expectedKey; fills
// description. why tells what is wrong otherwise.
inline bool CheckSelfDescribingValue(const std::vector<uint8_t>& value, const std::string& expectedKey,
                                     SelfDescription* description, std::string* why) {
  auto fail = [why](const std::string& text) {
    if (why) *why = text;
    return false;
  };
  if (value.size() < 8 + 5) return fail("too short: " + std::to_string(value.size()) + " bytes");
  const size_t body = value.size() - 8;
  uint64_t stored = 0;
  for (int i = 0; i < 8; ++i) stored |= static_cast<uint64_t>(value[body + i]) << (8 * i);
  if (Fnv1a64(value.data(), body) != stored) return fail("checksum mismatch (torn or spliced value)");
  const std::string text(value.begin(),
                         value.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(body, 512)));
  std::vector<std::string> parts;
  size_t start = 0;
  for (int i = 0; i < 5; ++i) {
    const size_t bar = text.find('|', start);
    if (bar == std::string::npos) return fail("header incomplete");
    parts.push_back(text.substr(start, bar - start));
    start = bar + 1;
  }
  if (parts[0] != "KCV1") return fail("bad magic");
  if (parts[1] != expectedKey)
    return fail("value of key '" + parts[1] + "' returned for '" + expectedKey + "'");
  if (std::stoull(parts[4]) + start != body) return fail("length mismatch");
  // The payload must be the one the header implies (a checksum over a
  // spliced value could match only by chance; this makes sure).
  const std::vector<uint8_t> expected =
      MakeSelfDescribingValue(parts[1], std::stoull(parts[2]), std::stoull(parts[3]), std::stoull(parts[4]));
  if (expected != value) return fail("payload differs from the one its header names");
  if (description) *description = SelfDescription{parts[1], std::stoull(parts[2]), std::stoull(parts[3])};
  return true;
}

}  // namespace kelcache_test
