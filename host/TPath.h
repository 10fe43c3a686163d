// TPath: the host's path of a file or folder on the local disk.
//
// A TPath holds its text as a TString, exactly as given: nothing is
// normalised, escaped or made absolute. Joining (operator/ and Append) adds
// one further component with the platform separator '/', inserting it unless
// the path is empty or already ends with one; the component is added as it is
// (a component that begins with '/' therefore gives "a//b", which the system
// reads as "a/b").
//
// Text conversions: the file system sees a path as the UTF-8 bytes of its
// text (TString::toStdString); a path read back from the system
// (FromStdPath) is decoded as UTF-8, so a name that is not valid UTF-8 comes
// back with U+FFFD in place of the bad bytes.
//
// Conversion to TString: ToString() and an implicit conversion operator, so a
// path can be passed wherever text is expected (log and message arguments).
// The constructors are explicit, so text never turns into a path by accident
// and comparisons between a path and a text are not ambiguous.
//
// Thread rules: a plain value; distinct objects may be used from different
// threads, one object needs external synchronisation when written.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>

#include "host/Export.h"
#include "host/TString.h"

class KELCACHE_EXPORT TPath {
 public:
  static constexpr char16_t Separator = u'/';

  TPath() = default;
  explicit TPath(const TString& text) : m_text(text) {}
  explicit TPath(const wchar_t* text) : m_text(text) {}
  explicit TPath(const char16_t* text) : m_text(text) {}
  // From UTF-8 text.
  explicit TPath(const char* text) : m_text(text) {}
  // From a path of the standard library (its bytes read as UTF-8).
  static TPath FromStdPath(const std::filesystem::path& path);

  // Adds one component (see the file comment) and returns *this.
  TPath& Append(const TPath& component);
  // The same with the component given as text (or a wide literal).
  TPath& Append(const TString& component) { return Append(TPath(component)); }

  const TString& ToString() const { return m_text; }
  operator TString() const { return m_text; }  // NOLINT(google-explicit-constructor)
  // The path as the file system sees it: the UTF-8 bytes of the text.
  std::filesystem::path ToStdPath() const;
  std::string ToUtf8() const { return m_text.toStdString(); }

  // The last component ("b" for "a/b", empty for "a/b/") and everything
  // before it ("a" for "a/b"), with the standard library's rules.
  TString FileName() const;
  TPath Parent() const;

  bool IsEmpty() const { return m_text.empty(); }
  bool operator==(const TPath& other) const { return m_text == other.m_text; }
  bool operator!=(const TPath& other) const { return m_text != other.m_text; }
  bool operator<(const TPath& other) const { return m_text < other.m_text; }

 private:
  TString m_text;
};

// base joined with one further component; base is not changed.
KELCACHE_EXPORT TPath operator/(const TPath& base, const TPath& component);
// The same with the component given as text.
KELCACHE_EXPORT TPath operator/(const TPath& base, const TString& component);

// Writes the path's text as UTF-8 (used by test frameworks to print values).
KELCACHE_EXPORT std::ostream& operator<<(std::ostream& out, const TPath& path);
