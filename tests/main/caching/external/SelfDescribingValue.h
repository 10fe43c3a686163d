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
#include <cstdio>
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

// True when value is exactly the value its header describes, of the key
// expected, and then gives its writer (when asked); else false, with the
// reason in `why` (when given). (The header is read leniently; the value
// made again from it must then match byte for byte.)
inline bool CheckSelfDescribingValue(const std::vector<uint8_t>& value, const std::string& expectedKey,
                                     uint64_t* writerOut, std::string* why) {
  const std::string head = "KCV1|" + expectedKey + "|";
  const std::string text(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(value.size(), 512)));
  unsigned long long writer = 0, generation = 0, length = 0;
  const bool whole =
      text.rfind(head, 0) == 0 &&
      std::sscanf(text.c_str() + head.size(), "%llu|%llu|%llu|", &writer, &generation, &length) == 3 &&
      length <= value.size() && MakeSelfDescribingValue(expectedKey, writer, generation, length) == value;
  if (!whole && why) *why = "not a whole value of its key; it begins '" + text.substr(0, 80) + "'";
  if (whole && writerOut) *writerOut = writer;
  return whole;
}

}  // namespace kelcache_test
