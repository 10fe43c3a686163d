// The disk store's three functions, its key listing and its namespace check.
//
// Why a load never returns bytes that were not stored whole for its key:
// - The value file is replaced atomically (TFile::WriteUnsignedBinaryFileAt
//   writes a temporary file and renames it), so a reader opens either an old
//   value file or a new one, whole, even when the writer dies midway.
// - A store removes the key file before it replaces the value file and
//   writes the key text only afterwards, so a key file that holds the key
//   sought sits next to a value written for that key, as long as only one
//   store works on the entry folder at a time.
// - Keys whose hashes collide share the folder. Two stores of colliding keys
//   that run at once could interleave so that one's key text ends up next to
//   the other's value (A writes its value, B empties the key file and writes
//   its value, A writes its key text into the key file it opened earlier),
//   and no check by a reader can undo that. So stores, loads and drops of an
//   entry take a lock of that entry (EntryLock, DiskCacheFolder.h): stores
//   and drops exclusive, loads shared. It works between threads and
//   processes alike, and the kernel releases it when its holder dies.
// - A load that could not take the lock (a file system without locks, a
//   folder made by another version) keeps the key file it read open, opens
//   the key file again after the value and reports a miss when that is
//   another file: a store came between. Under the lock none can, so a
//   locked load opens the key file once.
//
// - A value file that changed after its store (cut, emptied, overwritten: a
//   power cut after the rename but before the data reached the disk can
//   leave a zero-length ".bin") no longer matches the integrity record that
//   its store put in an attribute of the file (DiskExternalCacheEntry.h). A
//   load checks the length and checksum of what it read against it, and a
//   damaged value is a miss, logged at Warn with the entry's folder. A value
//   file without record (an older version's, or one on a file system
//   without user attributes) is served as it is, but only when it is smaller
//   than the values this cache refuses to store: a bigger one is none of its
//   values, and is a miss logged the same way.
//
// What each operation asks of the kernel, in the usual case (this is where a
// small load or store spends its time, so every call here earns its place):
//   load:  lock, open + read + close ".key", open + fstat + fgetxattr +
//          read + futimens + close ".bin", unlock;
//   store: stat the namespace folder's path (DiskCacheFolder: a store always
//          looks), lock, open the entry folder (not following a link),
//          unlink ".bin" and ".key" and list the folder for temporary files
//          of dead writers (or make the entry folder when it is new and
//          open it), open ".key", open + write + fsetxattr + close + rename
//          the value's temporary file, write + close ".key", close the entry
//          folder, unlock.
// The namespace folder stays open (DiskCacheFolder), entry files are opened
// relative to it (a store's, relative to the entry folder it opened), and
// the descriptions of ".lock" are reused. Nothing in the entry is checked
// ahead with stat: the lock keeps other writers of the entry out, so
// opening a file and taking ENOENT as a miss answers the same question in
// one call. Unusual states (a file where the entry folder should be, files
// this process may not remove) fall back to the general steps, which check
// everything ahead, so that their outcome and log lines stay as they were;
// they too change the entry only through its folder opened without
// following a link.
//
// Failures that a function swallows are logged with the path concerned and
// the operating system's reason: the functions raise TFileException (or the
// host's generic exception over one, for a folder that cannot be made and a
// ".key" that cannot be written whole) and log it where they catch it, within
// the folder's limit for each kind of line (LogFailure). Two
// are quiet on purpose, each commented where it happens: old files that a
// store cannot remove (what is left of the old entry stays, and the store
// ends), and a folder that a drop cannot remove.
#include "public/caching/DiskExternalCache.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "host/AppConfig.h"
#include "host/Errors.h"
#include "host/FileDescriptor.h"
#include "host/FileErrors.h"
#include "host/FileSystem.h"
#include "host/LogRateLimiter.h"
#include "host/Metrics.h"
#include "host/TDirectory.h"
#include "host/TFile.h"
#include "host/TFormatString.h"
#include "host/TLog.h"
#include "main/caching/DiskCacheFolder.h"
#include "main/caching/DiskExternalCacheEntry.h"

