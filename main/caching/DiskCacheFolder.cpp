#include "main/caching/DiskCacheFolder.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>

#include "host/AppOptions.h"
#include "host/Errors.h"
#include "host/FileDescriptor.h"
#include "host/FileErrors.h"
#include "host/FileSystem.h"
#include "host/ForkGeneration.h"
#include "host/TMutex.h"

namespace kelvra::caching {

namespace {

constexpr const char* kLockFileName = ".lock";

// Every description of a ".lock" that this process holds open, so that a
// child forked without exec gives up its copies of them. A description keeps
// its locks until its last descriptor is closed: a child that kept the copies
// would keep every entry lock that its parent held at the fork after the
// parent died (killed while storing, say), for as long as the child lived,
// and every operation on those entries would wait out its lock wait and
// fail. In the child, each copy is replaced under the same number by a
// descriptor of the root folder (O_PATH, which locks nothing), kept open for
// that from the registry's start, so that the child needs no free descriptor:
// the inherited Openings and locks, which close their numbers when they go,
// then close nothing that the child opened since.
//
// Thread rules: opening and closing happen under m_mutex, and the fork
// handlers hold it across the fork, so a child never inherits a description
// that is not recorded (a fork waits for an open of ".lock" in progress; the
// open does not block on a FIFO put in its place, O_NONBLOCK). Those handlers
// take the mutex in one function and release it in another (no scope guard
// can span a fork), the one place in the library that does.
class LockDescriptions {
 public:
  static LockDescriptions& Get() {
    static LockDescriptions* const s_instance = [] {
      auto* made = new LockDescriptions;  // never destroyed: descriptions may outlive static destruction
      s_forking.store(made, std::memory_order_release);
      pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild);
      return made;
    }();
    return *s_instance;
  }

  // ".lock" in the folder open as folderFd, opened with flags and recorded;
  // -1 with errno set when it cannot be opened.
  int Open(int folderFd, int flags) {
    TMutexLock guard(m_mutex);
    const int fd = OpenFileAt(folderFd, kLockFileName, flags | O_NONBLOCK, 0666);
    if (fd < 0) return fd;
    try {
      m_open.insert(fd);
    } catch (const std::bad_alloc&) {
      ::close(fd);
      errno = ENOMEM;
      return -1;
    }
    return fd;
  }

  void Close(int fd) noexcept {
    TMutexLock guard(m_mutex);
    m_open.erase(fd);
    ::close(fd);
  }

 private:
  static void BeforeFork() KELCACHE_NO_THREAD_SAFETY_ANALYSIS { s_forking.load()->m_mutex.Lock(); }
  static void AfterForkInParent() KELCACHE_NO_THREAD_SAFETY_ANALYSIS { s_forking.load()->m_mutex.Unlock(); }
  // The child's only thread, the one that forked, holds the mutex.
  static void AfterForkInChild() KELCACHE_NO_THREAD_SAFETY_ANALYSIS {
    LockDescriptions& self = *s_forking.load();
    // Without a placeholder (no descriptor was free when the registry was
    // made) the copies stay: closing them would let an inherited Opening
    // close, later, a number that the child has reused.
    if (self.m_placeholder >= 0) {
      for (int fd : self.m_open) ::dup3(self.m_placeholder, fd, O_CLOEXEC);
    }
    self.m_mutex.Unlock();
  }

  static inline std::atomic<LockDescriptions*> s_forking{nullptr};
  const int m_placeholder = ::open("/", O_PATH | O_CLOEXEC);
  TMutex m_mutex;
  std::unordered_set<int> m_open KELCACHE_GUARDED_BY(m_mutex);
};

// The stores and drops of this process that wait for an entry's lock, so
// that its loads let them go first (EntryLock::Lock). Loads of a hot entry
// that keep overlapping would otherwise keep its byte shared without a gap,
// and a store would give up after its whole wait. A fixed table of slots,
// each holding a waiter's key (WaitKey, never 0): taking and leaving one
// allocates nothing and takes no lock, so it cannot fail, and a child forked
// while a store waited is not held up by it (the fork generation is part of
// the key, so a child never matches its parent's waiters). A waiter that
// finds every slot taken waits without priority, as across processes.
class WaitingWriters {
 public:
  static constexpr size_t kSlots = 64;
  static constexpr size_t kNoSlot = kSlots;  // what Enter gives when every slot is taken

