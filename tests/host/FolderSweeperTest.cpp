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

class FolderSweeperTest : public TFileTest {
 protected:
  TPath Folder() const { return Root() / TPath("ns"); }

  // Entry folders carry entry names, as the disk cache makes them (decimal
  // key hashes); the tests call them by labels, which Entries() gives back.
  TPath EntryPath(const std::string& label) {
    auto [it, added] = m_numbers.emplace(label, std::to_string(1000 + m_numbers.size()));
    if (added) m_labels.emplace(it->second, label);
    return Folder() / TPath(it->second.c_str());
  }

  // An entry whose files were both last written ageSeconds ago.
  void MakeEntry(const std::string& name, size_t keyBytes, size_t valueBytes, int64_t ageSeconds) {
    MakeFolderAt(EntryPath(name), keyBytes, valueBytes, ageSeconds);
  }
  void MakeFolderAt(const TPath& entry, size_t keyBytes, size_t valueBytes, int64_t ageSeconds) {
    ASSERT_TRUE(WriteEntry(entry, keyBytes, valueBytes));
    DateTime written = DateTime::GetLocalTime() - DateTimeSpan::FromSeconds(ageSeconds);
    ASSERT_TRUE(LastWriteTime(entry / TPath(".bin"), written));
    ASSERT_TRUE(LastWriteTime(entry / TPath(".key"), written));
  }

  // An entry whose files were written in the year 2300, after the last date
  // the standard library's file clock can read.
  void MakeEntryBeyondTheFileClock(const std::string& name, size_t valueBytes) {
    TPath entry = EntryPath(name);
    ASSERT_TRUE(WriteEntry(entry, 0, valueBytes));
    const timespec year2300[2] = {{10413792000, 0}, {10413792000, 0}};
    for (const char* file : {".bin", ".key"}) {
      const std::string path = (entry / TPath(file)).ToStdPath().string();
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), year2300, 0), 0) << file;
      struct stat info {};
      ASSERT_EQ(stat(path.c_str(), &info), 0);
      ASSERT_EQ(info.st_mtim.tv_sec, year2300[1].tv_sec) << "this file system cannot hold the year 2300";
    }
  }

  // The names in the swept folder, entries by their labels.
  std::set<std::string> Entries() {
    std::set<std::string> names;
    for (const std::string& name : FileNames(Folder().ToStdPath())) {
      auto label = m_labels.find(name);
      names.insert(label == m_labels.end() ? name : label->second);
    }
    return names;
  }

  uint64_t TotalBytes() const {
    uint64_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(Folder().ToStdPath())) {
      if (entry.is_regular_file()) total += entry.file_size();
    }
    return total;
  }

  std::map<std::string, std::string> m_numbers;  // label -> folder name
  std::map<std::string, std::string> m_labels;   // folder name -> label
};

TEST_F(FolderSweeperTest, LeastRecentlyWrittenEntriesGoFirstUntilWithinBudget) {
  // 20 entries of 1000 bytes; entry0 was written first, entry19 last.
  for (int i = 0; i < 20; ++i) MakeEntry("entry" + std::to_string(i), 100, 900, (20 - i) * 60);
  // A load renews entry0's value file: it is now the most recently used.
  ASSERT_TRUE(LastWriteTime(EntryPath("entry0") / TPath(".bin"), DateTime::GetLocalTime()));
  // A loose file counts towards the size but is not an entry.
  TFile::WriteUnsignedBinaryFile(Folder() / TPath("loose"), std::vector<uint8_t>(500, 'l'));
  ASSERT_EQ(TotalBytes(), 20500u);

  // Budget 12000 with 1000 incoming: trimmed to at most 90% (10800) with the
  // incoming bytes, so 11 entries go: entry1 .. entry11.
  FolderSweeper sweeper(12000, FolderSweepOrder::LeastRecentlyWritten, 0, kLongInterval);
  EXPECT_TRUE(sweeper.Sweep(Folder(), 1000));
  const std::set<std::string> expected = {"entry0",  "entry12", "entry13", "entry14", "entry15",
                                          "entry16", "entry17", "entry18", "entry19", "loose"};
  EXPECT_EQ(Entries(), expected);
  EXPECT_EQ(TotalBytes(), 9500u);
  EXPECT_LE(TotalBytes() + 1000, sweeper.GetBudgetBytes());
  EXPECT_EQ(sweeper.GetScanCount(), 1u);

  // The store happens; the next stores stay within the estimate: no scan,
  // nothing removed.
  MakeEntry("entry20", 100, 900, 0);
  EXPECT_FALSE(sweeper.Sweep(Folder(), 1000));
  EXPECT_EQ(sweeper.GetScanCount(), 1u);
  EXPECT_EQ(Entries().size(), expected.size() + 1);
}

