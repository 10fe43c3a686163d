#include "tools/kelcache/Json.h"

#include <cstdio>

#include "tools/kelcache/Text.h"

namespace kelcache_cli {

std::string JsonString(std::string_view bytes) {
  std::string out = "\"";
  out.reserve(bytes.size() + 2);
  for (size_t pos = 0; pos < bytes.size();) {
    const auto byte = static_cast<unsigned char>(bytes[pos]);
    if (byte < 0x80) {
      switch (byte) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        default:
          if (byte < 0x20) {
            char text[8];
            std::snprintf(text, sizeof(text), "\\u%04x", byte);
            out += text;
          } else {
            out += static_cast<char>(byte);
          }
      }
      ++pos;
      continue;
    }
    // The longest well-formed sequence that starts here, if any.
    size_t length = 0;
    for (size_t candidate = 2; candidate <= 4 && pos + candidate <= bytes.size(); ++candidate) {
      if (IsValidUtf8(bytes.substr(pos, candidate))) {
        length = candidate;
        break;
      }
    }
    if (length == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++pos;
      continue;
    }
    const std::string_view sequence = bytes.substr(pos, length);
    if (sequence == "\xE2\x80\xA8") {
      out += "\\u2028";
    } else if (sequence == "\xE2\x80\xA9") {
      out += "\\u2029";
    } else {
      out.append(sequence);
    }
    pos += length;
  }
  out += '"';
  return out;
}

void JsonWriter::BeforeValue() {
  if (m_afterKey) {
    m_afterKey = false;
    return;
  }
  if (!m_hasValue.empty()) {
    if (m_hasValue.back()) m_text += ',';
    m_hasValue.back() = true;
  }
}

JsonWriter& JsonWriter::BeginObject() {
  BeforeValue();
  m_text += '{';
  m_hasValue.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  m_text += '}';
  m_hasValue.pop_back();
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  BeforeValue();
  m_text += '[';
  m_hasValue.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  m_text += ']';
  m_hasValue.pop_back();
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view name) {
  BeforeValue();
  m_text += JsonString(name);
  m_text += ':';
  m_afterKey = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view bytes) {
  BeforeValue();
  m_text += JsonString(bytes);
  return *this;
}

JsonWriter& JsonWriter::Number(uint64_t value) {
  BeforeValue();
  m_text += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Number(int64_t value) {
  BeforeValue();
  m_text += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  m_text += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  m_text += "null";
  return *this;
}

}  // namespace kelcache_cli
