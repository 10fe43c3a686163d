// The disk store on real folders under a temporary directory: the on-disk
// layout byte for byte, colliding keys, folders that cannot be made, files
// that cannot be removed and entry locks that cannot be taken, the folder
// kept open when it goes, the namespace check, and a child forked without
// exec. Entries as loads, the key listing and the inspector see them are
// tested in DiskExternalCacheInspectorTest.cpp; what every store does
// (ExternalCacheContract.h) and the sweeper of the stores the factory makes
// in ExternalCacheFactoryTest.cpp.
#include "public/caching/DiskExternalCache.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <iostream>
#include <optional>
#include <set>

#include "host/AppConfig.h"
#include "host/AppOptions.h"
#include "host/DateTime.h"
#include "host/Errors.h"
#include "host/FileSystem.h"
#include "main/caching/DiskCacheFolder.h"
#include "public/caching/DiskExternalCacheInspector.h"
#include "tests/main/caching/external/DiskExternalCacheTestSupport.h"
#include "tests/main/caching/external/EntryOpenHooks.h"
#include "tests/main/caching/external/LockRefusal.h"
#include "tests/main/caching/external/XattrFaults.h"
#include "tests/support/ForkedChild.h"
#include "tests/support/KilledWriter.h"

namespace {

using namespace kelcache_test;
using kelvra::caching::DiskEntryReport;
using kelvra::caching::DiskExternalCache;
using kelvra::caching::DiskExternalCacheInspector;
namespace fs = std::filesystem;
using State = DiskEntryReport::State;
using kelvra::appoptions::ScopedOptionOverride;
using namespace std::chrono_literals;

// The record a store writes for value under key: form 2, the value's length
// and XXH3-64, then XXH3-64 of the key's UTF-8 bytes, little-endian.
Bytes ExpectedIntegrityRecord(const Bytes& value, const TString& key) {
  Bytes record{2};
  const std::string keyText = key.toStdString();
  for (const uint64_t number : {uint64_t{value.size()}, XXH3_64bits(value.data(), value.size()),
                                XXH3_64bits(keyText.data(), keyText.size())}) {
    for (int i = 0; i < 8; ++i) record.push_back(static_cast<uint8_t>(number >> (8 * i)));
  }
  return record;
}

// How a log shows the host's generic failure.
const TString kUnspecifiedExceptionText(
    u"KelvraException: Unspecified exception c87f2fd8-3b2f-4a84-a7bc-a4deb21dd472");

// While it lives, this process may use no more than `limit` of `resource`.
// Past RLIMIT_FSIZE a write writes what fits, then fails with EFBIG (SIGXFSZ,
// which would end the process, is ignored meanwhile).
struct ResourceLimit {
  ResourceLimit(decltype(RLIMIT_FSIZE) resource, rlim_t limit)
      : resource(resource), oldHandler(std::signal(SIGXFSZ, SIG_IGN)) {
    EXPECT_EQ(getrlimit(resource, &old), 0);
    const rlimit lowered{limit, old.rlim_max};
    EXPECT_EQ(setrlimit(resource, &lowered), 0);
  }
  ~ResourceLimit() {
    EXPECT_EQ(setrlimit(resource, &old), 0);
    std::signal(SIGXFSZ, oldHandler);
  }
  const decltype(RLIMIT_FSIZE) resource;
  rlimit old{};
  void (*const oldHandler)(int);
};

// Makes a file or folder immutable (not even root can remove or change it)
// while it lives, and mutable again before the test's folder goes, which it
// would outlive. `made` is false, and the test says it skips, where the file
// system has no such flag.
struct Immutable {
  explicit Immutable(fs::path file) : path(std::move(file)), made(SetFlag(true)) {
    if (!made) std::cout << "[ SKIPPED  ] immutable files are not available on this file system\n";
  }
  ~Immutable() { if (made) SetFlag(false); }
  bool SetFlag(bool immutable) const {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) close(fd);
    return done;
  }
  const fs::path path;
  const bool made;
};

