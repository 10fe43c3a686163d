// The inspector over namespace folders that a disk store wrote and that the
// test then damaged, emptied or edited by hand: the state, key, size and time
// it reports for each entry, that it agrees with what a load does, that it
// changes nothing on disk, and that it reads an entry only under the entry's
// shared lock.
#include "public/caching/DiskExternalCacheInspector.h"

#include <sys/xattr.h>

#include <future>

#include "host/DateTime.h"
#include "host/Errors.h"
#include "host/FileSystem.h"
#include "public/caching/DiskExternalCache.h"
#include "tests/main/caching/external/ExternalTestSupport.h"
#include "tests/support/TestEnvironment.h"

namespace {

using namespace kelcache_test;
using kelvra::caching::DiskEntryReport;
using kelvra::caching::DiskExternalCache;
using kelvra::caching::DiskExternalCacheInspector;
namespace fs = std::filesystem;
using State = DiskEntryReport::State;

TPath ToTPath(const fs::path& path) {
  return TPath(TString::fromStdString(path.string()));
}

class DiskExternalCacheInspectorTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(WaitForBackgroundTasks()); }

  fs::path CachePath() const { return m_temp.path() / "cache"; }
  fs::path EntryPath(const TString& key) const { return CachePath() / ExpectedKeyHash(key); }
  void Store(const TString& key, const Value& value) {
    ASSERT_TRUE(m_cache.TryStore(key, value, kSlowLoadMs, -1).Get());
  }

  TempDir m_temp;
  DiskExternalCache m_cache{u"inspected", ToTPath(m_temp.path() / "cache"), nullptr};
};

TEST_F(DiskExternalCacheInspectorTest, ReportsEachEntrysStateKeySizeAndTimeAsLoadsSeeIt) {
  const DateTime dayAgo = DateTime::GetLocalTime() - DateTimeSpan::FromSeconds(86400);
  struct Case {
    const char* name;
    TString key;  // stored first (also the folder's key hash)
    size_t valueSize;
    EntryChange change;  // applied after the store
    State state;
    std::optional<TString> reportedKey;  // what ".key" holds afterwards
    std::optional<uint64_t> reportedSize;
  };
  const EntryChange none = [](const fs::path&) {};
  const Case cases[] = {
      {"whole", u"whole", 100, none, State::Whole, u"whole", 100},
      {"the empty key's whole entry", TString(), 3, none, State::Whole, TString(), 3},
      {"an empty value", u"empty value", 0, none, State::Whole, u"empty value", 0},
      {"no integrity record", u"unrecorded", 50,
       [](const fs::path& entry) { ASSERT_EQ(removexattr((entry / ".bin").c_str(), "user.kelcache.integrity"), 0); },
       State::Unverified, u"unrecorded", 50},
      {"value file emptied", u"emptied", 4096, Truncate(".bin", 0), State::Damaged, u"emptied", 0},
      {"value file overwritten in place", u"overwritten", 4096,
       [](const fs::path& entry) {
         std::fstream file(entry / ".bin", std::ios::in | std::ios::out | std::ios::binary);
         file.seekp(10).put('?');
       },
       State::Damaged, u"overwritten", 4096},
      {"a store that stopped before its key text", u"stopped", 10, Truncate(".key", 0), State::HalfWritten,
       TString(), 10},
      {"an empty entry folder", u"empty folder", 10, RemoveFiles({".key", ".bin"}), State::HalfWritten,
       std::nullopt, std::nullopt},
      {"no value file", u"key only", 10, RemoveFiles({".bin"}), State::KeyWithoutValue, u"key only",
       std::nullopt},
      {"no key file", u"value only", 10, RemoveFiles({".key"}), State::ValueWithoutKey, std::nullopt, 10},
      {"a key file edited by hand", u"edited", 10, WriteFile(".key", "edited by hand"), State::Misplaced,
       u"edited by hand", 10},
      {"a value file that is a folder", u"bin folder", 10,
       [](const fs::path& entry) {
         fs::remove(entry / ".bin");
         fs::create_directory(entry / ".bin");
       },
       State::NotAnEntry, u"bin folder", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Store(c.key, MakeValue(c.valueSize, 7));
    const fs::path entry = EntryPath(c.key);
    c.change(entry);
    if (fs::is_regular_file(entry / ".bin")) {
      ASSERT_TRUE(LastWriteTime(ToTPath(entry / ".bin"), dayAgo));
    }
  }
  // Items of the namespace folder that are no entries.
  WriteFileBytes(CachePath() / "stray-file", "not an entry");
  fs::create_directory(CachePath() / "not-a-key-hash");

  const auto before = Tree(CachePath());
  DiskExternalCacheInspector inspector(m_cache);
  std::map<std::string, DiskEntryReport> listed;
  for (DiskEntryReport& report : inspector.ListEntries()) listed[report.folderName.toStdString()] = report;
  EXPECT_EQ(listed.size(), std::size(cases) + 2) << "every item but \".lock\"";
  EXPECT_EQ(listed.count(".lock"), 0u);
  EXPECT_EQ(listed.at("stray-file").state, State::NotAnEntry);
  EXPECT_EQ(listed.at("not-a-key-hash").state, State::NotAnEntry);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folderName = ExpectedKeyHash(c.key);
    ASSERT_EQ(listed.count(folderName), 1u);
    const DiskEntryReport& report = listed.at(folderName);
    EXPECT_EQ(report.state, c.state) << DiskEntryReport::StateName(report.state) << ": "
                                     << report.detail.toStdString();
    EXPECT_EQ(report.folder.ToStdPath(), EntryPath(c.key));
    EXPECT_EQ(report.key, c.reportedKey);
    EXPECT_EQ(report.valueSize, c.reportedSize);
    if (c.reportedSize) {
      ASSERT_TRUE(report.lastWriteTime.has_value());
      EXPECT_EQ(report.lastWriteTime->GetRepresentation(), dayAgo.GetRepresentation());
    } else {
      EXPECT_FALSE(report.lastWriteTime.has_value());
    }
    const bool served = c.state == State::Whole || c.state == State::Unverified;
    EXPECT_EQ(report.detail.empty(), served) << "a reason for every entry that is not served";

    // Checking one entry by its key gives the same report.
    const DiskEntryReport one = inspector.InspectKey(c.key);
    EXPECT_EQ(one.state, report.state);
    EXPECT_EQ(one.key, report.key);
    EXPECT_EQ(one.detail, report.detail);
  }
  EXPECT_EQ(inspector.InspectKey(u"never stored").state, State::Absent);
  EXPECT_EQ(Tree(CachePath()), before) << "the inspector changed something";

  // A load serves exactly the entries reported whole or unverified.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool served = c.state == State::Whole || c.state == State::Unverified;
    EXPECT_EQ(m_cache.TryLoad(c.key).Get() != nullptr, served);
  }
}

