// The disk store on real folders under a temporary directory: the on-disk
// layout byte for byte, colliding keys, hand-edited and half-written entries,
// drops, the key listing, the sweeper and the namespace check.
#include "public/caching/DiskExternalCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/AppConfig.h"
#include "host/DateTime.h"
#include "host/Errors.h"
#include "host/FileSystem.h"
#include "host/FolderSweeper.h"
#include "host/LogCapture.h"
#include "host/Metrics.h"
#include "host/TPath.h"
#include "tests/main/caching/external/ExternalTestSupport.h"
#include "tests/main/caching/external/SelfDescribingValue.h"
#include "tests/support/TestEnvironment.h"

namespace {

using namespace kelcache_test;
using kelvra::caching::DiskExternalCache;
namespace fs = std::filesystem;

std::set<std::string> FileNames(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

// Everything under root (root included): kind, size and last-write time to
// the nanosecond, so that a comparison shows anything made, removed or
// touched.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> tree;
  auto note = [&tree](const fs::path& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return;
    tree[path.string()] = std::to_string(info.st_mode & S_IFMT) + " " + std::to_string(info.st_size) + " " +
                          std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
  };
  if (!fs::exists(fs::symlink_status(root))) return tree;
  note(root);
  for (const auto& entry : fs::recursive_directory_iterator(root)) note(entry.path());
  return tree;
}

uint64_t FolderBytes(const fs::path& folder) {
  uint64_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) total += entry.file_size();
  }
  return total;
}

class DiskExternalCacheTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(WaitForBackgroundTasks()); }

  // A cache whose namespace folder is <temp>/cache.
  std::unique_ptr<DiskExternalCache> MakeCache(std::shared_ptr<FolderSweeper> sweeper = nullptr) {
    return std::make_unique<DiskExternalCache>(
        u"disk-ns", TPath(TString::fromStdString(CachePath().string())), std::move(sweeper));
  }
  fs::path CachePath() const { return m_temp.path() / "cache"; }
  fs::path EntryPath(const TString& key) const { return CachePath() / ExpectedKeyHash(key); }

  static bool Store(const IByteCache& cache, const TString& key, Value value) {
    return cache.TryStore(key, std::move(value), kSlowLoadMs, -1).Get();
  }

  TempDir m_temp;
};

TEST_F(DiskExternalCacheTest, StoreWritesExactlyTheKeyAndValueFilesAndLoadGivesTheSameBytes) {
  auto cache = MakeCache();
  EXPECT_FALSE(fs::exists(CachePath())) << "no constructor touches the disk";
  Value value = std::make_shared<Bytes>(Bytes{0x00, 0xFF, 0x0A, 0x0D, 0x00, 'x', 0x80});
  const TString key(u"gr\u00FC\u00DF-\u20AC-\U0001D11E/key");
  TLog::Capture capture(TLog::Info);
  ASSERT_TRUE(Store(*cache, key, value));

  const fs::path entry = EntryPath(key);
  ASSERT_TRUE(fs::is_directory(entry)) << entry;
  // One entry folder, and the (empty) file whose byte ranges lock entries.
  EXPECT_EQ(FileNames(CachePath()), (std::set<std::string>{ExpectedKeyHash(key), ".lock"}));
  EXPECT_EQ(fs::file_size(CachePath() / ".lock"), 0u);
  EXPECT_EQ(FileNames(entry), (std::set<std::string>{".bin", ".key"}));
  const std::string utf8 = key.toStdString();
  EXPECT_EQ(ReadFileBytes(entry / ".key"), Bytes(utf8.begin(), utf8.end())) << "UTF-8, no BOM, no line end";
  EXPECT_EQ(ReadFileBytes(entry / ".bin"), *value) << "raw bytes, no header";

  Value loaded = cache->TryLoad(key).Get();
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(*loaded, *value);
  EXPECT_NE(loaded.get(), value.get());
  EXPECT_EQ(Field(SingleEvent(capture, u"ec-store"), "outcome"), "done");
  EXPECT_EQ(Field(SingleEvent(capture, u"ec-load"), "outcome"), "hit");
  EXPECT_EQ(Field(SingleEvent(capture, u"ec-load"), "cns"), "disk-ns");
  EXPECT_TRUE(capture.Lines().empty()) << "nothing went wrong, so nothing but the events";

  // A second store of the key replaces the value whole.
  Value second = MakeValue(70000, 9);
  ASSERT_TRUE(Store(*cache, key, second));
  EXPECT_EQ(*cache->TryLoad(key).Get(), *second);
  EXPECT_EQ(FileNames(entry), (std::set<std::string>{".bin", ".key"}));
}

