// One entry of the disk store: where its files lie, how its value file is
// read, and the integrity record that tells a whole value from a damaged one.
//
// The store's functions (DiskExternalCache.cpp) and the inspector
// (DiskExternalCacheInspector.cpp) both use this, so that they agree on the
// layout and on which values are whole.
//
// The integrity record. A value file holds the value's bytes and nothing
// else; what it should hold is kept beside the content, in the user extended
// attribute "user.kelcache.integrity" of ".bin": 25 bytes,
//   byte 0       the record's form, 2
//   bytes 1-8    the value's length in bytes, unsigned, little-endian
//   bytes 9-16   XXH3 (64-bit, seed 0) of the value's bytes, little-endian
//   bytes 17-24  XXH3 (64-bit, seed 0) of the key's 8-bit text, little-endian.
// Form 1, written by earlier versions, is the first 17 bytes alone (no key
// checksum); it is still read.
// A store sets it on the temporary file before renaming it to ".bin", so a
// ".bin" that a reader can open carries the record of its own content. A
// value file that was cut, emptied or overwritten afterwards (by a person, or
// by a power cut after the rename but before the data reached the disk, which
// can leave a zero-length file) no longer matches its record: it is damaged,
// and never served. A value file without the record (written by an older
// version, by hand, or on a file system without user extended attributes) is
// read as it is: there is nothing to check it against.
//
// Library-internal.
//
// Thread rules: the functions may run on any threads at once; callers hold
// the entry's lock (EntryLock) where the entry's files must not change under
// them.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/TPath.h"
#include "host/TString.h"

namespace kelvra::caching {

// Entry files are opened for reading without blocking, so that a FIFO put
// where a file belongs cannot hang a reader (it reads as empty; readers only
// use regular files). Regular files read the same with or without it.
inline constexpr int kEntryReadFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;

// The paths of one entry (for messages and the calls by path), its names
// relative to the namespace folder (for the calls relative to the open
// folder), and the byte of ".lock" that locks it.
struct DiskEntryFiles {
  // keyHash: the entry folder's name, the decimal text of the key's hash.
  DiskEntryFiles(const TPath& cachePath, const TString& keyHash);

  TPath folder;
  TPath keyFile;
  TPath valueFile;
  std::string name;
  std::string keyName;
  std::string valueName;
  uint64_t lockByte;
};

// The length and checksum of a value, and the checksum of the key it was
// stored under, as stored in its file's attribute. Form 2 (25 bytes) is
// written; form 1 (17 bytes, without the key's checksum) is still read. The
// key's checksum ties the value to its key: a value that ends up beside
// another key's ".key" (a store cut short after its value and before its key
// text, stores of colliding keys on a file system without locks) is no hit
// for that key.
struct DiskIntegrityRecord {
  static constexpr const char* kAttributeName = "user.kelcache.integrity";
  static constexpr size_t kEncodedSize = 25;
  static constexpr uint8_t kForm = 2;
  static constexpr size_t kKeylessEncodedSize = 17;
  static constexpr uint8_t kKeylessForm = 1;

  // The checksum of a key: XXH3-64 of its 8-bit text (TString::toStdString).
  static uint64_t KeyChecksum(const std::string& keyText);
  static DiskIntegrityRecord Of(const void* bytes, size_t length, uint64_t keyChecksum);
  std::array<uint8_t, kEncodedSize> Encode() const;

  uint64_t length = 0;
  uint64_t checksum = 0;
  uint64_t keyChecksum = 0;
};

// What reading one value file found.
struct DiskValueRead {
  enum class State {
    Whole,       // matches its integrity record
    Unverified,  // has no integrity record; read as it is
    Damaged,     // does not match its record (or the record is unreadable)
    OtherKey,    // its record names another key: the value is not this key's
    NotRegular,  // not a regular file (a folder, a FIFO): no value
    Failed,      // a system call failed: see error and operation
  };
  State state = State::Failed;
  // For Damaged and OtherKey: why, in words ("its value file holds 0 bytes
  // where 4096 were stored").
  TString damage;
  // The file's status (size, last-write time), from the open file.
  struct stat info {};
  // The bytes, for Whole and Unverified.
  std::shared_ptr<std::vector<uint8_t>> bytes;
  // For Failed: the errno value, and what was attempted ("Cannot read file").
  int error = 0;
  const char16_t* operation = nullptr;
};

// Reads the open value file whole and checks it against its integrity record,
// and that it was stored under the key whose checksum is `keyChecksum`:
// fstat, fgetxattr and one read in the usual case. A file whose size already
// differs from its record, or that was stored under another key, is not read
// at all. Never raises for a failure of the system (state Failed).
// A file without a record is read only when it holds fewer than
// unverifiedLimit bytes (UnverifiedValueLimit); a larger one is Damaged, and
// not read: nothing vouches that it is a value at all.
DiskValueRead ReadDiskValue(int fd, uint64_t keyChecksum, uint64_t unverifiedLimit);

// The size from which a value file without integrity record is not served
// by a cache whose values of upperBound2SizeMb MiB or more are not stored:
// such a file is none of its values (a value that size would have been
// refused by its store), and reading it could take any amount of memory.
constexpr uint64_t UnverifiedValueLimit(unsigned upperBound2SizeMb) {
  return static_cast<uint64_t>(upperBound2SizeMb) << 20;
}

// Reads an open file from its current position to its end; 0, or the errno
// value of a failed read.
int ReadWholeFile(int fd, std::string* content);

// What reading an entry's ".key" found.
struct DiskKeyRead {
  enum class Outcome {
    Missing,     // no such file (or its folder is gone)
    NotRegular,  // a folder, a device, a FIFO: no key, and never read
    Failed,      // a system call failed: see error and operation
    Read,        // bytes holds the file's content
  };
  Outcome outcome = Outcome::Missing;
  std::string bytes;
  // For Failed: the errno value, and what was attempted ("Cannot read file").
  int error = 0;
  const char16_t* operation = nullptr;
};

// Opens `keyName` relative to `dirFd` (AT_FDCWD for a path) without blocking
// and reads it whole when it is a regular file: the type is taken from the
// open file, so nothing put in its place after a check can make the reader
// wait on a pipe or read a device without end. Never raises for a failure of
// the system (outcome Failed).
DiskKeyRead ReadDiskKey(int dirFd, const char* keyName);

}  // namespace kelvra::caching
