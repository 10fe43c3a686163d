#include "host/FolderSweeper.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <system_error>
#include <tuple>

#include "host/TMutex.h"

namespace fs = std::filesystem;

namespace {

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

struct Measured {
  uint64_t bytes = 0;
  FileWriteTime newestWrite;
};

// A listing error that means the thing listed is gone, not that it could
// not be read.
bool Vanished(const std::error_code& error) {
  return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory;
}

struct FileFacts {
  uint64_t bytes = 0;
  FileWriteTime written;
};

// The size and last-write time of `path` itself (not of what a link names);
// nothing when they cannot be read. The time is read whole, as the file
// system holds it: the standard library's file clock reads only the years
// 1882 to 2466 and gives a time before them as another date.
std::optional<FileFacts> ReadFacts(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
  return FileFacts{static_cast<uint64_t>(info.st_size),
                   FileWriteTime{info.st_mtim.tv_sec, info.st_mtim.tv_nsec}};
}

FileWriteTime Now() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return FileWriteTime{now.tv_sec, now.tv_nsec};
}

// Nanoseconds from `earlier` to `later`, saturated at 2^33 s (272 years)
// either way: past any minimum age (at most 2^32 s), and within 64 bits.
int64_t NanosecondsBetween(FileWriteTime earlier, FileWriteTime later) {
  constexpr int64_t kLimitSeconds = int64_t{1} << 33;
  int64_t seconds = 0;
  if (__builtin_sub_overflow(later.seconds, earlier.seconds, &seconds)) {
    seconds = later.seconds > earlier.seconds ? kLimitSeconds : -kLimitSeconds;
  }
  seconds = std::clamp(seconds, -kLimitSeconds, kLimitSeconds);
  return seconds * 1000000000 + (later.nanoseconds - earlier.nanoseconds);
}

// The size of the files under an entry folder and the newest of their
// last-write times (the folder's own time when it holds no file). Nothing when
// the folder vanished before it could be measured, or could not be read (then
// `unreadable` is set). Files that vanish meanwhile are skipped.
std::optional<Measured> MeasureEntryFolder(const fs::path& folder, bool& unreadable) {
  Measured measured;
  bool sawFile = false;
  std::error_code error;
  // A folder this process may not read counts as empty (skipped): it cannot
  // be removed either, and making every scan incomplete for it would have
  // every store scan again, for as long as it stays.
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
  if (error) {
    if (!Vanished(error)) unreadable = true;
    return std::nullopt;
  }
  for (const fs::recursive_directory_iterator end; it != end;) {
    std::error_code fileError;
    fs::file_status status = it->symlink_status(fileError);
    if (!fileError && fs::is_regular_file(status)) {
      if (const std::optional<FileFacts> file = ReadFacts(it->path())) {
        measured.bytes = SaturatingAdd(measured.bytes, file->bytes);
        measured.newestWrite = sawFile ? std::max(measured.newestWrite, file->written) : file->written;
        sawFile = true;
      }
    }
    it.increment(error);
    if (error) {
      // A sub-folder vanished, or cannot be read: keep what was measured.
      if (!Vanished(error)) unreadable = true;
      break;
    }
  }
  if (!sawFile) {
    const std::optional<FileFacts> own = ReadFacts(folder);
    if (!own) return std::nullopt;
    measured.newestWrite = own->written;
  }
  return measured;
}

}  // namespace

bool IsEntryFolderName(std::string_view name) {
  if (name.empty() || name.size() > 10 || (name.size() > 1 && name[0] == '0')) return false;
  uint64_t value = 0;
  for (const char ch : name) {
    if (ch < '0' || ch > '9') return false;
    value = value * 10 + static_cast<uint64_t>(ch - '0');
  }
  return value <= 0xFFFFFFFFull;
}

FolderSweeper::FolderSweeper(uint64_t budgetBytes, FolderSweepOrder order, unsigned minimumAgeSeconds,
                             std::chrono::nanoseconds interval)
    : m_budgetBytes(budgetBytes),
      m_targetBytes(budgetBytes - budgetBytes / 10),
      m_order(order),
      m_minimumAgeSeconds(minimumAgeSeconds),
      m_interval(interval) {}

FolderSweeper::~FolderSweeper() = default;

uint64_t FolderSweeper::GetScanCount() const {
  TMutexLock lock(m_mutex);
  return m_scanCount;
}

