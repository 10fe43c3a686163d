// The disk store's three functions, its key listing and its namespace check.
//
// Why a load never returns bytes that were not stored whole for its key:
// - The value file is replaced atomically (TFile::WriteUnsignedBinaryFile
//   writes a temporary file and renames it), so a reader opens either an old
//   value file or a new one, whole, even when the writer dies midway.
// - A store empties the key file before it replaces the value file and
//   writes the key text only afterwards, so a key file that holds the key
//   sought sits next to a value written for that key, as long as only one
//   store works on the entry folder at a time.
// - Keys whose hashes collide share the folder. Two stores of colliding keys
//   that run at once could interleave so that one's key text ends up next to
//   the other's value (A writes its value, B empties the key file and writes
//   its value, A writes its key text into the key file it opened earlier),
//   and no check by a reader can undo that. So stores, loads and drops of an
//   entry take a lock of that entry (EntryLock): stores and drops exclusive,
//   loads shared. It is a byte-range lock on the byte numbered keyHash of the
//   file ".lock" in the namespace folder, held through an open file
//   description of the operation's own, so it works between threads and
//   processes alike, and the kernel releases it when its holder dies.
// - A load also reads the key file again after the value and reports a miss
//   when it changed: a second guard for folders shared with writers that do
//   not lock (a file system without locks, another version).
#include "public/caching/DiskExternalCache.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "host/AppConfig.h"
#include "host/DateTime.h"
#include "host/Errors.h"
#include "host/FileSystem.h"
#include "host/Metrics.h"
#include "host/TDirectory.h"
#include "host/TFile.h"
#include "host/TFormatString.h"
#include "host/TLog.h"

namespace kelvra::caching {

namespace {

constexpr const char* kSource = "main/caching/DiskExternalCache";
// Category mask of the store functions' metrics scopes.
constexpr uint64_t kFunctionMetricsMask = 0x20001;
// Open mode of the key file: write, creating or emptying it.
constexpr int kWriteFromScratch = TFile::OpenWrite | TFile::OpenTruncate;

// The namespace becomes one component of the cache's path, so it must not
// name the parent, the folder itself, or reach into another folder.
void CheckNamespace(const TString& ns) {
  if (ns.empty()) ThrowLogicException(kSource, __LINE__, "namespace is empty");
  if (ns == u"." || ns == u"..") ThrowLogicException(kSource, __LINE__, "namespace is \".\" or \"..\"");
  for (char16_t ch : ns.u16()) {
    if (ch == u'/' || ch == u'\\') {
      ThrowLogicException(kSource, __LINE__, "namespace contains a path separator ('/' or '\\')");
    }
    if (ch == u'\0') ThrowLogicException(kSource, __LINE__, "namespace contains a NUL character");
  }
}

TPath DefaultCachePath(const TString& ns) {
  CheckNamespace(ns);
  TPath path(AppConfig::GetInstance().GetExternalCacheDir());
  path.Append(TPath(u"ExternalCacheV1"));
  path.Append(TPath(ns));
  return path;
}

// The paths of one entry.
struct EntryPaths {
  EntryPaths(const TPath& cachePath, const TString& keyHash)
      : folder(cachePath / TPath(keyHash)),
        keyFile(folder / TPath(u".key")),
        valueFile(folder / TPath(u".bin")) {}
  TPath folder;
  TPath keyFile;
  TPath valueFile;
};

// Makes the folder (and its parents) unless it exists; raises the host's
// generic exception when that fails.
void EnsureDirectory(const TPath& folder) {
  if (DirectoryExists(folder) || CreateDirectory(folder)) return;
  LogMessage(TLog::Warn, TFormatString(u"Failed to create directory '%1'").arg(folder.ToString()));
  ThrowUnspecifiedException();
}

// A lock of one entry (see the file comment). Acquire never raises: when the
// lock file cannot be opened (a load or drop before the first store of the
// folder: nothing to protect) or the file system refuses the lock, the
// operation goes on without it. Released when the object goes.
// Thread rules: one object belongs to one operation on one thread.
class EntryLock {
 public:
  enum class Mode { Shared, Exclusive };

