// FolderSweeper: holds folders of cache entries to a size budget.
//
// A swept folder holds one sub-folder per entry (the disk cache keeps each
// entry's files in a folder of its own, named by the decimal text of the
// key's 32-bit hash). Sweep(folder, incomingBytes) is called before
// incomingBytes more are written into the folder; when the folder's size plus
// the incoming bytes would exceed the budget, whole entry folders are removed
// until the total is at most 90% of the budget (the headroom spares the next
// stores a sweep of their own). Files that lie directly in the swept folder
// count towards its size but are never removed. Sub-folders with other names
// ("0" to "4294967295" without leading zeros are entry names) were not made
// by the cache: they are neither counted nor ever removed, so a folder handed
// in by mistake (the cache root, a folder shared with other data) loses
// nothing but the cache's own entries.
//
// Which entries go first (FolderSweepOrder):
//   LeastRecentlyWritten (0): the entry whose newest file was written longest
//     ago; an entry without files is as old as its folder. The disk cache
//     renews a value file's last-write time on every load, so this is least
//     recently used first.
//   LargestFirst (1): the largest entry first; equal sizes oldest first.
//   Any other value sweeps as LeastRecentlyWritten.
//
// minimumAgeSeconds (the third constructor argument): an entry whose newest
// write is younger than this is never removed, so an entry that is being
// written, or was just written, is not swept away under its writer; 0 lets
// every entry go. When only young entries are left the folder may stay above
// its budget until they age. An entry dated further ahead of the present
// than the minimum age (the clock was set back since its write) has no known
// age and is not shielded.
//
// Cost: a scan lists the folder and the files of every entry, so it runs at
// most once per interval per folder. Between scans the sweeper keeps a
// running estimate of each folder's size (the size found by the last scan
// plus every incomingBytes since); when the estimate exceeds the budget a scan
// runs early. (After a scan that could not get below the budget, because only
// young entries were left, the early scan waits until another tenth of the
// budget has come in, so that each store does not rescan.) The first Sweep
// of a folder always scans.
//
// Several sweepers of one folder (one per process that writes it, or two
// sweeper objects in one process) each count only the bytes they were told
// of: between their scans the others' writes are unseen, so with N writers
// the folder may grow to about N times its budget's worth of new bytes
// before a scan brings it back (measured: 1.8 times the budget with 3
// processes, 2.7 times with 10, at an interval of 300 s). A shorter interval
// bounds that; writers that share a folder may also share its budget.
//
// Failures never leave Sweep: entries that vanish during a scan (a concurrent
// drop or another sweeper) are skipped, a missing folder holds nothing, and an
// entry that cannot be removed is left and counted.
//
// Thread rules: thread-safe. m_mutex guards m_folders (the per-folder
// estimates and scan state) and m_scanCount; it is held only to read and
// update them, never during a scan. At most one thread scans a given folder
// at a time; a Sweep that finds a scan of its folder running adds its bytes
// to the estimate and returns at once while the estimate is within the
// budget, and otherwise waits for that scan to end (m_scanEnded) and judges
// again: stores cannot outrun the scans, however long a scan takes. (After a
// scan that could not read the whole folder nobody waits: such a folder's
// estimate only grows.) An entry folder this process may not read counts as
// empty and stays.
#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/Export.h"
#include "host/TPath.h"
#include "host/TString.h"
#include "host/TConditionVariable.h"
#include "host/TMutex.h"

enum class FolderSweepOrder : int { LeastRecentlyWritten = 0, LargestFirst = 1 };

// A file's last-write time as the file system holds it: seconds from
// 1970-01-01 UTC (negative before) and nanoseconds within the second.
struct FileWriteTime {
  int64_t seconds = 0;
  int64_t nanoseconds = 0;
  friend auto operator<=>(const FileWriteTime&, const FileWriteTime&) = default;
};

// Whether `name` is an entry folder's name as the disk cache makes them: the
// decimal text of a 32-bit key hash, without sign or leading zeros ("0" to
// "4294967295"). Only such folders are swept, reached by loads, or counted as
// entries by the sweeper and the inspector (DiskExternalCache::TryGetAllKeys
// lists the key of any folder that holds both files).
KELCACHE_EXPORT bool IsEntryFolderName(std::string_view name);

class KELCACHE_EXPORT FolderSweeper {
 public:
  // budgetBytes: the most a swept folder may hold. interval: the least time
  // between two scans of one folder that the estimate does not force.
  FolderSweeper(uint64_t budgetBytes, FolderSweepOrder order, unsigned minimumAgeSeconds,
                std::chrono::nanoseconds interval);
  FolderSweeper(const FolderSweeper&) = delete;
  FolderSweeper& operator=(const FolderSweeper&) = delete;
  ~FolderSweeper();

  // Called before incomingBytes are written into folder. Scans and trims the
  // folder when a scan is due (see the file comment). Returns true when it
  // removed at least one entry folder.
  bool Sweep(const TPath& folder, uint64_t incomingBytes);

  uint64_t GetBudgetBytes() const { return m_budgetBytes; }
  FolderSweepOrder GetOrder() const { return m_order; }
  unsigned GetMinimumAgeSeconds() const { return m_minimumAgeSeconds; }
  std::chrono::nanoseconds GetInterval() const { return m_interval; }
  // How many scans have run, over all folders (for monitoring and tests).
  uint64_t GetScanCount() const;

 private:
  struct FolderState {
    uint64_t estimatedBytes = 0;  // the last scan's total plus the bytes announced since
    uint64_t earlyScanAbove = 0;  // an estimate above this scans before the interval is up
    std::chrono::steady_clock::time_point lastScan;
    bool scanned = false;   // a scan has run (the first Sweep of a folder always scans)
    bool scanning = false;  // a thread is scanning the folder now
    bool lastScanWhole = false;  // the last scan read the whole folder
  };
  struct ScanResult {
    uint64_t remainingBytes = 0;
    bool removedAny = false;
    // Part of the folder could not be read (no descriptor left, an I/O
    // error): remainingBytes is too low, and the scan says nothing of the
    // folder's size.
    bool incomplete = false;
  };
  struct EntryFolder {
    std::filesystem::path path;
    uint64_t bytes = 0;
    FileWriteTime newestWrite;
  };

  // Lists folder, measures its entries and removes entries until the total
  // plus incomingBytes is within the target. Runs without m_mutex.
  ScanResult ScanAndTrim(const std::filesystem::path& folder, uint64_t incomingBytes) const;
  void OrderForRemoval(std::vector<EntryFolder>& entries) const;
  bool OldEnough(const EntryFolder& entry, FileWriteTime now) const;

  const uint64_t m_budgetBytes;
  const uint64_t m_targetBytes;  // what a trim aims for: 90% of the budget
  const FolderSweepOrder m_order;
  const unsigned m_minimumAgeSeconds;
  const std::chrono::nanoseconds m_interval;

  mutable TMutex m_mutex;
  // Keyed by the folder's path text; an element is never erased, so a
  // reference to one stays valid while the sweeper lives (its fields are
  // read and written under m_mutex too).
  std::unordered_map<TString, FolderState> m_folders KELCACHE_GUARDED_BY(m_mutex);
  uint64_t m_scanCount KELCACHE_GUARDED_BY(m_mutex) = 0;
  TConditionVariable m_scanEnded;  // with m_mutex: a scan of some folder ended
};
