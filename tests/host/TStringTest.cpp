// The text type: UTF-8 and UTF-16 conversions (checked against utfcpp, an
// independent codec), splitting, numbers, and the format strings.
#include "host/TString.h"

#include <gtest/gtest.h>
#include <utf8.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "host/TFormatString.h"

namespace {

TEST(TStringTest, LiteralsOfEveryWidthGiveTheSameText) {
  // "Zürich 東京" plus U+1F600 (a surrogate pair in UTF-16).
  const std::string utf8 = "Z\xC3\xBCrich \xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x98\x80";
  TString text = TString::fromStdString(utf8);
  ASSERT_EQ(text.length(), 12u);  // 6 + 1 + 2 + 1 + 2 code units
  EXPECT_EQ(TString(L"Z\u00FCrich \u6771\u4EAC \U0001F600"), text);
  EXPECT_EQ(TString(u"Z\u00FCrich \u6771\u4EAC \U0001F600"), text);
  EXPECT_EQ(TString(utf8.c_str()), text);
  EXPECT_EQ(text.constData()[text.length()], u'\0');

  // A wide character in the surrogate range is that UTF-16 unit, as with a
  // 16-bit wchar_t: two escapes make a pair, a lone one stays itself; a value
  // past U+10FFFF is no character.
  const std::pair<TString, std::u16string> cases[] = {  // wide text, its UTF-16 units
      {TString(L"\xD83D\xDE00"), u"\U0001F600"},
      {TString(L"a\xD800"), std::u16string(u"a") + char16_t(0xD800)},
      {TString(L"\xDC00"), std::u16string(1, char16_t(0xDC00))},
      {TString(L"a") += static_cast<wchar_t>(0xDBFF), std::u16string(u"a") + char16_t(0xDBFF)},
      {TString(L"\x110000") + static_cast<wchar_t>(-1), u"\uFFFD\uFFFD"},
  };
  for (const auto& [wide, units] : cases) EXPECT_EQ(std::u16string(wide.constData(), wide.length()), units);
  EXPECT_NE(TString(L"\xD800"), TString(L"\xDC00"));
  EXPECT_EQ(L'<' + TString(u"a") + L'>', TString(u"<a>"));
  EXPECT_EQ(u'<' + TString(u"a") + u'>', TString(u"<a>"));
}

TEST(TStringTest, InvalidInputBecomesReplacementCharacters) {
  // A stray continuation byte, a truncated sequence and an overlong form.
  const std::string bad = std::string("a\x80") + "b\xE6\x9D" + "c\xC0\xAF";
  const TString text = TString::fromStdString(bad);
  // One replacement for the stray byte, one for the truncated sequence (its
  // longest valid beginning), one for each byte of the overlong form (C0 can
  // begin nothing): nothing dropped, no "/" slipped in.
  EXPECT_EQ(text, TString(u"a\uFFFDb\uFFFDc\uFFFD\uFFFD"));
  EXPECT_EQ(TString::fromLocal8Bit(bad.data(), static_cast<int>(bad.size())), text);
  // Embedded NUL bytes survive with an explicit length.
  EXPECT_EQ(TString::fromLocal8Bit("a\0b", 3).toStdString(), std::string("a\0b", 3));
}

// A string with unpaired surrogates has as its 8-bit form the three-byte
// sequence of each such code unit, and that form reads back. (Well-formed
// text, and that distinct strings never share a form, the random test below
// checks against utfcpp.)
TEST(TStringTest, EveryStringKeepsADistinctEightBitFormThatReadsBack) {
  const std::pair<std::u16string, std::string> cases[] = {  // units, 8-bit form
      {{u'x', 0xD800, u'y'}, "x\xED\xA0\x80y"},
      {{u'x', 0xDFFF}, "x\xED\xBF\xBF"},
      {{0xDC00, 0xD800}, "\xED\xB0\x80\xED\xA0\x80"},  // reversed: two lone units
      {{0xD800, 0xD83D, 0xDE00}, "\xED\xA0\x80\xF0\x9F\x98\x80"},  // then a pair, one code point
      {{u'x', 0xFFFD, u'y'}, "x\xEF\xBF\xBDy"},  // the replacement character itself
  };
  for (const auto& [units, bytes] : cases) {
    const TString text(units.c_str(), static_cast<int>(units.size()));
    SCOPED_TRACE(bytes);
    EXPECT_EQ(text.toStdString(), bytes);
    EXPECT_EQ(TString::fromStdString(bytes), text);
  }
  // A pair spelt as two three-byte forms is not how any string is written:
  // it reads as two replacement characters, never as the pair.
  EXPECT_EQ(TString::fromStdString("\xED\xA0\xBD\xED\xB8\x80"), TString(u"\uFFFD\uFFFD"));
}

// Random text against utfcpp: well-formed strings convert to exactly the
// UTF-8 an independent codec gives, and any sequence of UTF-16 units (lone
// surrogates included) reads back unchanged from its 8-bit form.
TEST(TStringTest, ConversionsAgreeWithAnIndependentCodecAndAlwaysRoundTrip) {
  std::mt19937 random(20261206);
  auto codeUnit = [&]() -> char16_t {
    switch (random() % 4) {
      case 0: return static_cast<char16_t>(random() % 0x80);
      case 1: return static_cast<char16_t>(0xD800 + random() % 0x800);  // any surrogate
      default: return static_cast<char16_t>(random() % 0x10000);
    }
  };
  for (int round = 0; round < 2000; ++round) {
    std::u16string units(random() % 12, u'a');
    for (char16_t& unit : units) unit = codeUnit();
    const TString text(units.c_str(), static_cast<int>(units.size()));
    const std::string bytes = text.toStdString();
    ASSERT_EQ(TString::fromStdString(bytes), text) << "round " << round;
    if (utf8::is_valid(bytes.begin(), bytes.end())) {
      std::u16string reference;
      utf8::utf8to16(bytes.begin(), bytes.end(), std::back_inserter(reference));
      EXPECT_EQ(reference, units) << "well-formed text converts to its UTF-8, round " << round;
    } else {
      EXPECT_NE(bytes.find('\xED'), std::string::npos) << "only lone surrogates leave strict UTF-8";
    }
  }
}

TEST(TStringTest, SplitKeepsOrSkipsEmptyParts) {
  using Parts = std::vector<TString>;
  const auto keep = TString::KeepEmptyParts;
  const auto skip = TString::SkipEmptyParts;
  const std::tuple<TString, TString, TString::SplitBehavior, TString::CaseSensitivity, Parts> cases[] = {
      {u"-a--b-", u"-", keep, TString::CaseSensitive, {u"", u"a", u"", u"b", u""}},
      {u"-a--b-", u"-", skip, TString::CaseSensitive, {u"a", u"b"}},
      {u"1@@2@@@3", u"@@", keep, TString::CaseSensitive, {u"1", u"2", u"@3"}},
      {u"abc", u"-", keep, TString::CaseSensitive, {u"abc"}},
      {u"", u"-", keep, TString::CaseSensitive, {u""}},
      {u"", u"-", skip, TString::CaseSensitive, {}},
      {u"aXbxc", u"x", keep, TString::CaseInsensitive, {u"a", u"b", u"c"}},
      {u"aXbxc", u"x", keep, TString::CaseSensitive, {u"aXb", u"c"}},
      // Beyond ASCII too, whatever the process's locale.
      {u"\u00C4x\u00E4y\u0416z", u"\u00E4", keep, TString::CaseInsensitive, {u"", u"x", u"y\u0416z"}},
      {u"a\u0416b\u0436c", u"\u0436", keep, TString::CaseInsensitive, {u"a", u"b", u"c"}},
      // The channel split of the coherence service: the prefix drops out as an empty part.
      {u"defaultns.1a-2b", u"defaultns.", skip, TString::CaseSensitive, {u"1a-2b"}},
  };
  for (const auto& [text, separator, behavior, sensitivity, parts] : cases)
    EXPECT_EQ(text.split(separator, behavior, sensitivity), parts) << text << " by " << separator;
}

TEST(TStringTest, NumberFormsAndParsing) {
  const std::pair<TString, const char16_t*> forms[] = {
      {TString::number(0), u"0"},
      {TString::number(std::numeric_limits<int>::min()), u"-2147483648"},
      {TString::number(4294967295u), u"4294967295"},
      {TString::number(std::numeric_limits<int64_t>::min()), u"-9223372036854775808"},
      {TString::number(std::numeric_limits<uint64_t>::max()), u"18446744073709551615"},
      {TString::number(7, 10, 3, u'0'), u"007"},
      {TString::number(uint64_t{0xDEADBEEF12}, 16), u"deadbeef12"},
      {TString::number(std::numeric_limits<uint64_t>::max(), 16), u"ffffffffffffffff"},
      {TString::number(-255, 16), u"-ff"},
      // Bases other than 10 and 16, the longest text there is, and a base out of range (10 then).
      {TString::number(std::numeric_limits<uint64_t>::max(), 2),
       u"1111111111111111111111111111111111111111111111111111111111111111"},
      {TString::number(std::numeric_limits<int64_t>::min(), 2),
       u"-1000000000000000000000000000000000000000000000000000000000000000"},
      {TString::number(35u, 36), u"z"},
      {TString::number(511u, 8), u"777"},
      {TString::number(42, 1), u"42"},
      {TString::number(42, 37), u"42"},
      // 'g' with six significant digits is printf's %.6g.
      {TString::number(0.1234567, 'g', 6), u"0.123457"},
      {TString::number(1234567.0, 'g', 6), u"1.23457e+06"},
      {TString::number(12.0, 'g', 6), u"12"},
      {TString::number(0.0000123, 'g', 6), u"1.23e-05"},
      {TString::number(2.5, 'f', 2), u"2.50"},
      {TString::number(1234.56, 'E', 3), u"1.235E+03"},
      {TString::number(std::numeric_limits<double>::infinity(), 'G', 6), u"INF"},
  };
  for (const auto& [form, expected] : forms) EXPECT_EQ(form, expected);

  // Hexadecimal texts read back with base 16, up to the full 64-bit range.
  const std::tuple<const char16_t*, uint64_t, bool> hex[] = {
      {u"FF", 255, true}, {u"0x1f", 31, true}, {u"ffffffffffffffff", UINT64_MAX, true}, {u"0", 0, true},
      {u"xyz", 0, false}, {u"", 0, false},     {u"1ffffffffffffffff", 0, false}};
  for (const auto& [text, value, valid] : hex) {
    bool ok = !valid;
    EXPECT_EQ(TString(text).toULongLong(&ok, 16), value) << TString(text);
    EXPECT_EQ(ok, valid) << TString(text);
  }
  bool ok = false;
  EXPECT_EQ(TString(u"12a").toULongLong(nullptr, 10), 0u);  // a null ok is allowed
  EXPECT_EQ(TString(u"-17").toLongLong(&ok), -17);
  EXPECT_TRUE(ok);
  EXPECT_EQ(TString(u"99999999999").toInt(&ok), 0);
  EXPECT_FALSE(ok);
}

TEST(TFormatStringTest, FillsLowestPlaceHolderFirstInOnePass) {
  EXPECT_EQ(TFormatString(u"%1|%2").arg(TString(u"Region")).arg(TString(u"EU")).result(), u"Region|EU");
  // Numbers and out-of-order place holders; every occurrence is filled.
  EXPECT_EQ(TFormatString(u"%2 then %1 and %2 again").arg(1).arg(uint64_t{2}).result(), u"2 then 1 and 2 again");
  // A value containing a place holder is not substituted again.
  EXPECT_EQ(TFormatString(u"%1 %2").arg(TString(u"%2")).arg(TString(u"x")).result(), u"%2 x");
  // Unfilled place holders stay; surplus values are ignored; %10 is one place holder.
  EXPECT_EQ(TFormatString(u"%1 %3").arg(-5).result(), u"-5 %3");
  EXPECT_EQ(TFormatString(u"plain").arg(1).result(), u"plain");
  EXPECT_EQ(TFormatString(u"%10-%9").arg(TString(u"nine")).arg(TString(u"ten")).result(), u"ten-nine");
  // Field width pads with the fill character.
  EXPECT_EQ(TFormatString(u"[%1]").arg(TString(u"ab"), 4, u'.').result(), u"[..ab]");
  EXPECT_EQ(TFormatString(u"[%1]").arg(TString(u"ab"), -4).result(), u"[ab  ]");
  EXPECT_EQ(TFormatString(u"100%").arg(1).result(), u"100%");
}

}  // namespace
