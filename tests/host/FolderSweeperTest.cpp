// FolderSweeper: which entry folders go, how far the folder is trimmed, when
// scans run, and behaviour under concurrent change.
#include "host/FolderSweeper.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/DateTime.h"
#include "host/FileErrors.h"
#include "host/FileSystem.h"
#include "host/TFile.h"
#include "tests/host/FileTestSupport.h"

namespace {

using namespace file_test;

constexpr std::chrono::nanoseconds kLongInterval = std::chrono::hours(1);

// Writes an entry folder as the disk cache lays it out (a ".key" and a ".bin"
// file). Returns false when a sweeper removed the folder under the writer,
// which the disk cache, too, survives.
bool WriteEntry(const TPath& entry, size_t keyBytes, size_t valueBytes) {
  try {
    if (!CreateDirectory(entry)) return false;
    TFile::WriteUnsignedBinaryFile(entry / TPath(".bin"), std::vector<uint8_t>(valueBytes, 'v'));
    TFile::WriteUnsignedBinaryFile(entry / TPath(".key"), std::vector<uint8_t>(keyBytes, 'k'));
    return true;
  } catch (const TFileException&) {
    return false;
  }
}

// Dates both files of an entry folder `seconds` from 1970 (UTC). False when
// the file system does not hold that time (ext4 holds 1901 to 2446).
bool DateEntry(const fs::path& entry, int64_t seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  for (const char* file : {".bin", ".key"}) {
    const std::string path = (entry / file).string();
    struct stat info {};
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0 || stat(path.c_str(), &info) != 0 ||
        info.st_mtim.tv_sec != seconds) {
      return false;
    }
  }
  return true;
}

class FolderSweeperTest : public TFileTest {
 protected:
  TPath Folder() const { return Root() / TPath("ns"); }

  // Entry folders carry entry names, as the disk cache makes them (decimal
  // key hashes); the tests call them by labels, which Entries() gives back.
  TPath EntryPath(const std::string& label) {
    const auto number = m_numbers.try_emplace(label, std::to_string(1000 + m_numbers.size())).first;
    return Folder() / TPath(number->second.c_str());
  }

  // An entry (by its label, or a folder by its path) whose files were both
  // last written ageSeconds ago.
  void MakeEntry(const std::string& label, size_t keyBytes, size_t valueBytes, int64_t ageSeconds) {
    MakeEntry(EntryPath(label), keyBytes, valueBytes, ageSeconds);
  }
  void MakeEntry(const TPath& entry, size_t keyBytes, size_t valueBytes, int64_t ageSeconds) {
    ASSERT_TRUE(WriteEntry(entry, keyBytes, valueBytes));
    const DateTime written = DateTime::GetLocalTime() - DateTimeSpan::FromSeconds(ageSeconds);
    ASSERT_TRUE(LastWriteTime(entry / TPath(".bin"), written) && LastWriteTime(entry / TPath(".key"), written));
  }

  // The names in the swept folder, entries by their labels.
  std::set<std::string> Entries() {
    std::set<std::string> names = FileNames(Folder().ToStdPath());
    for (const auto& [label, number] : m_numbers) {
      if (names.erase(number) != 0) names.insert(label);
    }
    return names;
  }

  // The bytes of the files in the swept folder; files that vanish while it
  // counts (writers and sweepers may be at work) count for nothing.
  uint64_t TotalBytes() const {
    uint64_t total = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(Folder().ToStdPath(), error), end; !error && it != end;
         it.increment(error)) {
      std::error_code sizeError;
      const uintmax_t size = it->is_regular_file(sizeError) ? it->file_size(sizeError) : 0;
      if (!sizeError) total += size;
    }
    return total;
  }

  std::map<std::string, std::string> m_numbers;  // label -> folder name
};

