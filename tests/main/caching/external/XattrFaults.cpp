#include "tests/main/caching/external/XattrFaults.h"

#include <dlfcn.h>
#include <sys/types.h>
#include <sys/xattr.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace kelcache_test {
namespace {

struct Armed {
  std::atomic<int> error{0};
  std::atomic<int> failures{0};
};
Armed s_set;
Armed s_get;

Armed& For(XattrFault::Call call) {
  return call == XattrFault::Call::Set ? s_set : s_get;
}

// True (errno set) when the call must fail.
bool Fails(Armed& armed, const char* name) {
  const int error = armed.error.load();
  if (error == 0 || name == nullptr || std::strncmp(name, "user.kelcache.", 14) != 0) return false;
  armed.failures.fetch_add(1);
  errno = error;
  return true;
}

}  // namespace

XattrFault::XattrFault(Call call, int error) : m_call(call) {
  For(call).failures.store(0);
  For(call).error.store(error);
}

XattrFault::~XattrFault() {
  For(m_call).error.store(0);
}

int XattrFault::Failures() const {
  return For(m_call).failures.load();
}

}  // namespace kelcache_test

extern "C" int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) noexcept {
  using Fn = int (*)(int, const char*, const void*, size_t, int);
  static const Fn s_next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "fsetxattr"));
  if (kelcache_test::Fails(kelcache_test::s_set, name)) return -1;
  return s_next(fd, name, value, size, flags);
}

extern "C" ssize_t fgetxattr(int fd, const char* name, void* value, size_t size) noexcept {
  using Fn = ssize_t (*)(int, const char*, void*, size_t);
  static const Fn s_next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "fgetxattr"));
  if (kelcache_test::Fails(kelcache_test::s_get, name)) return -1;
  return s_next(fd, name, value, size);
}