TEST_F(FolderSweeperTest, LargestFirstOrderAndMinimumAgeProtectYoungEntries) {
  MakeEntry("big5000", 0, 5000, 3600);
  MakeEntry("big4000", 0, 4000, 7200);
  for (int i = 0; i < 10; ++i) MakeEntry("small" + std::to_string(i), 100, 400, 3 * 3600 - i * 10);
  MakeEntry("young8000", 0, 8000, 0);
  // A store in progress: its folder is made, no file written yet.
  ASSERT_TRUE(CreateDirectory(EntryPath("inprogress")));

  // 22000 bytes, budget 10000, target 9000. Largest first, but young8000
  // (and the empty folder) are younger than a minute and stay; then the
  // equal smalls go oldest first: small0 .. small7.
  FolderSweeper sweeper(10000, FolderSweepOrder::LargestFirst, 60, kLongInterval);
  EXPECT_TRUE(sweeper.Sweep(Folder(), 0));
  EXPECT_EQ(Entries(), (std::set<std::string>{"young8000", "small8", "small9", "inprogress"}));
  EXPECT_EQ(TotalBytes(), 9000u);
}

TEST_F(FolderSweeperTest, YoungEntriesMayHoldTheFolderAboveBudgetWithoutARescanPerStore) {
  MakeEntry("old0", 0, 1000, 7200);
  MakeEntry("old1", 0, 1000, 3600);
  MakeEntry("new0", 0, 1500, 0);
  MakeEntry("new1", 0, 1500, 0);

  FolderSweeper sweeper(2000, FolderSweepOrder::LeastRecentlyWritten, 60, kLongInterval);
  EXPECT_TRUE(sweeper.Sweep(Folder(), 0));
  EXPECT_EQ(Entries(), (std::set<std::string>{"new0", "new1"}));
  EXPECT_EQ(sweeper.GetScanCount(), 1u);

  // 3000 bytes of young entries, budget 2000: the next early scan waits until
  // another tenth of the budget (200 bytes) has come in.
  EXPECT_FALSE(sweeper.Sweep(Folder(), 100));
  EXPECT_EQ(sweeper.GetScanCount(), 1u);
  EXPECT_FALSE(sweeper.Sweep(Folder(), 150));
  EXPECT_EQ(sweeper.GetScanCount(), 2u);
  EXPECT_EQ(Entries(), (std::set<std::string>{"new0", "new1"}));
}

// After the clock was set back, entries written before are dated in the
// future: their age is unknown, so the minimum age does not shield them, and
// the young entries that come first in the order do not stop the sweep. An
// entry dated a little ahead (less than the minimum age: a file server's
// clock) is still young. An entry dated after the file clock's range (2262)
// has no known age either: it counts, and goes.
TEST_F(FolderSweeperTest, EntriesDatedFarInTheFutureAreNotShieldedByTheMinimumAge) {
  for (int i = 0; i < 4; ++i) MakeEntry("future" + std::to_string(i), 0, 1000, -3600);
  MakeEntryBeyondTheFileClock("beyond", 1000);
  MakeEntry("young0", 0, 1000, 0);
  MakeEntry("young1", 0, 1000, 0);
  MakeEntry("skewed", 0, 1000, -2);
  FolderSweeper sweeper(3000, FolderSweepOrder::LeastRecentlyWritten, 60, kLongInterval);
  EXPECT_TRUE(sweeper.Sweep(Folder(), 0));
  EXPECT_EQ(Entries(), (std::set<std::string>{"young0", "young1", "skewed"}));
}