// The least recently written entries go first, until the folder with the
// incoming bytes is at most 90% of the budget. Scans run once per interval;
// between them the sweeper goes by an estimate of the folder's size.
TEST_F(FolderSweeperTest, LeastRecentlyWrittenGoFirstWhenTheEstimateOrTheIntervalCallsForAScan) {
  for (int i = 0; i < 5; ++i) MakeEntry("first" + std::to_string(i), 400, 600, 600 - i);
  // Entries of 1000 bytes, key and value both counted. A loose file counts
  // towards the size but is not an entry.
  TFile::WriteUnsignedBinaryFile(Folder() / TPath("loose"), std::vector<uint8_t>(500, 'l'));
  FolderSweeper sweeper(10000, FolderSweepOrder::LeastRecentlyWritten, 0, kLongInterval);
  EXPECT_FALSE(sweeper.Sweep(Folder(), 0)) << "5500 bytes are within budget";
  EXPECT_EQ(sweeper.GetScanCount(), 1u) << "the first Sweep of a folder scans";

  // Another writer fills the folder behind the sweeper's back: the estimate
  // (5500) does not know, and the interval is not up, so nothing is scanned.
  for (int i = 0; i < 10; ++i) MakeEntry("later" + std::to_string(i), 400, 600, 300 - i);
  EXPECT_FALSE(sweeper.Sweep(Folder(), 100));
  EXPECT_FALSE(sweeper.Sweep(Folder(), 100));
  EXPECT_EQ(sweeper.GetScanCount(), 1u);
  EXPECT_EQ(Entries().size(), 16u);

  // A load renews first0's value file: it is now the most recently used.
  ASSERT_TRUE(LastWriteTime(EntryPath("first0") / TPath(".bin"), DateTime::GetLocalTime()));
  // Announced bytes push the estimate over the budget: an early scan trims the
  // real 15500 + 5000 incoming to at most 9000, so the 12 least recently
  // written entries go (one more left would make 9500).
  EXPECT_TRUE(sweeper.Sweep(Folder(), 5000));
  EXPECT_EQ(sweeper.GetScanCount(), 2u);
  EXPECT_EQ(Entries(), (std::set<std::string>{"first0", "later8", "later9", "loose"}));
  EXPECT_EQ(TotalBytes(), 3500u);
  // The estimate is now what stayed plus the store (8500): the next store
  // within the budget scans nothing.
  EXPECT_FALSE(sweeper.Sweep(Folder(), 1000));
  EXPECT_EQ(sweeper.GetScanCount(), 2u);

  // Each folder has its own schedule. Neither a missing folder nor a file in
  // a folder's place holds anything to trim.
  EXPECT_FALSE(sweeper.Sweep(Root() / TPath("missing"), 0));
  EXPECT_EQ(sweeper.GetScanCount(), 3u);
  TFile::WriteUnsignedBinaryFile(Root() / TPath("file"), "x", 1);
  EXPECT_FALSE(sweeper.Sweep(Root() / TPath("file"), 10));

  // With a short interval, a Sweep after it is up scans again and finds what
  // the estimate missed.
  FolderSweeper frequent(10000, FolderSweepOrder::LeastRecentlyWritten, 0, std::chrono::milliseconds(100));
  EXPECT_FALSE(frequent.Sweep(Folder(), 0));
  for (int i = 0; i < 10; ++i) MakeEntry("refill" + std::to_string(i), 0, 1000, 100 - i);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_TRUE(frequent.Sweep(Folder(), 0));
  EXPECT_EQ(frequent.GetScanCount(), 2u);
  EXPECT_LE(TotalBytes(), 9000u);
}