namespace kelvra::caching {

namespace {

constexpr const char* kSource = "main/caching/DiskExternalCache";
// Category mask of the store functions' metrics scopes.
constexpr uint64_t kFunctionMetricsMask = 0x20001;
// The longest file name (a folder's included) on the file systems we run on
// (NAME_MAX of Linux), in bytes of the name's 8-bit form.
constexpr size_t kMaxFileNameBytes = 255;

// The namespace becomes one component of the cache's path, so it must not
// name the parent, the folder itself, reach into another folder, or be
// longer than a file name may be (such a folder could never be made, and
// every store would fail).
void CheckNamespace(const TString& ns) {
  if (ns.empty()) ThrowLogicException(kSource, __LINE__, "namespace is empty");
  if (ns == u"." || ns == u"..") ThrowLogicException(kSource, __LINE__, "namespace is \".\" or \"..\"");
  for (char16_t ch : ns.u16()) {
    if (ch == u'/' || ch == u'\\') {
      ThrowLogicException(kSource, __LINE__, "namespace contains a path separator ('/' or '\\')");
    }
    if (ch == u'\0') ThrowLogicException(kSource, __LINE__, "namespace contains a NUL character");
  }
  if (ns.toStdString().size() > kMaxFileNameBytes) {
    ThrowLogicException(kSource, __LINE__,
                        "namespace is longer than a file name may be (255 bytes of its 8-bit form)");
  }
}

TPath DefaultCachePath(const TString& ns) {
  CheckNamespace(ns);
  TPath path(AppConfig::GetInstance().GetExternalCacheDir());
  path.Append(TPath(u"ExternalCacheV1"));
  path.Append(TPath(ns));
  return path;
}

using Entry = DiskEntryFiles;

// Logs the failure being handled (from within a catch block) at Warn with
// `text`, within its folder's limit for that kind of line: a folder that
// cannot be written fails every store, and a host may store on every miss.
// A folder that could not be made is named in a line of its own first. The
// first line written after some were left out carries their number as the
// value "suppressed".
// Never raises (out of memory, the lines are lost): a store still cleans up
// after it.
void LogFailure(LogRateLimiter& limiter, const TFormatString& text) noexcept {
  try {
    const LogRateLimiter::Decision decision = limiter.Next();
    if (!decision.write) return;
    if (const TPath* notMade = FolderNotMadeBy(std::current_exception())) {
      LogMessage(TLog::Warn, TFormatString(u"Failed to create directory '%1'").arg(notMade->ToString()));
    }
    std::unordered_map<TString, TString> values;
    if (decision.suppressed != 0) {
      values[TString(u"suppressed")] = TString::number(static_cast<unsigned long long>(decision.suppressed));
    }
    TLog::LogCurrentException(TLog::Warn, text.result(), values);
  } catch (...) {
  }
}

// True when the key's 8-bit bytes decide whether a key file holds it:
// TString's 8-bit form is one-to-one (unpaired surrogates included), and
// bytes that are not such a form decode to text with U+FFFD in it. So
// comparing bytes answers exactly as comparing the decoded text does, unless
// the key itself holds U+FFFD, which invalid bytes decode to as well.
bool BytesDecide(const TString& key) {
  for (const char16_t unit : key.u16()) {
    if (unit == u'\uFFFD') return false;
  }
  return true;
}

// What a key file must hold for a load to find key.
struct ExpectedKey {
  explicit ExpectedKey(const TString& key)
      : text(key), utf8(key.toStdString()), bytesDecide(BytesDecide(key)) {}
  const TString& text;
  std::string utf8;
  bool bytesDecide;
};

enum class Found { Value, Miss, FolderRemoved };

// For a failure that the general steps would have reported as a miss: a key
// or value file that is not there as a regular file (stat failing as well,
// say). Otherwise the failure is raised, and logged by the load.
Found MissOrRaise(const Entry& entry, const char16_t* operation, const TPath& path, int error) {
  if (!FileExists(entry.keyFile) || !FileExists(entry.valueFile)) return Found::Miss;
  throw TFileException(operation, path.ToString(), std::error_code(error, std::generic_category()));
}

// Whether the open key file holds the key.
bool KeyFileHolds(int fd, const ExpectedKey& expected, const Entry& entry) {
  if (expected.bytesDecide) {
    // One byte more than the key, so that a longer file shows. A regular file
    // that nobody writes meanwhile (the entry's lock keeps writers out) reads
    // short only at its end, so one read tells the whole content.
    std::string content(expected.utf8.size() + 1, '\0');
    const ssize_t n = ReadSomeBytes(fd, content.data(), content.size());
    if (n < 0) {
      if (MissOrRaise(entry, u"Cannot read file", entry.keyFile, errno) == Found::Miss) return false;
    }
    if (static_cast<size_t>(n) != expected.utf8.size() ||
        std::memcmp(content.data(), expected.utf8.data(), expected.utf8.size()) != 0) {
      return false;
    }
    // Nothing read matches the empty key, and an empty device or a pipe
    // without a writer reads as nothing too: only a regular file counts.
    // (Other keys' bytes followed by an end do not come out of such files by
    // chance, so they are spared the system call.)
    if (n != 0) return true;
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  }
  // Keys whose bytes do not decide: the file's text, as TFile::LoadTextFile
  // reads it; only from a regular file (a device or a pipe put there would
  // be read without end).
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  std::string content;
  if (const int error = ReadWholeFile(fd, &content); error != 0) {
    if (MissOrRaise(entry, u"Cannot read file", entry.keyFile, error) == Found::Miss) return false;
  }
  return TString::fromUtf8(content) == expected.text;
}

// Opens the entry's key file and checks it; a key file that holds the key
// stays open in *kept when kept is given. FolderRemoved when the key file is
// missing because the namespace folder of this opening has been removed.
Found CheckKeyFile(const DiskCacheFolder::Opening& opening, const Entry& entry, const ExpectedKey& expected,
                   FileDescriptor* kept = nullptr) {
  FileDescriptor keyFile(OpenFileAt(opening.Fd(), entry.keyName.c_str(), kEntryReadFlags));
  if (!keyFile) {
    const int error = errno;
    if (error == ENOENT && opening.Removed()) return Found::FolderRemoved;
    if (error == ENOENT || error == ENOTDIR) return Found::Miss;
    return MissOrRaise(entry, u"Cannot open file", entry.keyFile, error);
  }
  if (!KeyFileHolds(keyFile.Get(), expected, entry)) return Found::Miss;
  if (kept != nullptr) *kept = std::move(keyFile);
  return Found::Value;
}

// True when the entry's key file is still `keyFile`, the same file, not one
// made since. Stores never write a key file in place: each removes the old
// one and makes a new one. The old one, held open by the caller, keeps its
// inode number from being reused meanwhile.
bool KeyFileIsStill(const DiskCacheFolder::Opening& opening, const Entry& entry, const FileDescriptor& keyFile) {
  FileDescriptor now(OpenFileAt(opening.Fd(), entry.keyName.c_str(), kEntryReadFlags));
  struct stat then {};
  struct stat current {};
  return now && ::fstat(keyFile.Get(), &then) == 0 && ::fstat(now.Get(), &current) == 0 &&
         then.st_dev == current.st_dev && then.st_ino == current.st_ino;
}

// Renews the value file's last-write time to now, to the millisecond: the
// time LastWriteTime(path, DateTime::GetLocalTime()) sets, here on the open
// file. Not the kernel's own now (UTIME_NOW), which comes from a coarse clock
// a few milliseconds behind the system clock, so that a time taken before
// the load could be later than the renewed one. A stale time only ages the
// entry, so the result is ignored. The access time is left alone.
void RenewLastWriteTime(int fd) {
  const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  const struct timespec times[2] = {{0, UTIME_OMIT},
                                    {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L}};
  ::futimens(fd, times);
}

// Reads the entry through opening, under the lock when locked; a damaged
// value is reported through damagedLog. A value file without integrity
// record is served only below unverifiedLimit bytes (UnverifiedValueLimit).
Found ReadEntry(const DiskCacheFolder::Opening& opening, const Entry& entry, const ExpectedKey& expected,
                bool locked, uint64_t unverifiedLimit, LogRateLimiter& damagedLog,
                std::shared_ptr<std::vector<uint8_t>>* value) {
  // The small key file first: a colliding key costs no value read. Without
  // the lock it stays open, for the check at the end.
  FileDescriptor keyFile;
  if (Found found = CheckKeyFile(opening, entry, expected, locked ? nullptr : &keyFile); found != Found::Value) {
    return found;
  }

  FileDescriptor valueFile(OpenFileAt(opening.Fd(), entry.valueName.c_str(), kEntryReadFlags));
  if (!valueFile) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) return Found::Miss;
    return MissOrRaise(entry, u"Cannot open file", entry.valueFile, error);
  }
  DiskValueRead read =
      ReadDiskValue(valueFile.Get(), DiskIntegrityRecord::KeyChecksum(expected.utf8), unverifiedLimit);
  switch (read.state) {
    case DiskValueRead::State::Whole:
    case DiskValueRead::State::Unverified:
      break;
    case DiskValueRead::State::NotRegular:
      return Found::Miss;
    case DiskValueRead::State::Failed:
      return MissOrRaise(entry, read.operation, entry.valueFile, read.error);
    case DiskValueRead::State::OtherKey:
      // Another key's value beside this key's key file: a store of a
      // colliding key came between (a load without the lock), or one was cut
      // short before its key text. Not this key's, so a miss, quietly: the
      // entry is not damaged for the key it holds.
      return Found::Miss;
    case DiskValueRead::State::Damaged: {
      // Left as it is (a load holds the lock shared, and must not write): a
      // later store replaces it, a drop or the sweeper removes it. Until then
      // every load of it misses; the line is rate-limited so that a damaged
      // entry loaded in a loop does not flood the log.
      if (const LogRateLimiter::Decision decision = damagedLog.Next(); decision.write) {
        LogMessage(TLog::Warn,
                   TFormatString(u"DiskExternalCache::TryLoad found a damaged cache entry '%1': %2; "
                                 u"it counts as a miss.%3")
                       .arg(entry.folder.ToString())
                       .arg(read.damage)
                       .arg(decision.LeftOutNote()));
      }
      return Found::Miss;
    }
  }
  if (!locked) {
    // A store that does not lock removes the key file before it replaces the
    // value file: unless the key file read above is still the entry's, the
    // value may be another key's. (Reading the key file again would not do:
    // a store of a colliding key, then one of this key, may have run while
    // the value was read, and the key file would hold this key again.)
    if (!KeyFileIsStill(opening, entry, keyFile)) return Found::Miss;
  }
  // Only a value that is served renews the time: a miss changes nothing.
  RenewLastWriteTime(valueFile.Get());
  valueFile.Close();
  *value = std::move(read.bytes);
  return Found::Value;
}

