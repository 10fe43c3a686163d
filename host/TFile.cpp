#include "host/TFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "host/Errors.h"
#include "host/FileErrors.h"

namespace fs = std::filesystem;

namespace {

constexpr int kKnownModes = TFile::OpenRead | TFile::OpenWrite | TFile::OpenAppend | TFile::OpenTruncate;
constexpr int kWriteModes = TFile::OpenWrite | TFile::OpenAppend;

// Writes all bytes to fd, retrying after interruptions and short writes.
// Returns 0, or the errno value of the failure.
int WriteAll(int fd, const void* bytes, size_t length, size_t* written) {
  const char* next = static_cast<const char*>(bytes);
  *written = 0;
  while (*written < length) {
    ssize_t n = ::write(fd, next + *written, length - *written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;  // a regular file never accepts nothing without an error
    *written += static_cast<size_t>(n);
  }
  return 0;
}

// Reads up to length bytes, retrying after interruptions. Returns the count,
// or -1 with errno set.
ssize_t ReadSome(int fd, void* buffer, size_t length) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, length);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// ".<name>.tmp-<pid>-<counter>-<random>": hidden, recognisably temporary, and
// unique between threads (the counter) and processes (the pid, and the random
// part for a pid reused after a crash).
std::string TemporaryName(const fs::path& targetName) {
  static std::atomic<uint64_t> s_counter{0};
  thread_local std::mt19937_64 t_random{std::random_device{}()};
  char suffix[80];
  std::snprintf(suffix, sizeof(suffix), ".tmp-%ld-%llu-%016llx", static_cast<long>(::getpid()),
                static_cast<unsigned long long>(s_counter.fetch_add(1, std::memory_order_relaxed)),
                static_cast<unsigned long long>(t_random()));
  return "." + targetName.string() + suffix;
}

// Removes the temporary file on every way out of WriteUnsignedBinaryFile but
// the successful rename.
class TemporaryFileGuard {
 public:
  explicit TemporaryFileGuard(std::string path) : m_path(std::move(path)) {}
  TemporaryFileGuard(const TemporaryFileGuard&) = delete;
  TemporaryFileGuard& operator=(const TemporaryFileGuard&) = delete;
  ~TemporaryFileGuard() {
    if (m_fd >= 0) ::close(m_fd);
    if (!m_released) ::unlink(m_path.c_str());
  }
  void SetDescriptor(int fd) { m_fd = fd; }
  // Closes the file; returns 0 or the errno value of the failure.
  int Close() {
    int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR) return errno;  // on Linux the descriptor is gone even after EINTR
    return 0;
  }
  void Release() { m_released = true; }

 private:
  std::string m_path;
  int m_fd = -1;
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
  if (int error = WriteAll(m_fd, bytes, length, &written); error != 0) {
    throw TFileException(u"Cannot write file", m_path, std::error_code(error, std::generic_category()));
  }
  return written;
}

size_t TFile::Read(void* buffer, size_t length) {
  ThrowIfClosed(u"Cannot read file");
  ssize_t n = ReadSome(m_fd, buffer, length);
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
    ssize_t n = ReadSome(file.m_fd, data.data() + size, data.size() - size);
    if (n < 0) throw TFileException::FromErrno(u"Cannot read file", path);
    if (n == 0) break;
    size += static_cast<size_t>(n);
  }
  data.resize(size);
  file.Close();
  return data;
}

void TFile::WriteUnsignedBinaryFile(const TPath& path, const std::vector<uint8_t>& bytes) {
  WriteUnsignedBinaryFile(path, bytes.data(), bytes.size());
}

void TFile::WriteUnsignedBinaryFile(const TPath& path, const void* bytes, size_t length) {
  fs::path target = path.ToStdPath();
  std::string temporary = (target.parent_path() / TemporaryName(target.filename())).string();

  int fd;
  do {
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw TFileException::FromErrno(u"Cannot create a temporary file for", path);
  TemporaryFileGuard guard(temporary);
  guard.SetDescriptor(fd);

  size_t written = 0;
  if (int error = WriteAll(fd, bytes, length, &written); error != 0) {
    throw TFileException(u"Cannot write file", path, std::error_code(error, std::generic_category()));
  }
  if (int error = guard.Close(); error != 0) {
    throw TFileException(u"Cannot write file", path, std::error_code(error, std::generic_category()));
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0)
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