  // A slot holding key, or kNoSlot.
  size_t Enter(uint64_t key) noexcept {
    for (size_t slot = 0; slot < kSlots; ++slot) {
      uint64_t empty = 0;
      if (m_slots[slot].compare_exchange_strong(empty, key, std::memory_order_acq_rel)) {
        m_taken.fetch_add(1, std::memory_order_acq_rel);
        return slot;
      }
    }
    return kNoSlot;
  }
  void Leave(size_t slot) noexcept {
    if (slot == kNoSlot) return;
    m_taken.fetch_sub(1, std::memory_order_acq_rel);
    m_slots[slot].store(0, std::memory_order_release);
  }
  // One atomic load while nobody waits, as on almost every load.
  bool Waits(uint64_t key) const noexcept {
    if (m_taken.load(std::memory_order_acquire) == 0) return false;
    for (const std::atomic<uint64_t>& slot : m_slots) {
      if (slot.load(std::memory_order_acquire) == key) return true;
    }
    return false;
  }

 private:
  std::array<std::atomic<uint64_t>, kSlots> m_slots{};
  std::atomic<size_t> m_taken{0};
};

constinit WaitingWriters g_waitingWriters;

// A waiter's key: the entry's folder, byte and the process's fork
// generation, mixed into 64 bits (splitmix64's finaliser). Two entries that
// share a key only make a load of one wait for a store of the other.
uint64_t WaitKey(dev_t device, ino_t inode, uint64_t byte) {
  uint64_t key = 0;
  for (const uint64_t part : {static_cast<uint64_t>(device), static_cast<uint64_t>(inode), byte, ForkGeneration()}) {
    key = (key ^ part) + 0x9E3779B97F4A7C15ull;
    key = (key ^ (key >> 30)) * 0xBF58476D1CE4E5B9ull;
    key = (key ^ (key >> 27)) * 0x94D049BB133111EBull;
    key ^= key >> 31;
  }
  return key == 0 ? 1 : key;
}

struct flock ByteRange(uint64_t byte, short type) {
  struct flock range = {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(byte);
  range.l_len = 1;
  return range;
}

}  // namespace

FolderNotMade::FolderNotMade(const TPath& folder, std::error_code error)
    : TFileException(u"Cannot create folder", folder.ToString(), error), m_folder(folder) {}

void EnsureDirectory(const TPath& folder) {
  if (DirectoryExists(folder)) return;
  std::error_code error;
  if (CreateDirectory(folder, error)) return;
  // The host's generic exception is what callers of a store have always seen
  // here; the reason (the path and the operating system's error) travels
  // under it as its nested cause, which TLog::LogCurrentException shows.
  ThrowUnspecifiedExceptionCausedBy(FolderNotMade(folder, error));
}

const TPath* FolderNotMadeBy(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::nested_exception& outer) {
    try {
      outer.rethrow_nested();
    } catch (const FolderNotMade& reason) {
      // The exception object lives on: `failure` holds the outer one, which
      // holds this one.
      return &reason.Folder();
    } catch (...) {
    }
  } catch (...) {
  }
  return nullptr;
}

// ---- DiskCacheFolder ---------------------------------------------------------

namespace {

// A path the system would read as another folder is refused: the system
// stops at a NUL (so "/c/\0x" would be "/c/", whose other folders the
// sweeper and drops would then remove), and an empty path is the working
// folder's entries.
const TPath& CheckedCachePath(const TPath& path) {
  const TString& text = path.ToString();
  if (text.empty()) ThrowLogicException("main/caching/DiskCacheFolder", __LINE__, "cache path is empty");
  for (char16_t ch : text.u16()) {
    if (ch == u'\0') {
      ThrowLogicException("main/caching/DiskCacheFolder", __LINE__, "cache path contains a NUL character");
    }
  }
  return path;
}

// The warnings' limiters of the folder at `path`. They outlive the
// DiskCacheFolder objects on the path, so that a host that makes a cache
// object per use is limited too; those of folders that no live object uses
// are dropped once there are many (kKeptLogs) to keep. Each kind: 20 lines at
// once, then one per 10 seconds.
std::shared_ptr<DiskCacheFolder::Logs> FolderLogsOf(const std::string& path) {
  constexpr size_t kKeptLogs = 256;
  struct AllLogs {
    TMutex mutex;
    std::map<std::string, std::shared_ptr<DiskCacheFolder::Logs>> byPath KELCACHE_GUARDED_BY(mutex);
  };
  static AllLogs* const all = new AllLogs;  // never destroyed: folders may outlive static destruction
  TMutexLock guard(all->mutex);
  if (auto found = all->byPath.find(path); found != all->byPath.end()) return found->second;
  if (all->byPath.size() >= kKeptLogs) {
    std::erase_if(all->byPath, [](const auto& entry) { return entry.second.use_count() == 1; });
  }
  auto made = std::make_shared<DiskCacheFolder::Logs>(20, std::chrono::seconds(10));
  all->byPath.emplace(path, made);
  return made;
}

}  // namespace

