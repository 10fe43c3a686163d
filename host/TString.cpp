#include "host/TString.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <charconv>
#include <cwctype>
#include <iterator>
#include <limits>
#include <ostream>
#include <string>

#include "host/THash.h"
#include "host/Utf8Text.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(char16_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

// Appends the UTF-16 units of a code point, a surrogate pair above U+FFFF;
// a value in the surrogate range is appended as that one unit.
void AppendUtf16Units(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  }
}

// Appends one wide character. A value in the surrogate range is taken as the
// UTF-16 code unit it names, so text written for a 16-bit wchar_t (a pair as
// two escapes, or a lone surrogate) means the same here; a value past U+10FFFF
// (or a negative one) is no character and becomes U+FFFD.
void AppendWideChar(std::u16string& out, char32_t cp) {
  if (cp > 0x10FFFF) cp = kReplacement;
  AppendUtf16Units(out, cp);
}

// 8-bit text is UTF-8, generalised so that every UTF-16 string has a form of
// its own: an unpaired surrogate is written as the three-byte sequence of its
// code unit (ED A0 80 .. ED BF BF), which strict UTF-8 forbids. Well-formed
// text converts to exactly its UTF-8, distinct strings never share a byte
// form, and reading a byte form back gives the string again. Other invalid
// input (stray continuation bytes, truncated or overlong sequences, code
// points beyond U+10FFFF) reads as U+FFFD, one per maximal invalid part.

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// Appends the units that `bytes` stand for.
void DecodeGeneralisedUtf8(std::string_view bytes, std::u16string& out) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t size = bytes.size();
  // Whether out.back() is a high surrogate read from its own three-byte form:
  // a low surrogate read the same way right after it would make a pair whose
  // byte form is the four-byte sequence, so the two are invalid together.
  bool lastWasLoneHigh = false;
  size_t i = 0;
  while (i < size) {
    const unsigned char lead = data[i];
    if (lead < 0x80) {
      out += static_cast<char16_t>(lead);
      lastWasLoneHigh = false;
      ++i;
      continue;
    }
    size_t length;
    char32_t cp;
    unsigned char low = 0x80;  // bounds of the second byte, which rule out
    unsigned char high = 0xBF;  // overlong forms and code points past U+10FFFF
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      cp = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      cp = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      out += static_cast<char16_t>(kReplacement);
      lastWasLoneHigh = false;
      ++i;
      continue;
    }
    size_t used = 1;
    bool valid = true;
    for (; used < length; ++used) {
      if (i + used >= size) {
        valid = false;
        break;
      }
      const unsigned char byte = data[i + used];
      const bool inRange = used == 1 ? (byte >= low && byte <= high) : IsContinuation(byte);
      if (!inRange) {
        valid = false;
        break;
      }
      cp = (cp << 6) | (byte & 0x3F);
    }
    i += used;
    if (!valid) {
      out += static_cast<char16_t>(kReplacement);
      lastWasLoneHigh = false;
      continue;
    }
    if (cp >= 0xDC00 && cp <= 0xDFFF && lastWasLoneHigh) {
      out.back() = static_cast<char16_t>(kReplacement);
      out += static_cast<char16_t>(kReplacement);
      lastWasLoneHigh = false;
      continue;
    }
    lastWasLoneHigh = cp >= 0xD800 && cp <= 0xDBFF;
    AppendUtf16Units(out, cp);
  }
}

std::u16string FromUtf8Bytes(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  DecodeGeneralisedUtf8(bytes, out);
  return out;
}

// Lower case as Unicode has it, whatever the process's locale: the "C"
// locale, which a process has unless it asks for another, folds ASCII only,
// and a Turkish one folds 'I' to a dotless i. Where the system has no
// C.UTF-8 locale, ASCII is folded.
char16_t FoldCase(char16_t u) {
  static const locale_t s_unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  if (s_unicode == static_cast<locale_t>(nullptr)) return u >= u'A' && u <= u'Z' ? static_cast<char16_t>(u + 32) : u;
  return static_cast<char16_t>(towlower_l(static_cast<wint_t>(u), s_unicode));
}

