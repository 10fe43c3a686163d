// The file facilities: FileSystem.h (existence, folders, removal, last-write
// times), TFile (open modes, whole-file reads and the atomic whole-file
// write) and TDirectory.
#include "host/TFile.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <iterator>
#include <set>
#include <optional>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "host/DateTime.h"
#include "host/Errors.h"
#include "host/FileErrors.h"
#include "host/FileSystem.h"
#include "host/TDirectory.h"
#include "tests/host/FileTestSupport.h"
#include "tests/support/KilledWriter.h"
#include "tests/support/TestEnvironment.h"

namespace {

using namespace file_test;
using kelcache_test::RaisedText;
using ::testing::HasSubstr;

TEST_F(TFileTest, CreateDirectoryMakesMissingParentsAndFailsUnderAFile) {
  TPath deep = Root() / TPath("one") / TPath("two") / TPath("three");
  EXPECT_TRUE(CreateDirectory(deep));
  EXPECT_TRUE(DirectoryExists(deep));
  EXPECT_FALSE(FileExists(deep)) << "a folder is not a file";
  EXPECT_TRUE(CreateDirectory(deep)) << "an existing folder counts as success";

  // Many threads making the same new tree at once all succeed.
  TPath shared = Root() / TPath("shared") / TPath("a") / TPath("b") / TPath("c");
  std::atomic<int> successes{0};
  kelcache_test::RunTogether(8, [&](int) { successes += CreateDirectory(shared) ? 1 : 0; });
  EXPECT_EQ(successes.load(), 8);

  // A regular file in the way: the folder cannot be made.
  TPath file = Root() / TPath("plain");
  WriteBytes(file, "x");
  EXPECT_FALSE(DirectoryExists(file));
  EXPECT_FALSE(CreateDirectory(file)) << "a file with that name is there";
  EXPECT_FALSE(CreateDirectory(file / TPath("below"))) << "a parent is a regular file";
  EXPECT_FALSE(CreateDirectory(TPath()));
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

  // A link is removed, never followed, however its path ends: what the folder
  // it names holds stays.
  const TPath outside = Root() / TPath("outside");
  for (const char* spelling : {"", "/", "/.", "//./"}) {
    SCOPED_TRACE(spelling);
    ASSERT_TRUE(CreateDirectory(outside / TPath("sub")));
    WriteBytes(outside / TPath("sub") / TPath("kept"), "kept");
    fs::create_directory_symlink(outside.ToStdPath(), folder.ToStdPath());
    EXPECT_TRUE(RemovePathRecursively(TPath(folder.ToString() + TString::fromStdString(spelling))));
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder.ToStdPath())));
    EXPECT_TRUE(FileExists(outside / TPath("sub") / TPath("kept")));
  }
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

  EXPECT_FALSE(LastWriteTime(Root() / TPath("missing"), stamp));
  EXPECT_THROW(GetLastWriteTime(Root() / TPath("missing")), TFileException);

  // A time the file clock cannot hold (the minimum date, year 1) is refused,
  // not wrapped round to another date; the file keeps its time.
  EXPECT_FALSE(LastWriteTime(file, DateTime::FromValue(0)));
  EXPECT_EQ(GetLastWriteTime(file).GetRepresentation(), stamp.GetRepresentation());

  // True means the file holds that time: a file system that cannot (ext4
  // keeps nothing before 1901-12-13 and moves the time there) makes it false.
  const DateTime year1900 = DateTime::FromValue(DateTime::kUnixEpochMilliseconds - 2208988800000ULL + 43200000);
  if (LastWriteTime(file, year1900)) {
    EXPECT_EQ(GetLastWriteTime(file).GetRepresentation(), year1900.GetRepresentation());
  }

  // The local reading of 1969-12-31 23:59:59.500 UTC, the one second whose
  // mktime answer is -1, is stamped as that moment (in a zone away from UTC,
  // where reading it as UTC would be hours off).
  {
    const char* before = std::getenv("TZ");
    const std::optional<std::string> saved = before ? std::optional<std::string>(before) : std::nullopt;
    setenv("TZ", "EST5", 1);
    tzset();
    const DateTime lastSecondOf1969 = DateTime::FromValue(DateTime::kUnixEpochMilliseconds - 500 - 5 * 3600 * 1000);
    EXPECT_TRUE(LastWriteTime(file, lastSecondOf1969));
    const auto held = std::chrono::file_clock::to_sys(fs::last_write_time(file.ToStdPath()));
    EXPECT_EQ(std::chrono::floor<std::chrono::milliseconds>(held).time_since_epoch().count(), -500);
    saved ? setenv("TZ", saved->c_str(), 1) : unsetenv("TZ");
    tzset();
  }

  // A time set by other means past the year 2262 (where a clock of
  // nanoseconds ends; ext4 goes to 2446) is read as it stands.
  const timespec year2286[2] = {{10000000000, 0}, {10000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, file.ToStdPath().c_str(), year2286, 0), 0);
  EXPECT_EQ(GetLastWriteTime(file).GetRepresentation(),
            DateTime::kUnixEpochMilliseconds + 10000000000000ULL +
                1000ULL * DateTime::LocalUtcOffsetSeconds(10000000000));
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
}

