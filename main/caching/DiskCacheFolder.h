// DiskCacheFolder: the disk store's open handle on one namespace folder, and
// the entry locks taken through it.
//
// Every operation of the disk store works on one entry folder
// (<namespace folder>/<keyHash>) under a lock of that entry: a byte-range lock
// on byte keyHash of the file ".lock" in the namespace folder, exclusive for
// stores and drops, shared for loads, held through an open file description
// (F_OFD_SETLK) so that it excludes other threads and other processes alike
// and the kernel drops it when its holder dies. Opening the folder's path and
// ".lock" anew for every operation costs system calls that dominate small
// loads, so a DiskCacheFolder keeps, for its folder:
//   - an Opening: one descriptor of the folder (O_PATH), through which the
//     store opens entry files by their short relative names
//     ("<keyHash>/.key"), and
//   - in that Opening, a free list of open descriptions of the folder's
//     ".lock", unlocked, ready for the next operation.
//
// Why keeping them is safe:
//   1. Locks of one open file description never exclude each other. So a
//      description serves one operation at a time: an EntryLock takes it off
//      the free list (or opens a new one) and gives it back, unlocked, when it
//      goes. Operations running at once always lock through distinct
//      descriptions, as separate processes do.
//   2. A description is only locked through, never read or written, and is
//      given back only after its lock was released (one that fails to unlock
//      is closed instead, which releases it).
//   3. The folder may be removed while it is kept open (by a test, a person,
//      a reset of the cache directory) and made again, by this process or
//      another. A kept ".lock" is then the old, unlinked file, whose locks do
//      not exclude those taken through the new one. That does no harm because
//      the entry files are reached through the same folder descriptor as the
//      lock: a removed folder stays empty for good (nothing can be created in
//      it), so an operation through a removed Opening finds nothing (ENOENT)
//      and writes nothing. The store functions check every ENOENT that could
//      come from a removed folder (Removed(): one fstat, on misses only),
//      Forget the Opening, and start again on a fresh opening of the path.
//      A hit, on the other hand, proves that the folder holds the entry, so
//      the lock taken in that same folder is the right one.
//   4. The sweeper removes entry folders, never the namespace folder or the
//      ".lock" in it, so it never makes a kept description stale. (Removing
//      ".lock" alone while processes use the folder voids the exclusion; this
//      library never does.)
//   5. Descriptors are close-on-exec. A child forked without exec would share
//      the parent's descriptions (and so its locks): after a fork, the child
//      drops the Opening it inherited and opens its own. It also gives up its
//      copies of every ".lock" description at once, in a fork handler: a copy
//      would keep the locks that the parent held at the fork after the
//      parent died, for as long as the child lived.
//   6. The folder may be renamed, or another folder moved to its path (a host
//      that clears the cache by moving the folder aside). An Opening of a
//      folder that no longer lies at the path is dropped. Stores look the
//      path up every time, so that a store begun after a move writes at the
//      path; loads and drops look again at most kIdentityCheckInterval after
//      the last look, so for that long at most they may still reach the
//      moved folder (its entries were valid when it was moved; looking at
//      every load would add a system call to each).
//
// Library-internal (exported for its own tests only).
//
// Thread rules: thread-safe. DiskCacheFolder::m_mutex guards m_current;
// Opening::m_mutex guards its free list. Neither is held during a system
// call that can block, and they never nest.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "host/Export.h"
#include "host/FileErrors.h"
#include "host/LogRateLimiter.h"
#include "host/TPath.h"
#include "host/ThreadAnnotations.h"
#include "host/TMutex.h"

namespace kelvra::caching {

// The reason nested in the generic failure of EnsureDirectory: the folder
// that could not be made, and the operating system's error.
class FolderNotMade : public TFileException {
 public:
  FolderNotMade(const TPath& folder, std::error_code error);
  const TPath& Folder() const { return m_folder; }

