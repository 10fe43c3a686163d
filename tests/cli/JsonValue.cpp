#include "tests/cli/JsonValue.h"

#include <stdexcept>

namespace kelcache_cli_test {

class JsonParser {
 public:
  explicit JsonParser(std::string_view text) : m_text(text) {}

  JsonValue ParseDocument() {
    JsonValue value = ParseValue();
    SkipSpace();
    if (m_pos != m_text.size()) Fail("text after the value");
    return value;
  }

 private:
  [[noreturn]] void Fail(const std::string& why) const {
    throw std::runtime_error("JSON: " + why + " at offset " + std::to_string(m_pos) + " of: " + std::string(m_text));
  }

  void SkipSpace() {
    while (m_pos < m_text.size() &&
           (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' || m_text[m_pos] == '\n' || m_text[m_pos] == '\r')) {
      ++m_pos;
    }
  }

  bool Take(char c) {
    SkipSpace();
    if (m_pos < m_text.size() && m_text[m_pos] == c) {
      ++m_pos;
      return true;
    }
    return false;
  }

  void Expect(char c) {
    if (!Take(c)) Fail(std::string("expected '") + c + "'");
  }

  bool TakeWord(std::string_view word) {
    if (m_text.substr(m_pos, word.size()) != word) return false;
    m_pos += word.size();
    return true;
  }

  JsonValue ParseValue() {
    SkipSpace();
    if (m_pos >= m_text.size()) Fail("expected a value");
    JsonValue value;
    const char c = m_text[m_pos];
    if (c == '{') {
      ++m_pos;
      value.m_type = JsonValue::Type::Object;
      if (Take('}')) return value;
      do {
        SkipSpace();
        if (m_pos >= m_text.size() || m_text[m_pos] != '"') Fail("expected a member name");
        std::string name = ParseString();
        Expect(':');
        if (!value.m_members.emplace(name, ParseValue()).second) Fail("member \"" + name + "\" given twice");
      } while (Take(','));
      Expect('}');
    } else if (c == '[') {
      ++m_pos;
      value.m_type = JsonValue::Type::Array;
      if (Take(']')) return value;
      do {
        value.m_elements.push_back(ParseValue());
      } while (Take(','));
      Expect(']');
    } else if (c == '"') {
      value.m_type = JsonValue::Type::String;
      value.m_text = ParseString();
    } else if (TakeWord("true") || TakeWord("false")) {
      value.m_type = JsonValue::Type::Bool;
      value.m_bool = c == 't';
    } else if (TakeWord("null")) {
      value.m_type = JsonValue::Type::Null;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      value.m_type = JsonValue::Type::Number;
      const size_t start = m_pos;
      while (m_pos < m_text.size() && std::string_view("+-0123456789.eE").find(m_text[m_pos]) != std::string::npos) {
        ++m_pos;
      }
      value.m_text = std::string(m_text.substr(start, m_pos - start));
    } else {
      Fail("unexpected character");
    }
    return value;
  }

  unsigned ParseHex4() {
    if (m_pos + 4 > m_text.size()) Fail("short \\u escape");
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = m_text[m_pos++];
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        value |= static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        value |= static_cast<unsigned>(c - 'A' + 10);
      } else {
        Fail("bad \\u escape");
      }
    }
    return value;
  }

  static void AppendUtf8(std::string& out, unsigned codePoint) {
    if (codePoint < 0x80) {
      out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
      out += static_cast<char>(0xC0 | (codePoint >> 6));
      out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
      out += static_cast<char>(0xE0 | (codePoint >> 12));
      out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (codePoint >> 18));
      out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
  }

  std::string ParseString() {
    ++m_pos;  // the opening quote
    std::string out;
    for (;;) {
      if (m_pos >= m_text.size()) Fail("unterminated string");
      const char c = m_text[m_pos++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) Fail("raw control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (m_pos >= m_text.size()) Fail("unterminated escape");
      const char escape = m_text[m_pos++];
      switch (escape) {
        case '"':
        case '\\':
        case '/':
          out += escape;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned codePoint = ParseHex4();
          if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
            if (!TakeWord("\\u")) Fail("a high surrogate without its low one");
            const unsigned low = ParseHex4();
            if (low < 0xDC00 || low > 0xDFFF) Fail("a high surrogate without its low one");
            codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
          } else if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) {
            Fail("a lone low surrogate");
          }
          AppendUtf8(out, codePoint);
          break;
        }
        default:
          Fail("unknown escape");
      }
    }
  }

  std::string_view m_text;
  size_t m_pos = 0;
};

JsonValue JsonValue::Parse(std::string_view text) {
  return JsonParser(text).ParseDocument();
}

std::vector<JsonValue> JsonValue::ParseLines(std::string_view text) {
  std::vector<JsonValue> values;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    if (line.find_first_not_of(" \r\t") != std::string_view::npos) values.push_back(Parse(line));
    start = end + 1;
  }
  return values;
}

bool JsonValue::AsBool() const {
  if (m_type != Type::Bool) throw std::runtime_error("JSON value is not a boolean");
  return m_bool;
}

int64_t JsonValue::AsInt() const {
  if (m_type != Type::Number) throw std::runtime_error("JSON value is not a number");
  return std::stoll(m_text);
}

uint64_t JsonValue::AsUnsigned() const {
  if (m_type != Type::Number || m_text.empty() || m_text[0] == '-') {
    throw std::runtime_error("JSON value is not an unsigned number");
  }
  return std::stoull(m_text);
}

const std::string& JsonValue::AsString() const {
  if (m_type != Type::String) throw std::runtime_error("JSON value is not a string");
  return m_text;
}

const std::vector<JsonValue>& JsonValue::AsArray() const {
  if (m_type != Type::Array) throw std::runtime_error("JSON value is not an array");
  return m_elements;
}

bool JsonValue::Has(const std::string& name) const {
  return m_type == Type::Object && m_members.count(name) > 0;
}

const JsonValue& JsonValue::operator[](const std::string& name) const {
  if (m_type != Type::Object) throw std::runtime_error("JSON value is not an object");
  const auto found = m_members.find(name);
  if (found == m_members.end()) throw std::runtime_error("JSON object has no member \"" + name + "\"");
  return found->second;
}

}  // namespace kelcache_cli_test