// Largest first, equal sizes oldest first, but entries younger than the
// minimum age stay. Only folders named as the disk cache names its entries
// count and go: a folder handed in by mistake (the cache root, one shared with
// other data) loses nothing else, however old and large the rest is.
TEST_F(FolderSweeperTest, LargestEntriesGoFirstButNeitherYoungEntriesNorOtherFolders) {
  const std::set<std::string> others = {"ExternalCacheV1", "0123", "4294967296", "-1", "12a"};
  for (const std::string& name : others) MakeEntry(Folder() / TPath(name.c_str()), 0, 10000, 9999);
  MakeEntry(Folder() / TPath("4294967295"), 0, 6000, 3600);  // the largest entry name
  MakeEntry("big5000", 0, 5000, 3600);
  MakeEntry("big4000", 0, 4000, 7200);
  for (int i = 0; i < 10; ++i) MakeEntry("small" + std::to_string(i), 100, 400, 3 * 3600 - i * 10);
  MakeEntry("young8000", 0, 8000, 0);
  // A store in progress: its folder is made, no file written yet.
  ASSERT_TRUE(CreateDirectory(EntryPath("inprogress")));

  // 28000 bytes of entries, budget 10000, target 9000. Largest first, but
  // young8000 (and the empty folder) are younger than a minute and stay; then
  // the equal smalls go oldest first: small0 .. small7.
  FolderSweeper sweeper(10000, FolderSweepOrder::LargestFirst, 60, kLongInterval);
  EXPECT_TRUE(sweeper.Sweep(Folder(), 0));
  std::set<std::string> expected = others;
  expected.insert({"young8000", "small8", "small9", "inprogress"});
  EXPECT_EQ(Entries(), expected);
  EXPECT_EQ(TotalBytes(), 9000u + 50000u) << "the other folders hold 50000 bytes";
}

// The minimum age shields young entries, even ones dated a little ahead (a
// file server's clock). After the clock was set back, entries written before
// are dated far in the future: their age is unknown, so the minimum age does
// not shield them, and the young entries that come first in the order do not
// stop the sweep. An entry dated after the clocks' range (2262) has no known
// age either: it counts, and goes.
TEST_F(FolderSweeperTest, OnlyYoungEntriesAreShieldedAndMayHoldTheFolderAboveBudget) {
  MakeEntry("old", 0, 1000, 3600);
  for (int i = 0; i < 4; ++i) MakeEntry("future" + std::to_string(i), 0, 1000, -3600);
  // Written in the year 2300, after the last date the standard library's own
  // clock of files (and the system clock) reaches.
  ASSERT_TRUE(WriteEntry(EntryPath("beyond"), 0, 1000));
  ASSERT_TRUE(DateEntry(EntryPath("beyond").ToStdPath(), 10413792000)) << "the file system cannot hold 2300";
  MakeEntry("young0", 0, 1000, 0);
  MakeEntry("young1", 0, 1000, 0);
  MakeEntry("skewed", 0, 1000, -2);
  FolderSweeper sweeper(2000, FolderSweepOrder::LeastRecentlyWritten, 60, kLongInterval);
  EXPECT_TRUE(sweeper.Sweep(Folder(), 0));
  const std::set<std::string> young = {"young0", "young1", "skewed"};
  EXPECT_EQ(Entries(), young);
  EXPECT_EQ(sweeper.GetScanCount(), 1u);

  // 3000 bytes of young entries, budget 2000: the next early scan waits until
  // another tenth of the budget (200 bytes) has come in.
  EXPECT_FALSE(sweeper.Sweep(Folder(), 100));
  EXPECT_EQ(sweeper.GetScanCount(), 1u);
  EXPECT_FALSE(sweeper.Sweep(Folder(), 150));
  EXPECT_EQ(sweeper.GetScanCount(), 2u);
  EXPECT_EQ(Entries(), young);
}

// Write times are ordered as the file system holds them, also before 1882,
// where the standard library's clock of files gives other dates (one in the
// 25th century for 1850): the entry written in 1850 is the least recently
// written. On a memory file system, which holds such times (ext4 stops at
// 1901); skipped where there is none.
TEST(FolderSweeperDates, AnEntryWrittenBeforeTheFileClockBeginsIsTheLeastRecentlyWritten) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no memory file system at /dev/shm";
  kelcache_test::TempDir root("/dev/shm");
  const fs::path folder = root.path() / "ns";
  const std::vector<std::pair<std::string, int64_t>> written = {
      {"1000", -3786825600},  // 1850-01-01
      {"1001", 0},            // 1970-01-01
      {"1002", 1893456000},   // 2030-01-01
  };
  for (const auto& [name, seconds] : written) {
    ASSERT_TRUE(WriteEntry(TPath::FromStdPath(folder / name), 0, 1000));
    if (!DateEntry(folder / name, seconds)) GTEST_SKIP() << "/dev/shm cannot hold the year 1850";
  }
  FolderSweeper sweeper(2500, FolderSweepOrder::LeastRecentlyWritten, 0, kLongInterval);
  EXPECT_TRUE(sweeper.Sweep(TPath::FromStdPath(folder), 0));
  EXPECT_EQ(FileNames(folder), (std::set<std::string>{"1001", "1002"}));
}

