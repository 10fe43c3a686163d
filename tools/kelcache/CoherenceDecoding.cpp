#include "tools/kelcache/CoherenceDecoding.h"

#include "host/Errors.h"
#include "host/TString.h"
#include "main/caching/CoherenceWireFormat.h"

namespace kelcache_cli {

namespace coherence = kelvra::caching::coherence;

DecodedMessage DecodeCoherenceMessage(std::string_view prefix, std::string_view channel, std::string_view message) {
  DecodedMessage decoded;
  if (channel.substr(0, prefix.size()) != prefix) {
    decoded.problem = "the channel does not begin with the prefix";
    return decoded;
  }
  const std::string keyText(channel.substr(prefix.size()));
  coherence::Hash keyHash;
  coherence::Message parsed;
  try {
    keyHash = coherence::ParseHashText(TString::fromStdString(keyText));
  } catch (const LogicException&) {
    decoded.problem = "the channel does not end in a key hash <hex>-<hex>";
    return decoded;
  }
  try {
    parsed = coherence::ParseMessage(message.data(), static_cast<int>(message.size()));
  } catch (const LogicException& error) {
    // The parser names the check that failed: the split at '@', or the
    // value hash's split at '-'.
    decoded.problem = error.GetExpression() == "split.size() == 2" ? "the message is not <value hash>@<timestamp>"
                                                                   : "the message's value hash is not <hex>-<hex>";
    return decoded;
  }
  decoded.readable = true;
  decoded.keyHash = coherence::HashText(keyHash).toStdString();
  decoded.valueHash = coherence::HashText(parsed.valueHash).toStdString();
  decoded.timestamp = parsed.timestamp;
  const bool keyCanonical = decoded.keyHash == keyText;
  const bool messageCanonical =
      coherence::MessageText(parsed.valueHash, parsed.timestamp).toStdString() == std::string(message);
  decoded.wellFormed = keyCanonical && messageCanonical;
  if (!decoded.wellFormed) {
    const char* what = !keyCanonical && !messageCanonical ? "the channel's key hash and the message are"
                       : keyCanonical                         ? "the message is"
                                                              : "the channel's key hash is";
    decoded.problem = std::string(what) + " not in the service's form (lower-case hexadecimal numbers without leading zeros): a part "
                      "that is not hexadecimal reads as 0";
  }
  return decoded;
}

}  // namespace kelcache_cli