std::shared_ptr<std::vector<uint8_t>> LoadEntry(DiskCacheFolder& folder, const TString& key, const TString& keyHash,
                                                uint64_t unverifiedLimit) {
  Metrics::Scope scope(u"DiskExternalCache::TryLoad", kFunctionMetricsMask);
  try {
    const Entry entry(folder.Path(), keyHash);
    const ExpectedKey expected(key);
    // Twice at most: a second time only when the folder kept open turned out
    // to be removed (and maybe made again) since it was opened.
    for (int attempt = 0; attempt < 2; ++attempt) {
      std::shared_ptr<DiskCacheFolder::Opening> opening = folder.Open(false);
      if (!opening) return nullptr;  // no folder: nothing stored, nothing made
      std::shared_ptr<std::vector<uint8_t>> value;
      Found found;
      {
        EntryLock lock(opening, entry.lockByte, EntryLock::Mode::Shared, false, EntryLockWait());
        found =
            ReadEntry(*opening, entry, expected, lock.Held(), unverifiedLimit, folder.FolderLogs().damagedEntries, &value);
      }
      if (found == Found::Value) return value;
      if (found == Found::Miss) return nullptr;
      folder.Forget(opening);
    }
    return nullptr;
  } catch (...) {
    LogFailure(folder.FolderLogs().loadFailures,
               TFormatString(u"DiskExternalCache::TryLoad failed to read a cache entry from disk, "
                             u"cachePath:'%1', keyHash:'%2'.")
                   .arg(folder.Path().ToString())
                   .arg(keyHash));
    return nullptr;
  }
}

