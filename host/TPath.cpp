#include "host/TPath.h"

#include <ostream>

TPath TPath::FromStdPath(const std::filesystem::path& path) {
  return TPath(TString::fromStdString(path.string()));
}

TPath& TPath::Append(const TPath& component) {
  if (component.m_text.empty()) return *this;
  if (!m_text.empty() && m_text[m_text.length() - 1] != Separator) m_text += Separator;
  m_text += component.m_text;
  return *this;
}

std::filesystem::path TPath::ToStdPath() const {
  return std::filesystem::path(m_text.toStdString());
}

TString TPath::FileName() const {
  return TString::fromStdString(ToStdPath().filename().string());
}

TPath TPath::Parent() const {
  return FromStdPath(ToStdPath().parent_path());
}

TPath operator/(const TPath& base, const TPath& component) {
  TPath joined = base;
  joined.Append(component);
  return joined;
}

TPath operator/(const TPath& base, const TString& component) {
  return base / TPath(component);
}

std::ostream& operator<<(std::ostream& out, const TPath& path) {
  return out << path.ToUtf8();
}