TEST_F(DiskExternalCacheTest, TheStoreFunctionsOpenTheirOwnMetricsScopes) {
  auto cache = MakeCache();
  Metrics::Capture metrics;
  ASSERT_TRUE(Store(*cache, u"m", MakeValue("v")));
  ASSERT_NE(cache->TryLoad(u"m").Get(), nullptr);
  ASSERT_TRUE(cache->TryDrop(u"m").Get());
  for (const char* name :
       {"DiskExternalCache::TryStore", "DiskExternalCache::TryLoad", "DiskExternalCache::TryDrop"}) {
    std::vector<Metrics::ScopeRecord> scopes = metrics.Scopes(TString(name));
    ASSERT_EQ(scopes.size(), 1u) << name;
    EXPECT_EQ(scopes[0].mask, 0x20001u) << name;
  }
}

TEST_F(DiskExternalCacheTest, EmptyValuesAreStoredAsEmptyFilesAndLoadAsEmptyBuffers) {
  auto cache = MakeCache();
  ASSERT_TRUE(Store(*cache, u"empty", std::make_shared<Bytes>()));
  EXPECT_EQ(fs::file_size(EntryPath(u"empty") / ".bin"), 0u);
  Value loaded = cache->TryLoad(u"empty").Get();
  ASSERT_NE(loaded, nullptr);
  EXPECT_TRUE(loaded->empty());
}

TEST_F(DiskExternalCacheTest, TheNamespaceConstructorUsesTheConfiguredFolder) {
  const TString previous = AppConfig::GetInstance().GetExternalCacheDir();
  AppConfig::GetInstance().SetExternalCacheDir(TString::fromStdString(m_temp.str()));
  DiskExternalCache cache(u"WAV2", nullptr);
  AppConfig::GetInstance().SetExternalCacheDir(previous);  // read at construction only

  EXPECT_EQ(cache.GetCachePath().ToStdPath(), m_temp.path() / "ExternalCacheV1" / "WAV2");
  EXPECT_EQ(cache.GetNamespace(), TString(u"WAV2"));
  ASSERT_TRUE(Store(cache, u"workbook", MakeValue("attributes")));
  const fs::path entry = m_temp.path() / "ExternalCacheV1" / "WAV2" / ExpectedKeyHash(u"workbook");
  EXPECT_EQ(ReadFileBytes(entry / ".bin"), *MakeValue("attributes"));
  EXPECT_EQ(*cache.TryLoad(u"workbook").Get(), *MakeValue("attributes"));
}

TEST_F(DiskExternalCacheTest, NamespacesThatAreNotOnePathComponentAreRefused) {
  const TString previous = AppConfig::GetInstance().GetExternalCacheDir();
  AppConfig::GetInstance().SetExternalCacheDir(TString::fromStdString(m_temp.str()));
  const TPath anywhere(TString::fromStdString((m_temp.path() / "anywhere").string()));
  const TString refused[] = {TString(),
                             TString(u"."),
                             TString(u".."),
                             TString(u"a/b"),
                             TString(u"../escape"),
                             TString(u"a\\b"),
                             TString(u"/abs"),
                             TString(std::u16string(u"a\0b", 3))};
  for (const TString& ns : refused) {
    SCOPED_TRACE(ns.toStdString());
    for (int form = 0; form < 2; ++form) {
      try {
        if (form == 0) {
          DiskExternalCache cache(ns, nullptr);
        } else {
          DiskExternalCache cache(ns, anywhere, nullptr);
        }
        ADD_FAILURE() << "accepted";
      } catch (const LogicException& error) {
        EXPECT_EQ(error.GetSourceFile(), "main/caching/DiskExternalCache");
        EXPECT_NE(error.GetExpression().find("namespace"), std::string::npos) << error.GetExpression();
      }
    }
  }
  AppConfig::GetInstance().SetExternalCacheDir(previous);
  EXPECT_TRUE(fs::is_empty(m_temp.path())) << "nothing was written anywhere";
  // Ordinary names with dots and spaces are fine.
  EXPECT_NO_THROW(DiskExternalCache(u"..hidden. name", anywhere, nullptr));
}

