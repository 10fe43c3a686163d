#include "tests/main/caching/external/LockRefusal.h"

#include <dlfcn.h>
#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>

namespace kelcache_test {
namespace {

std::atomic<bool> s_refusing{false};

bool TakesALock(int command, const void* argument) {
  if (command != F_SETLK && command != F_SETLKW && command != F_OFD_SETLK && command != F_OFD_SETLKW) return false;
  return static_cast<const struct flock*>(argument)->l_type != F_UNLCK;
}

}  // namespace

RefusedLocks::RefusedLocks() { s_refusing = true; }

RefusedLocks::~RefusedLocks() { s_refusing = false; }

}  // namespace kelcache_test

using Fcntl = int (*)(int, int, ...);

// Every command's argument, when it has one, is an int or a pointer, and
// both travel the same way on the platforms the tests run on, so it is
// passed on as a pointer.
extern "C" int fcntl64(int fd, int command, ...) {
  static const Fcntl s_next = reinterpret_cast<Fcntl>(dlsym(RTLD_NEXT, "fcntl64"));
  va_list arguments;
  va_start(arguments, command);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if (kelcache_test::s_refusing && kelcache_test::TakesALock(command, argument)) {
    errno = ENOLCK;
    return -1;
  }
  return s_next(fd, command, argument);
}

// A library built without 64-bit file offsets calls fcntl: the same
// function. (<fcntl.h> names this process's fcntl fcntl64, hence the asm
// name.)
extern "C" int RefusingFcntl(int fd, int command, ...) __asm__("fcntl") __attribute__((alias("fcntl64")));
