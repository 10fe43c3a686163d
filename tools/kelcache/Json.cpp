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
