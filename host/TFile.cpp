#include "host/TFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "host/Errors.h"
#include "host/FileDescriptor.h"
#include "host/FileErrors.h"
#include "host/ForkGeneration.h"

namespace fs = std::filesystem;

namespace {

constexpr int kKnownModes = TFile::OpenRead | TFile::OpenWrite | TFile::OpenAppend | TFile::OpenTruncate;
constexpr int kWriteModes = TFile::OpenWrite | TFile::OpenAppend;

// A temporary file's name: "." + its target's name + kTemporaryMark + the
// rest of the suffix. The whole stays within kMaxTemporaryName bytes, the
// usual limit of a name; IsTemporaryFileFor reads the same layout back.
constexpr std::string_view kTemporaryMark = ".tmp-";
constexpr size_t kMaxTemporaryName = 255;

// ".<name>.tmp-<pid>-<counter>-<random>": hidden, recognisably temporary, and
// unique between threads (the counter) and processes (the pid, and the random
// part for a pid reused after a crash).
std::string TemporaryName(const fs::path& targetName) {
  static std::atomic<uint64_t> s_counter{0};
  thread_local std::mt19937_64 t_random{std::random_device{}()};
  char suffix[80];
  std::snprintf(suffix, sizeof(suffix), "%s%ld-%llu-%016llx", kTemporaryMark.data(),
                static_cast<long>(CurrentProcessId()),
                static_cast<unsigned long long>(s_counter.fetch_add(1, std::memory_order_relaxed)),
                static_cast<unsigned long long>(t_random()));
  // The target's name only as far as it leaves the temporary name within
  // the limit, so that a target with a long name (which the file system
  // accepts) can still be written.
  const std::string name = targetName.string();
  const size_t kept = std::min(name.size(), kMaxTemporaryName - 1 - std::strlen(suffix));
  return "." + name.substr(0, kept) + suffix;
}

// Removes the temporary file on every way out of WriteUnsignedBinaryFileAt
// but the successful rename.
class TemporaryFileGuard {
 public:
  TemporaryFileGuard(int dirFd, std::string path) : m_dirFd(dirFd), m_path(std::move(path)) {}
  TemporaryFileGuard(const TemporaryFileGuard&) = delete;
  TemporaryFileGuard& operator=(const TemporaryFileGuard&) = delete;
  ~TemporaryFileGuard() {
    m_file.Close();
    if (!m_released) ::unlinkat(m_dirFd, m_path.c_str(), 0);
  }
  FileDescriptor& File() { return m_file; }
  void Release() { m_released = true; }

 private:
  int m_dirFd;
  std::string m_path;
  FileDescriptor m_file;
  bool m_released = false;
};

}  // namespace

TFile::TFile(const TPath& path, int openMode) : m_path(path) {
  if ((openMode & ~kKnownModes) != 0 || (openMode & (OpenRead | kWriteModes)) == 0) {
    ThrowLogicException("host/TFile", __LINE__, "openMode");
  }
  if ((openMode & OpenTruncate) != 0 && (openMode & kWriteModes) == 0) {
    ThrowLogicException("host/TFile", __LINE__, "openMode & (OpenWrite | OpenAppend)");
  }
  int flags = O_CLOEXEC;
  if ((openMode & kWriteModes) != 0) {
    flags |= ((openMode & OpenRead) != 0 ? O_RDWR : O_WRONLY) | O_CREAT;
    if ((openMode & OpenAppend) != 0) flags |= O_APPEND;
    if ((openMode & OpenTruncate) != 0) flags |= O_TRUNC;
  } else {
    flags |= O_RDONLY;
  }
  std::string bytes = path.ToUtf8();
  do {
    m_fd = ::open(bytes.c_str(), flags, 0666);
  } while (m_fd < 0 && errno == EINTR);
  if (m_fd < 0) throw TFileException::FromErrno(u"Cannot open file", path);
}

TFile::~TFile() {
  if (m_fd >= 0) ::close(m_fd);
}

void TFile::ThrowIfClosed(const char16_t* operation) const {
  if (m_fd < 0) throw TFileException(operation, m_path, std::make_error_code(std::errc::bad_file_descriptor));
}

size_t TFile::Write(const void* bytes, size_t length) {
  ThrowIfClosed(u"Cannot write file");
  size_t written = 0;
  if (int error = WriteAllBytes(m_fd, bytes, length, &written); error != 0) {
    throw TFileException(u"Cannot write file", m_path, std::error_code(error, std::generic_category()));
  }
  return written;
}

