// TString: the host's text type, a UTF-16 string with value semantics.
//
// Text is held as UTF-16 code units in a std::u16string. Conversions to and
// from 8-bit text (toStdString, fromStdString, fromLocal8Bit and the char
// constructor) use UTF-8, generalised for strings that are not well-formed
// UTF-16: an unpaired surrogate is written as the three-byte sequence of its
// own code unit. So well-formed text converts to exactly its UTF-8, two
// different strings never share an 8-bit form (keys built from them stay
// apart), and every string survives toStdString followed by fromStdString
// unchanged. Invalid 8-bit input (stray or truncated sequences, overlong
// forms, code points past U+10FFFF) reads as U+FFFD, so no input can make a
// conversion fail.
//
// Thread rules: a TString is a plain value; distinct objects may be used from
// different threads, one object needs external synchronisation when written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "host/Export.h"

class KELCACHE_EXPORT TString {
 public:
  // How split treats empty parts between adjacent separators.
  enum SplitBehavior { KeepEmptyParts = 0, SkipEmptyParts = 1 };
  // Whether split compares the separator with case folded (ASCII and BMP).
  enum CaseSensitivity { CaseInsensitive = 0, CaseSensitive = 1 };

  TString() = default;
  // From UTF-16 text; length -1 reads up to the terminator. A null pointer
  // gives the empty string.
  TString(const char16_t* text, int length = -1);  // NOLINT(google-explicit-constructor)
  // From a wide literal (UTF-32 on this platform); length -1 reads up to the
  // terminator. Code points beyond the BMP become surrogate pairs; a value in
  // the surrogate range is kept as that UTF-16 unit (so text written for a
  // 16-bit wchar_t reads the same), and one past U+10FFFF becomes U+FFFD.
  TString(const wchar_t* text, int length = -1);  // NOLINT(google-explicit-constructor)
  // From 8-bit UTF-8 text; length -1 reads up to the terminator.
  TString(const char* text, int length = -1);  // NOLINT(google-explicit-constructor)
  explicit TString(std::u16string text) : m_text(std::move(text)) {}
  // One UTF-16 code unit.
  explicit TString(char16_t ch) : m_text(1, ch) {}

  // UTF-16 code units, always followed by a terminator.
  const char16_t* constData() const { return m_text.c_str(); }
  // Two bytes per code unit, terminator excluded.
  size_t lengthInBytes() const { return m_text.size() * sizeof(char16_t); }
  // Number of UTF-16 code units.
  size_t length() const { return m_text.size(); }
  size_t size() const { return m_text.size(); }
  bool empty() const { return m_text.empty(); }
  bool isEmpty() const { return m_text.empty(); }
  const std::u16string& u16() const { return m_text; }
  char16_t operator[](size_t i) const { return m_text[i]; }

  bool operator==(const TString& other) const { return m_text == other.m_text; }
  bool operator!=(const TString& other) const { return m_text != other.m_text; }
  bool operator<(const TString& other) const { return m_text < other.m_text; }
  bool operator==(const wchar_t* other) const { return *this == TString(other); }
  bool operator==(const char16_t* other) const { return *this == TString(other); }
  bool operator==(const char* other) const { return *this == TString(other); }

  TString& operator+=(const TString& other) {
    m_text += other.m_text;
    return *this;
  }
  TString& operator+=(char16_t ch) {
    m_text += ch;
    return *this;
  }
  TString& operator+=(wchar_t ch);

  bool startsWith(const TString& prefix) const;
  bool contains(const TString& part) const;
  // Index of the first occurrence of part at or after from, or -1.
  long long indexOf(const TString& part, size_t from = 0) const;
  TString mid(size_t position, size_t count = std::u16string::npos) const;

