// Byte-range locks refused, as on a file system without them (NFS without a
// lock manager, some FUSE file systems), for the tests of what the disk store
// does without its entry locks.
//
// The test executable that links LockRefusal.cpp defines fcntl64 and fcntl
// itself (as XattrFaults.cpp defines the attribute calls), so the library's
// calls reach them; they pass every call on to the C library's, but while a
// RefusedLocks lives, a request to take a lock (not to release one) fails
// with ENOLCK.
//
// Thread rules: one RefusedLocks at a time; it refuses the locks of every
// thread of the process.
#pragma once

namespace kelcache_test {

class RefusedLocks {
 public:
  RefusedLocks();
  ~RefusedLocks();
  RefusedLocks(const RefusedLocks&) = delete;
  RefusedLocks& operator=(const RefusedLocks&) = delete;
};

}  // namespace kelcache_test