// The on-disk layout byte for byte: one entry folder, named by the key hash,
// beside the (empty) file whose byte ranges lock entries; ".key" holds the
// key in UTF-8 (no BOM, no line end), ".bin" the raw value, and an attribute
// of ".bin" the value's integrity record (computed here with the system's
// xxHash). The sizes cover each of XXH3's length classes (0, 1-3, 4-8, 9-16,
// 17-128, 129-240, longer), as the library computes the checksum with code
// of its own where the machine has AVX2.
// A load reads the value file whole, whatever its size, which nothing but
// the file open at that load can give: every other value is stored by
// another cache object (another process), then replaced by hand with one of
// another size.
TEST_F(DiskExternalCacheTest, AStoreWritesTheKeyTheValueAndItsIntegrityRecordAndNothingElse) {
  auto cache = MakeCache();
  auto other = MakeCache();
  bool byOther = false;
  for (unsigned long long size : {0, 1, 3, 8, 16, 100, 200, 241, 4095, 4096, 4097, 65536, 70000, (1 << 20) + 7}) {
    SCOPED_TRACE("size " + std::to_string(size));
    fs::remove_all(CachePath());
    const TString key = TString(u"gr\u00FC\u00DF-\u20AC-\U0001D11E/key-") + TString::number(size);
    const Value value = MakeValue(size, static_cast<uint8_t>(size));
    TLog::Capture capture(TLog::Info);
    ASSERT_TRUE(Store((byOther = !byOther) ? *other : *cache, key, value));
    const fs::path entry = EntryPath(key);
    EXPECT_EQ(FileNames(CachePath()), (std::set<std::string>{ExpectedKeyHash(key), ".lock"}));
    EXPECT_EQ(fs::file_size(CachePath() / ".lock"), 0u);
    EXPECT_EQ(FileNames(entry), (std::set<std::string>{".bin", ".key"}));
    EXPECT_EQ(ReadFileBytes(entry / ".key"), *MakeValue(key.toStdString())) << "the key's UTF-8 bytes";
    EXPECT_EQ(ReadFileBytes(entry / ".bin"), *value) << "raw bytes, no header";
    EXPECT_EQ(IntegrityAttribute(entry / ".bin").value_or(Bytes{9}), ExpectedIntegrityRecord(*value, key));
    EXPECT_FALSE(IntegrityAttribute(entry / ".key").has_value()) << "only the value file has one";
    EXPECT_TRUE(LoadsValue(*cache, key, *value));
    // Replaced by hand: larger than the small values, smaller than the large.
    const Value replaced = MakeValue((size * 7 + 4097) % 70001, 3);
    WriteFileBytes(entry / "replacement", std::string(replaced->begin(), replaced->end()));
    fs::rename(entry / "replacement", entry / ".bin");
    EXPECT_TRUE(LoadsValue(*cache, key, *replaced));
    EXPECT_TRUE(capture.Lines().empty()) << "nothing went wrong, so nothing but the events";
    // A second store of the key leaves no file of its own behind.
    ASSERT_TRUE(Store(*cache, key, MakeValue(70000, 9)));
    EXPECT_EQ(FileNames(entry), (std::set<std::string>{".bin", ".key"}));
  }
}

// A load that serves a value makes it the most recently used for the
// sweeper, which orders entries by the value file's last-write time: whatever
// that time was (old, or in the future), it becomes now, as the host's clock
// reads it (to the millisecond, as file times are kept): never earlier than a
// time taken before the load.
TEST_F(DiskExternalCacheTest, ALoadRenewsTheValuesWriteTime) {
  auto cache = MakeCache();
  const Value value = MakeValue("used");
  ASSERT_TRUE(Store(*cache, u"k", value));
  const TPath valueFile = ToTPath(EntryPath(u"k") / ".bin");
  for (int round = 0; round < 20; ++round) {  // a clock a tick behind shows only now and then
    for (const int64_t secondsBefore : {3600, -3600}) {
      SCOPED_TRACE(secondsBefore > 0 ? "an hour old" : "in the future");
      ASSERT_TRUE(LastWriteTime(valueFile, DateTime::GetLocalTime() - DateTimeSpan::FromSeconds(secondsBefore)));
      const DateTime loadStarted = DateTime::GetLocalTime();
      ASSERT_TRUE(LoadsValue(*cache, u"k", *value));
      const DateTime renewed = GetLastWriteTime(valueFile);
      EXPECT_FALSE(renewed < loadStarted) << (loadStarted - renewed).TotalMilliseconds() << " ms early";
      EXPECT_FALSE(DateTime::GetLocalTime() < renewed);
    }
  }
}

// The namespace constructor makes the namespace one folder name, so it
// refuses what cannot be one (and what could never be made: a name longer
// than 255 bytes, counted in its 8-bit form). The constructor with an
// explicit path keeps that path as passed, the namespace only names the
// cache in events, so it takes any text.
TEST_F(DiskExternalCacheTest, OnlyTheConstructorThatBuildsThePathFromTheNamespaceChecksIt) {
  struct RestoreFolder {  // also when a check below ends the test early
    const TString previous = AppConfig::GetInstance().GetExternalCacheDir();
    ~RestoreFolder() { AppConfig::GetInstance().SetExternalCacheDir(previous); }
  } restore;
  AppConfig::GetInstance().SetExternalCacheDir(TString::fromStdString(m_temp.str()));
  const fs::path namespaceRoot = m_temp.path() / "ExternalCacheV1";
  auto repeat = [](char16_t unit, size_t times) { return TString(std::u16string(times, unit)); };
  struct Case {
    const char* name;
    TString ns;
    bool refusedByNamespaceConstructor;
  };
  const Case cases[] = {
      {"empty", TString(), true},
      {".", TString(u"."), true},
      {"..", TString(u".."), true},
      {"a/b", TString(u"a/b"), true},
      {"a\\b", TString(u"a\\b"), true},
      {"NUL inside", TString(std::u16string(u"a\0b", 3)), true},
      {"256 bytes", repeat(u'n', 256), true},
      {"86 three-byte characters (258 bytes)", repeat(u'\u20AC', 86), true},
      {"255 bytes", repeat(u'n', 255), false},
      {"85 three-byte characters (255 bytes)", repeat(u'\u20AC', 85), false},
      {"dots and spaces", TString(u"..hidden. name"), false},
  };
  int round = 0;
  std::set<std::string> accepted;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Value value = MakeValue("value " + std::to_string(++round));
    if (c.refusedByNamespaceConstructor) {
      const std::string raised = LogicExceptionSite([&] { DiskExternalCache(c.ns, nullptr); });
      EXPECT_TRUE(raised.starts_with("main/caching/DiskExternalCache:")) << "refused by: " << raised;
      EXPECT_NE(raised.find("namespace"), std::string::npos) << raised;
    } else {  // (a refusal here fails the test with the exception)
      DiskExternalCache cache(c.ns, nullptr);
      EXPECT_EQ(cache.GetCachePath().ToStdPath(), namespaceRoot / c.ns.toStdString());
      ASSERT_TRUE(Store(cache, u"k", value));
      EXPECT_TRUE(LoadsValue(cache, u"k", *value));
      accepted.insert(c.ns.toStdString());
    }

    // The explicit path: any namespace, and the path exactly as passed.
    const fs::path folder = m_temp.path() / ("explicit-" + std::to_string(round));
    DiskExternalCache cache(c.ns, ToTPath(folder), nullptr);
    EXPECT_EQ(cache.GetCachePath().ToStdPath(), folder);
    TLog::Capture capture(TLog::Info);
    ASSERT_TRUE(Store(cache, u"k", value));
    EXPECT_EQ(ReadFileBytes(folder / ExpectedKeyHash(u"k") / ".bin"), *value);
    EXPECT_EQ(SingleEvent(capture, u"ec-store").fields.at(TString(u"cns")), c.ns);
  }
  EXPECT_EQ(FileNames(namespaceRoot), accepted) << "nothing refused was written anywhere";

  // A path the system would read as another folder is refused, by the store
  // and by the inspector: empty (the working folder), or cut at a NUL (here
  // the temporary folder itself, whose other folders sweeps and drops would
  // remove).
  const std::pair<TPath, std::string> badPaths[] = {
      {TPath(), "cache path is empty"},
      {ToTPath(m_temp.path()) / TString(std::u16string(u"\0x", 2)), "cache path contains a NUL character"},
  };
  for (const auto& bad : badPaths) {
    const TPath& path = bad.first;  // not a structured binding: lambdas below capture it
    SCOPED_TRACE(bad.second);
    const std::string raised = LogicExceptionSite([&] { DiskExternalCache(u"ns", path, nullptr); });
    EXPECT_TRUE(raised.starts_with("main/caching/DiskCacheFolder:")) << raised;
    EXPECT_EQ(raised.substr(raised.find(' ') + 1), bad.second) << raised;
    EXPECT_EQ(LogicExceptionSite([&] { DiskExternalCacheInspector{path}; }), raised) << "the inspector";
  }
}

