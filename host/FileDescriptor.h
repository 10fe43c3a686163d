// FileDescriptor: owns one open file descriptor and closes it when it goes;
// and the system-call loops that the file helpers share.
//
// The loops retry after interruptions (EINTR) and short transfers, and report
// failures by result and errno, never by exception: callers decide which
// errors are plain outcomes (a missing file is a cache miss) and which are
// raised as TFileException (host/FileErrors.h).
//
// Library-internal: used by TFile and the disk store, not exported.
//
// Thread rules: one FileDescriptor object belongs to one thread at a time;
// the functions may run on any threads at once.
#pragma once

#include <sys/types.h>

#include <cstddef>

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : m_fd(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : m_fd(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int Get() const { return m_fd; }
  bool IsOpen() const { return m_fd >= 0; }
  explicit operator bool() const { return IsOpen(); }
  // Gives up ownership; the caller closes the descriptor.
  int Release();
  // Closes the descriptor; returns 0, or the errno value of a failed close
  // (the descriptor is gone either way, as on Linux). Closing a closed
  // object returns 0.
  int Close();

 private:
  int m_fd = -1;
};

// openat(2), retried after interruptions: the new descriptor, or -1 with
// errno set.
int OpenFileAt(int dirFd, const char* path, int flags, mode_t mode = 0);

// Writes all length bytes; *written counts those written. Returns 0, or the
// errno value of the failure.
int WriteAllBytes(int fd, const void* bytes, size_t length, size_t* written);

// One read(2) of up to length bytes, retried after interruptions: the count
// (0 at the end of the file), or -1 with errno set.
ssize_t ReadSomeBytes(int fd, void* buffer, size_t length);

// Reads until length bytes are in or the file ends: the count, or -1 with
// errno set.
ssize_t ReadUpTo(int fd, void* buffer, size_t length);
