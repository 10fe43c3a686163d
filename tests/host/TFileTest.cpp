// Tests of the file and folder facilities: FileSystem.h (existence, folders,
// removal, last-write times), TFile (open modes, whole-file reads and the
// atomic whole-file write), TDirectory, TPath and FolderSweeper, and the
// DateTime values that file times are.
#include "host/TFile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/DateTime.h"
#include "host/Errors.h"
#include "host/FileErrors.h"
#include "host/FileSystem.h"
#include "host/FolderSweeper.h"
#include "host/TDirectory.h"
#include "host/TPath.h"
#include "host/TString.h"
#include "tests/support/TestEnvironment.h"

namespace {

namespace fs = std::filesystem;
using kelcache_test::RaisedText;

class TFileTest : public testing::Test {
 protected:
  TPath Root() const { return TPath::FromStdPath(m_temp.path()); }

  void WriteBytes(const TPath& path, const std::string& bytes) {
    TFile file(path, TFile::OpenWrite | TFile::OpenTruncate);
    ASSERT_EQ(file.Write(bytes.data(), bytes.size()), bytes.size());
    file.Close();
  }

  std::string ReadBytes(const TPath& path) {
    std::vector<uint8_t> bytes = TFile::LoadUnsignedBinaryFile(path);
    return std::string(bytes.begin(), bytes.end());
  }

  // The names in a folder, as the system lists them.
  std::set<std::string> NamesIn(const TPath& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder.ToStdPath()))
      names.insert(entry.path().filename());
    return names;
  }

  kelcache_test::TempDir m_temp;
};