 private:
  TPath m_folder;
};

// Makes the folder (and its parents) unless it exists; when that fails,
// raises the host's generic exception with a FolderNotMade nested in it
// (std::throw_with_nested). Logs nothing: the store that asked logs the line
// "Failed to create directory '<path>'" before its own, within its folder's
// limit (LogFailure, DiskExternalCache.cpp).
void EnsureDirectory(const TPath& folder);

// The folder that the generic failure `failure` could not make (through
// EnsureDirectory), or null for every other failure.
const TPath* FolderNotMadeBy(const std::exception_ptr& failure);

class KELCACHE_EXPORT DiskCacheFolder {
 public:
  class Opening;

  // Touches nothing on disk; the folder is opened by the first Open. Raises
  // a LogicException for an empty path ("cache path is empty") or one that
  // holds a NUL character ("cache path contains a NUL character"), which the
  // system would take for another folder.
  explicit DiskCacheFolder(TPath path);
  DiskCacheFolder(const DiskCacheFolder&) = delete;
  DiskCacheFolder& operator=(const DiskCacheFolder&) = delete;
  ~DiskCacheFolder();

  const TPath& Path() const { return m_path; }

  // The folder's current Opening (with create, after a look at the path even
  // when the last one is recent, see 6. above); when there is none, opens the
  // path. Null when create is false and the folder cannot be found or reached
  // (ENOENT, ENOTDIR, ENAMETOOLONG, ELOOP, EACCES).
  // With create, a missing folder is made (with its parents); when that
  // fails, the host's generic exception is raised (over the reason, as
  // EnsureDirectory does).
  // Raises TFileException when the folder cannot be opened for another
  // reason (with create: any reason).
  std::shared_ptr<Opening> Open(bool create);

  // How long loads and drops trust an Opening to lie at the path (see 6. above).
  static constexpr std::chrono::milliseconds kIdentityCheckInterval{100};
  // Drops opening if it is still the current one (see 3. above), so that the
  // next Open opens the path again. Operations still holding it finish on it.
  void Forget(const std::shared_ptr<Opening>& opening);

  // The warnings about this folder that could repeat with every operation
  // (a damaged entry loaded in a loop; a folder that cannot be written, with
  // a store on every miss), each kind limited apart so that they do not
  // flood the log. One set per path, shared by every DiskCacheFolder of the
  // process on it (a host may make a cache object per use): trouble in one
  // folder does not silence another's.
  struct Logs {
    Logs(unsigned burst, std::chrono::milliseconds interval)
        : damagedEntries(burst, interval),
          storeFailures(burst, interval),
          loadFailures(burst, interval),
          dropFailures(burst, interval) {}
    LogRateLimiter damagedEntries;
    LogRateLimiter storeFailures;
    LogRateLimiter loadFailures;
    LogRateLimiter dropFailures;
  };
  Logs& FolderLogs() { return *m_logs; }

 private:
  // The current Opening when it may be used: after a look at the path when
  // lookAtPath is set or the last look is too old.
  std::shared_ptr<Opening> TrustedCurrent(std::chrono::steady_clock::time_point now, bool lookAtPath);

  const TPath m_path;
  const std::string m_pathUtf8;
  const std::shared_ptr<Logs> m_logs;  // never null; each limiter thread-safe by itself
  TMutex m_mutex;
  std::shared_ptr<Opening> m_current KELCACHE_GUARDED_BY(m_mutex);
  // When the path was last found to name m_current's folder.
  std::chrono::steady_clock::time_point m_currentCheckedAt KELCACHE_GUARDED_BY(m_mutex);
};

// One opening of the folder: its descriptor and the free descriptions of its
// ".lock". Closes them all when the last operation and the DiskCacheFolder
// let go of it.
class KELCACHE_EXPORT DiskCacheFolder::Opening {
 public:
  Opening(int folderFd, uint64_t forkGeneration);
  Opening(const Opening&) = delete;
  Opening& operator=(const Opening&) = delete;
  ~Opening();

  // The folder's descriptor (O_PATH), for openat and its kin.
  int Fd() const { return m_folderFd; }
  // True when the folder has been removed (its link count is 0).
  bool Removed() const;
  // True when this Opening was made in this process, not inherited by fork.
  bool MadeInThisProcess() const;
  // True when `path` names this Opening's folder now.
  bool LiesAt(const char* path) const;
  // True when both are openings of one folder.
  bool SameFolderAs(const Opening& other) const;
  // False only when the folder has no ".lock" (so nobody locks through one).
  bool HasLockFile() const;

