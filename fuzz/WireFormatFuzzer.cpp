// The coherence wire format's parsers on any bytes: they either give a
// result or raise the service's logic error, never anything else; and a hash
// or message that parses prints back to a text that parses to the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/Errors.h"
#include "main/caching/CoherenceWireFormat.h"

using namespace kelvra::caching::coherence;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  try {
    const Hash hash = ParseHashText(TString::fromStdString(bytes));
    if (ParseHashText(HashText(hash)) != hash) std::abort();
  } catch (const LogicException&) {
  }
  try {
    const Message message = ParseMessage(data, static_cast<int>(size));
    const std::string again = MessageText(message.valueHash, message.timestamp).toStdString();
    const Message reparsed = ParseMessage(again.data(), static_cast<int>(again.size()));
    if (reparsed.valueHash != message.valueHash || reparsed.timestamp != message.timestamp) std::abort();
  } catch (const LogicException&) {
  }
  return 0;
}
