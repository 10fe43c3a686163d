#include "host/TString.h"

#include <utf8.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <limits>
#include <ostream>

#include "host/THash.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(char16_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

void AppendCodePoint(std::u16string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  }
}

std::u16string FromUtf8Bytes(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  std::string valid;
  std::string_view text = bytes;
  // Invalid sequences become U+FFFD before decoding, so decoding cannot fail.
  if (utf8::find_invalid(bytes.begin(), bytes.end()) != bytes.end()) {
    valid.reserve(bytes.size() + 8);
    utf8::replace_invalid(bytes.begin(), bytes.end(), std::back_inserter(valid), kReplacement);
    text = valid;
  }
  utf8::utf8to16(text.begin(), text.end(), std::back_inserter(out));
  return out;
}

char16_t FoldCase(char16_t u) {
  return static_cast<char16_t>(std::towlower(static_cast<wint_t>(u)));
}

template <class Unsigned>
std::u16string DigitsOf(Unsigned magnitude, int base) {
  if (base < 2 || base > 36) base = 10;
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  char buffer[72];
  int pos = sizeof(buffer);
  do {
    buffer[--pos] = kDigits[magnitude % static_cast<Unsigned>(base)];
    magnitude /= static_cast<Unsigned>(base);
  } while (magnitude != 0);
  return std::u16string(buffer + pos, buffer + sizeof(buffer));
}

TString Pad(std::u16string digits, int width, char16_t fill) {
  if (width > 0 && digits.size() < static_cast<size_t>(width)) {
    digits.insert(digits.begin(), static_cast<size_t>(width) - digits.size(), fill);
  }
  return TString(std::move(digits));
}

TString FormatSigned(long long value, int base, int width, char16_t fill) {
  unsigned long long magnitude =
      value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
  std::u16string digits = DigitsOf(magnitude, base);
  if (value < 0) digits.insert(digits.begin(), u'-');
  return Pad(std::move(digits), width, fill);
}

int DigitValue(char16_t u) {
  if (u >= u'0' && u <= u'9') return u - u'0';
  if (u >= u'a' && u <= u'z') return u - u'a' + 10;
  if (u >= u'A' && u <= u'Z') return u - u'A' + 10;
  return 99;
}

bool IsSpace(char16_t u) {
  return u == u' ' || (u >= u'\t' && u <= u'\r');
}

}  // namespace

TString::TString(const char16_t* text, int length) {
  if (text == nullptr) return;
  if (length < 0) {
    m_text = text;
  } else {
    m_text.assign(text, static_cast<size_t>(length));
  }
}

TString::TString(const wchar_t* text, int length) {
  if (text == nullptr) return;
  size_t n = length < 0 ? std::char_traits<wchar_t>::length(text) : static_cast<size_t>(length);
  m_text.reserve(n);
  for (size_t i = 0; i < n; ++i) AppendCodePoint(m_text, static_cast<char32_t>(text[i]));
}

TString::TString(const char* text, int length) {
  if (text == nullptr) return;
  size_t n = length < 0 ? std::char_traits<char>::length(text) : static_cast<size_t>(length);
  m_text = FromUtf8Bytes(std::string_view(text, n));
}

TString& TString::operator+=(wchar_t ch) {
  AppendCodePoint(m_text, static_cast<char32_t>(ch));
  return *this;
}

bool TString::startsWith(const TString& prefix) const {
  return m_text.compare(0, prefix.m_text.size(), prefix.m_text) == 0;
}

bool TString::contains(const TString& part) const {
  return m_text.find(part.m_text) != std::u16string::npos;
}

long long TString::indexOf(const TString& part, size_t from) const {
  size_t pos = m_text.find(part.m_text, from);
  return pos == std::u16string::npos ? -1 : static_cast<long long>(pos);
}

TString TString::mid(size_t position, size_t count) const {
  if (position >= m_text.size()) return TString();
  return TString(m_text.substr(position, count));
}

std::vector<TString> TString::split(const TString& separator, SplitBehavior behavior,
                                    CaseSensitivity cs) const {
  std::vector<TString> parts;
  auto emit = [&](size_t begin, size_t end) {
    if (behavior == KeepEmptyParts || end > begin) parts.emplace_back(m_text.substr(begin, end - begin));
  };
  const std::u16string& sep = separator.m_text;
  if (sep.empty()) {
    emit(0, 0);
    for (size_t i = 0; i < m_text.size(); ++i) emit(i, i + 1);
    emit(m_text.size(), m_text.size());
    return parts;
  }
  auto matchesAt = [&](size_t pos) {
    if (pos + sep.size() > m_text.size()) return false;
    for (size_t k = 0; k < sep.size(); ++k) {
      char16_t a = m_text[pos + k];
      char16_t b = sep[k];
      if (cs == CaseInsensitive ? FoldCase(a) != FoldCase(b) : a != b) return false;
    }
    return true;
  };
  size_t start = 0;
  size_t pos = 0;
  while (pos + sep.size() <= m_text.size()) {
    if (matchesAt(pos)) {
      emit(start, pos);
      pos += sep.size();
      start = pos;
    } else {
      ++pos;
    }
  }
  emit(start, m_text.size());
  return parts;
}