// A scan that cannot read the folder (no descriptor left) is no scan: the
// folder is not taken for empty, and the next Sweep looks again at once
// rather than after the interval. (The sanitizers' runtimes need descriptors
// of their own for their checks, so their builds leave this out.)
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST_F(FolderSweeperTest, AScanThatCannotReadTheFolderIsTriedAgainAtTheNextSweep) {
  for (int i = 0; i < 20; ++i) MakeEntry("entry" + std::to_string(i), 0, 1000, 3600 - i);
  FolderSweeper sweeper(10000, FolderSweepOrder::LeastRecentlyWritten, 0, kLongInterval);
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const struct rlimit few {3, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
  const bool trimmed = sweeper.Sweep(Folder(), 100);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_FALSE(trimmed);
  EXPECT_EQ(sweeper.GetScanCount(), 0u);
  EXPECT_EQ(Entries().size(), 20u);
  EXPECT_TRUE(sweeper.Sweep(Folder(), 100));
  EXPECT_LE(TotalBytes(), 9000u);
}
#endif

// Stores that run while a long scan goes on do not take the folder far past
// its budget: one that no longer fits waits for the scan to end. Eight
// writers store as fast as they can while another thread watches the folder's
// size; it may pass the budget by what is being written at that moment, and
// by what the scan did not see yet, but not by several budgets.
TEST_F(FolderSweeperTest, StoresDoNotOutrunTheScansOfTheirFolder) {
  ASSERT_TRUE(CreateDirectory(Folder()));
  constexpr uint64_t kBudget = 200000;
  FolderSweeper sweeper(kBudget, FolderSweepOrder::LeastRecentlyWritten, 0, std::chrono::minutes(5));
  std::atomic<int> writing{8};
  std::vector<std::thread> writers;
  for (int w = 0; w < 8; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 150; ++i) {
        const size_t bytes = 1000 + static_cast<size_t>((w * 7919 + i * 104729) % 4000);
        sweeper.Sweep(Folder(), bytes + 10);
        WriteEntry(Folder() / TPath(std::to_string(100000 + w * 1000 + i).c_str()), 10, bytes);
      }
      --writing;
    });
  }
  uint64_t largest = 0;
  while (writing > 0) largest = std::max(largest, TotalBytes());
  for (std::thread& writer : writers) writer.join();
  EXPECT_LE(largest, 2 * kBudget);
}

// One thread makes and drops entries (with nested folders) as fast as it can;
// another sweeper trims the same folder; this one scans at every call.
TEST_F(FolderSweeperTest, SurvivesEntriesVanishingDuringScans) {
  ASSERT_TRUE(CreateDirectory(Folder()));
  FolderSweeper sweeper(3000, FolderSweepOrder::LeastRecentlyWritten, 0, std::chrono::nanoseconds(0));
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    for (int i = 0; !stop; ++i) {
      TPath entry = Folder() / TPath(std::to_string(9000 + i % 16).c_str());
      WriteEntry(entry / TPath("nested"), 10, 300);
      WriteEntry(entry, 10, 300);
      if (i % 3 == 0) RemovePathRecursively(entry);
    }
  });
  std::thread rival([&] {
    FolderSweeper other(1500, FolderSweepOrder::LargestFirst, 0, std::chrono::nanoseconds(0));
    while (!stop) other.Sweep(Folder(), 200);
  });
  for (int i = 0; i < 300; ++i) EXPECT_NO_THROW(sweeper.Sweep(Folder(), 100));
  stop = true;
  churn.join();
  rival.join();

  EXPECT_GE(sweeper.GetScanCount(), 300u);
  sweeper.Sweep(Folder(), 0);
  EXPECT_LE(TotalBytes(), 3000u);
}

}  // namespace