// Writes the digits of magnitude backwards from end and returns where they
// start. The common bases are instantiated with the base as a constant, so
// that the divisions become multiplications.
template <unsigned long long Base>
char16_t* WriteDigits(unsigned long long magnitude, char16_t* end) {
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  do {
    *--end = kDigits[magnitude % Base];
    magnitude /= Base;
  } while (magnitude != 0);
  return end;
}

char16_t* WriteDigits(unsigned long long magnitude, unsigned long long base, char16_t* end) {
  static constexpr char16_t kDigits[] = u"0123456789abcdefghijklmnopqrstuvwxyz";
  do {
    *--end = kDigits[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);
  return end;
}

std::u16string DigitsOf(unsigned long long magnitude, int base) {
  if (base < 2 || base > 36) base = 10;
  char16_t buffer[64];  // 64 binary digits at most
  char16_t* const end = buffer + std::size(buffer);
  char16_t* begin = nullptr;
  switch (base) {
    case 10:
      begin = WriteDigits<10>(magnitude, end);
      break;
    case 16:
      begin = WriteDigits<16>(magnitude, end);
      break;
    default:
      begin = WriteDigits(magnitude, static_cast<unsigned long long>(base), end);
      break;
  }
  return std::u16string(begin, end);
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
  for (size_t i = 0; i < n; ++i) AppendWideChar(m_text, static_cast<char32_t>(text[i]));
}

TString::TString(const char* text, int length) {
  if (text == nullptr) return;
  size_t n = length < 0 ? std::char_traits<char>::length(text) : static_cast<size_t>(length);
  m_text = FromUtf8Bytes(std::string_view(text, n));
}

TString& TString::operator+=(wchar_t ch) {
  AppendWideChar(m_text, static_cast<char32_t>(ch));
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
  return Pad(DigitsOf(value, base), width, fill);
}
TString TString::number(unsigned long value, int base, int width, char16_t fill) {
  return Pad(DigitsOf(value, base), width, fill);
}
TString TString::number(unsigned long long value, int base, int width, char16_t fill) {
  return Pad(DigitsOf(value, base), width, fill);
}

TString TString::number(double value, char format, int precision) {
  if (format != 'g' && format != 'G' && format != 'f' && format != 'e' && format != 'E') format = 'g';
  if (precision < 0) precision = 6;
  // std::to_chars writes what printf's %.*g (or %f, %e) writes in the C
  // locale, whatever numeric locale the host process has set: the texts go
  // into events and logs that programs read, where a decimal comma would
  // not parse.
  const std::chars_format style = format == 'f'                   ? std::chars_format::fixed
                                  : format == 'e' || format == 'E' ? std::chars_format::scientific
                                                                   : std::chars_format::general;
  // A double has at most 1074 digits after the point (the smallest
  // subnormal) and 309 before it: more precision only appends zeros.
  constexpr int kMostDigits = 1074;
  precision = std::min(precision, kMostDigits);
  char buffer[kMostDigits + 320];
  const std::to_chars_result written = std::to_chars(buffer, buffer + sizeof(buffer), value, style, precision);
  if (written.ec != std::errc()) return TString();
  if (format == 'G' || format == 'E') {
    // ASCII only: the texts are digits, "e", "inf" and "nan".
    for (char* ch = buffer; ch != written.ptr; ++ch) {
      if (*ch >= 'a' && *ch <= 'z') *ch = static_cast<char>(*ch - 'a' + 'A');
    }
  }
  return TString(buffer, static_cast<int>(written.ptr - buffer));
}

TString TString::pointer(const void* address) {
  return TString(u"0x") +
         number(static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)), 16, 16, u'0');
}

namespace {

// The 8-bit form; `strict` writes an unpaired surrogate as U+FFFD instead of
// the sequence of its own code unit.
std::string EncodeUtf8(const std::u16string& text, bool strict) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u < 0x80) {
      out += static_cast<char>(u);
      continue;
    }
    char32_t cp = u;
    if (IsHighSurrogate(u) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (strict && (IsHighSurrogate(u) || IsLowSurrogate(u))) {
      cp = kReplacement;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

}  // namespace

std::string TString::toStdString() const {
  return EncodeUtf8(m_text, false);  // an unpaired surrogate keeps a form of its own
}

std::string TString::toValidUtf8() const {
  return EncodeUtf8(m_text, true);
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