TEST_F(DiskExternalCacheTest, CollidingKeysShareOneFolderHoldingTheKeyStoredLast) {
  ASSERT_EQ(ExpectedKeyHash(kCollidingKeyA), ExpectedKeyHash(kCollidingKeyB));
  auto cache = MakeCache();
  ASSERT_TRUE(Store(*cache, kCollidingKeyA, MakeValue("value of A")));
  // (That such a miss is a quiet "miss" event is the hand-edited key file's
  // row in DiskExternalCacheInspectorTest.cpp: the same comparison.)
  EXPECT_EQ(cache->TryLoad(kCollidingKeyB).Get(), nullptr) << "same folder, other key: a miss";
  EXPECT_TRUE(LoadsValue(*cache, kCollidingKeyA, *MakeValue("value of A"))) << "and A's entry stays";

  ASSERT_TRUE(Store(*cache, kCollidingKeyB, MakeValue("value of B")));
  EXPECT_EQ(cache->TryLoad(kCollidingKeyA).Get(), nullptr);
  EXPECT_TRUE(LoadsValue(*cache, kCollidingKeyB, *MakeValue("value of B")));
  EXPECT_EQ(FileNames(CachePath()), (std::set<std::string>{ExpectedKeyHash(kCollidingKeyA), ".lock"}));

  // A drop removes the folder whichever key it holds.
  ASSERT_TRUE(cache->TryDrop(kCollidingKeyA).Get());
  EXPECT_FALSE(fs::exists(EntryPath(kCollidingKeyB)));
}

// Warnings that could repeat with every operation are limited for each
// folder and kind: the first 20, then one per 10 seconds (the rest of the
// limiter is tested apart, LogRateLimiterTest). A damaged entry loaded in a
// loop, a namespace folder that cannot be made (each store's two lines count
// as one), a disk failing every load. Another cache object on the same
// folder shares its limits, so a host that makes one per use is limited too;
// another folder is not silenced.
TEST_F(DiskExternalCacheTest, WarningsThatRepeatAreLimitedForEachFolderAndKind) {
  WriteFileBytes(m_temp.path() / "blocker", "a file, not a folder");
  struct Case {
    const char* what;
    fs::path folder;
    std::function<void(const DiskExternalCache&)> prepare;
    std::function<void(const DiskExternalCache&)> operation;
    std::vector<const char16_t*> linesOfOneFailure;
    std::optional<XattrFault::Call> failing;  // fails with EIO while the operations run
  };
  const auto damage = [](const DiskExternalCache& cache) {
    ASSERT_TRUE(Store(cache, u"k", MakeValue(4096, 1)));
    Truncate(".bin", 1000)(fs::path(cache.GetCachePath().ToStdPath()) / ExpectedKeyHash(u"k"));
  };
  const auto store = [](const DiskExternalCache& cache) { ASSERT_TRUE(Store(cache, u"k", MakeValue("v"))); };
  const auto load = [](const DiskExternalCache& cache) { EXPECT_EQ(cache.TryLoad(u"k").Get(), nullptr); };
  const Case cases[] = {
      {"a damaged entry", m_temp.path() / "damaged", damage, load, {u"found a damaged cache entry"}},
      {"a namespace folder that cannot be made", m_temp.path() / "blocker" / "ns", nullptr, store,
       {u"Failed to create directory '", u"Exception in DiskExternalCache::TryStore"}},
      {"a disk failing loads", m_temp.path() / "failing", store, load,
       {u"DiskExternalCache::TryLoad failed to read a cache entry from disk"}, XattrFault::Call::Get},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // How many failures of the operation were logged, checking that each
    // wrote its lines in order and nothing else.
    const auto loggedFailures = [&c](const fs::path& folder, int operations) {
      const DiskExternalCache cache(u"disk-ns", ToTPath(folder), nullptr);
      if (c.prepare) c.prepare(cache);
      std::optional<XattrFault> fault;
      if (c.failing) fault.emplace(*c.failing, EIO);
      TLog::Capture capture(TLog::Warn);
      for (int i = 0; i < operations; ++i) c.operation(cache);
      const std::vector<TString> lines = capture.Lines();
      EXPECT_EQ(lines.size() % c.linesOfOneFailure.size(), 0u);
      for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(lines[i].contains(c.linesOfOneFailure[i % c.linesOfOneFailure.size()])) << lines[i];
      }
      return lines.size() / c.linesOfOneFailure.size();
    };
    EXPECT_EQ(loggedFailures(c.folder, 30), 20u);
    EXPECT_EQ(loggedFailures(c.folder, 5), 0u) << "another cache object on the same folder";
    EXPECT_EQ(loggedFailures(c.folder / ".." / (c.folder.filename().string() + "-other"), 1), 1u)
        << "another folder";
  }
}