 private:
  friend class EntryLock;
  // An unlocked description of ".lock" (read-write), or -1 with errno set.
  // Only stores create ".lock"; a load or drop before the first store finds
  // none.
  int TakeLockDescription(bool createLockFile);
  // Takes an unlocked description back (closes it when the list is full).
  void GiveBack(int fd);

  // The most descriptions kept idle: enough for the operations that the
  // frame runs at once on one folder in the usual case; more are opened and
  // closed as needed.
  static constexpr size_t kMaxIdle = 16;

  const int m_folderFd;
  const uint64_t m_forkGeneration;
  // The folder's identity, read when it was opened.
  dev_t m_device = 0;
  ino_t m_inode = 0;
  TMutex m_mutex;
  std::vector<int> m_idle KELCACHE_GUARDED_BY(m_mutex);
};

// The lock of one entry, held from construction to destruction.
//
// Never raises: when ".lock" cannot be opened (a load or drop before the
// first store into the folder: nothing to protect; a folder this process may
// not write) or the file system refuses the lock, Held() says so, and
// LockFileError() says whether the operation may go on without it.
//
// The wait for a lock that another operation holds is bounded by maxWait:
// a healthy holder keeps it for the few milliseconds of one store, but a
// process stopped while it holds one (a debugger, SIGSTOP) would otherwise
// hold up every operation of the entry, and with them the frame's
// concurrency slots, until it resumes. When the wait runs out, WaitExpired()
// is true and Held() false. The wait polls, with pauses that grow from
// 50 µs to 2 ms, since a blocking lock request cannot be given a time limit.
// Within the process, exclusive lockers go first: while one waits for a
// byte, shared lockers of that byte wait for it instead of joining the
// holders (loads of a hot entry that keep overlapping would otherwise keep a
// store out for good). Other processes' lockers do not see it waiting.
// Thread rules: one object belongs to one operation on one thread.
// How long an operation waits for a lock another one holds: the option
// ExternalCacheDiskLockWaitMs, read at each call (negative counts as 0).
KELCACHE_EXPORT std::chrono::milliseconds EntryLockWait();

class KELCACHE_EXPORT EntryLock {
 public:
  enum class Mode { Shared, Exclusive };

  // opening may be null (no folder): nothing is locked.
  EntryLock(std::shared_ptr<DiskCacheFolder::Opening> opening, uint64_t byte, Mode mode, bool createLockFile,
            std::chrono::milliseconds maxWait);
  EntryLock(const EntryLock&) = delete;
  EntryLock& operator=(const EntryLock&) = delete;
  ~EntryLock();

  bool Held() const { return m_held; }
  // Why ".lock" could not be opened for writing (an errno value), or 0.
  // Loads lock a ".lock" they may only read, so a store whose lock failed
  // for a reason other than ENOENT (no ".lock" or no folder yet, where no
  // load holds a lock) must not go on without it while ".lock" exists. A lock that the file
  // system refused (no locks there) leaves this 0: loads are refused theirs
  // too, and check the key file twice.
  int LockFileError() const { return m_lockFileError; }
  // True when another operation held the entry's lock for all of maxWait.
  // A store must then not go on (loads may hold the lock shared); a load
  // goes on as without locks, a drop removes anyway.
  bool WaitExpired() const { return m_waitExpired; }

 private:
  // Takes the lock (F_RDLCK or F_WRLCK) through m_fd, waiting at most maxWait
  // for a holder to let go; true when it is held.
  bool Lock(short type, std::chrono::milliseconds maxWait);

  std::shared_ptr<DiskCacheFolder::Opening> m_opening;
  int m_fd = -1;
  int m_lockFileError = 0;
  bool m_reusable = false;  // m_fd came from, and goes back to, the free list
  bool m_held = false;
  bool m_waitExpired = false;
  uint64_t m_byte = 0;
};

}  // namespace kelvra::caching