TEST_F(TFileTest, WholeFileReadsAndTheirFailures) {
  std::vector<uint8_t> allBytes(256 * 3);
  for (size_t i = 0; i < allBytes.size(); ++i) allBytes[i] = static_cast<uint8_t>(i);
  TPath path = Root() / TPath(".bin");
  TFile::WriteUnsignedBinaryFile(path, allBytes);
  EXPECT_EQ(TFile::LoadUnsignedBinaryFile(path), allBytes);
  TFile::WriteUnsignedBinaryFile(path, std::vector<uint8_t>());
  EXPECT_TRUE(TFile::LoadUnsignedBinaryFile(path).empty());
  // The longest names the file system takes are written too (the temporary
  // file's name must not pass the limit), and no temporary file stays.
  for (size_t length : {200u, 240u, 255u}) {
    const TPath longName = Root() / TPath(std::string(length, 'n').c_str());
    TFile::WriteUnsignedBinaryFile(longName, allBytes);
    EXPECT_EQ(TFile::LoadUnsignedBinaryFile(longName), allBytes) << length;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(Root().ToUtf8()), fs::directory_iterator()), 4);

  TPath missing = Root() / TPath("no-such-file.bin");
  try {
    TFile::LoadUnsignedBinaryFile(missing);
    FAIL() << "loading a missing file must raise";
  } catch (const TFileException& error) {
    EXPECT_THAT(error.what(), AllOf(HasSubstr(std::strerror(ENOENT)), HasSubstr(missing.ToUtf8())));
    EXPECT_EQ(error.GetErrorInfo().GetStatus(), TError::StatusCode::NOT_FOUND);
  }
  EXPECT_THAT(RaisedText<TFileException>([&] { TFile::LoadUnsignedBinaryFile(Root()); }),
              HasSubstr(std::strerror(EISDIR)));
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
  EXPECT_EQ(FileNames(m_temp.path()), std::set<std::string>{".bin"}) << "no temporary file stays behind";
  EXPECT_EQ(TFile::LoadUnsignedBinaryFile(path), allA) << "the last write wins";
}

