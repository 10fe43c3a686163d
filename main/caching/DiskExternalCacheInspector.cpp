// The inspector reads an entry as a load does (DiskExternalCacheEntry.h for
// the layout and the integrity check, DiskCacheFolder.h for the folder kept
// open and the entry lock) and then sorts what it found into a state, rather
// than into a hit or a miss. It only opens, reads and stats: nothing here
// creates, writes, renews or removes.
#include "public/caching/DiskExternalCacheInspector.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "host/Errors.h"
#include "host/FileDescriptor.h"
#include "host/FileErrors.h"
#include "host/AppOptions.h"
#include "host/FileSystem.h"
#include "host/FolderSweeper.h"
#include "host/TDirectory.h"
#include "main/caching/DiskCacheFolder.h"
#include "main/caching/DiskExternalCacheEntry.h"
#include "public/caching/DiskExternalCache.h"
#include "public/caching/ExternalCache.h"

namespace kelvra::caching {

namespace {

constexpr const char* kSource = "main/caching/DiskExternalCacheInspector";

using State = DiskEntryReport::State;

// True for the text KeyHash gives (IsEntryFolderName). Only such folders are
// ever reached by a load, and only they have a byte of ".lock". A name with
// a unit outside ASCII is none (its 8-bit form could not be all digits).
bool IsKeyHash(const TString& name) {
  return IsEntryFolderName(name.toStdString());
}

TString SystemError(const char16_t* operation, const TPath& path, int error) {
  return TString(operation) + u" '" + path.ToString() + u"': " +
         TString::fromStdString(std::generic_category().message(error));
}

DiskEntryReport With(DiskEntryReport report, State state, TString detail) {
  report.state = state;
  report.detail = std::move(detail);
  return report;
}

// Sorts one entry folder, read under its lock (unless the lock could not be
// had: a folder without ".lock", a holder that kept it too long), into a state.
DiskEntryReport InspectEntry(const DiskCacheFolder::Opening& opening, const DiskEntryFiles& entry,
                             uint64_t unverifiedLimit, DiskEntryReport report) {
  const DiskKeyRead key = ReadDiskKey(opening.Fd(), entry.keyName.c_str());
  if (key.outcome == DiskKeyRead::Outcome::Failed) {
    return With(std::move(report), State::Unreadable, SystemError(key.operation, entry.keyFile, key.error));
  }
  if (key.outcome == DiskKeyRead::Outcome::NotRegular) {
    return With(std::move(report), State::NotAnEntry, TString(u"its \".key\" is not a regular file"));
  }
  if (key.outcome == DiskKeyRead::Outcome::Read) {
    report.key = TString::fromUtf8(key.bytes);
    report.keyBytes = key.bytes;
  }

  std::optional<DiskValueRead> value;
  FileDescriptor valueFile(OpenFileAt(opening.Fd(), entry.valueName.c_str(), kEntryReadFlags));
  const int openError = valueFile ? 0 : errno;
  if (valueFile) {
    // Checked against the key its ".key" holds, as a load of that key would.
    value = ReadDiskValue(valueFile.Get(),
                          DiskIntegrityRecord::KeyChecksum(report.key ? report.key->toStdString() : std::string()),
                          unverifiedLimit);
    if (value->state == DiskValueRead::State::Failed) {
      return With(std::move(report), State::Unreadable,
                  SystemError(value->operation, entry.valueFile, value->error));
    }
    if (value->state == DiskValueRead::State::NotRegular) {
      return With(std::move(report), State::NotAnEntry, TString(u"its \".bin\" is not a regular file"));
    }
    report.valueSize = static_cast<uint64_t>(value->info.st_size);
    // From the value file read above, so the time is that of the file whose
    // size and contents the report gives.
    report.lastWriteInstant = FileTimeInstant(value->info.st_mtim);
    if (report.lastWriteInstant) report.lastWriteTime = LocalReadingAt(*report.lastWriteInstant);
  } else if (openError != ENOENT && openError != ENOTDIR) {
    return With(std::move(report), State::Unreadable,
                SystemError(u"Cannot open file", entry.valueFile, openError));
  }

  if (!report.key && !value) {
    // A drop (or the sweeper) that removed the whole folder between the
    // listing and the lock leaves no entry, not a damaged one.
    struct stat folder {};
    if (::fstatat(opening.Fd(), report.folderName.toStdString().c_str(), &folder, AT_SYMLINK_NOFOLLOW) != 0 &&
        (errno == ENOENT || errno == ENOTDIR)) {
      return With(std::move(report), State::Absent, TString(u"no such folder"));
    }
    return With(std::move(report), State::HalfWritten, TString(u"it holds neither \".key\" nor \".bin\""));
  }
  // A store empties ".key" before it writes the value and fills it last, so
  // an empty ".key" is a store that stopped midway, unless this is the empty
  // key's own folder.
  if (report.key && report.key->empty() && report.folderName != KeyHash(TString())) {
    return With(std::move(report), State::HalfWritten,
                TString(u"its \".key\" is empty: the store stopped before the key text"));
  }
  if (!value) return With(std::move(report), State::KeyWithoutValue, TString(u"it has no \".bin\""));
  if (!report.key) return With(std::move(report), State::ValueWithoutKey, TString(u"it has no \".key\""));
  if (const TString hash = KeyHash(*report.key); hash != report.folderName) {
    return With(std::move(report), State::Misplaced,
                u"its \".key\" holds a key whose hash is " + hash + u": no load finds it here");
  }
  switch (value->state) {
    case DiskValueRead::State::Whole:
      return With(std::move(report), State::Whole, TString());
    case DiskValueRead::State::Unverified:
      return With(std::move(report), State::Unverified, TString());
    default:
      return With(std::move(report), State::Damaged, value->damage);
  }
}

}  // namespace

const char* DiskEntryReport::StateName(State state) {
  static constexpr const char* kNames[] = {"absent",    "not-an-entry", "unreadable", "half-written", "key-without-value",
                                           "value-without-key", "misplaced", "damaged", "unverified", "whole"};
  static_assert(std::size(kNames) == static_cast<size_t>(State::Whole) + 1, "one name per state");
  const auto index = static_cast<size_t>(state);
  return index < std::size(kNames) ? kNames[index] : "unknown";
}

// The option is an int widened with its sign, as the store's frame reads it.
DiskExternalCacheInspector::DiskExternalCacheInspector(TPath cachePath)
    : DiskExternalCacheInspector(std::move(cachePath),
                                 static_cast<unsigned>(appoptions::ExternalCacheUpperBound2SizeMb())) {}

DiskExternalCacheInspector::DiskExternalCacheInspector(const DiskExternalCache& cache)
    : DiskExternalCacheInspector(cache.GetCachePath(), cache.m_upperBound2SizeMb) {}

DiskExternalCacheInspector::DiskExternalCacheInspector(TPath cachePath, unsigned upperBound2SizeMb)
    : m_folder(std::make_unique<DiskCacheFolder>(std::move(cachePath))),
      m_unverifiedLimit(UnverifiedValueLimit(upperBound2SizeMb)) {}

DiskExternalCacheInspector::~DiskExternalCacheInspector() = default;

const TPath& DiskExternalCacheInspector::GetCachePath() const {
  return m_folder->Path();
}

DiskEntryReport DiskExternalCacheInspector::InspectKey(const TString& key) const {
  return InspectFolder(KeyHash(key));
}

DiskEntryReport DiskExternalCacheInspector::InspectFolder(const TString& folderName) const {
  if (folderName.empty() || folderName == u"." || folderName == u"..") {
    ThrowLogicException(kSource, __LINE__, "folderName is empty, \".\" or \"..\"");
  }
  for (char16_t unit : folderName.u16()) {
    if (unit == u'/' || unit == u'\0') ThrowLogicException(kSource, __LINE__, "folderName holds '/' or NUL");
  }
  DiskEntryReport report;
  report.folderName = folderName;
  report.folder = m_folder->Path() / TPath(folderName);

  struct stat info {};
  if (::lstat(report.folder.ToUtf8().c_str(), &info) != 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR)
      return With(std::move(report), State::Absent, TString(u"no such folder"));
    // Made before the report is moved: arguments are evaluated in no fixed
    // order, so the move could come first.
    TString detail = SystemError(u"Cannot read", report.folder, error);
    return With(std::move(report), State::Unreadable, std::move(detail));
  }
  if (!S_ISDIR(info.st_mode))
    return With(std::move(report), State::NotAnEntry, TString(u"it is not a folder"));
  if (!IsKeyHash(folderName)) {
    return With(std::move(report), State::NotAnEntry,
                TString(u"its name is not a key hash: no load reaches it"));
  }

