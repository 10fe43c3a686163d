// Failures of the extended-attribute calls, on demand, for the disk store's
// tests: what a file system without user attributes answers (ENOTSUP), or a
// failing disk (EIO), at the one call under test.
//
// The test executable that links XattrFaults.cpp defines fsetxattr and
// fgetxattr itself. The dynamic linker looks in the executable before the
// shared libraries, so the library's calls reach these definitions, which
// fail as armed for attributes whose name begins with "user.kelcache." and
// pass every other call on to the C library's.
//
// Thread rules: a fault is armed for the process (all threads) while its
// object lives; arm one of each call at a time.
#pragma once

namespace kelcache_test {

class XattrFault {
 public:
  enum class Call { Set, Get };

  // From now until destruction, call fails with errno error.
  XattrFault(Call call, int error);
  ~XattrFault();
  XattrFault(const XattrFault&) = delete;
  XattrFault& operator=(const XattrFault&) = delete;

  // How many calls failed because of this fault (0 shows that the call under
  // test never reached the fault: the test would prove nothing).
  int Failures() const;

 private:
  Call m_call;
};

}  // namespace kelcache_test