TEST_F(TFileTest, FailedAtomicWritesLeaveNoTemporaryFileAndTheOldContent) {
  const std::vector<uint8_t> value(4096, 'v');

  // The target is a folder: the rename fails after the temporary was written.
  TPath folderTarget = Root() / TPath("target-is-a-folder");
  ASSERT_TRUE(CreateDirectory(folderTarget));
  EXPECT_THROW(TFile::WriteUnsignedBinaryFile(folderTarget, value), TFileException);
  EXPECT_EQ(FileNames(m_temp.path()), std::set<std::string>{"target-is-a-folder"});
  EXPECT_TRUE(DirectoryExists(folderTarget));

  // The parent is a regular file: not even the temporary can be made.
  TPath plain = Root() / TPath("plain");
  TFile::WriteUnsignedBinaryFile(plain, "old", 3);
  EXPECT_THAT(RaisedText<TFileException>([&] { TFile::WriteUnsignedBinaryFile(plain / TPath(".bin"), value); }),
              HasSubstr(std::strerror(ENOTDIR)));
  EXPECT_EQ(FileNames(m_temp.path()), (std::set<std::string>{"plain", "target-is-a-folder"}));

  // The write itself fails midway (a file-size limit makes the system refuse
  // the bytes past 1000): the partial temporary goes, the old file stays whole.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previousHandler = signal(SIGXFSZ, SIG_IGN);
  const rlimit limited{1000, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  // Checked after the limit is lifted, so that a failure report can be written.
  const std::string message =
      RaisedText<TFileException>([&] { TFile::WriteUnsignedBinaryFile(plain, value); });
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previousHandler);
  EXPECT_THAT(message, HasSubstr(std::strerror(EFBIG)));
  EXPECT_EQ(TFile::LoadUnsignedBinaryFile(plain), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(FileNames(m_temp.path()), (std::set<std::string>{"plain", "target-is-a-folder"}));
}

// The temporary file that a writer killed midway leaves is told apart by its
// name, also where the target's name had to be cut short to make room for
// the temporary one's suffix.
TEST_F(TFileTest, TheTemporaryFileOfAWriterKilledMidwayIsToldByItsName) {
  for (const std::string& target : {std::string(".bin"), std::string(255, 'n')}) {
    SCOPED_TRACE(target.size());
    const TPath folder = Root() / TPath(std::to_string(target.size()).c_str());
    ASSERT_TRUE(CreateDirectory(folder));
    kelcache_test::KillAWriterMidway(folder / TPath(target.c_str()));
    const std::set<std::string> left = FileNames(folder.ToUtf8());
    ASSERT_EQ(left.size(), 1u) << "the writer left no temporary file";
    const std::string temporary = *left.begin();
    EXPECT_TRUE(TFile::IsTemporaryFileFor(temporary, target)) << temporary;
    EXPECT_FALSE(TFile::IsTemporaryFileFor(temporary, ".key"));
    EXPECT_FALSE(TFile::IsTemporaryFileFor(temporary, "m" + target.substr(1)));
    EXPECT_FALSE(TFile::IsTemporaryFileFor(target, target)) << "the target itself";
  }
}

TEST_F(TFileTest, TDirectoryListsExactlyTheEntriesOfOneFolder) {
  TPath folder = Root() / TPath("ns");
  ASSERT_TRUE(CreateDirectory(folder));
  const auto listed = [](const TPath& folder) {
    std::multiset<TPath> paths;
    TDirectory directory(folder);
    for (auto it = directory.begin(); it != directory.end(); ++it) paths.insert(*it);
    return paths;
  };
  EXPECT_TRUE(listed(folder).empty()) << "an empty folder lists nothing";
  ASSERT_TRUE(CreateDirectory(folder / TPath("123") / TPath("deeper")));
  WriteBytes(folder / TPath("123") / TPath(".bin"), "not listed: one level down");
  WriteBytes(folder / TPath(".hidden"), "");
  WriteBytes(folder / TPath(u"\u00fcml\u00e4ut"), "");
  ASSERT_TRUE(CreateDirectory(folder / TPath("456")));

  EXPECT_EQ(listed(folder), (std::multiset<TPath>{folder / TPath("123"), folder / TPath("456"),
                                                 folder / TPath(".hidden"), folder / TPath(u"\u00fcml\u00e4ut")}));
  EXPECT_THAT(RaisedText<TFileException>([&] { TDirectory missing(Root() / TPath("missing")); }),
              HasSubstr(std::strerror(ENOENT)));
  EXPECT_THROW(TDirectory(folder / TPath(".hidden")), TFileException) << "a file is not a folder";
}

}  // namespace
