// TFormatString: a text pattern with numbered place holders %1, %2, ... %99.
//
// Each arg() fills the lowest-numbered place holder not yet filled (every
// occurrence of it); result() gives the text. Substitution happens in one pass
// at result(), so a value that itself contains "%1" is never substituted
// again. Place holders left without a value stay as they are; values beyond
// the place holders are ignored.
//
// Thread rules: a plain value, like TString.
#pragma once

#include <vector>

#include "host/Export.h"
#include "host/TString.h"

class KELCACHE_EXPORT TFormatString {
 public:
  explicit TFormatString(const TString& pattern) : m_pattern(pattern) {}
  explicit TFormatString(const wchar_t* pattern) : m_pattern(pattern) {}
  explicit TFormatString(const char16_t* pattern) : m_pattern(pattern) {}
  explicit TFormatString(const char* pattern) : m_pattern(pattern) {}

  // A text value, padded on the left with fill up to fieldWidth code units
  // (a negative width pads on the right).
  TFormatString& arg(const TString& value, int fieldWidth = 0, char16_t fill = u' ');
  TFormatString& arg(const wchar_t* value) { return arg(TString(value)); }
  TFormatString& arg(const char16_t* value) { return arg(TString(value)); }
  TFormatString& arg(const char* value) { return arg(TString(value)); }
  // Decimal numbers.
  TFormatString& arg(int value) { return arg(TString::number(value)); }
  TFormatString& arg(unsigned value) { return arg(TString::number(value)); }
  TFormatString& arg(long value) { return arg(TString::number(value)); }
  TFormatString& arg(unsigned long value) { return arg(TString::number(value)); }
  TFormatString& arg(long long value) { return arg(TString::number(value)); }
  TFormatString& arg(unsigned long long value) { return arg(TString::number(value)); }
  TFormatString& arg(double value) { return arg(TString::number(value)); }

  TString result() const;
  operator TString() const { return result(); }  // NOLINT(google-explicit-constructor)

 private:
  TString m_pattern;
  std::vector<TString> m_values;
};

// The same facility at the level of the host's system library.
using TFormatStringCore = TFormatString;
