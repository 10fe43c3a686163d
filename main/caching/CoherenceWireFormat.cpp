#include "main/caching/CoherenceWireFormat.h"

#include <string>
#include <vector>

#include "host/Errors.h"

namespace kelvra::caching::coherence {

namespace {
constexpr const char* kSource = "main/caching/RedisPubsub";
}  // namespace

TString HashText(const Hash& hash) {
  return TString::number(hash.first, 16) + TString(u"-") + TString::number(hash.second, 16);
}

Hash ParseHashText(const TString& text) {
  std::vector<TString> parts = text.split(TString(u"-"), TString::KeepEmptyParts);
  if (parts.size() != 2) ThrowLogicException(kSource, 237, "parts.size() == 2");
  return {parts[0].toULongLong(nullptr, 16), parts[1].toULongLong(nullptr, 16)};
}

TString MessageText(const Hash& valueHash, uint64_t timestamp) {
  return HashText(valueHash) + TString(u"@") + TString::number(timestamp, 16);
}

Message ParseMessage(const void* data, int length) {
  const char* bytes = static_cast<const char*>(data);
  const size_t size = length > 0 && bytes != nullptr ? static_cast<size_t>(length) : 0;
  std::vector<TString> split =
      TString::fromStdString(std::string(bytes, size)).split(TString(u"@"), TString::KeepEmptyParts);
  if (split.size() != 2) ThrowLogicException(kSource, 251, "split.size() == 2");
  const Hash valueHash = ParseHashText(split[0]);
  return {valueHash, split[1].toULongLong(nullptr, 16)};
}

}  // namespace kelvra::caching::coherence