TEST_F(DiskExternalCacheTest, CollidingKeysShareOneFolderHoldingTheKeyStoredLast) {
  ASSERT_EQ(ExpectedKeyHash(kCollidingKeyA), ExpectedKeyHash(kCollidingKeyB));
  auto cache = MakeCache();
  ASSERT_TRUE(Store(*cache, kCollidingKeyA, MakeValue("value of A")));

  TLog::Capture capture(TLog::Info);
  EXPECT_EQ(cache->TryLoad(kCollidingKeyB).Get(), nullptr) << "same folder, other key: a miss";
  EXPECT_EQ(Field(SingleEvent(capture, u"ec-load"), "outcome"), "miss");
  EXPECT_TRUE(capture.Lines().empty()) << "a collision is not an error";
  EXPECT_EQ(*cache->TryLoad(kCollidingKeyA).Get(), *MakeValue("value of A")) << "and A's entry stays";

  ASSERT_TRUE(Store(*cache, kCollidingKeyB, MakeValue("value of B")));
  EXPECT_EQ(cache->TryLoad(kCollidingKeyA).Get(), nullptr);
  EXPECT_EQ(*cache->TryLoad(kCollidingKeyB).Get(), *MakeValue("value of B"));
  EXPECT_EQ(FileNames(CachePath()), (std::set<std::string>{ExpectedKeyHash(kCollidingKeyA), ".lock"}));

  // A drop removes the folder whichever key it holds.
  ASSERT_TRUE(cache->TryDrop(kCollidingKeyA).Get());
  EXPECT_FALSE(fs::exists(EntryPath(kCollidingKeyB)));
  EXPECT_EQ(cache->TryLoad(kCollidingKeyB).Get(), nullptr);
}

TEST_F(DiskExternalCacheTest, AHandEditedKeyFileMakesAMissButIsStillListed) {
  auto cache = MakeCache();
  ASSERT_TRUE(Store(*cache, u"original", MakeValue("v")));
  WriteFileBytes(EntryPath(u"original") / ".key", "edited by hand");
  EXPECT_EQ(cache->TryLoad(u"original").Get(), nullptr);
  EXPECT_TRUE(fs::exists(EntryPath(u"original") / ".bin")) << "the entry is left as it is";
  EXPECT_EQ(cache->TryGetAllKeys(), std::vector<TString>{TString(u"edited by hand")});
}

TEST_F(DiskExternalCacheTest, HalfEntriesAreNeitherLoadedNorListedAndAStoreReplacesThem) {
  auto cache = MakeCache();
  const TString onlyKey(u"only-key"), onlyValue(u"only-value");
  fs::create_directories(EntryPath(onlyKey));
  WriteFileBytes(EntryPath(onlyKey) / ".key", "only-key");
  fs::create_directories(EntryPath(onlyValue));
  WriteFileBytes(EntryPath(onlyValue) / ".bin", "orphan bytes");
  TLog::Capture capture;

  EXPECT_EQ(cache->TryLoad(onlyKey).Get(), nullptr);
  EXPECT_EQ(cache->TryLoad(onlyValue).Get(), nullptr);
  EXPECT_TRUE(cache->TryGetAllKeys().empty());
  EXPECT_TRUE(capture.Lines().empty()) << "a half entry is a plain miss";

  ASSERT_TRUE(Store(*cache, onlyKey, MakeValue("now whole")));
  ASSERT_TRUE(Store(*cache, onlyValue, MakeValue("also whole")));
  EXPECT_EQ(*cache->TryLoad(onlyKey).Get(), *MakeValue("now whole"));
  EXPECT_EQ(*cache->TryLoad(onlyValue).Get(), *MakeValue("also whole"));
  std::vector<TString> keys = cache->TryGetAllKeys();
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<TString>{onlyKey, onlyValue}));

  // An empty key file next to a value (a store that died before its key
  // text) is a miss for every non-empty key.
  WriteFileBytes(EntryPath(onlyKey) / ".key", "");
  EXPECT_EQ(cache->TryLoad(onlyKey).Get(), nullptr);
}