TEST_F(TFileTest, CreateDirectoryMakesMissingParentsAndFailsUnderAFile) {
  TPath deep = Root() / TPath("one") / TPath("two") / TPath("three");
  EXPECT_FALSE(DirectoryExists(deep));
  EXPECT_TRUE(CreateDirectory(deep));
  EXPECT_TRUE(DirectoryExists(deep));
  EXPECT_FALSE(FileExists(deep)) << "a folder is not a file";
  EXPECT_TRUE(CreateDirectory(deep)) << "an existing folder counts as success";

  // Many threads making the same new tree at once all succeed.
  TPath shared = Root() / TPath("shared") / TPath("a") / TPath("b") / TPath("c");
  std::atomic<int> successes{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      if (CreateDirectory(shared)) ++successes;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(successes.load(), 8);

  // A regular file in the way: the folder cannot be made.
  TPath file = Root() / TPath("plain");
  WriteBytes(file, "x");
  EXPECT_TRUE(FileExists(file));
  EXPECT_FALSE(DirectoryExists(file));
  EXPECT_FALSE(CreateDirectory(file)) << "a file with that name is there";
  EXPECT_FALSE(CreateDirectory(file / TPath("below"))) << "a parent is a regular file";
  EXPECT_FALSE(CreateDirectory(TPath()));
  EXPECT_FALSE(FileExists(Root() / TPath("missing")));
  EXPECT_FALSE(DirectoryExists(Root() / TPath("missing")));
}

TEST_F(TFileTest, RemovePathTakesOneFileOrEmptyFolderRemovePathRecursivelyTakesAll) {
  TPath folder = Root() / TPath("entry");
  ASSERT_TRUE(CreateDirectory(folder / TPath("nested")));
  WriteBytes(folder / TPath(".key"), "key");
  WriteBytes(folder / TPath("nested") / TPath(".bin"), "value");

  EXPECT_FALSE(RemovePath(folder)) << "a folder that is not empty stays";
  EXPECT_TRUE(FileExists(folder / TPath(".key")));
  EXPECT_TRUE(RemovePath(folder / TPath(".key")));
  EXPECT_FALSE(FileExists(folder / TPath(".key")));
  EXPECT_FALSE(RemovePath(folder / TPath(".key"))) << "nothing left to remove";

  EXPECT_TRUE(RemovePathRecursively(folder));
  EXPECT_FALSE(DirectoryExists(folder));
  EXPECT_TRUE(RemovePathRecursively(folder)) << "nothing there counts as success";

  ASSERT_TRUE(CreateDirectory(folder));
  EXPECT_TRUE(RemovePath(folder)) << "an empty folder goes";
  EXPECT_FALSE(DirectoryExists(folder));
}

TEST_F(TFileTest, LastWriteTimeIsSetAndReadInLocalTime) {
  TPath file = Root() / TPath(".bin");
  WriteBytes(file, "value");

  // Three days ago, with a millisecond part, in local time as the callers
  // stamp files (DateTime::GetLocalTime).
  DateTime stamp = DateTime::GetLocalTime() - DateTimeSpan::FromMilliseconds(3LL * 24 * 3600 * 1000 + 123);
  ASSERT_TRUE(LastWriteTime(file, stamp));
  EXPECT_EQ(GetLastWriteTime(file).GetRepresentation(), stamp.GetRepresentation());

  // The system holds the UTC instant: local time less the zone's offset.
  auto systemTime = std::chrono::file_clock::to_sys(fs::last_write_time(file.ToStdPath()));
  std::time_t seconds = std::chrono::system_clock::to_time_t(systemTime);
  std::tm local{};
  localtime_r(&seconds, &local);
  DateTime expectedUtc = stamp - DateTimeSpan::FromSeconds(local.tm_gmtoff);
  EXPECT_EQ(DateTime::FromSystemTime(systemTime).GetRepresentation(), expectedUtc.GetRepresentation());

  // Folders have times too.
  EXPECT_TRUE(LastWriteTime(Root(), stamp));
  EXPECT_EQ(GetLastWriteTime(Root()).GetRepresentation(), stamp.GetRepresentation());

  TPath missing = Root() / TPath("missing");
  EXPECT_FALSE(LastWriteTime(missing, stamp));
  EXPECT_THROW(GetLastWriteTime(missing), TFileException);
}

TEST_F(TFileTest, LoadTextFileReadsBackTheBytesOfToStdString) {
  static const char16_t kWithNul[] = u"line\nbreaks\r\nand\ttabs\0inside";
  const std::vector<TString> texts = {
      TString(u""),
      TString(u"plain ascii key"),
      TString(u"caf\u00e9 \u65e5\u672c\u8a9e \U0001F600 \U0001D11E end"),  // two surrogate pairs
      TString(u"\uFEFFstarts with a byte-order mark"),
      TString(kWithNul, static_cast<int>(sizeof(kWithNul) / sizeof(char16_t)) - 1),
  };
  TPath path = Root() / TPath(".key");
  for (const TString& text : texts) {
    WriteBytes(path, text.toStdString());
    EXPECT_EQ(TFile::LoadTextFile(path, true), text) << text;
    EXPECT_EQ(TFile::LoadTextFile(path, false), text) << text;
  }
  EXPECT_EQ(ReadBytes(path).size(), texts.back().toStdString().size()) << "no terminator or BOM added";
}

TEST_F(TFileTest, WholeFileReadsAndTheirFailures) {
  std::vector<uint8_t> allBytes(256 * 3);
  for (size_t i = 0; i < allBytes.size(); ++i) allBytes[i] = static_cast<uint8_t>(i);
  TPath path = Root() / TPath(".bin");
  TFile::WriteUnsignedBinaryFile(path, allBytes);
  EXPECT_EQ(TFile::LoadUnsignedBinaryFile(path), allBytes);
  TFile::WriteUnsignedBinaryFile(path, std::vector<uint8_t>());
  EXPECT_TRUE(FileExists(path));
  EXPECT_TRUE(TFile::LoadUnsignedBinaryFile(path).empty());

  TPath missing = Root() / TPath("no-such-file.bin");
  try {
    TFile::LoadUnsignedBinaryFile(missing);
    FAIL() << "loading a missing file must raise";
  } catch (const TFileException& error) {
    std::string message = error.what();
    EXPECT_NE(message.find(std::strerror(ENOENT)), std::string::npos) << message;
    EXPECT_NE(message.find(missing.ToUtf8()), std::string::npos) << message;
    EXPECT_EQ(error.GetPath(), missing.ToString());
    EXPECT_EQ(error.GetErrorCode(), std::errc::no_such_file_or_directory);
    EXPECT_EQ(error.GetErrorInfo().GetStatus(), TError::StatusCode::NOT_FOUND);
    EXPECT_EQ(error.GetError().GetCode(), static_cast<uint32_t>(ENOENT));
  }
  const std::string folderError = RaisedText<TFileException>([&] { TFile::LoadUnsignedBinaryFile(Root()); });
  EXPECT_NE(folderError.find(std::strerror(EISDIR)), std::string::npos) << folderError;
}

TEST_F(TFileTest, AtomicReplaceNeverShowsAPartialFileToAConcurrentReader) {
  constexpr size_t kSize = 256 * 1024;
  const std::vector<uint8_t> allA(kSize, 'A');
  const std::vector<uint8_t> allB(kSize, 'B');
  TPath path = Root() / TPath(".bin");
  TFile::WriteUnsignedBinaryFile(path, allA);

  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int i = 0; i < 150; ++i) TFile::WriteUnsignedBinaryFile(path, i % 2 == 0 ? allB : allA);
    writing = false;
  });
  int reads = 0;
  int torn = 0;
  while (writing || reads < 20) {
    std::vector<uint8_t> data = TFile::LoadUnsignedBinaryFile(path);
    ++reads;
    if (data != allA && data != allB) ++torn;
  }
  writer.join();
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
  EXPECT_EQ(NamesIn(Root()), std::set<std::string>{".bin"}) << "no temporary file stays behind";
  EXPECT_EQ(TFile::LoadUnsignedBinaryFile(path), allA) << "the last write wins";
}

