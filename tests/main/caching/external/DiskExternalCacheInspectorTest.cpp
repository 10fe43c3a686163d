// The disk store's inspector beside its loads and key listing: hand-edited,
// damaged and half-written entries as each of them sees them, and items of
// the namespace folder that are no entries, which the inspector, a drop and a
// listing leave as they are.
#include "public/caching/DiskExternalCacheInspector.h"

#include <sys/xattr.h>

#include <fstream>
#include <map>
#include <optional>

#include "host/AppOptions.h"
#include "host/DateTime.h"
#include "host/Errors.h"
#include "host/FileSystem.h"
#include "tests/main/caching/external/DiskExternalCacheTestSupport.h"
#include "tests/main/caching/external/XattrFaults.h"

namespace {

using namespace kelcache_test;
using kelvra::caching::DiskEntryReport;
using kelvra::caching::DiskExternalCacheInspector;
namespace fs = std::filesystem;
using State = DiskEntryReport::State;

// What an entry folder holds decides, for every way of looking at it, the
// same thing: the inspector's report (by listing and by key, changing
// nothing), whether a load serves the value, what the listing of keys shows
// (both files, under the key file's text), and what gets logged. A load that
// serves renews the value file's last-write time (a TTL is ignored: the
// value was stored with one second); a miss changes nothing, not even that
// time. A damaged value (what a power cut after the rename can leave) is a
// miss with one warning naming the entry; every other miss is quiet. The
// next store of the key makes the entry whole again.
//
// ".key" decoded as UTF-8 must equal the key: comparing bytes gives the same
// answer for most keys, but not for the U+FFFD and surrogate rows.
TEST_F(DiskExternalCacheTest, WhatTheEntryFolderHoldsDecidesReportLoadAndListing) {
  const DateTime dayAgo = DateTime::GetLocalTime() - DateTimeSpan::FromSeconds(86400);
  auto setRecord = [](std::string record) {
    return [record](const fs::path& entry) {
      ASSERT_EQ(setxattr((entry / ".bin").c_str(), kIntegrity, record.data(), record.size(), 0), 0);
    };
  };
  // Flips a bit of the record: at 16, the value's checksum; at 24, the key's
  // (as if the value had been stored under another key, then come here).
  const auto flipRecordByte = [](size_t at) {
    return [at](const fs::path& entry) {
      Bytes record = *IntegrityAttribute(entry / ".bin");
      ASSERT_EQ(record.size(), 25u);
      record[at] ^= 1;
      ASSERT_EQ(setxattr((entry / ".bin").c_str(), kIntegrity, record.data(), record.size(), 0), 0);
    };
  };
  // The record of an earlier version: form 1, the value's length and
  // checksum, no key.
  const EntryChange keylessRecord = [](const fs::path& entry) {
    Bytes record = *IntegrityAttribute(entry / ".bin");
    record[0] = 1;
    record.resize(17);
    ASSERT_EQ(setxattr((entry / ".bin").c_str(), kIntegrity, record.data(), record.size(), 0), 0);
  };
  const EntryChange overwriteByte = [](const fs::path& entry) {
    std::fstream(entry / ".bin", std::ios::in | std::ios::out | std::ios::binary).seekp(2000).put(0x5A);
  };
  const EntryChange binFolder = [](const fs::path& entry) {
    fs::remove(entry / ".bin");
    fs::create_directory(entry / ".bin");
  };
  const EntryChange dropRecord = [](const fs::path& entry) {
    ASSERT_EQ(removexattr((entry / ".bin").c_str(), kIntegrity), 0);
  };
  const TString lone(std::u16string(u"lone-") + char16_t(0xD800));
  const TString fffd(u"a\uFFFDb");
  struct Case {
    const char* name;
    TString key;
    size_t size;
    EntryChange change;  // after the store; none: as stored
    State state;
    std::optional<TString> reportedKey;  // what ".key" holds afterwards
    std::optional<uint64_t> reportedSize;
    std::optional<XattrFault::Call> unsupported;  // fails with ENOTSUP: Set while storing, Get while loading
    bool quietMiss = false;  // damaged for the inspector, a miss without a line for a load (another key's value)
  };
  const Case cases[] = {
      {"whole", u"whole", 100, nullptr, State::Whole, u"whole", 100},
      {"the empty key's whole entry", TString(), 3, nullptr, State::Whole, TString(), 3},
      {"an empty value", u"empty value", 0, nullptr, State::Whole, u"empty value", 0},
      {"U+FFFD, as stored", fffd, 10, nullptr, State::Whole, fffd, 10},
      {"U+FFFD, invalid UTF-8 on disk", fffd, 10, WriteFile(".key", "a\377b"), State::Whole, fffd, 10},  // \377: 0xFF
      // An unpaired surrogate has an 8-bit form of its own, so the key comes back.
      {"an unpaired surrogate", lone, 10, nullptr, State::Whole, lone, 10},
      {"U+FFFD is not an unpaired surrogate", TString(std::u16string(u"lone-") + char16_t(0xFFFD)), 10, nullptr,
       State::Whole, TString(std::u16string(u"lone-") + char16_t(0xFFFD)), 10},
      {"loaded where attributes cannot be read", u"unreadable record", 50, nullptr, State::Whole,
       u"unreadable record", 50, XattrFault::Call::Get},
      {"written by a version without records", u"unrecorded", 50, dropRecord, State::Unverified, u"unrecorded", 50},
      {"stored where attributes cannot be set", u"no attributes", 50, nullptr, State::Unverified, u"no attributes",
       50, XattrFault::Call::Set},
      {"value file emptied", u"emptied", 4096, Truncate(".bin", 0), State::Damaged, u"emptied", 0},
      {"value file cut short", u"cut", 4096, Truncate(".bin", 1000), State::Damaged, u"cut", 1000},
      {"value file grown", u"grown", 4096, Truncate(".bin", 5000), State::Damaged, u"grown", 5000},
      {"one byte overwritten in place", u"overwritten", 4096, overwriteByte, State::Damaged, u"overwritten",
       4096},
      {"the record's checksum changed", u"checksum", 4096, flipRecordByte(16), State::Damaged, u"checksum", 4096},
      {"a value stored under another key", u"moved", 4096, flipRecordByte(24), State::Damaged, u"moved", 4096,
       std::nullopt, true},
      {"a record without the key's checksum", u"keyless", 4096, keylessRecord, State::Whole, u"keyless", 4096},
      {"a record of a form this version does not know", u"form", 4096, setRecord("\x03junk"), State::Damaged,
       u"form", 4096},
      {"a record longer than any form", u"longer", 4096, setRecord(std::string(64, 'x')), State::Damaged, u"longer",
       4096},
      {"a store that stopped before its key text", u"stopped", 10, Truncate(".key", 0), State::HalfWritten,
       TString(), 10},
      {"an empty entry folder", u"empty folder", 10, RemoveFiles({".key", ".bin"}), State::HalfWritten,
       std::nullopt, std::nullopt},
      {"no value file", u"key only", 10, RemoveFiles({".bin"}), State::KeyWithoutValue, u"key only", std::nullopt},
      {"no key file", u"value only", 10, RemoveFiles({".key"}), State::ValueWithoutKey, std::nullopt, 10},
      {"a key file edited by hand", u"original", 10, WriteFile(".key", "edited by hand"), State::Misplaced,
       u"edited by hand", 10},
      {"a value file that is a folder", u"bin folder", 10, binFolder, State::NotAnEntry, u"bin folder",
       std::nullopt},
  };
  auto cache = MakeCache();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(CachePath());
    const Value value = MakeValue(c.size, 7);
    const fs::path entry = EntryPath(c.key);
    {
      std::optional<XattrFault> fault;
      if (c.unsupported == XattrFault::Call::Set) fault.emplace(XattrFault::Call::Set, ENOTSUP);
      TLog::Capture capture;
      ASSERT_TRUE(cache->TryStore(c.key, value, kSlowLoadMs, 1).Get());
      EXPECT_TRUE(capture.Lines().empty()) << "attributes that cannot be set are no failure";
      if (fault) EXPECT_EQ(fault->Failures(), 1);
    }
    if (c.change) c.change(entry);
    if (fs::is_regular_file(entry / ".bin")) ASSERT_TRUE(LastWriteTime(ToTPath(entry / ".bin"), dayAgo));
    const auto before = Tree(CachePath());

    DiskExternalCacheInspector inspector(*cache);
    const std::vector<DiskEntryReport> listed = inspector.ListEntries();
    ASSERT_EQ(listed.size(), 1u) << "every item but \".lock\"";
    const DiskEntryReport& report = listed[0];
    EXPECT_EQ(report.folderName.toStdString(), ExpectedKeyHash(c.key));
    EXPECT_EQ(report.state, c.state) << DiskEntryReport::StateName(report.state) << ": " << report.detail.toStdString();
    EXPECT_EQ(report.folder.ToStdPath(), entry);
    EXPECT_EQ(report.key, c.reportedKey);
    EXPECT_EQ(report.valueSize, c.reportedSize);
    EXPECT_EQ(report.lastWriteTime.has_value(), c.reportedSize.has_value());
    if (report.lastWriteTime) EXPECT_EQ(report.lastWriteTime->GetRepresentation(), dayAgo.GetRepresentation());
    EXPECT_EQ(report.lastWriteInstant.has_value(), c.reportedSize.has_value());
    if (report.lastWriteInstant) {
      EXPECT_EQ(*report.lastWriteInstant,
                std::chrono::floor<std::chrono::milliseconds>(
                    std::chrono::file_clock::to_sys(fs::last_write_time(entry / ".bin"))));
    }
    const bool served = c.state == State::Whole || c.state == State::Unverified;
    EXPECT_EQ(report.detail.empty(), served) << "a reason for every entry that is not served";
    const DiskEntryReport one = inspector.InspectKey(c.key);
    EXPECT_EQ(one.state, report.state);
    EXPECT_EQ(one.key, report.key);
    EXPECT_EQ(one.detail, report.detail);
    EXPECT_EQ(Tree(CachePath()), before) << "the inspector changed something";

    std::optional<XattrFault> fault;
    if (c.unsupported == XattrFault::Call::Get) fault.emplace(XattrFault::Call::Get, ENOTSUP);
    TLog::Capture capture(TLog::Info);
    const Value loaded = cache->TryLoad(c.key).Get();
    EXPECT_EQ(loaded != nullptr, served);
    if (loaded) EXPECT_EQ(*loaded, *value);
    if (fault) EXPECT_EQ(fault->Failures(), 1);
    fault.reset();
    EXPECT_EQ(Field(SingleEvent(capture, u"ec-load"), "outcome"), served ? "hit" : "miss");
    const std::vector<TString> lines = capture.Lines();
    if (c.state == State::Damaged && !c.quietMiss) {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_TRUE(lines[0].contains(TString::fromStdString("'" + entry.string() + "'"))) << lines[0].toStdString();
      EXPECT_TRUE(lines[0].contains(u"damaged")) << lines[0].toStdString();
      EXPECT_EQ(capture.Records()[0].severity, TLog::Warn);
    } else {
      EXPECT_TRUE(lines.empty()) << lines.front().toStdString();
    }
    if (served) {
      const int64_t ageMs = (DateTime::GetLocalTime() - GetLastWriteTime(ToTPath(entry / ".bin"))).TotalMilliseconds();
      EXPECT_LT(ageMs, 60000) << "the load renewed the last-write time";
    } else {
      EXPECT_EQ(Tree(CachePath()), before) << "a miss changes nothing, not even the last-write time";
    }
    const bool bothFiles = c.reportedKey && c.reportedSize;
    EXPECT_EQ(cache->TryGetAllKeys(), bothFiles ? std::vector<TString>{*c.reportedKey} : std::vector<TString>{});

    ASSERT_TRUE(Store(*cache, c.key, MakeValue("whole")));
    EXPECT_TRUE(LoadsValue(*cache, c.key, *MakeValue("whole")));
  }
}