// A key file that is no regular file is no key, whatever it reads as: a link
// to an endless device must not be read without end (a key whose text the
// file's bytes do not decide, one holding U+FFFD, reads the file whole), and
// an empty device or a pipe, which read as nothing, must not pass for the
// empty key's file. Nor is such a key listed.
TEST_F(DiskExternalCacheTest, AKeyFileThatIsNoRegularFileIsAMiss) {
  struct Case {
    TString key;
    const char* linkTo;  // none: a pipe
  };
  for (const Case& c : {Case{u"a\uFFFDb", "/dev/zero"}, Case{u"", "/dev/null"}, Case{u"", nullptr}}) {
    const std::string what = c.linkTo ? std::string("a link to ") + c.linkTo : "a pipe";
    SCOPED_TRACE(what);
    auto cache = MakeCache();
    ASSERT_TRUE(Store(*cache, c.key, MakeValue("v")));
    ASSERT_TRUE(LoadsValue(*cache, c.key, *MakeValue("v")));
    const fs::path keyFile = EntryPath(c.key) / ".key";
    fs::remove(keyFile);
    if (c.linkTo) {
      fs::create_symlink(c.linkTo, keyFile);
    } else {
      ASSERT_EQ(::mkfifo(keyFile.c_str(), 0600), 0);
    }
    // A bounded wait, and the program ends at once when it runs out: a load
    // that reads on would go on filling the memory under the next tests.
    bool timedOut = false;
    EXPECT_EQ(cache->TryLoad(c.key, 1000, &timedOut), nullptr);
    if (timedOut) {
      std::fprintf(stderr, "FAILED: the load reads %s without end; the program ends here\n", what.c_str());
      std::_Exit(1);
    }
    EXPECT_TRUE(cache->TryGetAllKeys().empty());
    if (c.linkTo) continue;
    // A store that finds a folder in place of the value file takes the
    // careful steps, which leave a key file that is no regular file alone:
    // it must not wait for a reader of the pipe, holding the entry's lock.
    fs::remove(EntryPath(c.key) / ".bin");
    fs::create_directories(EntryPath(c.key) / ".bin" / "in-the-way");
    if (cache->TryStore(c.key, MakeValue("w"), kSlowLoadMs, -1).WaitFor(5s) != AsyncTask::FutureStatus::Ready) {
      std::fprintf(stderr, "FAILED: the store waits for a reader of the pipe; the program ends here\n");
      std::_Exit(1);
    }
    EXPECT_EQ(cache->TryLoad(c.key).Get(), nullptr);
  }
}

