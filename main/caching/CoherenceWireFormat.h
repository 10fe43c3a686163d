// The coherence service's wire format, as pure functions: the channel suffix
// and message texts that processes exchange over Redis publish/subscribe.
//
//   channel  <prefix><key hash text>       e.g. "kelcache.abc-123"
//   message  <value hash text>@<timestamp>  e.g. "1-2@3a2f8c90a1b"
//   hash text: the two 64-bit halves in lower-case hexadecimal, joined by '-'
//   timestamp: a DateTime representation in lower-case hexadecimal
//
// Parsing is lenient by design: a part is read with TString::toULongLong
// without a check, so a part that is no number at all reads as 0, and one
// with white space around it, a "+" or a "0x" before it reads as its digits;
// a malformed number is not detected. Only a wrong number of parts is, and
// raises the logic error the service reports ("main/caching/RedisPubsub",
// lines 237 and 251).
//
// Thread rules: pure functions, callable from any thread.
#pragma once

#include <cstdint>
#include <utility>

#include "host/Export.h"
#include "host/TString.h"

namespace kelvra::caching::coherence {

// A 128-bit hash as its two 64-bit halves.
using Hash = std::pair<uint64_t, uint64_t>;

// "<first>-<second>" in lower-case hexadecimal.
KELCACHE_EXPORT TString HashText(const Hash& hash);
// The hash of a hash text. Raises LogicException (line 237, "parts.size() ==
// 2") unless the text splits at '-' into exactly two parts.
KELCACHE_EXPORT Hash ParseHashText(const TString& text);

// What a message says about a value.
struct Message {
  Hash valueHash;
  uint64_t timestamp;
};
// "<value hash text>@<timestamp in hexadecimal>".
KELCACHE_EXPORT TString MessageText(const Hash& valueHash, uint64_t timestamp);
// The message of `length` bytes at `data` (a negative length counts as 0).
// Raises LogicException (line 251, "split.size() == 2") unless it splits at
// '@' into exactly two parts, and line 237 for a bad hash text.
KELCACHE_EXPORT Message ParseMessage(const void* data, int length);

}  // namespace kelvra::caching::coherence
