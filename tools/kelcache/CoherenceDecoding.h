// What the kelcache tool's watch makes of a message on a coherence channel:
// the library's own parser (main/caching/CoherenceWireFormat.h) decides what
// the coherence service reads, and a message is well-formed only when it is
// exactly what the service writes for what it reads (lower-case hexadecimal
// without leading zeros). The service's parser reads a part that is not
// hexadecimal as 0 without a word, so the watch says so instead.
//
// Thread rules: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelcache_cli {

struct DecodedMessage {
  // The service can read it at all (the right number of parts); then the
  // three fields below hold what it reads.
  bool readable = false;
  // Readable and exactly in the form the service writes.
  bool wellFormed = false;
  std::string keyHash;    // "<hex>-<hex>"
  std::string valueHash;  // "<hex>-<hex>"
  uint64_t timestamp = 0;
  // For a message that is not well-formed: what is wrong with it.
  std::string problem;
};

// A message of `message` bytes published on `channel`, whose name begins with
// the coherence channel prefix `prefix`.
DecodedMessage DecodeCoherenceMessage(std::string_view prefix, std::string_view channel, std::string_view message);

}  // namespace kelcache_cli