TEST_F(DiskExternalCacheTest, DropsRemoveTheEntryAndADropOfNothingSucceeds) {
  auto cache = MakeCache();
  TLog::Capture capture(TLog::Info);
  EXPECT_TRUE(cache->TryDrop(u"never stored").Get());
  EXPECT_EQ(Field(SingleEvent(capture, u"ec-drop"), "outcome"), "done");
  EXPECT_FALSE(fs::exists(CachePath())) << "a drop creates nothing";

  ASSERT_TRUE(Store(*cache, u"a", MakeValue("1")));
  ASSERT_TRUE(Store(*cache, u"b", MakeValue("2")));
  fs::create_directories(EntryPath(u"a") / "leftover");  // whatever the folder holds goes too
  ASSERT_TRUE(cache->TryDrop(u"a").Get());
  EXPECT_FALSE(fs::exists(EntryPath(u"a")));
  EXPECT_EQ(cache->TryLoad(u"a").Get(), nullptr);
  EXPECT_EQ(*cache->TryLoad(u"b").Get(), *MakeValue("2"));
}

TEST_F(DiskExternalCacheTest, TryGetAllKeysListsWhatIsOnDiskAndCreatesNothing) {
  auto cache = MakeCache();
  EXPECT_TRUE(cache->TryGetAllKeys().empty());
  EXPECT_FALSE(fs::exists(CachePath()));

  std::set<TString> stored;
  for (int i = 0; i < 20; ++i) {
    const TString key = TString(u"key-") + TString::number(i);
    ASSERT_TRUE(Store(*cache, key, MakeValue(static_cast<size_t>(i))));
    stored.insert(key);
  }
  ASSERT_TRUE(cache->TryDrop(u"key-3").Get());
  stored.erase(TString(u"key-3"));
  WriteFileBytes(CachePath() / "stray-file", "not an entry");
  std::vector<TString> listed = cache->TryGetAllKeys();
  EXPECT_EQ(std::set<TString>(listed.begin(), listed.end()), stored);
  EXPECT_EQ(listed.size(), stored.size());
}

TEST_F(DiskExternalCacheTest, TtlIsIgnoredAndASuccessfulLoadRenewsTheLastWriteTime) {
  auto cache = MakeCache();
  ASSERT_TRUE(cache->TryStore(u"short ttl", MakeValue("v"), kSlowLoadMs, 1).Get());
  ASSERT_TRUE(Store(*cache, kCollidingKeyA, MakeValue("a")));
  // Age both value files by a day.
  const DateTime dayAgo = DateTime::GetLocalTime() - DateTimeSpan::FromSeconds(86400);
  const TPath shortTtlValue(TString::fromStdString((EntryPath(u"short ttl") / ".bin").string()));
  const TPath collidingValue(TString::fromStdString((EntryPath(kCollidingKeyA) / ".bin").string()));
  ASSERT_TRUE(LastWriteTime(shortTtlValue, dayAgo));
  ASSERT_TRUE(LastWriteTime(collidingValue, dayAgo));

  // Stored with a TTL of one second, still there "a day later".
  ASSERT_NE(cache->TryLoad(u"short ttl").Get(), nullptr);
  const int64_t renewedAgeMs =
      (DateTime::GetLocalTime() - GetLastWriteTime(shortTtlValue)).TotalMilliseconds();
  EXPECT_LT(renewedAgeMs, 60000) << "the load renewed the last-write time";

  // A miss (the other key of the folder) leaves the time alone.
  EXPECT_EQ(cache->TryLoad(kCollidingKeyB).Get(), nullptr);
  EXPECT_EQ(GetLastWriteTime(collidingValue).GetRepresentation(), dayAgo.GetRepresentation());
}