// A value file without integrity record (an older version's, or one made by
// hand) is served as it is only while it is smaller than the values its cache
// refuses to store (ExternalCacheUpperBound2SizeMb, whole MiB): a bigger one
// cannot be one of its values, and is not read (a sparse file of gigabytes
// would be, into memory). The inspector judges it by the bound of the cache
// it was made from, or by the option when made from a path.
TEST_F(DiskExternalCacheTest, AValueFileWithoutRecordIsServedOnlyBelowTheSizeTheCacheRefuses) {
  std::unique_ptr<kelvra::caching::DiskExternalCache> cache;
  {
    kelvra::appoptions::ScopedOptionOverride bound("ExternalCacheUpperBound2SizeMb", 1);
    cache = MakeCache();
  }
  const fs::path entry = EntryPath(u"k");
  ASSERT_TRUE(Store(*cache, u"k", MakeValue("stored")));
  ASSERT_EQ(removexattr((entry / ".bin").c_str(), "user.kelcache.integrity"), 0);
  const struct {
    uintmax_t size;
    bool served;
  } cases[] = {{(1u << 20) - 1, true}, {1u << 20, false}, {uintmax_t{3} << 30, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    fs::resize_file(entry / ".bin", c.size);
    TLog::Capture capture(TLog::Warn);
    const Value loaded = cache->TryLoad(u"k").Get();
    ASSERT_EQ(loaded != nullptr, c.served);
    EXPECT_EQ(DiskExternalCacheInspector(*cache).InspectKey(u"k").state, c.served ? State::Unverified : State::Damaged);
    EXPECT_EQ(DiskExternalCacheInspector(ToTPath(CachePath())).InspectKey(u"k").state,
              c.size < (64u << 20) ? State::Unverified : State::Damaged)
        << "the option's bound: 64 MiB";
    if (c.served) {
      EXPECT_EQ(loaded->size(), c.size);
      EXPECT_TRUE(capture.Lines().empty());
    } else {
      ASSERT_EQ(capture.Lines().size(), 1u);
      EXPECT_TRUE(capture.Lines()[0].contains(u"has no integrity record and holds " + TString::number(c.size) +
                                              u" bytes"))
          << capture.Lines()[0].toStdString();
    }
  }
}

// Neither the inspector, a drop nor a listing makes anything: no folder
// where there is none, no ".lock" in a folder written by a version that did
// not lock. Items of the namespace folder that are no entries are reported
// as such and listed as no keys. A drop removes the whole entry folder,
// whatever it holds.
TEST_F(DiskExternalCacheTest, InspectorDropsAndListingsMakeNothingAndSkipItemsThatAreNoEntries) {
  auto cache = MakeCache();
  DiskExternalCacheInspector inspector(ToTPath(CachePath()));
  EXPECT_TRUE(inspector.ListEntries().empty());
  EXPECT_EQ(inspector.InspectKey(u"k").state, State::Absent);
  EXPECT_TRUE(cache->TryDrop(u"never stored").Get());
  EXPECT_TRUE(cache->TryGetAllKeys().empty());
  EXPECT_FALSE(fs::exists(CachePath()));

  fs::create_directories(EntryPath(u"k"));
  WriteFileBytes(EntryPath(u"k") / ".key", "k");
  WriteFileBytes(EntryPath(u"k") / ".bin", "v");
  WriteFileBytes(CachePath() / "stray-file", "not an entry");
  fs::create_directory(CachePath() / "not-a-key-hash");
  const auto before = Tree(CachePath());
  EXPECT_EQ(inspector.InspectKey(u"k").state, State::Unverified);
  EXPECT_EQ(inspector.InspectKey(u"never stored").state, State::Absent);
  std::map<std::string, State> states;
  for (const DiskEntryReport& report : inspector.ListEntries()) states[report.folderName.toStdString()] = report.state;
  EXPECT_EQ(states, (std::map<std::string, State>{{ExpectedKeyHash(u"k"), State::Unverified},
                                                  {"stray-file", State::NotAnEntry},
                                                  {"not-a-key-hash", State::NotAnEntry}}));
  EXPECT_EQ(Tree(CachePath()), before);
  for (const TString& name : {TString(), TString(u"."), TString(u".."), TString(u"a/b")}) {
    EXPECT_THROW(inspector.InspectFolder(name), LogicException) << name.toStdString();
  }
  // A folder that cannot be looked at is named in the reason, whichever order
  // the compiler evaluates arguments in.
  const std::string tooLong(300, '7');
  const DiskEntryReport unreadable = inspector.InspectFolder(TString::fromStdString(tooLong));
  EXPECT_EQ(unreadable.state, State::Unreadable);
  EXPECT_NE(unreadable.detail.toStdString().find("/" + tooLong + "'"), std::string::npos)
      << unreadable.detail.toStdString();
  EXPECT_EQ(cache->TryGetAllKeys(), std::vector<TString>{TString(u"k")}) << "stray items are no entries";
  EXPECT_TRUE(cache->TryDrop(u"never stored").Get());
  EXPECT_EQ(Tree(CachePath()), before) << "the listing or the drop made something";

  ASSERT_TRUE(Store(*cache, u"b", MakeValue("2")));
  fs::create_directories(EntryPath(u"k") / "leftover");
  ASSERT_TRUE(cache->TryDrop(u"k").Get());
  EXPECT_FALSE(fs::exists(EntryPath(u"k")));
  EXPECT_EQ(cache->TryGetAllKeys(), std::vector<TString>{TString(u"b")});
}

}  // namespace