// Ready: the entry folder exists and holds no key or value file.
// FolderRemoved: the namespace folder kept open was removed meanwhile.
// OldFilesStay: an old key or value file could not be removed; the store
// leaves the old entry as it is and ends quietly.
enum class Prepared { Ready, FolderRemoved, OldFilesStay };

constexpr const char* kKeyLeaf = ".key";
constexpr const char* kValueLeaf = ".bin";

// Opens the entry folder itself, never a link in its place nor a file (both
// fail, with ELOOP or ENOTDIR). The store writes and removes inside it
// through the descriptor only, so that a link put where the folder belongs
// after it was opened cannot lead the store elsewhere. A folder this process
// may not read (another user's) is opened by name only (O_PATH), which is
// enough for all but listing it.
int OpenEntryFolder(int folderFd, const Entry& entry) {
  constexpr int kFlags = O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  const int opened = OpenFileAt(folderFd, entry.name.c_str(), O_RDONLY | kFlags);
  if (opened >= 0 || errno != EACCES) return opened;
  return OpenFileAt(folderFd, entry.name.c_str(), O_PATH | kFlags);
}

// Removes the temporary value files of writers that died midway (killed
// between the temporary file's creation and its rename). Whoever holds the
// entry's exclusive lock knows that no living store writes here, so they
// can go; without this they would pile up in an entry that is stored often
// and never dropped or swept. A folder opened by name only cannot be listed,
// and keeps them.
void RemoveDeadWritersFiles(int entryFolderFd) {
  alignas(dirent64) char buffer[2048];
  for (;;) {
    const ssize_t bytes = ::getdents64(entryFolderFd, buffer, sizeof buffer);
    if (bytes <= 0) return;
    for (ssize_t offset = 0; offset < bytes;) {
      const auto* listed = reinterpret_cast<const dirent64*>(buffer + offset);
      offset += listed->d_reclen;
      if (TFile::IsTemporaryFileFor(listed->d_name, kValueLeaf)) ::unlinkat(entryFolderFd, listed->d_name, 0);
    }
    // A read that left room for one more name of the greatest length read
    // the whole folder: no second call to learn that nothing is left.
    if (static_cast<size_t>(bytes) + sizeof(dirent64) + NAME_MAX <= sizeof buffer) return;
  }
}

