#include "host/FileDescriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    Close();
    m_fd = other.Release();
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  Close();
}

int FileDescriptor::Release() {
  int fd = m_fd;
  m_fd = -1;
  return fd;
}

int FileDescriptor::Close() {
  if (m_fd < 0) return 0;
  int fd = Release();
  // On Linux the descriptor is gone even when close reports EINTR.
  if (::close(fd) != 0 && errno != EINTR) return errno;
  return 0;
}

int OpenFileAt(int dirFd, const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::openat(dirFd, path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int WriteAllBytes(int fd, const void* bytes, size_t length, size_t* written) {
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

ssize_t ReadSomeBytes(int fd, void* buffer, size_t length) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, length);
    if (n >= 0 || errno != EINTR) return n;
  }
}

ssize_t ReadUpTo(int fd, void* buffer, size_t length) {
  char* next = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < length) {
    ssize_t n = ReadSomeBytes(fd, next + done, length - done);
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}