// A store that fails on the disk is the host's generic failure, logged with
// the system's reason, and leaves nothing, not even the old value; a load
// then misses and a drop is done, quietly, as for a folder that does not
// exist. It fails where a folder cannot be made, which holds for the entry
// folder in a namespace folder where nothing can be made too (here an
// immutable one; for other users, a read-only one: it has no ".lock" either,
// so no load can hold a lock there, and the store goes on without one), where
// a key file takes only part of the key (here: a file size limit below the
// key's length), and where the entry folder cannot be opened (no descriptor
// left: logged as it is, not as the generic failure; the sanitizers' runtimes
// need descriptors of their own, so their builds leave that out).
TEST_F(DiskExternalCacheTest, AStoreThatFailsOnTheDiskIsTheGenericFailureAndLeavesNothing) {
  WriteFileBytes(m_temp.path() / "blocker", "a file, not a folder");
  const fs::path sealed = m_temp.path() / "sealed";
  fs::create_directory(sealed);
  const Immutable sealing(sealed);
  const TString key = TString::fromStdString(std::string(3000, 'k'));
  struct Case {
    const char* what;
    fs::path folder;
    const char16_t* reason;
    std::optional<std::pair<decltype(RLIMIT_FSIZE), rlim_t>> limit;  // while the store runs
    std::optional<fs::path> notMade;  // named in a line of its own, before the store's
    std::function<void(const DiskExternalCache&)> prepare;
    bool generic = true;
  };
  // A link where the entry folder belongs is no entry folder: the store must
  // not write through it into the folder it names, and removes only the link.
  const fs::path outside = m_temp.path() / "outside";
  const auto linkEntryOutside = [&](const DiskExternalCache&) {
    fs::create_directories(outside);
    WriteFileBytes(outside / ".bin", "not the cache's");
    fs::create_directories(CachePath());
    fs::create_directory_symlink(outside, CachePath() / ExpectedKeyHash(key));
  };
  const fs::path tooLong = m_temp.path() / std::string(300, 'n');
  std::vector<Case> cases = {
      {"below a regular file", m_temp.path() / "blocker" / "ns", u"Cannot create folder", {},
       m_temp.path() / "blocker" / "ns"},
      {"a name too long", tooLong, u"Cannot create folder", {}, tooLong},
      // The one-byte value fits, the key does not.
      {"a key file written short", CachePath(), u"Cannot write file", std::pair(RLIMIT_FSIZE, rlim_t{1024})},
      {"a link where the entry folder belongs", CachePath(), u"Not a directory", {},
       CachePath() / ExpectedKeyHash(key), linkEntryOutside},
  };
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // The old value's store leaves the namespace folder and ".lock" open.
  cases.push_back({"no descriptor left for the entry folder", CachePath(), u"Cannot open folder",
                   std::pair(RLIMIT_NOFILE, rlim_t{3}), std::nullopt,
                   [&](const DiskExternalCache& cache) { ASSERT_TRUE(Store(cache, key, MakeValue("old"))); }, false});
#endif
  if (sealing.made) {
    cases.push_back({"a sealed namespace folder", sealed, u"Cannot create folder", {}, sealed / ExpectedKeyHash(key)});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DiskExternalCache cache(u"disk-ns", ToTPath(c.folder), nullptr);
    if (c.prepare) c.prepare(cache);
    {
      TLog::Capture capture(TLog::Info);
      TLog::Capture warnings(TLog::Warn);
      {
        std::optional<ResourceLimit> limit;
        if (c.limit) limit.emplace(c.limit->first, c.limit->second);
        EXPECT_TRUE(Store(cache, key, MakeValue("v"))) << "the function swallows disk failures";
      }
      EXPECT_EQ(Field(SingleEvent(capture, u"ec-store"), "outcome"), "done");
      std::vector<TString> lines = warnings.Lines();
      if (c.notMade) {
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], TString::fromStdString("Failed to create directory '" + c.notMade->string() + "'"));
        lines.erase(lines.begin());
      }
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_TRUE(lines[0].startsWith(TString::fromStdString("Exception in DiskExternalCache::TryStore, cachePath:'" +
                                                             c.folder.string() + "', keyHash:'" +
                                                             ExpectedKeyHash(key) + "'.")))
          << lines[0];
      if (c.generic) EXPECT_TRUE(lines[0].contains(kUnspecifiedExceptionText));
      EXPECT_TRUE(lines[0].contains(c.reason)) << "the reason, nested";
    }
    std::error_code cannotLook;  // below a file, or by a name too long
    EXPECT_FALSE(fs::exists(c.folder / ExpectedKeyHash(key), cannotLook));
    TLog::Capture quiet(TLog::Warn);
    EXPECT_EQ(cache.TryLoad(key).Get(), nullptr);
    EXPECT_TRUE(cache.TryDrop(key).Get());
    EXPECT_TRUE(quiet.Lines().empty()) << quiet.Lines().front();
  }
  EXPECT_EQ(FileNames(m_temp.path()), (std::set<std::string>{"blocker", "cache", "outside", "sealed"}));
  EXPECT_EQ(FileNames(outside), std::set<std::string>{".bin"});
  EXPECT_EQ(ReadFileBytes(outside / ".bin"), *MakeValue("not the cache's"));
  EXPECT_TRUE(FileNames(sealed).empty());
  ASSERT_TRUE(Store(*MakeCache(), key, MakeValue("v"))) << "without the limit the same store succeeds";
  EXPECT_TRUE(LoadsValue(*MakeCache(), key, *MakeValue("v")));
}

// Whoever owns the namespace folder may put a link where an entry folder
// was while a store works in it (which matters when the store runs as root,
// from the command-line tool). Whether the store is writing its files, or
// falls back to its general steps (here: the old value turns out to be a
// folder), it never removes or writes anything through the link: it goes on
// in the folder it opened, or fails and removes the link.
TEST_F(DiskExternalCacheTest, ALinkPutInPlaceOfTheEntryFolderDuringAStoreLeadsItNowhere) {
  const TString key(u"swapped");
  const fs::path outside = m_temp.path() / "outside";
  const fs::path aside = m_temp.path() / "aside";
  struct Case {
    const char* what;
    bool whileWriting;  // the swap: as ".key" is created, or as the old ".bin" is removed
  };
  for (const Case c : {Case{"while the store writes", true}, Case{"while the store removes the old value", false}}) {
    SCOPED_TRACE(c.what);
    for (const fs::path& made : {CachePath(), outside, aside}) fs::remove_all(made);
    auto cache = MakeCache();
    ASSERT_TRUE(Store(*cache, key, MakeValue("old")));
    fs::create_directories(outside);
    WriteFileBytes(outside / ".bin", "not the cache's");
    WriteFileBytes(outside / ".key", "another key");
    const auto swap = [&] {
      fs::rename(EntryPath(key), aside);
      fs::create_directory_symlink(outside, EntryPath(key));
    };
    EntryOpenHooks hooks;
    if (c.whileWriting) {
      hooks.ThenOnCreate(".key", swap);
    } else {
      hooks.ThenOnRemove(".bin", [&] {
        swap();
        fs::remove(aside / ".bin");
        fs::create_directories(aside / ".bin" / "inside");
      });
    }
    TLog::Capture warnings(TLog::Warn);
    EXPECT_TRUE(Store(*cache, key, MakeValue("new")));
    const std::vector<TString> lines = warnings.Lines();
    if (c.whileWriting) {
      EXPECT_TRUE(lines.empty()) << lines.front();
    } else {
      ASSERT_EQ(lines.size(), 2u);
      EXPECT_EQ(lines[0], TString::fromStdString("Failed to create directory '" + EntryPath(key).string() + "'"));
      EXPECT_TRUE(lines[1].contains(u"Not a directory")) << lines[1];
    }
    EXPECT_EQ(hooks.Ran(), 1);
    EXPECT_EQ(FileNames(outside), (std::set<std::string>{".bin", ".key"}));
    EXPECT_EQ(ReadFileBytes(outside / ".bin"), *MakeValue("not the cache's"));
    if (c.whileWriting) {
      EXPECT_EQ(ReadFileBytes(aside / ".bin"), *MakeValue("new")) << "written in the folder it opened";
    } else {
      EXPECT_FALSE(fs::is_symlink(EntryPath(key))) << "the failed store removes the link";
    }
    EXPECT_EQ(cache->TryLoad(key).Get(), nullptr);
  }
}

