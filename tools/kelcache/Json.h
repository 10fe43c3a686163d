// JSON output of the kelcache command-line tool (--json).
//
// JsonWriter builds one JSON text with the commas and nesting done for the
// caller:
//
//   JsonWriter json;
//   json.BeginObject();
//   json.Key("key").String(key);
//   json.Key("size").Number(uint64_t{42});
//   json.EndObject();
//   std::puts(json.Text().c_str());
//
// Strings are bytes: well-formed UTF-8 is written as it is, with '"', '\',
// the control characters and U+2028/U+2029 escaped; a byte that is not part
// of well-formed UTF-8 is written as U+FFFD. Callers that must give such
// bytes exactly add a hexadecimal form beside the text (the tool's "key_hex").
//
// Thread rules: a writer is used by one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelcache_cli {

// The JSON string literal, quotes included, of the bytes (see above).
std::string JsonString(std::string_view bytes);

class JsonWriter {
 public:
  JsonWriter& BeginObject() { return Open('{'); }
  JsonWriter& EndObject() { return Close('}'); }
  JsonWriter& BeginArray() { return Open('['); }
  JsonWriter& EndArray() { return Close(']'); }
  // The name of the next member; inside an object only.
  JsonWriter& Key(std::string_view name);
  JsonWriter& String(std::string_view bytes) { return Value(JsonString(bytes)); }
  JsonWriter& Number(uint64_t value) { return Value(std::to_string(value)); }
  JsonWriter& Number(int64_t value) { return Value(std::to_string(value)); }
  JsonWriter& Number(int value) { return Number(static_cast<int64_t>(value)); }
  JsonWriter& Bool(bool value) { return Value(value ? "true" : "false"); }
  JsonWriter& Null() { return Value("null"); }

  const std::string& Text() const { return m_text; }

 private:
  // Writes the comma that separates this value from the one before it.
  void BeforeValue();
  // A value already in JSON form.
  JsonWriter& Value(std::string_view json);
  JsonWriter& Open(char bracket);
  JsonWriter& Close(char bracket);

  std::string m_text;
  // One element per open object or array: whether it holds a value yet.
  std::vector<bool> m_hasValue;
  bool m_afterKey = false;
};

}  // namespace kelcache_cli
