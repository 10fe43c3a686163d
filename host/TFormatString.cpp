#include "host/TFormatString.h"

#include <set>

namespace {

// Reads a place holder at position i ("%" then one or two digits, 1..99).
// Returns its number and sets length, or 0 when there is none.
int PlaceHolderAt(const std::u16string& text, size_t i, size_t& length) {
  if (text[i] != u'%' || i + 1 >= text.size()) return 0;
  auto digit = [&](size_t k) { return k < text.size() && text[k] >= u'0' && text[k] <= u'9'; };
  if (!digit(i + 1)) return 0;
  int number = text[i + 1] - u'0';
  length = 2;
  if (digit(i + 2)) {
    number = number * 10 + (text[i + 2] - u'0');
    length = 3;
  }
  return number;
}

}  // namespace

TFormatString& TFormatString::arg(const TString& value, int fieldWidth, char16_t fill) {
  std::u16string padded = value.u16();
  // The magnitude in unsigned arithmetic: -INT_MIN does not fit an int.
  const size_t width = fieldWidth < 0 ? static_cast<size_t>(0u - static_cast<unsigned>(fieldWidth))
                                      : static_cast<size_t>(fieldWidth);
  if (padded.size() < width) {
    if (fieldWidth > 0) {
      padded.insert(padded.begin(), width - padded.size(), fill);
    } else {
      padded.append(width - padded.size(), fill);
    }
  }
  m_values.emplace_back(std::move(padded));
  return *this;
}

TString TFormatString::result() const {
  const std::u16string& text = m_pattern.u16();
  // The i-th value fills the i-th lowest place-holder number in the pattern.
  std::set<int> numbers;
  for (size_t i = 0; i < text.size(); ++i) {
    size_t length = 0;
    if (int n = PlaceHolderAt(text, i, length)) numbers.insert(n);
  }
  std::vector<int> order(numbers.begin(), numbers.end());
  auto valueFor = [&](int number) -> const TString* {
    for (size_t k = 0; k < order.size() && k < m_values.size(); ++k) {
      if (order[k] == number) return &m_values[k];
    }
    return nullptr;
  };
  std::u16string out;
  out.reserve(text.size() + 16 * m_values.size());
  for (size_t i = 0; i < text.size();) {
    size_t length = 0;
    int n = PlaceHolderAt(text, i, length);
    const TString* value = n ? valueFor(n) : nullptr;
    if (value) {
      out += value->u16();
      i += length;
    } else {
      out += text[i];
      ++i;
    }
  }
  return TString(std::move(out));
}