// A writer killed midway leaves its temporary value file behind. Such files
// would pile up in an entry that is stored again and again: the next store
// removes them (it holds the entry's lock, so no living store is
// writing them), and nothing else. A store without the lock (a file system
// that refuses locks) cannot tell a dead writer's file from a living one's,
// and leaves them.
TEST_F(DiskExternalCacheTest, TheNextStoreRemovesTheFilesOfWritersKilledMidway) {
  const TString key(u"killed");
  auto cache = MakeCache();
  ASSERT_TRUE(Store(*cache, key, MakeValue("old")));
  KillAWriterMidway(ToTPath(EntryPath(key) / ".bin"));
  KillAWriterMidway(ToTPath(EntryPath(key) / ".bin"));
  WriteFileBytes(EntryPath(key) / "notes", "not the store's");
  EXPECT_EQ(FileNames(EntryPath(key)).size(), 5u) << "two temporary files beside .bin, .key and notes";
  EXPECT_TRUE(LoadsValue(*cache, key, *MakeValue("old"))) << "they are never read";
  ASSERT_TRUE(Store(*cache, key, MakeValue("new")));
  EXPECT_EQ(FileNames(EntryPath(key)), (std::set<std::string>{".bin", ".key", "notes"}));
  EXPECT_TRUE(LoadsValue(*cache, key, *MakeValue("new")));

  KillAWriterMidway(ToTPath(EntryPath(key) / ".bin"));
  {
    RefusedLocks refused;
    ASSERT_TRUE(Store(*cache, key, MakeValue("newer")));
    EXPECT_TRUE(LoadsValue(*cache, key, *MakeValue("newer")));
  }
  std::set<std::string> names = FileNames(EntryPath(key));
  EXPECT_EQ(std::erase_if(names, [](const std::string& name) { return TFile::IsTemporaryFileFor(name, ".bin"); }), 1u);
  EXPECT_EQ(names, (std::set<std::string>{".bin", ".key", "notes"}));
}

// Old files that a store cannot remove are no failure of the store: it
// writes nothing (the key file, removed after the value file, may be gone,
// so the entry misses); a drop that cannot remove the folder reports done;
// neither logs anything.
TEST_F(DiskExternalCacheTest, OldFilesThatCannotBeRemovedStayQuietly) {
  const TString key(u"kept");
  auto cache = MakeCache();
  ASSERT_TRUE(Store(*cache, key, MakeValue("old")));
  const Immutable kept(EntryPath(key) / ".bin");
  if (!kept.made) return;
  TLog::Capture capture(TLog::Info);
  EXPECT_TRUE(Store(*cache, key, MakeValue("new")));
  EXPECT_EQ(ReadFileBytes(EntryPath(key) / ".bin"), Bytes({'o', 'l', 'd'})) << "nothing was written";
  const std::string loaded = Text(cache->TryLoad(key).Get());
  EXPECT_TRUE(loaded == "(nil)" || loaded == "old") << loaded;
  EXPECT_TRUE(cache->TryDrop(key).Get());
  EXPECT_TRUE(capture.Lines().empty()) << capture.Lines().front().toStdString();
}