// Removes a file, a link or an empty folder named `leaf` in the folder open
// as `folderFd` (as std::filesystem::remove does by path).
void RemoveLeafAt(int folderFd, const char* leaf) {
  if (::unlinkat(folderFd, leaf, 0) != 0 && errno == EISDIR) ::unlinkat(folderFd, leaf, AT_REMOVEDIR);
}

// Whether `leaf`, in the folder open as `folderFd`, is a regular file or a
// link to one.
bool IsRegularFileAt(int folderFd, const char* leaf) {
  struct stat info {};
  return ::fstatat(folderFd, leaf, &info, 0) == 0 && S_ISREG(info.st_mode);
}

bool IsLinkAt(int folderFd, const std::string& name) {
  struct stat info {};
  return ::fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

// A link where the entry folder belongs (put there by hand, or by whoever
// owns the namespace folder when the store runs as root) would have the
// store remove and write ".bin" and ".key" in whatever folder it names. It
// is no entry folder, and the store fails as where a file takes its place;
// the failed store's clean-up removes the link itself (RemoveWhatTheStoreBegan).
[[noreturn]] void RefuseLinkedEntryFolder(const Entry& entry) {
  ThrowUnspecifiedExceptionCausedBy(FolderNotMade(entry.folder, std::make_error_code(std::errc::not_a_directory)));
}

// Raises why the entry folder did not open (errno).
[[noreturn]] void RefuseUnopenedEntryFolder(int folderFd, const Entry& entry) {
  const int error = errno;
  if (IsLinkAt(folderFd, entry.name)) RefuseLinkedEntryFolder(entry);
  throw TFileException(u"Cannot open folder", entry.folder.ToString(), std::error_code(error, std::generic_category()));
}

// The entry folder, opened after the usual steps made it.
FileDescriptor OpenPreparedEntryFolder(int folderFd, const Entry& entry) {
  FileDescriptor opened(OpenEntryFolder(folderFd, entry));
  if (!opened) RefuseUnopenedEntryFolder(folderFd, entry);
  return opened;
}

// The general steps, for whatever the usual steps did not expect (a file
// where the entry folder should be, files this process may not remove, a
// folder named ".bin"): the outcome and the log lines are those of a store
// that checks everything ahead. The folder is made by path, which reports
// why it cannot be; from then on everything goes through the entry folder
// opened without following a link, as in the usual steps. An old key or
// value file that cannot be removed (another user's, say) leaves the old
// entry in place and the store writes and logs nothing: the old entry is
// still whole, and a store is only ever a best effort.
Prepared PrepareSlowlyAndOpen(int folderFd, const Entry& entry, FileDescriptor& entryFolder) {
  EnsureDirectory(entry.folder);
  entryFolder = FileDescriptor(OpenEntryFolder(folderFd, entry));
  // Made, by path, in a namespace folder made anew: the one kept open was
  // removed meanwhile.
  if (!entryFolder && errno == ENOENT) return Prepared::FolderRemoved;
  if (!entryFolder) RefuseUnopenedEntryFolder(folderFd, entry);
  const int fd = entryFolder.Get();
  if (IsRegularFileAt(fd, kKeyLeaf) || IsRegularFileAt(fd, kValueLeaf)) {
    RemoveLeafAt(fd, kValueLeaf);
    RemoveLeafAt(fd, kKeyLeaf);
    if (IsRegularFileAt(fd, kValueLeaf) || IsRegularFileAt(fd, kKeyLeaf)) {
      entryFolder.Close();
      return Prepared::OldFilesStay;
    }
  }
  return Prepared::Ready;
}

// Leaves an entry folder without key or value file, under the entry's
// exclusive lock (`locked`: whether the file system gave it), and opens it
// as `entryFolder`. The value file goes first,
// so that a key file never outlives its value by this store's doing. The
// usual cases take five calls or four: an entry stored before (open, unlink
// ".bin", unlink ".key", list what else is there), a new entry (open, mkdir,
// open), and the closing.
// FolderRemoved when the namespace folder of the opening has been removed.
Prepared PrepareEntry(int folderFd, const Entry& entry, bool locked, FileDescriptor& entryFolder) {
  entryFolder = FileDescriptor(OpenEntryFolder(folderFd, entry));
  if (!entryFolder) {
    if (errno == ELOOP || errno == ENOTDIR) {
      if (IsLinkAt(folderFd, entry.name)) RefuseLinkedEntryFolder(entry);
      return PrepareSlowlyAndOpen(folderFd, entry, entryFolder);
    }
    if (errno != ENOENT) return PrepareSlowlyAndOpen(folderFd, entry, entryFolder);
    if (::mkdirat(folderFd, entry.name.c_str(), 0777) != 0) {
      // Nothing can be made in a removed folder.
      if (errno == ENOENT) return Prepared::FolderRemoved;
      return PrepareSlowlyAndOpen(folderFd, entry, entryFolder);
    }
    entryFolder = OpenPreparedEntryFolder(folderFd, entry);  // new and empty
    return Prepared::Ready;
  }
  const auto removed = [&](const char* leaf) {
    return ::unlinkat(entryFolder.Get(), leaf, 0) == 0 || errno == ENOENT;
  };
  if (removed(kValueLeaf) && removed(kKeyLeaf)) {
    // Without the lock (a file system that refuses it) another store may be
    // writing its temporary file right now.
    if (locked) RemoveDeadWritersFiles(entryFolder.Get());
    return Prepared::Ready;
  }
  entryFolder.Close();
  return PrepareSlowlyAndOpen(folderFd, entry, entryFolder);
}

// After a failed store: removes the value file, the key file and the entry
// folder, whatever of them there is, through the entry folder opened without
// following a link. Whatever takes the folder's place (a link, a file) is
// removed itself. Only a folder that cannot be opened at all (no descriptor
// or memory left) is emptied by path, unless a link is there.
void RemoveWhatTheStoreBegan(const Entry& entry, int folderFd, const FileDescriptor& entryFolder) {
  FileDescriptor openedHere;
  if (!entryFolder) openedHere = FileDescriptor(OpenEntryFolder(folderFd, entry));
  const int fd = entryFolder ? entryFolder.Get() : openedHere.Get();
  if (fd >= 0) {
    RemoveLeafAt(fd, kValueLeaf);
    RemoveLeafAt(fd, kKeyLeaf);
    // Removes nothing but an empty folder (not a link put in its place).
    ::unlinkat(folderFd, entry.name.c_str(), AT_REMOVEDIR);
    return;
  }
  if (errno != ELOOP && errno != ENOTDIR && errno != ENOENT && !IsLinkAt(folderFd, entry.name)) {
    RemovePath(entry.valueFile);
    RemovePath(entry.keyFile);
  }
  RemoveLeafAt(folderFd, entry.name.c_str());
}

void StoreEntry(DiskCacheFolder& folder, FolderSweeper* sweeper, const TString& key, const TString& keyHash,
                const std::vector<uint8_t>& value) {
  Metrics::Scope scope(u"DiskExternalCache::TryStore", kFunctionMetricsMask);
  // Before any file of the entry is touched; a sweeper that raises fails the
  // store.
  if (sweeper != nullptr) sweeper->Sweep(folder.Path(), value.size());
  const Entry entry(folder.Path(), keyHash);
  std::shared_ptr<DiskCacheFolder::Opening> opening;
  std::optional<EntryLock> lock;  // held through the clean-up too
  FileDescriptor entryFolder;     // the entry folder, once prepared
  bool touched = false;           // the clean-up removes only what this store may have begun
  const std::chrono::milliseconds lockWait = EntryLockWait();
  try {
    for (int attempt = 0;; ++attempt) {
      opening = folder.Open(true);  // makes the namespace folder when it is missing
      lock.emplace(opening, entry.lockByte, EntryLock::Mode::Exclusive, true, lockWait);
      // A load may hold the entry's lock (through a ".lock" that this process
      // may not write, or for longer than the wait): changing the entry under
      // it could pair its key with another key's value. The store gives up.
      if (const int error = lock->LockFileError(); error != 0 && error != ENOENT) {
        // Where ".lock" could not be made, or the file system is read-only,
        // the store fails as one whose entry folder cannot be made
        // (EnsureDirectory logs why and raises, unless the folder is there);
        // it writes nothing unlocked.
        if (!opening->HasLockFile() || error == EROFS) EnsureDirectory(entry.folder);
        throw TFileException(u"Cannot open file", (folder.Path() / TString(u".lock")).ToString(),
                             std::error_code(error, std::generic_category()));
      }
      if (lock->WaitExpired()) {
        throw TFileException(TFormatString(u"Another operation held the lock of entry %1 for all of %2 ms in")
                                 .arg(keyHash)
                                 .arg(static_cast<long long>(lockWait.count()))
                                 .result(),
                             (folder.Path() / TString(u".lock")).ToString(),
                             std::make_error_code(std::errc::resource_unavailable_try_again));
      }
      touched = true;
      const Prepared prepared = PrepareEntry(opening->Fd(), entry, lock->Held(), entryFolder);
      if (prepared == Prepared::Ready) break;
      if (prepared == Prepared::OldFilesStay) return;
      // The folder kept open was removed: open (or make) it again, once.
      // What this store began there went with it; nothing at the new folder
      // is this store's until it holds the lock there.
      lock.reset();
      touched = false;
      folder.Forget(opening);
      if (attempt == 1) {
        throw TFileException(u"Cannot create folder", entry.folder.ToString(),
                             std::make_error_code(std::errc::no_such_file_or_directory));
      }
    }
    // The key file is empty from here until the value is complete. Without
    // waiting: a pipe left at ".key" (the careful steps leave what is no
    // regular file alone) would otherwise hold this store, and the entry's
    // lock, until some reader came; it fails the store instead.
    FileDescriptor keyOut(OpenFileAt(entryFolder.Get(), kKeyLeaf,
                                     O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666));
    if (!keyOut) throw TFileException::FromErrno(u"Cannot open file", entry.keyFile.ToString());
    // The value's length and checksum, and the key's, go with the value
    // file, in an attribute set before it replaces ".bin", for loads to check.
    const std::string keyText = key.toStdString();
    const auto record =
        DiskIntegrityRecord::Of(value.data(), value.size(), DiskIntegrityRecord::KeyChecksum(keyText)).Encode();
    const TFile::ExtendedAttribute integrity{DiskIntegrityRecord::kAttributeName, record.data(),
                                             record.size()};
    TFile::WriteUnsignedBinaryFileAt(entryFolder.Get(), kValueLeaf, entry.valueFile, value.data(), value.size(),
                                     &integrity);
    size_t written = 0;
    if (int error = WriteAllBytes(keyOut.Get(), keyText.data(), keyText.size(), &written); error != 0) {
      // A key file written short is the generic failure, as a folder that
      // cannot be made; the system's reason travels nested in it.
      ThrowUnspecifiedExceptionCausedBy(TFileException(u"Cannot write file", entry.keyFile.ToString(),
                                                       std::error_code(error, std::generic_category())));
    }
    if (int error = keyOut.Close(); error != 0) {
      throw TFileException(u"Cannot close file", entry.keyFile.ToString(),
                           std::error_code(error, std::generic_category()));
    }
  } catch (...) {
    LogFailure(folder.FolderLogs().storeFailures,
               TFormatString(u"Exception in DiskExternalCache::TryStore, cachePath:'%1', keyHash:'%2'.")
                   .arg(folder.Path().ToString())
                   .arg(keyHash));
    if (touched) RemoveWhatTheStoreBegan(entry, opening->Fd(), entryFolder);
  }
}

void DropEntry(DiskCacheFolder& folder, const TString& keyHash) {
  Metrics::Scope scope(u"DiskExternalCache::TryDrop", kFunctionMetricsMask);
  try {
    const Entry entry(folder.Path(), keyHash);
    // A drop only removes, which can cost a concurrent store its entry but
    // never pair a key with another key's value; so a kept folder that turns
    // out to be removed needs no check here (the next load or store notices).
    // A drop whose lock wait runs out removes anyway: a removal cannot serve
    // a wrong value, and an entry left in place could.
    EntryLock lock(folder.Open(false), entry.lockByte, EntryLock::Mode::Exclusive, false, EntryLockWait());
    // The key file is not read: the folder goes whichever key it holds. A
    // removal that only reports failure is not an error of the drop.
    RemovePathRecursively(entry.folder);
  } catch (...) {
    LogFailure(folder.FolderLogs().dropFailures,
               TFormatString(u"DiskExternalCache::TryDrop failed, cachePath:'%1', keyHash:'%2'.")
                   .arg(folder.Path().ToString())
                   .arg(keyHash));
  }
}

}  // namespace