TEST_F(TFileTest, FailedAtomicWritesLeaveNoTemporaryFileAndTheOldContent) {
  const std::vector<uint8_t> value(4096, 'v');

  // The target is a folder: the rename fails after the temporary was written.
  TPath folderTarget = Root() / TPath("target-is-a-folder");
  ASSERT_TRUE(CreateDirectory(folderTarget));
  EXPECT_THROW(TFile::WriteUnsignedBinaryFile(folderTarget, value), TFileException);
  EXPECT_EQ(NamesIn(Root()), std::set<std::string>{"target-is-a-folder"});
  EXPECT_TRUE(DirectoryExists(folderTarget));

  // The parent is a regular file: not even the temporary can be made.
  TPath plain = Root() / TPath("plain");
  TFile::WriteUnsignedBinaryFile(plain, "old", 3);
  const std::string belowFile =
      RaisedText<TFileException>([&] { TFile::WriteUnsignedBinaryFile(plain / TPath(".bin"), value); });
  EXPECT_NE(belowFile.find(std::strerror(ENOTDIR)), std::string::npos) << belowFile;
  EXPECT_EQ(NamesIn(Root()), (std::set<std::string>{"plain", "target-is-a-folder"}));

  // The write itself fails midway (a file-size limit makes the system refuse
  // the bytes past 1000): the partial temporary goes, the old file stays whole.
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
  struct rlimit limited = saved;
  limited.rlim_cur = 1000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  // Checked after the limit is lifted, so that a failure report can be written.
  const std::string message =
      RaisedText<TFileException>([&] { TFile::WriteUnsignedBinaryFile(plain, value); });
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &previous, nullptr);
  EXPECT_NE(message.find(std::strerror(EFBIG)), std::string::npos) << "raised: '" << message << "'";
  EXPECT_EQ(ReadBytes(plain), "old");
  EXPECT_EQ(NamesIn(Root()), (std::set<std::string>{"plain", "target-is-a-folder"}));
}

TEST_F(TFileTest, TDirectoryListsExactlyTheEntriesOfOneFolder) {
  TPath folder = Root() / TPath("ns");
  ASSERT_TRUE(CreateDirectory(folder));
  {
    TDirectory empty(folder);
    EXPECT_FALSE(empty.begin() != empty.end()) << "an empty folder lists nothing";
  }
  ASSERT_TRUE(CreateDirectory(folder / TPath("123") / TPath("deeper")));
  WriteBytes(folder / TPath("123") / TPath(".bin"), "not listed: one level down");
  WriteBytes(folder / TPath(".hidden"), "");
  WriteBytes(folder / TPath(u"\u00fcml\u00e4ut"), "");
  ASSERT_TRUE(CreateDirectory(folder / TPath("456")));

  std::multiset<TPath> listed;
  TDirectory directory(folder);
  for (auto it = directory.begin(); it != directory.end(); ++it) listed.insert(*it);
  std::multiset<TPath> expected = {folder / TPath("123"), folder / TPath("456"), folder / TPath(".hidden"),
                                   folder / TPath(u"\u00fcml\u00e4ut")};
  EXPECT_EQ(listed, expected);

  const std::string missing =
      RaisedText<TFileException>([&] { TDirectory listed(Root() / TPath("missing")); });
  EXPECT_NE(missing.find(std::strerror(ENOENT)), std::string::npos) << missing;
  EXPECT_THROW(TDirectory(folder / TPath(".hidden")), TFileException) << "a file is not a folder";
}

