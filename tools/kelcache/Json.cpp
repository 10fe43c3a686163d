#include "tools/kelcache/Json.h"

#include <cstdio>

#include "host/Utf8Text.h"

namespace kelcache_cli {

std::string JsonString(std::string_view bytes) {
  std::string out;
  AppendJsonString(out, bytes);
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

JsonWriter& JsonWriter::Open(char bracket) {
  BeforeValue();
  m_text += bracket;
  m_hasValue.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::Close(char bracket) {
  m_text += bracket;
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

JsonWriter& JsonWriter::Value(std::string_view json) {
  BeforeValue();
  m_text += json;
  return *this;
}

}  // namespace kelcache_cli