// A store that cannot take its entry's lock leaves the entry alone, with one
// warning: a load of another process may hold the lock, and changing the
// entry under it could pair the key the load read with another key's value.
// - A lock held elsewhere (a process stopped by a debugger, SIGSTOP) holds
//   operations up for ExternalCacheDiskLockWaitMs at most; then a load goes
//   on without it (checking the key file, as where there are no locks), a
//   store gives up, and a drop removes the entry.
// - A ".lock" this process may not open for writing still serves loads (a
//   shared lock needs only read access).
// - Where there is no ".lock" and none can be made but the entry's folder
//   exists and can be written (made before the namespace folder was sealed,
//   or by an earlier version), a store without the lock could race another
//   such store of a colliding key.
TEST_F(DiskExternalCacheTest, AStoreThatCannotTakeItsLockLeavesTheEntryAlone) {
  ScopedOptionOverride wait("ExternalCacheDiskLockWaitMs", 200);
  const TString key(u"guarded");
  const uint64_t byte = std::stoull(ExpectedKeyHash(key));
  const fs::path lockFile = CachePath() / ".lock";
  struct Case {
    const char* what;
    short held;
    bool removeLockFile;
    fs::path sealed;  // made immutable; none: the lock is only held
    const char* because;
  };
  const Case cases[] = {
      {"\".lock\" may not be written", F_RDLCK, false, lockFile, ".lock"},
      {"no \".lock\", none can be made", F_RDLCK, true, CachePath(), ".lock"},
      {"held exclusive", F_WRLCK, false, {}, "for all of 200 ms"},
      {"held shared", F_RDLCK, false, {}, "for all of 200 ms"},
  };
  std::unique_ptr<DiskExternalCache> cache;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(CachePath());
    ASSERT_TRUE(Store(*MakeCache(), key, MakeValue("old")));
    ForeignByteLock holder(lockFile, byte, c.held);
    ASSERT_TRUE(holder.Locked());
    if (c.removeLockFile) fs::remove(lockFile);
    std::optional<Immutable> sealing;
    if (!c.sealed.empty()) sealing.emplace(c.sealed);
    if (sealing && !sealing->made) continue;
    cache = MakeCache();  // a new cache: no description of ".lock" kept from before
    TLog::Capture capture(TLog::Info);
    const auto start = std::chrono::steady_clock::now();
    Store(*cache, key, MakeValue("new"));
    if (!sealing) EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms) << "the store did not wait";
    EXPECT_EQ(ReadFileBytes(EntryPath(key) / ".bin"), Bytes({'o', 'l', 'd'})) << "the entry changed";
    EXPECT_TRUE(LoadsValue(*cache, key, *MakeValue("old")));
    ASSERT_EQ(capture.Lines().size(), 1u);
    const std::string line = capture.Lines().front().toStdString();
    EXPECT_NE(line.find("Exception in DiskExternalCache::TryStore"), std::string::npos) << line;
    EXPECT_NE(line.find(c.because), std::string::npos) << line;
  }
  {
    ForeignByteLock holder(lockFile, byte, F_RDLCK);
    EXPECT_TRUE(cache->TryDrop(key).Get());
    EXPECT_FALSE(fs::exists(EntryPath(key)));
  }
  // Once the holder lets go, operations take the lock again.
  ASSERT_TRUE(Store(*cache, key, MakeValue("new")));
  EXPECT_TRUE(LoadsValue(*cache, key, *MakeValue("new")));
}

// A load that cannot take the entry's lock (in a folder without ".lock",
// made by a version that did not lock) checks after reading the value that
// no store came between. Here a store of a colliding key replaces the entry
// just before the load opens the value file, and a store of the key sought
// replaces it again just before that check: the key file holds the key
// sought again, but the value read is the other key's. The load misses.
// (The stores write no integrity record here, as on a file system without
// extended attributes: the record's key checksum would show the other key's
// value at once, a miss as quiet as this one.)
TEST_F(DiskExternalCacheTest, AnUnlockedLoadServesNoValueThatAStoreOfAnotherKeyReplacedMeanwhile) {
  ASSERT_TRUE(Store(*MakeCache(), kCollidingKeyA, MakeValue("A")));
  fs::remove(CachePath() / ".lock");
  auto loader = MakeCache();  // a new cache: no description of the old ".lock" kept
  auto writer = MakeCache();
  {
    XattrFault noRecords(XattrFault::Call::Set, ENOTSUP);
    EntryOpenHooks hooks;
    hooks.Then("/.bin", [&] { EXPECT_TRUE(Store(*writer, kCollidingKeyB, MakeValue("B"))); });
    hooks.Then("/.key", [&] { EXPECT_TRUE(Store(*writer, kCollidingKeyA, MakeValue("A again"))); });
    const Value loaded = loader->TryLoad(kCollidingKeyA).Get();
    EXPECT_EQ(hooks.Ran(), 2);
    EXPECT_TRUE(loaded == nullptr) << "served " << Text(loaded);
  }
  EXPECT_TRUE(LoadsValue(*loader, kCollidingKeyA, *MakeValue("A again")));
}

// See ForkedChild.h for why ThreadSanitizer leaves this out.
#if !defined(__SANITIZE_THREAD__)
TEST_F(DiskExternalCacheTest, AChildForkedWithoutExecLoadsStoresAndDropsThroughTheInheritedCache) {
  // The parent has used the cache, and with it the task threads, the store's
  // timer and the kept folder; the child has none of the threads and must
  // not share the parent's open descriptions.
  auto cache = MakeCache();
  ASSERT_TRUE(Store(*cache, u"parent", MakeValue("from the parent")));
  ASSERT_TRUE(LoadsValue(*cache, u"parent", *MakeValue("from the parent")));
  // Forked while no operation runs, as the library asks: the tasks that gave
  // their results have also ended (one still freeing its function at the
  // fork could leave the allocator's lock held in the child).
  ASSERT_TRUE(WaitForBackgroundTasks());

  EXPECT_TRUE(RunInForkedChild(
      [&] {
        int failures = 0;
        if (Text(cache->TryLoad(u"parent").Get()) != "from the parent") failures |= 1;
        if (!Store(*cache, u"child", MakeValue("from the child"))) failures |= 2;
        if (!cache->TryDrop(u"parent").Get()) failures |= 4;
        return failures;
      },
      "1: the load, 2: the store, 4: the drop"));

  // The parent sees what the child did, through its own cache object.
  EXPECT_TRUE(LoadsValue(*cache, u"child", *MakeValue("from the child")));
  EXPECT_EQ(cache->TryLoad(u"parent").Get(), nullptr);
}
#endif

