// TFile: one open file on the local disk, and whole-file reads and writes.
//
// Open-mode flags (combine with |):
//   OpenRead     = 1  open for reading; the file must exist unless OpenWrite
//                     is set too
//   OpenWrite    = 2  open for writing; the file is created when missing, an
//                     existing file keeps its content and writes start at
//                     its beginning
//   OpenAppend   = 4  every write goes to the end of the file (implies
//                     OpenWrite)
//   OpenTruncate = 8  empty an existing file when it is opened (needs
//                     OpenWrite or OpenAppend)
// So 10 (OpenWrite | OpenTruncate) writes a file from scratch, creating it or
// emptying it. A mode without OpenRead, OpenWrite or OpenAppend, or with
// unknown bits, is misuse and raises LogicException.
//
// A TFile does not buffer: Write hands the bytes to the operating system at
// once, so Flush has nothing to push and only checks that the file is open
// (it does not force the data to the disk). Close releases the file and
// reports a failure of the operating system's close; the destructor closes
// a file still open and swallows such a failure.
//
// Whole-file operations:
// - LoadUnsignedBinaryFile: the file's bytes.
// - WriteUnsignedBinaryFile: replaces the file atomically. The bytes go to a
//   temporary file in the same folder (".<name>.tmp-<pid>-<counter>-<random>",
//   the name cut short where that would pass 255 bytes),
//   which is closed and then renamed over the target, so a reader sees either
//   the old file or the new one whole, never a part, even when the writer dies
//   midway (a dead writer leaves its temporary file behind; the target is
//   untouched). On a failure the temporary file is removed and the error is
//   raised. WriteUnsignedBinaryFileAt does the same for a file named relative
//   to an open folder descriptor (as openat takes it), so that a caller that
//   keeps its folder open does not have the kernel walk the full path for
//   each of the open, rename and clean-up. It can also give the new file an
//   extended attribute (fsetxattr on the open temporary file), which thus
//   arrives together with the content: a reader that sees the new file sees
//   its attribute. A file system that keeps no such attributes (ENOTSUP) does
//   not fail the write; the file is then written without it. The data is not
//   forced to the disk (no fsync), so the guarantee holds against processes
//   that die, not against a power cut (after which some file systems may show
//   an empty or partly written file: hence the attribute, through which a
//   reader can tell).
// - LoadTextFile(path, utf8): the file's bytes as text. With utf8 true they
//   are decoded as UTF-8 exactly (a leading byte-order mark is kept, as
//   U+FEFF), so the bytes of TString::toStdString come back as an equal
//   TString; with false they are decoded as the local 8-bit encoding
//   (TString::fromLocal8Bit), which on this platform is UTF-8 as well.
//
// Failures of the operating system raise TFileException (host/FileErrors.h)
// carrying the path and the system's error text.
//
// Thread rules: one TFile object belongs to one thread at a time. The static
// functions may run on any threads at once, also on the same path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/Export.h"
#include "host/TPath.h"
#include "host/TString.h"

class KELCACHE_EXPORT TFile {
 public:
  enum OpenMode : int { OpenRead = 1, OpenWrite = 2, OpenAppend = 4, OpenTruncate = 8 };

  // Opens the file; raises TFileException when the system refuses.
  TFile(const TPath& path, int openMode);
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;
  ~TFile();

  // Writes all length bytes and returns length; raises TFileException when
  // the system reports an error (some bytes may have been written then).
  size_t Write(const void* bytes, size_t length);
  // Reads up to length bytes at the current position; returns how many were
  // read, 0 at the end of the file. Raises TFileException on an error.
  size_t Read(void* buffer, size_t length);
  // Nothing is buffered (see the file comment); raises TFileException when
  // the file is not open.
  void Flush();
  // Closes the file; raises TFileException when the system's close fails.
  // Closing a closed file does nothing.
  void Close();
  bool IsOpen() const { return m_fd >= 0; }
  const TPath& GetPath() const { return m_path; }

  static std::vector<uint8_t> LoadUnsignedBinaryFile(const TPath& path);
  static void WriteUnsignedBinaryFile(const TPath& path, const std::vector<uint8_t>& bytes);
  static void WriteUnsignedBinaryFile(const TPath& path, const void* bytes, size_t length);
  // An extended attribute for WriteUnsignedBinaryFileAt to set (borrowed:
  // the texts and bytes must outlive the call).
  struct ExtendedAttribute {
    const char* name;  // such as "user.example"
    const void* value;
    size_t size;
  };
  // relativePath names the file inside the folder open as dirFd (AT_FDCWD:
  // the working folder); path names the same file in error messages. When
  // attribute is not null the new file gets it before it replaces the target
  // (ignored, and not an error, on a file system without such attributes).
  static void WriteUnsignedBinaryFileAt(int dirFd, const std::string& relativePath, const TPath& path,
                                        const void* bytes, size_t length,
                                        const ExtendedAttribute* attribute = nullptr);
  static TString LoadTextFile(const TPath& path, bool utf8);
  // Whether `name` (a file name, no folder) is the name of a temporary file
  // that WriteUnsignedBinaryFileAt makes for a target named `targetName`, as
  // a writer that died midway leaves it behind.
  static bool IsTemporaryFileFor(std::string_view name, std::string_view targetName);

 private:
  void ThrowIfClosed(const char16_t* operation) const;

  TPath m_path;
  int m_fd = -1;
};
