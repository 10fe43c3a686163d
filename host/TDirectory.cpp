#include "host/TDirectory.h"

#include <system_error>

#include "host/FileErrors.h"

TDirectory::TDirectory(const TPath& folder) : m_folder(folder) {
  std::error_code error;
  m_listing = std::filesystem::directory_iterator(folder.ToStdPath(), error);
  if (error) throw TFileException(u"Cannot list folder", folder, error);
}

TPath TDirectory::Iterator::operator*() const {
  // The folder's own text joined with the entry's name, so the caller gets
  // back the path in the form it gave.
  return *m_folder / TPath::FromStdPath(m_position->path().filename());
}

TDirectory::Iterator& TDirectory::Iterator::operator++() {
  std::error_code error;
  m_position.increment(error);
  if (error) throw TFileException(u"Cannot list folder", *m_folder, error);
  return *this;
}