size_t TFile::Read(void* buffer, size_t length) {
  ThrowIfClosed(u"Cannot read file");
  ssize_t n = ReadSomeBytes(m_fd, buffer, length);
  if (n < 0) throw TFileException::FromErrno(u"Cannot read file", m_path);
  return static_cast<size_t>(n);
}

void TFile::Flush() {
  ThrowIfClosed(u"Cannot flush file");
}

void TFile::Close() {
  if (m_fd < 0) return;
  int fd = m_fd;
  m_fd = -1;
  if (::close(fd) != 0 && errno != EINTR) throw TFileException::FromErrno(u"Cannot close file", m_path);
}

std::vector<uint8_t> TFile::LoadUnsignedBinaryFile(const TPath& path) {
  TFile file(path, OpenRead);
  struct stat info {};
  size_t expected = 0;
  if (::fstat(file.m_fd, &info) == 0 && info.st_size > 0) expected = static_cast<size_t>(info.st_size);
  // One byte more than the expected size, so that the usual case ends with
  // one read that fills the data and one that finds the end. The file may
  // grow or shrink meanwhile; the loop reads whatever is there.
  std::vector<uint8_t> data(expected + 1);
  size_t size = 0;
  for (;;) {
    if (size == data.size()) data.resize(data.size() * 2);
    ssize_t n = ReadSomeBytes(file.m_fd, data.data() + size, data.size() - size);
    if (n < 0) throw TFileException::FromErrno(u"Cannot read file", path);
    if (n == 0) break;
    size += static_cast<size_t>(n);
  }
  data.resize(size);
  file.Close();
  return data;
}

bool TFile::IsTemporaryFileFor(std::string_view name, std::string_view targetName) {
  // The suffix begins with the name's last kTemporaryMark; the target's name
  // before it is whole, or cut short in a name of the greatest length.
  const size_t mark = name.rfind(kTemporaryMark);
  if (mark == std::string_view::npos || mark == 0 || name.front() != '.') return false;
  const std::string_view kept = name.substr(1, mark - 1);
  return kept == targetName ||
         (name.size() == kMaxTemporaryName && !kept.empty() && targetName.starts_with(kept));
}

void TFile::WriteUnsignedBinaryFile(const TPath& path, const std::vector<uint8_t>& bytes) {
  WriteUnsignedBinaryFile(path, bytes.data(), bytes.size());
}

void TFile::WriteUnsignedBinaryFile(const TPath& path, const void* bytes, size_t length) {
  WriteUnsignedBinaryFileAt(AT_FDCWD, path.ToUtf8(), path, bytes, length);
}

void TFile::WriteUnsignedBinaryFileAt(int dirFd, const std::string& relativePath, const TPath& path,
                                      const void* bytes, size_t length, const ExtendedAttribute* attribute) {
  const fs::path target(relativePath);
  const std::string temporary = (target.parent_path() / TemporaryName(target.filename())).string();

  TemporaryFileGuard guard(dirFd, temporary);
  guard.File() =
      FileDescriptor(OpenFileAt(dirFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!guard.File()) throw TFileException::FromErrno(u"Cannot create a temporary file for", path);

  size_t written = 0;
  if (int error = WriteAllBytes(guard.File().Get(), bytes, length, &written); error != 0) {
    throw TFileException(u"Cannot write file", path, std::error_code(error, std::generic_category()));
  }
  // On the open file, before the rename: the attribute is there as soon as
  // the file is. ENOTSUP and EOPNOTSUPP (the same value on Linux) mean the
  // file system keeps no attributes of that namespace.
  if (attribute != nullptr &&
      ::fsetxattr(guard.File().Get(), attribute->name, attribute->value, attribute->size, 0) != 0 &&
      errno != ENOTSUP && errno != EOPNOTSUPP) {
    throw TFileException::FromErrno(u"Cannot set an extended attribute of", path);
  }
  if (int error = guard.File().Close(); error != 0) {
    throw TFileException(u"Cannot write file", path, std::error_code(error, std::generic_category()));
  }
  if (::renameat(dirFd, temporary.c_str(), dirFd, relativePath.c_str()) != 0)
    throw TFileException::FromErrno(u"Cannot replace file", path);
  guard.Release();
}

TString TFile::LoadTextFile(const TPath& path, bool utf8) {
  std::vector<uint8_t> bytes = LoadUnsignedBinaryFile(path);
  const char* text = reinterpret_cast<const char*>(bytes.data());
  if (utf8 || bytes.size() > static_cast<size_t>(INT_MAX)) {
    return TString::fromUtf8(std::string_view(text, bytes.size()));
  }
  return TString::fromLocal8Bit(text, static_cast<int>(bytes.size()));
}