TEST_F(DiskExternalCacheTest, AStoreThatCannotCreateItsFolderLogsAndLeavesNothing) {
  // The cache's folder would lie below a regular file.
  WriteFileBytes(m_temp.path() / "blocker", "a file, not a folder");
  DiskExternalCache cache(
      u"disk-ns", TPath(TString::fromStdString((m_temp.path() / "blocker" / "ns").string())), nullptr);
  TLog::Capture capture(TLog::Info);
  EXPECT_TRUE(Store(cache, u"k", MakeValue("v"))) << "the function swallows disk failures";
  EXPECT_EQ(Field(SingleEvent(capture, u"ec-store"), "outcome"), "done");
  EXPECT_TRUE(capture.ContainsLine(u"Failed to create directory '"));
  EXPECT_TRUE(capture.ContainsLine(u"Exception in DiskExternalCache::TryStore, cachePath:'"));
  EXPECT_TRUE(capture.ContainsLine(TString::fromStdString("keyHash:'" + ExpectedKeyHash(u"k") + "'.")));
  EXPECT_EQ(cache.TryLoad(u"k").Get(), nullptr);
  EXPECT_EQ(FileNames(m_temp.path()), std::set<std::string>{"blocker"});
}

TEST_F(DiskExternalCacheTest, TheSweeperKeepsTheFolderWithinItsBudget) {
  constexpr uint64_t kBudget = 1 << 20;
  auto sweeper = std::make_shared<FolderSweeper>(kBudget, FolderSweepOrder::LeastRecentlyWritten, 0,
                                                 std::chrono::hours(1));
  auto cache = MakeCache(sweeper);
  EXPECT_EQ(cache->GetSweeper(), sweeper);
  const size_t valueSize = 150 * 1024;
  for (int i = 0; i < 30; ++i) {
    const TString key = TString(u"sweep-") + TString::number(i);
    ASSERT_TRUE(Store(*cache, key, MakeValue(valueSize, static_cast<uint8_t>(i))));
    EXPECT_LE(FolderBytes(CachePath()), kBudget) << "after store " << i;
  }
  // The newest entry is there; the oldest went.
  EXPECT_NE(cache->TryLoad(u"sweep-29").Get(), nullptr);
  EXPECT_EQ(cache->TryLoad(u"sweep-0").Get(), nullptr);
  EXPECT_GE(sweeper->GetScanCount(), 1u);
}

TEST_F(DiskExternalCacheTest, FunctionsOutliveTheCacheObject) {
  AsyncTask::Future<bool> store;
  {
    auto cache = MakeCache();
    store = cache->TryStore(u"outlives", MakeValue("v"), kSlowLoadMs, -1);
  }
  EXPECT_TRUE(store.Get());
  auto again = MakeCache();
  EXPECT_EQ(*again->TryLoad(u"outlives").Get(), *MakeValue("v"));
}

TEST_F(DiskExternalCacheTest, ThreadsStoringAndLoadingTheSameKeysNeverSeeAWrongValue) {
  auto cache = MakeCache();
  const std::vector<std::string> keys = {"shared-0", "shared-1", "shared-2"};
  std::atomic<int> bad{0}, hits{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        const std::string& key = keys[static_cast<size_t>(i) % keys.size()];
        if (t % 2 == 0) {
          auto value = std::make_shared<Bytes>(MakeSelfDescribingValue(key, t, i, 1000 + 97 * i));
          cache->TryStore(TString::fromStdString(key), value, kSlowLoadMs, -1).Get();
        } else if (Value loaded = cache->TryLoad(TString::fromStdString(key)).Get()) {
          std::string why;
          if (!CheckSelfDescribingValue(*loaded, key, nullptr, &why)) {
            ++bad;
            ADD_FAILURE() << why;
          }
          ++hits;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(DiskExternalCacheTest, ThreadsStoringCollidingKeysNeverHandOutTheOtherKeysValue) {
  auto cache = MakeCache();
  const std::string keys[] = {kCollidingKeyA.toStdString(), kCollidingKeyB.toStdString()};
  std::atomic<bool> writing{true};
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 60; ++i) {
        auto value = std::make_shared<Bytes>(MakeSelfDescribingValue(keys[w], w, i, 4000 + 13 * i));
        cache->TryStore(TString::fromStdString(keys[w]), value, kSlowLoadMs, -1).Get();
      }
    });
  }
  std::thread reader([&] {
    while (writing) {
      for (int w = 0; w < 2; ++w) {
        if (Value loaded = cache->TryLoad(TString::fromStdString(keys[w])).Get()) {
          std::string why;
          EXPECT_TRUE(CheckSelfDescribingValue(*loaded, keys[w], nullptr, &why)) << why;
        }
      }
    }
  });
  for (std::thread& writer : writers) writer.join();
  writing = false;
  reader.join();
  // The folder holds one whole entry of one of the two keys.
  const int hits =
      (cache->TryLoad(kCollidingKeyA).Get() != nullptr) + (cache->TryLoad(kCollidingKeyB).Get() != nullptr);
  EXPECT_EQ(hits, 1);
}