DiskCacheFolder::DiskCacheFolder(TPath path)
    : m_path(CheckedCachePath(path)),
      m_pathUtf8(m_path.ToUtf8()),
      m_logs(FolderLogsOf(m_pathUtf8)) {}

DiskCacheFolder::~DiskCacheFolder() = default;

std::shared_ptr<DiskCacheFolder::Opening> DiskCacheFolder::TrustedCurrent(std::chrono::steady_clock::time_point now,
                                                                          bool lookAtPath) {
  std::shared_ptr<Opening> current;
  {
    TMutexLock guard(m_mutex);
    if (!m_current || !m_current->MadeInThisProcess()) return nullptr;
    if (!lookAtPath && now - m_currentCheckedAt < kIdentityCheckInterval) return m_current;
    current = m_current;
  }
  // Looked up without the mutex: a path walk may wait on the file system.
  if (!current->LiesAt(m_pathUtf8.c_str())) {
    Forget(current);
    return nullptr;
  }
  TMutexLock guard(m_mutex);
  if (m_current == current) m_currentCheckedAt = now;
  return current;
}

std::shared_ptr<DiskCacheFolder::Opening> DiskCacheFolder::Open(bool create) {
  const uint64_t generation = ForkGeneration();
  const auto now = std::chrono::steady_clock::now();
  // What a store writes must land at the path, so it always looks (one
  // system call beside the store's dozen); loads and drops trust the last look.
  if (std::shared_ptr<Opening> current = TrustedCurrent(now, create)) return current;
  // O_PATH: the descriptor only names the folder for openat and its kin, so
  // it needs no read permission on the folder itself.
  constexpr int kFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  int fd = OpenFileAt(AT_FDCWD, m_pathUtf8.c_str(), kFlags);
  if (fd < 0) {
    if (!create) {
      // A folder that cannot be found or reached (missing, a file on its
      // way, a name too long, a loop of links, no permission) holds nothing
      // to load or drop, quietly, as a file that does not exist. A lack of
      // resources (descriptors, memory) is a failure.
      if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG || errno == ELOOP || errno == EACCES) {
        return nullptr;
      }
      throw TFileException::FromErrno(u"Cannot open folder", m_path.ToString());
    }
    EnsureDirectory(m_path);
    fd = OpenFileAt(AT_FDCWD, m_pathUtf8.c_str(), kFlags);
    if (fd < 0) throw TFileException::FromErrno(u"Cannot open folder", m_path.ToString());
  }
  std::shared_ptr<Opening> fresh;
  try {
    fresh = std::make_shared<Opening>(fd, generation);
  } catch (...) {
    ::close(fd);
    throw;
  }
  std::shared_ptr<Opening> replaced;  // released after the mutex: its destructor closes descriptors
  TMutexLock guard(m_mutex);
  // Another thread may have opened the folder meanwhile; keep one Opening.
  // But a store writes where the path led when it looked: the other thread
  // may have opened the folder before it was moved aside, and installed it
  // after this thread found none.
  if (m_current && m_current->MadeInThisProcess() && (!create || m_current->SameFolderAs(*fresh))) {
    return m_current;
  }
  replaced = std::move(m_current);
  m_current = fresh;
  m_currentCheckedAt = now;
  return fresh;
}

void DiskCacheFolder::Forget(const std::shared_ptr<Opening>& opening) {
  std::shared_ptr<Opening> forgotten;  // released after the mutex
  TMutexLock guard(m_mutex);
  if (m_current == opening) forgotten = std::move(m_current);
}

// ---- DiskCacheFolder::Opening ------------------------------------------------

DiskCacheFolder::Opening::Opening(int folderFd, uint64_t forkGeneration)
    : m_folderFd(folderFd), m_forkGeneration(forkGeneration) {
  struct stat info {};
  if (::fstat(m_folderFd, &info) == 0) {
    m_device = info.st_dev;
    m_inode = info.st_ino;
  }
}

bool DiskCacheFolder::Opening::SameFolderAs(const Opening& other) const {
  return m_device == other.m_device && m_inode == other.m_inode;
}

bool DiskCacheFolder::Opening::LiesAt(const char* path) const {
  struct stat info {};
  return ::stat(path, &info) == 0 && info.st_dev == m_device && info.st_ino == m_inode;
}