TEST_F(DiskExternalCacheInspectorTest, MakesNothingWhereThereIsNothing) {
  DiskExternalCacheInspector inspector(ToTPath(CachePath()));
  EXPECT_TRUE(inspector.ListEntries().empty());
  EXPECT_EQ(inspector.InspectKey(u"k").state, State::Absent);
  EXPECT_FALSE(fs::exists(CachePath()));

  // A folder written by a version that did not lock has no ".lock", and
  // gets none from the inspector.
  fs::create_directories(EntryPath(u"k"));
  WriteFileBytes(EntryPath(u"k") / ".key", "k");
  WriteFileBytes(EntryPath(u"k") / ".bin", "v");
  const auto before = Tree(CachePath());
  EXPECT_EQ(inspector.InspectKey(u"k").state, State::Unverified);
  EXPECT_EQ(inspector.ListEntries().size(), 1u);
  EXPECT_EQ(Tree(CachePath()), before);
  EXPECT_FALSE(fs::exists(CachePath() / ".lock"));

  for (const TString& name : {TString(), TString(u"."), TString(u".."), TString(u"a/b")}) {
    EXPECT_THROW(inspector.InspectFolder(name), LogicException) << name.toStdString();
  }
}

TEST_F(DiskExternalCacheInspectorTest, ReadsAnEntryOnlyUnderItsSharedLock) {
  const TString key(u"locked");
  Store(key, MakeValue("value"));
  const uint64_t lockByte = std::stoull(ExpectedKeyHash(key));
  DiskExternalCacheInspector inspector(m_cache);
  struct Case {
    const char* name;
    short foreignLock;
    bool waits;
  };
  const Case cases[] = {
      {"a writer holds the entry", F_WRLCK, true},
      {"a reader holds the entry", F_RDLCK, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::future<DiskEntryReport> report;
    {
      ForeignByteLock foreign(CachePath() / ".lock", lockByte, c.foreignLock);
      ASSERT_TRUE(foreign.Locked());
      report = std::async(std::launch::async, [&] { return inspector.InspectKey(key); });
      if (c.waits) {
        EXPECT_EQ(report.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
            << "did not wait";
      } else {
        EXPECT_EQ(report.wait_for(kLongWait), std::future_status::ready) << "waited for a reader";
      }
    }
    EXPECT_EQ(report.get().state, State::Whole);
  }
}

}  // namespace
