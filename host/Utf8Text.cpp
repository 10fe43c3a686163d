#include "host/Utf8Text.h"

#include <cstdio>

std::optional<Utf8Sequence> DecodeUtf8At(std::string_view bytes, size_t pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) return Utf8Sequence{lead, 1};
  size_t length;
  char32_t codePoint;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, codePoint = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, codePoint = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, codePoint = lead & 0x07, minimum = 0x10000;
  } else {
    return std::nullopt;
  }
  if (pos + length > bytes.size()) return std::nullopt;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) return std::nullopt;
    codePoint = (codePoint << 6) | (byte(pos + i) & 0x3F);
  }
  if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
    return std::nullopt;
  }
  return Utf8Sequence{codePoint, length};
}

bool IsValidUtf8(std::string_view bytes) {
  for (size_t pos = 0; pos < bytes.size();) {
    const std::optional<Utf8Sequence> sequence = DecodeUtf8At(bytes, pos);
    if (!sequence) return false;
    pos += sequence->length;
  }
  return true;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {  // surrogate values included
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

const char* BackslashEscapeOf(char32_t codePoint) {
  switch (codePoint) {
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default:
      return nullptr;
  }
}

bool IsControlOrLineBreak(char32_t codePoint) {
  return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F) || codePoint == 0x2028 ||
         codePoint == 0x2029;
}

void AppendUnicodeEscape(std::string& out, char32_t codePoint) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(codePoint));
  out += escaped;
}

void AppendJsonString(std::string& out, std::string_view bytes) {
  out.reserve(out.size() + bytes.size() + 2);
  out += '"';
  for (size_t pos = 0; pos < bytes.size();) {
    const std::optional<Utf8Sequence> sequence = DecodeUtf8At(bytes, pos);
    if (!sequence) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++pos;
      continue;
    }
    const char32_t cp = sequence->codePoint;
    const std::string_view encoded = bytes.substr(pos, sequence->length);
    pos += sequence->length;
    if (const char* escape = BackslashEscapeOf(cp)) {
      out += escape;
    } else if (cp == '"') {
      out += "\\\"";
    } else if (cp == '\b') {
      out += "\\b";
    } else if (cp == '\f') {
      out += "\\f";
    } else if (IsControlOrLineBreak(cp)) {
      AppendUnicodeEscape(out, cp);
    } else {
      out.append(encoded);  // well-formed already: copied as it stands
    }
  }
  out += '"';
}
