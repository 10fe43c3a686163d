// A small JSON reader for the tests of the kelcache tool's --json output:
// it checks that the output is JSON at all (a syntax error raises
// std::runtime_error naming the position) and gives its values to compare.
//
//   JsonValue json = JsonValue::Parse(result.out);
//   EXPECT_EQ(json["entries"][0]["key"].AsString(), "k1");
//
// Strings come back as UTF-8 bytes (\u escapes decoded, surrogate pairs
// joined). Numbers keep their text. Asking a value for what it is not
// raises std::runtime_error.
//
// Thread rules: plain values.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kelcache_cli_test {

class JsonValue {
 public:
  enum class Type { Null, Bool, Number, String, Array, Object };

  static JsonValue Parse(std::string_view text);
  // One value per non-empty line (JSON Lines).
  static std::vector<JsonValue> ParseLines(std::string_view text);

  Type GetType() const { return m_type; }
  bool IsNull() const { return m_type == Type::Null; }
  bool AsBool() const;
  int64_t AsInt() const;
  uint64_t AsUnsigned() const;
  const std::string& AsString() const;
  const std::vector<JsonValue>& AsArray() const;
  size_t Size() const { return AsArray().size(); }
  bool Has(const std::string& name) const;
  const JsonValue& operator[](const std::string& name) const;
  const JsonValue& operator[](size_t index) const { return AsArray().at(index); }

 private:
  friend class JsonParser;
  Type m_type = Type::Null;
  bool m_bool = false;
  std::string m_text;  // a string's bytes or a number's text
  std::vector<JsonValue> m_elements;
  std::map<std::string, JsonValue> m_members;
};

}  // namespace kelcache_cli_test