// One cache keeps the folder and descriptions of its ".lock" open; each round
// removes the folder behind its back, and another cache object (standing for
// another process) makes it again with a new entry. Then the test, also as
// another process, locks the entry in the new ".lock": an operation of the
// first cache must wait for that lock, so it must have left the old folder
// and its old ".lock". So must an inspector that had the old folder open; it
// reads under the shared lock, so it waits for a writer, not for a reader.
TEST_F(DiskExternalCacheTest, TheFolderKeptOpenIsLeftForTheNewOneWhenItIsRemovedAndMadeAgain) {
  const TString key(u"kept");
  auto cache = MakeCache();
  DiskExternalCacheInspector inspector(*cache);
  for (const bool load : {true, false}) {  // a load waits for a writer, a store for a reader
    SCOPED_TRACE(load ? "load" : "store");
    ASSERT_TRUE(Store(*cache, key, MakeValue("old")));
    ASSERT_NE(cache->TryLoad(key).Get(), nullptr);
    ASSERT_EQ(inspector.InspectKey(key).state, State::Whole);
    fs::remove_all(CachePath());
    auto other = MakeCache();
    ASSERT_TRUE(Store(*other, key, MakeValue("made again")));

    AsyncTask::Future<Value> loaded;
    AsyncTask::Future<bool> stored;
    std::future<DiskEntryReport> report;
    {
      ForeignByteLock foreign(CachePath() / ".lock", std::stoull(ExpectedKeyHash(key)), load ? F_WRLCK : F_RDLCK);
      ASSERT_TRUE(foreign.Locked());
      // The inspector reads beside another reader, but waits for a writer.
      // (It is done before the store starts: a store waiting for the
      // entry makes this process's readers wait for it too.)
      report = std::async(std::launch::async, [&] { return inspector.InspectKey(key); });
      if (!load) EXPECT_EQ(report.wait_for(kLongWait), std::future_status::ready) << "the inspector";
      const auto waited = load ? (loaded = cache->TryLoad(key)).WaitFor(300ms)
                               : (stored = cache->TryStore(key, MakeValue("newest"), kSlowLoadMs, -1)).WaitFor(300ms);
      EXPECT_EQ(waited, AsyncTask::FutureStatus::Timeout) << "did not wait";
      if (load) EXPECT_EQ(report.wait_for(0ms), std::future_status::timeout) << "the inspector";
    }
    EXPECT_EQ(report.get().state, State::Whole);
    if (load) {
      EXPECT_EQ(Text(loaded.Get()), "made again") << "the new folder's entry";
    } else {
      ASSERT_TRUE(stored.Get());
      EXPECT_TRUE(LoadsValue(*other, key, *MakeValue("newest"))) << "stored into the new folder";
    }
  }

  // Removed and not made again: the next store makes it, ".lock" included.
  fs::remove_all(CachePath());
  EXPECT_EQ(cache->TryLoad(key).Get(), nullptr);
  EXPECT_FALSE(fs::exists(CachePath())) << "a load makes nothing";
  ASSERT_TRUE(Store(*cache, key, MakeValue("again")));
  EXPECT_TRUE(fs::is_regular_file(CachePath() / ".lock"));
  EXPECT_TRUE(LoadsValue(*cache, key, *MakeValue("again")));

  // Moved aside (as a host clearing the cache may do): once the folder kept
  // open has been looked up again, the cache works at its path, and the
  // moved folder is neither read nor written.
  const fs::path aside = CachePath().string() + ".aside";
  fs::rename(CachePath(), aside);
  std::this_thread::sleep_for(kelvra::caching::DiskCacheFolder::kIdentityCheckInterval + 50ms);
  EXPECT_EQ(cache->TryLoad(key).Get(), nullptr);
  ASSERT_TRUE(Store(*cache, u"after", MakeValue("new folder")));
  EXPECT_EQ(cache->TryGetAllKeys(), std::vector<TString>{TString(u"after")});
  EXPECT_FALSE(fs::exists(aside / ExpectedKeyHash(TString(u"after"))));

  // Moved aside again: a store looks at the path every time, so what it
  // writes lands there at once.
  const fs::path asideAgain = CachePath().string() + ".aside-again";
  fs::rename(CachePath(), asideAgain);
  ASSERT_TRUE(Store(*cache, u"at once", MakeValue("v")));
  EXPECT_TRUE(fs::exists(CachePath() / ExpectedKeyHash(TString(u"at once"))));
  EXPECT_FALSE(fs::exists(asideAgain / ExpectedKeyHash(TString(u"at once"))));

  // Moved aside while a store is on its way: the store found no folder kept
  // (a new cache object), and before it opens the path, a load through the
  // same object opens and keeps the folder there, which is then moved aside.
  // The store writes where the path led when it looked, not into the folder
  // the load kept.
  auto late = MakeCache();
  const fs::path asideDuring = CachePath().string() + ".aside-during";
  {
    EntryOpenHooks hooks;
    hooks.Then("/" + CachePath().filename().string(), [&] {
      EXPECT_EQ(Text(late->TryLoad(u"at once").Get()), "v");
      fs::rename(CachePath(), asideDuring);
      fs::create_directory(CachePath());
    });
    ASSERT_TRUE(Store(*late, u"during", MakeValue("v")));
    EXPECT_EQ(hooks.Ran(), 1);
  }
  EXPECT_TRUE(fs::exists(CachePath() / ExpectedKeyHash(TString(u"during"))));
  EXPECT_FALSE(fs::exists(asideDuring / ExpectedKeyHash(TString(u"during"))));
}

}  // namespace