// TPath: joining components and the text <-> file system round trip.
TEST(TPathTest, JoinsOneComponentWithOneSeparator) {
  EXPECT_EQ(TPath("a") / TPath("b"), TPath("a/b"));
  EXPECT_EQ(TPath("a/") / TPath("b"), TPath("a/b")) << "no second separator after a trailing one";
  EXPECT_EQ(TPath("/") / TPath("x"), TPath("/x"));
  EXPECT_EQ(TPath() / TPath("b"), TPath("b")) << "an empty base gives the component alone";
  EXPECT_EQ(TPath("a") / TPath(), TPath("a")) << "an empty component adds nothing";
  EXPECT_EQ(
      TPath(L"root") / TPath(L"ExternalCacheV1") / TPath(L"WAV2") / TPath(L"305419896") / TPath(L".key"),
      TPath("root/ExternalCacheV1/WAV2/305419896/.key"));
  // The component is used as it is: nothing escaped or normalised.
  EXPECT_EQ(TPath("a") / TPath("b c/../d"), TPath("a/b c/../d"));
  EXPECT_EQ(TPath("a") / TString(u"b"), TPath("a/b"));

  // operator/ leaves its base alone; Append changes the path and returns it.
  TPath base(u"base");
  TPath joined = base / TPath(u"x");
  EXPECT_EQ(base, TPath("base"));
  TPath& appended = base.Append(TPath(u"y")).Append(TPath(u"z"));
  EXPECT_EQ(&appended, &base);
  EXPECT_EQ(base, TPath("base/y/z"));
  EXPECT_EQ(joined, TPath("base/x"));

  // Conversions back to text.
  TString text = joined;
  EXPECT_EQ(text, TString(u"base/x"));
  EXPECT_EQ(joined.ToString(), TString(u"base/x"));
  EXPECT_EQ(TPath("dir/sub/file.bin").FileName(), TString(u"file.bin"));
  EXPECT_EQ(TPath("dir/sub/file.bin").Parent(), TPath("dir/sub"));
  EXPECT_TRUE(TPath().IsEmpty());
}

TEST(TPathTest, NonAsciiNamesRoundTripThroughTheFileSystem) {
  // Latin, CJK, and a character outside the BMP (a surrogate pair in UTF-16).
  const TString name(u"Z\u00fcrich-\u65e5\u672c-\U0001F600");
  const std::string utf8 = "Z\xc3\xbcrich-\xe6\x97\xa5\xe6\x9c\xac-\xf0\x9f\x98\x80";

  TPath path = TPath(u"base") / TPath(name);
  EXPECT_EQ(path.ToUtf8(), "base/" + utf8);
  EXPECT_EQ(path.ToStdPath(), std::filesystem::path("base/" + utf8));
  EXPECT_EQ(TPath::FromStdPath(path.ToStdPath()), path);
  EXPECT_EQ(path.FileName(), name);

  // The bytes the system stores are the UTF-8 ones.
  kelcache_test::TempDir temp;
  TPath root = TPath::FromStdPath(temp.path());
  ASSERT_TRUE(CreateDirectory(root / TPath(name)));
  EXPECT_TRUE(std::filesystem::is_directory(temp.path() / utf8));
  EXPECT_TRUE(DirectoryExists(root / TPath(u"Z\u00fcrich-\u65e5\u672c-\U0001F600")));
  EXPECT_FALSE(DirectoryExists(root / TPath(u"Zurich-\u65e5\u672c-\U0001F600")));
}

// FolderSweeper: which entry folders go, how far the folder is trimmed, when
// scans run, and behaviour under concurrent change.
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

  // An entry whose files were both last written ageSeconds ago.
  void MakeEntry(const std::string& name, size_t keyBytes, size_t valueBytes, int64_t ageSeconds) {
    TPath entry = Folder() / TPath(name.c_str());
    ASSERT_TRUE(WriteEntry(entry, keyBytes, valueBytes));
    DateTime written = DateTime::GetLocalTime() - DateTimeSpan::FromSeconds(ageSeconds);
    ASSERT_TRUE(LastWriteTime(entry / TPath(".bin"), written));
    ASSERT_TRUE(LastWriteTime(entry / TPath(".key"), written));
  }

  std::set<std::string> Entries() { return NamesIn(Folder()); }

  uint64_t TotalBytes() const {
    uint64_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(Folder().ToStdPath())) {
      if (entry.is_regular_file()) total += entry.file_size();
    }
    return total;
  }

  static std::set<std::string> Names(const std::string& prefix, int from, int to) {
    std::set<std::string> names;
    for (int i = from; i < to; ++i) names.insert(prefix + std::to_string(i));
    return names;
  }
};