DiskExternalCache::DiskExternalCache(TString ns, std::shared_ptr<FolderSweeper> sweeper)
    : DiskExternalCache(ns, DefaultCachePath(ns), std::move(sweeper)) {}

// The namespace is no part of an explicit path, so any text will do: it only
// names the cache in events.
DiskExternalCache::DiskExternalCache(TString ns, TPath cachePath, std::shared_ptr<FolderSweeper> sweeper)
    : ExternalCache(std::move(ns)),
      cachePath(std::move(cachePath)),
      m_sweeper(std::move(sweeper)),
      m_folder(std::make_shared<DiskCacheFolder>(this->cachePath)) {}

DiskExternalCache::~DiskExternalCache() = default;

std::vector<TString> DiskExternalCache::TryGetAllKeys() const {
  std::vector<TString> keys;
  if (!DirectoryExists(cachePath)) return keys;
  for (const TPath& entry : TDirectory(cachePath)) {
    try {
      if (!FileExists(entry / TPath(u".bin"))) continue;
      const TPath keyFile = entry / TPath(u".key");
      const DiskKeyRead key = ReadDiskKey(AT_FDCWD, keyFile.ToUtf8().c_str());
      if (key.outcome == DiskKeyRead::Outcome::Failed) {
        throw TFileException(key.operation, keyFile.ToString(), std::error_code(key.error, std::generic_category()));
      }
      if (key.outcome == DiskKeyRead::Outcome::Read) keys.push_back(TString::fromUtf8(key.bytes));
    } catch (...) {
      TLog::LogCurrentException(TLog::Info, TString(u"DiskExternalCache::TryGetAllKeys failed"));
    }
  }
  return keys;
}

DiskExternalCache::StoreFunc DiskExternalCache::GetStoreFunc() const {
  return [folder = m_folder, sweeper = m_sweeper](TString key, TString keyHash,
                                                  std::shared_ptr<std::vector<uint8_t>> value, long long) {
    StoreEntry(*folder, sweeper.get(), key, keyHash, *value);
  };
}

DiskExternalCache::LoadFunc DiskExternalCache::GetLoadFunc() const {
  return [folder = m_folder, unverifiedLimit = UnverifiedValueLimit(m_upperBound2SizeMb)](TString key,
                                                                                        TString keyHash) {
    return LoadEntry(*folder, key, keyHash, unverifiedLimit);
  };
}

DiskExternalCache::DropFunc DiskExternalCache::GetDropFunc() const {
  return [folder = m_folder](TString, TString keyHash) { DropEntry(*folder, keyHash); };
}

}  // namespace kelvra::caching