  // Splits at every occurrence of separator. KeepEmptyParts keeps the empty
  // texts between adjacent separators and at either end; an empty separator
  // splits between every code unit (with an empty part at each end).
  std::vector<TString> split(const TString& separator, SplitBehavior behavior = KeepEmptyParts,
                             CaseSensitivity cs = CaseSensitive) const;

  // Reads the whole text as an unsigned number in base 2..36, after an
  // optional "+" (base 16 also accepts a "0x" prefix after it). Leading and
  // trailing ASCII white space is allowed.
  // On failure (empty text, a stray character, overflow) returns 0 and sets
  // *ok to false; ok may be null.
  unsigned long long toULongLong(bool* ok = nullptr, int base = 10) const;
  long long toLongLong(bool* ok = nullptr, int base = 10) const;
  int toInt(bool* ok = nullptr, int base = 10) const;

  // Number formatting: digits in the given base (2..36, lower-case letters),
  // a minus sign for negative values, no prefix and no leading zeros; the
  // result is padded on the left with fill up to width code units.
  static TString number(int value, int base = 10, int width = 0, char16_t fill = u' ');
  static TString number(unsigned value, int base = 10, int width = 0, char16_t fill = u' ');
  static TString number(long value, int base = 10, int width = 0, char16_t fill = u' ');
  static TString number(unsigned long value, int base = 10, int width = 0, char16_t fill = u' ');
  static TString number(long long value, int base = 10, int width = 0, char16_t fill = u' ');
  static TString number(unsigned long long value, int base = 10, int width = 0, char16_t fill = u' ');
  // Floating point as printf would: format 'g', 'f' or 'e' with the given
  // precision ('g' with 6 is printf's "%.6g").
  static TString number(double value, char format = 'g', int precision = 6);
  // An address as text: "0x" followed by 16 lower-case hexadecimal digits.
  static TString pointer(const void* address);

  // UTF-8 conversions (see the class comment).
  std::string toStdString() const;
  // Strictly valid UTF-8, for output that must be (log lines, JSON): as
  // toStdString, but an unpaired surrogate becomes U+FFFD, so distinct
  // strings may share this form.
  std::string toValidUtf8() const;
  static TString fromStdString(const std::string& text);
  static TString fromUtf8(std::string_view text);
  static TString fromLocal8Bit(const char* bytes, int length = -1);

 private:
  std::u16string m_text;
};

KELCACHE_EXPORT TString operator+(const TString& a, const TString& b);
KELCACHE_EXPORT TString operator+(const TString& a, const wchar_t* b);
KELCACHE_EXPORT TString operator+(const TString& a, const char16_t* b);
KELCACHE_EXPORT TString operator+(const TString& a, const char* b);
KELCACHE_EXPORT TString operator+(const wchar_t* a, const TString& b);
KELCACHE_EXPORT TString operator+(const char16_t* a, const TString& b);
KELCACHE_EXPORT TString operator+(const char* a, const TString& b);
KELCACHE_EXPORT TString operator+(const TString& a, char16_t b);
KELCACHE_EXPORT TString operator+(const TString& a, wchar_t b);
inline TString operator+(wchar_t a, const TString& b) {
  return TString() + a + b;
}
inline TString operator+(char16_t a, const TString& b) {
  return TString() + a + b;
}
inline bool operator==(const wchar_t* a, const TString& b) {
  return b == a;
}
inline bool operator==(const char16_t* a, const TString& b) {
  return b == a;
}
inline bool operator==(const char* a, const TString& b) {
  return b == a;
}

// Writes the text as UTF-8 (used by test frameworks to print values).
KELCACHE_EXPORT std::ostream& operator<<(std::ostream& out, const TString& text);

// The text facilities at the level of the host's system library are the same
// types.
using TStringCore = TString;

// Hash of every unordered container keyed by TString:
// THash32(constData(), lengthInBytes(), 0xDEADBEEF) widened to size_t.
template <>
struct KELCACHE_EXPORT std::hash<TString> {
  size_t operator()(const TString& text) const noexcept;
};