  // As a load does: the namespace folder kept open, the entry's lock taken
  // shared (never creating ".lock"), the files opened relative to the folder.
  const DiskEntryFiles entry(m_folder->Path(), folderName);
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::shared_ptr<DiskCacheFolder::Opening> opening;
    try {
      opening = m_folder->Open(false);
    } catch (const TFileException& error) {
      return With(std::move(report), State::Unreadable, error.GetMessage());
    }
    if (!opening) return With(std::move(report), State::Absent, TString(u"no such folder"));
    if (opening->Removed()) {
      // The folder kept open was removed since (and perhaps made again).
      m_folder->Forget(opening);
      continue;
    }
    EntryLock lock(opening, entry.lockByte, EntryLock::Mode::Shared, false, EntryLockWait());
    return InspectEntry(*opening, entry, m_unverifiedLimit, std::move(report));
  }
  return With(std::move(report), State::Absent, TString(u"no such folder"));
}

std::vector<DiskEntryReport> DiskExternalCacheInspector::ListEntries() const {
  std::vector<DiskEntryReport> reports;
  if (!DirectoryExists(m_folder->Path())) return reports;
  for (const TPath& item : TDirectory(m_folder->Path())) {
    const TString name = item.FileName();
    if (name == u".lock") continue;
    DiskEntryReport report = InspectFolder(name);
    // Removed since the folder was listed: not part of the listing.
    if (report.state != DiskEntryReport::State::Absent) reports.push_back(std::move(report));
  }
  return reports;
}

}  // namespace kelvra::caching
