// TString's 8-bit conversions on any input. From UTF-8: no crash, a second
// conversion changes nothing, and well-formed UTF-8 (utfcpp decides,
// independently) comes back byte for byte. From UTF-16 (the input read as
// code units, unpaired surrogates included): an exact round trip.
#include <utf8.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/TString.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const TString text = TString::fromStdString(bytes);
  const std::string written = text.toStdString();
  if (TString::fromStdString(written) != text) std::abort();
  if (utf8::is_valid(bytes.begin(), bytes.end()) && written != bytes) std::abort();

  std::u16string units(size / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  const TString wide(units.data(), static_cast<int>(units.size()));
  if (TString::fromStdString(wide.toStdString()) != wide) std::abort();
  return 0;
}