unsigned long long TString::toULongLong(bool* ok, int base) const {
  if (ok) *ok = false;
  if (base < 2 || base > 36) return 0;
  size_t i = 0;
  size_t end = m_text.size();
  while (i < end && IsSpace(m_text[i])) ++i;
  while (end > i && IsSpace(m_text[end - 1])) --end;
  if (i < end && m_text[i] == u'+') ++i;
  if (base == 16 && end - i > 2 && m_text[i] == u'0' && (m_text[i + 1] == u'x' || m_text[i + 1] == u'X')) {
    i += 2;
  }
  if (i >= end) return 0;
  unsigned long long value = 0;
  constexpr unsigned long long kMax = std::numeric_limits<unsigned long long>::max();
  for (; i < end; ++i) {
    int digit = DigitValue(m_text[i]);
    if (digit >= base) return 0;
    if (value > (kMax - static_cast<unsigned long long>(digit)) / static_cast<unsigned long long>(base))
      return 0;
    value = value * static_cast<unsigned long long>(base) + static_cast<unsigned long long>(digit);
  }
  if (ok) *ok = true;
  return value;
}

long long TString::toLongLong(bool* ok, int base) const {
  TString trimmed = *this;
  bool negative = false;
  size_t i = 0;
  while (i < m_text.size() && IsSpace(m_text[i])) ++i;
  if (i < m_text.size() && m_text[i] == u'-') {
    negative = true;
    trimmed = mid(i + 1);
  }
  bool good = false;
  unsigned long long magnitude = trimmed.toULongLong(&good, base);
  constexpr unsigned long long kLimit =
      static_cast<unsigned long long>(std::numeric_limits<long long>::max());
  if (!good || magnitude > kLimit + (negative ? 1 : 0)) {
    if (ok) *ok = false;
    return 0;
  }
  if (ok) *ok = true;
  return negative ? static_cast<long long>(0ULL - magnitude) : static_cast<long long>(magnitude);
}

int TString::toInt(bool* ok, int base) const {
  bool good = false;
  long long value = toLongLong(&good, base);
  if (!good || value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
    if (ok) *ok = false;
    return 0;
  }
  if (ok) *ok = true;
  return static_cast<int>(value);
}

TString TString::number(int value, int base, int width, char16_t fill) {
  return FormatSigned(value, base, width, fill);
}
TString TString::number(long value, int base, int width, char16_t fill) {
  return FormatSigned(value, base, width, fill);
}
TString TString::number(long long value, int base, int width, char16_t fill) {
  return FormatSigned(value, base, width, fill);
}
TString TString::number(unsigned value, int base, int width, char16_t fill) {
  return Pad(DigitsOf<unsigned long long>(value, base), width, fill);
}
TString TString::number(unsigned long value, int base, int width, char16_t fill) {
  return Pad(DigitsOf<unsigned long long>(value, base), width, fill);
}
TString TString::number(unsigned long long value, int base, int width, char16_t fill) {
  return Pad(DigitsOf<unsigned long long>(value, base), width, fill);
}

TString TString::number(double value, char format, int precision) {
  if (format != 'g' && format != 'G' && format != 'f' && format != 'e' && format != 'E') format = 'g';
  if (precision < 0) precision = 6;
  char pattern[8] = {'%', '.', '*', format, '\0'};
  char buffer[512];
  int n = std::snprintf(buffer, sizeof(buffer), pattern, precision, value);
  if (n < 0) return TString();
  return TString(buffer, std::min<int>(n, sizeof(buffer) - 1));
}

TString TString::pointer(const void* address) {
  return TString(u"0x") +
         number(static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)), 16, 16, u'0');
}

std::string TString::toStdString() const {
  std::string out;
  out.reserve(m_text.size());
  auto sink = std::back_inserter(out);
  for (size_t i = 0; i < m_text.size(); ++i) {
    char16_t u = m_text[i];
    char32_t cp = u;
    if (IsHighSurrogate(u) && i + 1 < m_text.size() && IsLowSurrogate(m_text[i + 1])) {
      cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (m_text[i + 1] - 0xDC00);
      ++i;
    } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
      cp = kReplacement;  // an unpaired surrogate has no UTF-8 form
    }
    sink = utf8::append(static_cast<uint32_t>(cp), sink);
  }
  return out;
}

TString TString::fromStdString(const std::string& text) {
  return TString(FromUtf8Bytes(text));
}

TString TString::fromUtf8(std::string_view text) {
  return TString(FromUtf8Bytes(text));
}

TString TString::fromLocal8Bit(const char* bytes, int length) {
  if (bytes == nullptr) return TString();
  size_t n = length < 0 ? std::char_traits<char>::length(bytes) : static_cast<size_t>(length);
  return TString(FromUtf8Bytes(std::string_view(bytes, n)));
}

TString operator+(const TString& a, const TString& b) {
  TString result = a;
  result += b;
  return result;
}
TString operator+(const TString& a, const wchar_t* b) {
  return a + TString(b);
}
TString operator+(const TString& a, const char16_t* b) {
  return a + TString(b);
}
TString operator+(const TString& a, const char* b) {
  return a + TString(b);
}
TString operator+(const wchar_t* a, const TString& b) {
  return TString(a) + b;
}
TString operator+(const char16_t* a, const TString& b) {
  return TString(a) + b;
}
TString operator+(const char* a, const TString& b) {
  return TString(a) + b;
}
TString operator+(const TString& a, char16_t b) {
  TString result = a;
  result += b;
  return result;
}
TString operator+(const TString& a, wchar_t b) {
  TString result = a;
  result += b;
  return result;
}

std::ostream& operator<<(std::ostream& out, const TString& text) {
  return out << text.toStdString();
}

size_t std::hash<TString>::operator()(const TString& text) const noexcept {
  return static_cast<size_t>(THash32(text.constData(), text.lengthInBytes(), 0xDEADBEEF));
}