  EntryLock() = default;
  EntryLock(const EntryLock&) = delete;
  EntryLock& operator=(const EntryLock&) = delete;
  ~EntryLock() {
    if (m_fd >= 0) close(m_fd);  // releases the lock
  }

  // Only stores create the lock file; they come after EnsureDirectory.
  void Acquire(const TPath& cachePath, const TString& keyHash, Mode mode, bool createLockFile) {
    const std::string lockFile = (cachePath / TPath(u".lock")).ToUtf8();
    int flags = (mode == Mode::Exclusive ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    if (createLockFile) flags |= O_CREAT;
    m_fd = open(lockFile.c_str(), flags, 0666);
    if (m_fd < 0) return;
    struct flock range = {};
    range.l_type = mode == Mode::Exclusive ? F_WRLCK : F_RDLCK;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(keyHash.toULongLong(nullptr, 10));
    range.l_len = 1;
    while (fcntl(m_fd, F_OFD_SETLKW, &range) != 0) {
      if (errno != EINTR) {
        close(m_fd);
        m_fd = -1;
        return;
      }
    }
  }

 private:
  int m_fd = -1;
};

// Renews a value file's last-write time (a stale time only ages the entry, so
// the result is ignored).
void RenewLastWriteTime(const TPath& valueFile) {
  LastWriteTime(valueFile, DateTime::GetLocalTime());
}

// True when the key file exists and holds exactly key.
bool KeyFileHolds(const TPath& keyFile, const TString& key) {
  return FileExists(keyFile) && TFile::LoadTextFile(keyFile, true) == key;
}

void StoreEntry(const TPath& cachePath, FolderSweeper* sweeper, const TString& key, const TString& keyHash,
                const std::vector<uint8_t>& value) {
  Metrics::Scope scope(u"DiskExternalCache::TryStore", kFunctionMetricsMask);
  // Before any file of the entry is touched; a sweeper that raises fails the
  // store.
  if (sweeper != nullptr) sweeper->Sweep(cachePath, value.size());
  const EntryPaths paths(cachePath, keyHash);
  EntryLock lock;  // held through the clean-up too
  try {
    EnsureDirectory(cachePath);
    lock.Acquire(cachePath, keyHash, EntryLock::Mode::Exclusive, true);
    EnsureDirectory(paths.folder);
    if (FileExists(paths.keyFile) || FileExists(paths.valueFile)) {
      RemovePath(paths.valueFile);
      RemovePath(paths.keyFile);
      // Files we may not remove (another user's, say): leave the entry
      // alone.
      if (FileExists(paths.keyFile) || FileExists(paths.valueFile)) return;
    }
    // The key file is empty from here until the value is complete.
    TFile keyOut(paths.keyFile, kWriteFromScratch);
    TFile::WriteUnsignedBinaryFile(paths.valueFile, value);
    const std::string keyText = key.toStdString();
    if (keyOut.Write(keyText.data(), keyText.size()) != keyText.size()) ThrowUnspecifiedException();
    keyOut.Flush();
    keyOut.Close();
  } catch (...) {
    TLog::LogCurrentException(
        TLog::Warn, TFormatString(u"Exception in DiskExternalCache::TryStore, cachePath:'%1', keyHash:'%2'.")
                        .arg(cachePath.ToString())
                        .arg(keyHash));
    RemovePath(paths.valueFile);
    RemovePath(paths.keyFile);
    RemovePath(paths.folder);
  }
}

std::shared_ptr<std::vector<uint8_t>> LoadEntry(const TPath& cachePath, const TString& key,
                                                const TString& keyHash) {
  Metrics::Scope scope(u"DiskExternalCache::TryLoad", kFunctionMetricsMask);
  try {
    const EntryPaths paths(cachePath, keyHash);
    EntryLock lock;
    lock.Acquire(cachePath, keyHash, EntryLock::Mode::Shared, false);
    if (!FileExists(paths.keyFile) || !FileExists(paths.valueFile)) return nullptr;
    // The small key file first: a colliding key costs no value read.
    if (TFile::LoadTextFile(paths.keyFile, true) != key) return nullptr;
    RenewLastWriteTime(paths.valueFile);
    auto value = std::make_shared<std::vector<uint8_t>>(TFile::LoadUnsignedBinaryFile(paths.valueFile));
    // A store of a colliding key that does not lock empties the key file
    // before it replaces the value file: if the key changed meanwhile, the
    // value may be the other key's.
    if (!KeyFileHolds(paths.keyFile, key)) return nullptr;
    return value;
  } catch (...) {
    TLog::LogCurrentException(
        TLog::Warn, TFormatString(u"DiskExternalCache::TryLoad failed to read a cache entry from disk, "
                                  u"cachePath:'%1', keyHash:'%2'.")
                        .arg(cachePath.ToString())
                        .arg(keyHash));
    return nullptr;
  }
}

void DropEntry(const TPath& cachePath, const TString& keyHash) {
  Metrics::Scope scope(u"DiskExternalCache::TryDrop", kFunctionMetricsMask);
  try {
    EntryLock lock;
    lock.Acquire(cachePath, keyHash, EntryLock::Mode::Exclusive, false);
    // The key file is not read: the folder goes whichever key it holds.
    RemovePathRecursively(EntryPaths(cachePath, keyHash).folder);
  } catch (...) {
    TLog::LogCurrentException(
        TLog::Warn, TFormatString(u"DiskExternalCache::TryDrop failed, cachePath:'%1', keyHash:'%2'.")
                        .arg(cachePath.ToString())
                        .arg(keyHash));
  }
}

}  // namespace

DiskExternalCache::DiskExternalCache(TString ns, std::shared_ptr<FolderSweeper> sweeper)
    : DiskExternalCache(ns, DefaultCachePath(ns), std::move(sweeper)) {}

DiskExternalCache::DiskExternalCache(TString ns, TPath cachePath, std::shared_ptr<FolderSweeper> sweeper)
    : ExternalCache((CheckNamespace(ns), std::move(ns))),
      cachePath(std::move(cachePath)),
      m_sweeper(std::move(sweeper)) {}

DiskExternalCache::~DiskExternalCache() = default;

std::vector<TString> DiskExternalCache::TryGetAllKeys() const {
  std::vector<TString> keys;
  if (!DirectoryExists(cachePath)) return keys;
  for (const TPath& entry : TDirectory(cachePath)) {
    try {
      const TPath keyFile = entry / TPath(u".key");
      if (FileExists(keyFile) && FileExists(entry / TPath(u".bin"))) {
        keys.push_back(TFile::LoadTextFile(keyFile, true));
      }
    } catch (...) {
      TLog::LogCurrentException(TLog::Info, TString(u"DiskExternalCache::TryGetAllKeys failed"));
    }
  }
  return keys;
}

DiskExternalCache::StoreFunc DiskExternalCache::GetStoreFunc() const {
  return [cachePath = cachePath, sweeper = m_sweeper](
             TString key, TString keyHash, std::shared_ptr<std::vector<uint8_t>> value, long long) {
    StoreEntry(cachePath, sweeper.get(), key, keyHash, *value);
  };
}

DiskExternalCache::LoadFunc DiskExternalCache::GetLoadFunc() const {
  return [cachePath = cachePath](TString key, TString keyHash) { return LoadEntry(cachePath, key, keyHash); };
}

DiskExternalCache::DropFunc DiskExternalCache::GetDropFunc() const {
  return [cachePath = cachePath](TString, TString keyHash) { DropEntry(cachePath, keyHash); };
}

}  // namespace kelvra::caching