TEST_F(DiskExternalCacheTest, TheKeyFileIsComparedAsTextWhereItsBytesWouldMislead) {
  // An entry exists when ".key", decoded as UTF-8, equals the key. Comparing
  // bytes gives the same answer for most keys, but not for these.
  struct Case {
    const char* name;
    TString key;
    const char* keyFileBytes;  // written by hand over the stored ".key"; null: as stored
    bool found;
  };
  const Case cases[] = {
      {"U+FFFD, as stored", TString(u"a\uFFFDb"), nullptr, true},
      {"U+FFFD, invalid UTF-8 on disk", TString(u"a\uFFFDb"), "a\377b", true},  // \377: the byte 0xFF
      // An unpaired surrogate has an 8-bit form of its own, so the key comes back.
      {"an unpaired surrogate", TString(std::u16string(u"lone-") + char16_t(0xD800)), nullptr, true},
      {"U+FFFD is not an unpaired surrogate", TString(std::u16string(u"lone-") + char16_t(0xFFFD)), nullptr,
       true},
  };
  auto cache = MakeCache();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Store(*cache, c.key, MakeValue("v")));
    if (c.keyFileBytes != nullptr) WriteFileBytes(EntryPath(c.key) / ".key", c.keyFileBytes);
    EXPECT_EQ(cache->TryLoad(c.key).Get() != nullptr, c.found);
  }
}

TEST_F(DiskExternalCacheTest, AValueFileReplacedByAnotherSizeIsReadWhole) {
  // Another process's store (a second cache object) and a replacement by
  // hand alternate, so that nothing but the file open at each load can give
  // its size.
  auto cache = MakeCache();
  auto other = MakeCache();
  const TString key(u"resized");
  ASSERT_TRUE(Store(*cache, key, MakeValue("first")));
  const size_t sizes[] = {0, 1, 4095, 4096, 4097, 70000, 3, (1u << 20) + 1, 0, 65536, 2};
  for (size_t i = 0; i < std::size(sizes); ++i) {
    SCOPED_TRACE("size " + std::to_string(sizes[i]));
    Value value = MakeValue(sizes[i], static_cast<uint8_t>(i + 1));
    if (i % 2 == 0) {
      ASSERT_TRUE(Store(*other, key, value));
    } else {
      const fs::path replacement = EntryPath(key) / "replacement";
      WriteFileBytes(replacement, std::string(value->begin(), value->end()));
      fs::rename(replacement, EntryPath(key) / ".bin");
    }
    Value loaded = cache->TryLoad(key).Get();
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(*loaded, *value);
  }
}