// Only folders named as the disk cache names its entries count and go: a
// folder handed in by mistake (the cache root, one shared with other data)
// loses nothing else, however old and large the rest is.
TEST_F(FolderSweeperTest, FoldersNotNamedAsEntriesAreNeitherCountedNorRemoved) {
  const std::set<std::string> others = {"ExternalCacheV1", "0123", "4294967296", "-1", "12a"};
  for (const std::string& name : others) MakeFolderAt(Folder() / TPath(name.c_str()), 0, 5000, 9999);
  MakeFolderAt(Folder() / TPath("4294967295"), 0, 1000, 7200);  // the largest entry name
  MakeEntry("newer", 0, 1000, 3600);
  FolderSweeper sweeper(3000, FolderSweepOrder::LeastRecentlyWritten, 0, kLongInterval);
  EXPECT_FALSE(sweeper.Sweep(Folder(), 0)) << "2000 bytes of entries: within the budget";
  EXPECT_TRUE(sweeper.Sweep(Folder(), 1500));
  std::set<std::string> expected = others;
  expected.insert("newer");
  EXPECT_EQ(Entries(), expected) << "the oldest entry went, and only it";
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

TEST_F(FolderSweeperTest, ScansOncePerIntervalUnlessTheEstimateExceedsTheBudget) {
  for (int i = 0; i < 5; ++i) MakeEntry("first" + std::to_string(i), 0, 1000, 600 - i);
  FolderSweeper sweeper(10000, FolderSweepOrder::LeastRecentlyWritten, 0, kLongInterval);
  EXPECT_FALSE(sweeper.Sweep(Folder(), 0)) << "5000 bytes are within budget";
  EXPECT_EQ(sweeper.GetScanCount(), 1u) << "the first Sweep of a folder scans";

  // Another writer fills the folder behind the sweeper's back: the estimate
  // (5000) does not know, and the interval is not up, so nothing is scanned.
  for (int i = 0; i < 10; ++i) MakeEntry("later" + std::to_string(i), 0, 1000, 300 - i);
  EXPECT_FALSE(sweeper.Sweep(Folder(), 100));
  EXPECT_FALSE(sweeper.Sweep(Folder(), 100));
  EXPECT_EQ(sweeper.GetScanCount(), 1u);
  EXPECT_EQ(Entries().size(), 15u);

  // Announced bytes push the estimate over the budget: an early scan trims the
  // real 15000 + 5000 incoming to 9000, removing the 11 oldest entries.
  EXPECT_TRUE(sweeper.Sweep(Folder(), 5000));
  EXPECT_EQ(sweeper.GetScanCount(), 2u);
  EXPECT_EQ(Entries(), (std::set<std::string>{"later6", "later7", "later8", "later9"}));

  // Each folder has its own schedule.
  TPath other = Root() / TPath("other");
  EXPECT_FALSE(sweeper.Sweep(other, 0)) << "a missing folder holds nothing";
  EXPECT_EQ(sweeper.GetScanCount(), 3u);

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

TEST_F(FolderSweeperTest, SurvivesEntriesVanishingDuringScans) {
  ASSERT_TRUE(CreateDirectory(Folder()));
  // A regular file or a missing folder in place of the swept folder is no error.
  FolderSweeper sweeper(3000, FolderSweepOrder::LeastRecentlyWritten, 0, std::chrono::nanoseconds(0));
  TPath file = Root() / TPath("file");
  TFile::WriteUnsignedBinaryFile(file, "x", 1);
  EXPECT_FALSE(sweeper.Sweep(file, 10));
  EXPECT_FALSE(sweeper.Sweep(Root() / TPath("missing"), 10));

  // One thread makes and drops entries (with nested folders) as fast as it
  // can; another sweeper trims the same folder; this one scans at every call.
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