TEST_F(FolderSweeperTest, LeastRecentlyWrittenEntriesGoFirstUntilWithinBudget) {
  // 20 entries of 1000 bytes; entry0 was written first, entry19 last.
  for (int i = 0; i < 20; ++i) MakeEntry("entry" + std::to_string(i), 100, 900, (20 - i) * 60);
  // A load renews entry0's value file: it is now the most recently used.
  ASSERT_TRUE(LastWriteTime(Folder() / TPath("entry0") / TPath(".bin"), DateTime::GetLocalTime()));
  // A loose file counts towards the size but is not an entry.
  TFile::WriteUnsignedBinaryFile(Folder() / TPath("loose"), std::vector<uint8_t>(500, 'l'));
  ASSERT_EQ(TotalBytes(), 20500u);

  // Budget 12000 with 1000 incoming: trimmed to at most 90% (10800) with the
  // incoming bytes, so 11 entries go: entry1 .. entry11.
  FolderSweeper sweeper(12000, FolderSweepOrder::LeastRecentlyWritten, 0, kLongInterval);
  EXPECT_TRUE(sweeper.Sweep(Folder(), 1000));
  std::set<std::string> expected = Names("entry", 12, 20);
  expected.insert({"entry0", "loose"});
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
  ASSERT_TRUE(CreateDirectory(Folder() / TPath("inprogress")));

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
  EXPECT_EQ(Entries(), Names("later", 6, 10));

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
      TPath entry = Folder() / TPath(("churn" + std::to_string(i % 16)).c_str());
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

// DateTime arithmetic saturates at the ends of its range: callers subtract
// margins from timestamps that come from other processes (file times among
// them), and a wrapped result would turn "long ago" into "far in the future".
struct ShiftCase {
  uint64_t value;
  int64_t spanMs;
  uint64_t minus;  // value - span
  uint64_t plus;   // value + span
};

TEST(DateTimeTest, AddingAndSubtractingSpansSaturatesAtBothEnds) {
  const ShiftCase cases[] = {
      {10000, 5000, 5000, 15000},
      {1, 5000, 0, 5001},
      {0, 5000, 0, 5000},
      {4999, 5000, 0, 9999},
      {5000, 5000, 0, 10000},
      {0, -5000, 5000, 0},
      {UINT64_MAX - 10, 5000, UINT64_MAX - 5010, UINT64_MAX},
      {UINT64_MAX, -1, UINT64_MAX, UINT64_MAX - 1},
      {UINT64_MAX, INT64_MIN, UINT64_MAX, static_cast<uint64_t>(INT64_MAX)},
      {0, INT64_MAX, 0, static_cast<uint64_t>(INT64_MAX)},
  };
  for (const ShiftCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.value << " and " << c.spanMs);
    const DateTime time = DateTime::FromValue(c.value);
    const DateTimeSpan span = DateTimeSpan::FromMilliseconds(c.spanMs);
    EXPECT_EQ((time - span).GetRepresentation(), c.minus);
    EXPECT_EQ((time + span).GetRepresentation(), c.plus);
  }
}

TEST(DateTimeTest, DifferencesAndSecondSpansSaturateToTheSpansRange) {
  EXPECT_EQ((DateTime::FromValue(5) - DateTime::FromValue(3)).TotalMilliseconds(), 2);
  EXPECT_EQ((DateTime::FromValue(3) - DateTime::FromValue(5)).TotalMilliseconds(), -2);
  EXPECT_EQ((DateTime::FromValue(UINT64_MAX) - DateTime::FromValue(0)).TotalMilliseconds(), INT64_MAX);
  EXPECT_EQ((DateTime::FromValue(0) - DateTime::FromValue(UINT64_MAX)).TotalMilliseconds(), INT64_MIN);
  EXPECT_EQ(DateTimeSpan::FromSeconds(7).TotalMilliseconds(), 7000);
  EXPECT_EQ(DateTimeSpan::FromSeconds(INT64_MAX).TotalMilliseconds(), INT64_MAX);
  EXPECT_EQ(DateTimeSpan::FromSeconds(INT64_MIN).TotalMilliseconds(), INT64_MIN);
}

TEST(DateTimeTest, SystemTimeRoundTripsThroughTheRepresentation) {
  // The Unix epoch is kUnixEpochMilliseconds, both ways, to the millisecond.
  const std::chrono::system_clock::time_point epoch{};
  EXPECT_EQ(DateTime::FromSystemTime(epoch).GetRepresentation(), DateTime::kUnixEpochMilliseconds);
  EXPECT_EQ(DateTime::FromValue(DateTime::kUnixEpochMilliseconds + 1).ToSystemTime(),
            epoch + std::chrono::milliseconds(1));
  const auto now = std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
  EXPECT_EQ(DateTime::FromSystemTime(now).ToSystemTime(), now);
}

}  // namespace
