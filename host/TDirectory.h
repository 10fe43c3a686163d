// TDirectory: the entries of one folder on the local disk, not recursing.
//
//   for (const TPath& entry : TDirectory(folder)) ...
//
// Each entry is given as the folder's path joined with the entry's name
// (folder / name); "." and ".." are not listed. Files and folders come in the
// order the file system gives, which has no meaning. Opening a folder that
// does not exist, or cannot be read, raises TFileException
// (host/FileErrors.h), and so does an error while stepping through it.
// Entries that other threads or processes add or remove during the listing
// may or may not be listed.
//
// The listing is one pass: the folder is opened by the constructor, begin()
// gives the current position of that one listing (calling it again does not
// start over), and iterators copied from one another share it.
//
// Thread rules: one TDirectory and its iterators belong to one thread at a
// time.
#pragma once

#include <filesystem>

#include "host/Export.h"
#include "host/TPath.h"

class KELCACHE_EXPORT TDirectory {
 public:
  class KELCACHE_EXPORT Iterator {
   public:
    TPath operator*() const;
    // Steps to the next entry; raises TFileException on a read error.
    Iterator& operator++();
    bool operator==(const Iterator& other) const { return m_position == other.m_position; }
    bool operator!=(const Iterator& other) const { return m_position != other.m_position; }

   private:
    friend class TDirectory;
    Iterator(std::filesystem::directory_iterator position, const TPath* folder)
        : m_position(std::move(position)), m_folder(folder) {}
    std::filesystem::directory_iterator m_position;
    const TPath* m_folder;  // borrowed from the TDirectory, which outlives its iterators
  };

  // Opens the folder; raises TFileException when it cannot be read.
  explicit TDirectory(const TPath& folder);

  Iterator begin() const { return Iterator(m_listing, &m_folder); }
  Iterator end() const { return Iterator(std::filesystem::directory_iterator(), &m_folder); }

 private:
  TPath m_folder;
  std::filesystem::directory_iterator m_listing;
};