TEST_F(DiskExternalCacheTest, MissesCreateNothingTouchNothingAndLogNothing) {
  const TString key(u"half");
  const fs::path entry = EntryPath(key);
  const std::string keyText = key.toStdString();
  struct Case {
    const char* name;
    std::function<void()> make;  // the state on disk before the load
  };
  const Case cases[] = {
      {"no namespace folder", [] {}},
      {"an empty namespace folder, no .lock", [&] { fs::create_directories(CachePath()); }},
      {"an empty entry folder", [&] { fs::create_directories(entry); }},
      {"only .key",
       [&] {
         fs::create_directories(entry);
         WriteFileBytes(entry / ".key", keyText);
       }},
      {"only .bin",
       [&] {
         fs::create_directories(entry);
         WriteFileBytes(entry / ".bin", "orphan");
       }},
      {".key is a folder",
       [&] {
         fs::create_directories(entry / ".key");
         WriteFileBytes(entry / ".bin", "value");
       }},
      {".bin is a folder",
       [&] {
         fs::create_directories(entry / ".bin");
         WriteFileBytes(entry / ".key", keyText);
       }},
      // A FIFO must not hang the load waiting for a writer.
      {".key is a FIFO",
       [&] {
         fs::create_directories(entry);
         ASSERT_EQ(mkfifo((entry / ".key").c_str(), 0666), 0);
         WriteFileBytes(entry / ".bin", "value");
       }},
      {".bin is a FIFO",
       [&] {
         fs::create_directories(entry);
         WriteFileBytes(entry / ".key", keyText);
         ASSERT_EQ(mkfifo((entry / ".bin").c_str(), 0666), 0);
       }},
      {"the entry folder is a file",
       [&] {
         fs::create_directories(CachePath());
         WriteFileBytes(entry, "not a folder");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(CachePath());
    c.make();
    auto cache = MakeCache();
    const auto before = Tree(CachePath());
    TLog::Capture capture;
    bool timedOut = true;
    EXPECT_EQ(cache->TryLoad(key, 10000, &timedOut), nullptr);
    EXPECT_FALSE(timedOut);
    EXPECT_TRUE(capture.Lines().empty()) << "a miss is not an error";
    EXPECT_EQ(Tree(CachePath()), before);
  }

  // A whole entry in a folder without ".lock" (written by a version that did
  // not lock) loads, and the load does not make ".lock".
  fs::remove_all(CachePath());
  fs::create_directories(entry);
  WriteFileBytes(entry / ".key", keyText);
  WriteFileBytes(entry / ".bin", "whole");
  auto cache = MakeCache();
  Value loaded = cache->TryLoad(key).Get();
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(*loaded, *MakeValue("whole"));
  EXPECT_FALSE(fs::exists(CachePath() / ".lock"));
}

TEST_F(DiskExternalCacheTest, TheFolderKeptOpenIsLeftForTheNewOneWhenItIsRemovedAndMadeAgain) {
  const TString key(u"kept");
  const uint64_t lockByte = std::stoull(ExpectedKeyHash(key));
  // One cache keeps the folder and descriptions of its ".lock" open; each
  // round removes the folder behind its back, and another cache object
  // (standing for another process) makes it again with a new entry. Then
  // the test, also as another process, locks the entry in the new ".lock":
  // an operation of the first cache must wait for that lock, so it must
  // have left the old folder and its old ".lock".
  struct Case {
    const char* name;
    short foreignLock;  // what the test holds: each operation waits for it
    bool load;          // the operation: a load, else a store
  };
  const Case cases[] = {
      {"load waits for a writer", F_WRLCK, true},
      {"store waits for a reader", F_RDLCK, false},
  };
  auto cache = MakeCache();
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ++round;
    ASSERT_TRUE(Store(*cache, key, MakeValue("old")));
    ASSERT_NE(cache->TryLoad(key).Get(), nullptr);

    fs::remove_all(CachePath());
    auto other = MakeCache();
    Value fresh = MakeValue(100 + round, static_cast<uint8_t>(round));
    ASSERT_TRUE(Store(*other, key, fresh));

    AsyncTask::Future<Value> load;
    AsyncTask::Future<bool> store;
    {
      ForeignByteLock foreign(CachePath() / ".lock", lockByte, c.foreignLock);
      ASSERT_TRUE(foreign.Locked());
      if (c.load) {
        load = cache->TryLoad(key);
        EXPECT_EQ(load.WaitFor(std::chrono::milliseconds(300)), AsyncTask::FutureStatus::Timeout)
            << "did not wait";
      } else {
        store = cache->TryStore(key, MakeValue("newest"), kSlowLoadMs, -1);
        EXPECT_EQ(store.WaitFor(std::chrono::milliseconds(300)), AsyncTask::FutureStatus::Timeout)
            << "did not wait";
      }
    }
    if (c.load) {
      Value loaded = load.Get();
      ASSERT_NE(loaded, nullptr) << "the new folder's entry";
      EXPECT_EQ(*loaded, *fresh);
    } else {
      ASSERT_TRUE(store.Get());
      EXPECT_EQ(*other->TryLoad(key).Get(), *MakeValue("newest")) << "stored into the new folder";
    }
  }

  // Removed and not made again: the next store makes it, ".lock" included.
  fs::remove_all(CachePath());
  EXPECT_EQ(cache->TryLoad(key).Get(), nullptr);
  EXPECT_FALSE(fs::exists(CachePath())) << "a load makes nothing";
  ASSERT_TRUE(Store(*cache, key, MakeValue("again")));
  EXPECT_TRUE(fs::is_regular_file(CachePath() / ".lock"));
  EXPECT_EQ(*cache->TryLoad(key).Get(), *MakeValue("again"));
}

}  // namespace