bool DiskCacheFolder::Opening::HasLockFile() const {
  struct stat info {};
  return ::fstatat(m_folderFd, kLockFileName, &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

// Without the mutex: nobody else can reach an Opening whose last reference
// went, and in a child forked without exec the inherited Opening's mutex may
// have been held by a thread of the parent at the fork, for good.
DiskCacheFolder::Opening::~Opening() {
  for (int fd : m_idle) LockDescriptions::Get().Close(fd);
  ::close(m_folderFd);
}

bool DiskCacheFolder::Opening::Removed() const {
  struct stat info {};
  // A failed fstat counts as removed: the caller then opens the path again.
  return ::fstat(m_folderFd, &info) != 0 || info.st_nlink == 0;
}

bool DiskCacheFolder::Opening::MadeInThisProcess() const {
  return m_forkGeneration == ForkGeneration();
}

int DiskCacheFolder::Opening::TakeLockDescription(bool createLockFile) {
  {
    TMutexLock guard(m_mutex);
    if (!m_idle.empty()) {
      int fd = m_idle.back();
      m_idle.pop_back();
      return fd;
    }
  }
  // Read-write, so that the description serves shared and exclusive locks.
  return LockDescriptions::Get().Open(m_folderFd, O_RDWR | O_CLOEXEC | (createLockFile ? O_CREAT : 0));
}

void DiskCacheFolder::Opening::GiveBack(int fd) {
  {
    TMutexLock guard(m_mutex);
    if (m_idle.size() < kMaxIdle) {
      try {
        m_idle.push_back(fd);
        return;
      } catch (const std::bad_alloc&) {
        // No room to keep it (a lock's release must not raise): closed.
      }
    }
  }
  LockDescriptions::Get().Close(fd);
}

// ---- EntryLock ---------------------------------------------------------------

std::chrono::milliseconds EntryLockWait() {
  return std::chrono::milliseconds(std::max(kelvra::appoptions::ExternalCacheDiskLockWaitMs(), 0));
}

EntryLock::EntryLock(std::shared_ptr<DiskCacheFolder::Opening> opening, uint64_t byte, Mode mode,
                     bool createLockFile, std::chrono::milliseconds maxWait)
    : m_opening(std::move(opening)), m_byte(byte) {
  if (!m_opening) return;
  m_fd = m_opening->TakeLockDescription(createLockFile);
  if (m_fd >= 0) {
    m_reusable = true;
  } else {
    m_lockFileError = errno;
    if (mode == Mode::Shared &&
        (m_lockFileError == EACCES || m_lockFileError == EPERM || m_lockFileError == EROFS)) {
      // A ".lock" this process may not write: a shared lock needs only read
      // access. Such a description is not kept.
      m_fd = LockDescriptions::Get().Open(m_opening->Fd(), O_RDONLY | O_CLOEXEC);
    }
  }
  if (m_fd < 0) return;
  m_held = Lock(mode == Mode::Exclusive ? F_WRLCK : F_RDLCK, maxWait);
}

bool EntryLock::Lock(short type, std::chrono::milliseconds maxWait) {
  constexpr std::chrono::microseconds kFirstPause{50};
  constexpr std::chrono::microseconds kLongestPause{2000};
  const auto deadline = std::chrono::steady_clock::now() + std::max(maxWait, std::chrono::milliseconds(0));
  const uint64_t key = WaitKey(m_opening->m_device, m_opening->m_inode, m_byte);
  // A store or drop that finds the byte held says that it waits, until it
  // has the lock or gives up; loads of this process let it go first.
  size_t slot = WaitingWriters::kNoSlot;
  struct LeaveOnReturn {
    size_t& slot;
    ~LeaveOnReturn() { g_waitingWriters.Leave(slot); }
  } leave{slot};
  std::chrono::microseconds pause = kFirstPause;
  for (;;) {
    if (type == F_WRLCK || !g_waitingWriters.Waits(key)) {
      struct flock range = ByteRange(m_byte, type);
      if (::fcntl(m_fd, F_OFD_SETLK, &range) == 0) return true;
      // Anything but a conflicting holder (or a signal): no lock here; the
      // description goes back unused.
      if (errno != EAGAIN && errno != EACCES && errno != EINTR) return false;
      if (type == F_WRLCK && slot == WaitingWriters::kNoSlot) slot = g_waitingWriters.Enter(key);
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      m_waitExpired = true;
      return false;
    }
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, kLongestPause);
  }
}

EntryLock::~EntryLock() {
  if (m_fd < 0) return;
  if (m_held) {
    struct flock range = ByteRange(m_byte, F_UNLCK);
    if (::fcntl(m_fd, F_OFD_SETLK, &range) != 0) {
      // Closing the only descriptor of the description releases the lock.
      LockDescriptions::Get().Close(m_fd);
      return;
    }
  }
  if (m_reusable) {
    m_opening->GiveBack(m_fd);
  } else {
    LockDescriptions::Get().Close(m_fd);
  }
}

}  // namespace kelvra::caching