bool FolderSweeper::Sweep(const TPath& folder, uint64_t incomingBytes) {
  auto now = std::chrono::steady_clock::now();
  FolderState* state = nullptr;
  uint64_t estimateAtStart = 0;
  {
    TMutexLock lock(m_mutex);
    state = &m_folders[folder.ToString()];
    state->estimatedBytes = SaturatingAdd(state->estimatedBytes, incomingBytes);
    // While another thread scans, a store that still fits the budget goes on
    // (the scan's end accounts for its bytes); one that does not waits for
    // the scan and judges again, so that stores cannot outrun the scans and
    // take the folder far past its budget while a long scan runs.
    // (Not after an incomplete scan: its estimate only grows, and stores
    // would queue behind every scan while the folder cannot be read whole.)
    while (state->scanning) {
      if (state->estimatedBytes <= m_budgetBytes || !state->lastScanWhole) return false;
      m_scanEnded.Wait(lock);
      now = std::chrono::steady_clock::now();
    }
    bool intervalUp = !state->scanned || now - state->lastScan >= m_interval;
    bool estimateTooHigh = state->estimatedBytes > state->earlyScanAbove;
    if (!intervalUp && !estimateTooHigh) return false;
    state->scanning = true;
    state->lastScan = now;
    estimateAtStart = state->estimatedBytes;
  }

  ScanResult result;
  try {
    result = ScanAndTrim(folder.ToStdPath(), incomingBytes);
  } catch (...) {
    // Only an allocation failure can get here; let the next Sweep try again.
    TMutexLock lock(m_mutex);
    state->scanning = false;
    m_scanEnded.NotifyAll();
    throw;
  }

  TMutexLock lock(m_mutex);
  if (result.incomplete) {
    // The folder is not taken for smaller than it is: its estimate stays
    // (with the incoming bytes), and a folder never scanned whole is scanned
    // again at the next Sweep. One scanned before waits for the interval, or
    // for the estimate to pass its threshold, as after any scan.
    state->scanning = false;
    state->lastScanWhole = false;
    m_scanEnded.NotifyAll();
    return result.removedAny;
  }
  // Bytes announced by other threads while this scan ran may or may not have
  // been seen by it; counting them again errs towards an earlier next scan.
  uint64_t announcedDuringScan = state->estimatedBytes - estimateAtStart;
  uint64_t afterThisStore = SaturatingAdd(result.remainingBytes, incomingBytes);
  state->estimatedBytes = SaturatingAdd(afterThisStore, announcedDuringScan);
  state->earlyScanAbove = std::max(m_budgetBytes, SaturatingAdd(afterThisStore, m_budgetBytes / 10));
  state->scanned = true;
  state->scanning = false;
  state->lastScanWhole = true;
  m_scanEnded.NotifyAll();
  ++m_scanCount;
  return result.removedAny;
}

FolderSweeper::ScanResult FolderSweeper::ScanAndTrim(const fs::path& folder, uint64_t incomingBytes) const {
  ScanResult result;
  std::vector<EntryFolder> entries;
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error) {
    result.incomplete = !Vanished(error);  // else no folder (yet): nothing to trim
    return result;
  }
  for (const fs::directory_iterator end; it != end;) {
    std::error_code entryError;
    fs::file_status status = it->symlink_status(entryError);
    if (!entryError && fs::is_directory(status)) {
      if (!IsEntryFolderName(it->path().filename().native())) {
        // Not made by the cache: neither counted nor ever removed.
      } else if (std::optional<Measured> measured = MeasureEntryFolder(it->path(), result.incomplete)) {
        result.remainingBytes = SaturatingAdd(result.remainingBytes, measured->bytes);
        entries.push_back(EntryFolder{it->path(), measured->bytes, measured->newestWrite});
      }
    } else if (!entryError && fs::is_regular_file(status)) {
      uintmax_t size = it->file_size(entryError);
      if (!entryError) result.remainingBytes = SaturatingAdd(result.remainingBytes, size);
    }
    it.increment(error);
    if (error) {
      // The folder itself went away, or cannot be read: trim what was listed.
      if (!Vanished(error)) result.incomplete = true;
      break;
    }
  }

  if (SaturatingAdd(result.remainingBytes, incomingBytes) <= m_budgetBytes) return result;

  OrderForRemoval(entries);
  const FileWriteTime now = Now();
  for (const EntryFolder& entry : entries) {
    if (SaturatingAdd(result.remainingBytes, incomingBytes) <= m_targetBytes) break;
    // Not a break for the oldest-first order: entries dated after `now`
    // (the clock was set back since they were written) come last in it.
    if (!OldEnough(entry, now)) continue;
    if (m_minimumAgeSeconds != 0) {
      // Measured again just before it goes: a store may have rewritten the
      // entry since the scan, and a fresh entry stays.
      bool unreadable = false;
      std::optional<Measured> current = MeasureEntryFolder(entry.path, unreadable);
      if (!current) {
        // Gone since the scan (a drop): its bytes are gone with it.
        if (!unreadable) result.remainingBytes -= std::min(result.remainingBytes, entry.bytes);
        continue;
      }
      if (!OldEnough(EntryFolder{entry.path, current->bytes, current->newestWrite}, Now())) {
        continue;
      }
    }
    std::error_code removeError;
    fs::remove_all(entry.path, removeError);
    std::error_code statError;
    if (!removeError || !fs::exists(fs::symlink_status(entry.path, statError))) {
      result.remainingBytes -= std::min(result.remainingBytes, entry.bytes);
      result.removedAny = true;
    }
  }
  return result;
}

void FolderSweeper::OrderForRemoval(std::vector<EntryFolder>& entries) const {
  if (m_order == FolderSweepOrder::LargestFirst) {
    std::sort(entries.begin(), entries.end(), [](const EntryFolder& a, const EntryFolder& b) {
      return std::tie(b.bytes, a.newestWrite, a.path) < std::tie(a.bytes, b.newestWrite, b.path);
    });
  } else {
    std::sort(entries.begin(), entries.end(), [](const EntryFolder& a, const EntryFolder& b) {
      return std::tie(a.newestWrite, a.path) < std::tie(b.newestWrite, b.path);
    });
  }
}

bool FolderSweeper::OldEnough(const EntryFolder& entry, FileWriteTime now) const {
  if (m_minimumAgeSeconds == 0) return true;
  const int64_t minimum = int64_t{m_minimumAgeSeconds} * 1000000000;
  const int64_t age = NanosecondsBetween(entry.newestWrite, now);
  // Written further in the future than the minimum age: the clock was set
  // back since, and the entry's age is unknown. Shielding it would hold the
  // folder over its budget until the clock caught up, possibly for hours.
  // (A write time a little ahead, a file server's clock, still shields.)
  if (-age > minimum) return true;
  return age >= minimum;
}
