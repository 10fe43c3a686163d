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
  // Sets the value file's integrity record to edit(the record stored).
  const auto editRecord = [](std::function<void(Bytes&)> edit) -> EntryChange {
    return [edit](const fs::path& entry) {
      Bytes record = *IntegrityAttribute(entry / ".bin");
      edit(record);
      ASSERT_EQ(setxattr((entry / ".bin").c_str(), kIntegrity, record.data(), record.size(), 0), 0);
    };
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
  const TString loneFffd(std::u16string(u"lone-") + char16_t(0xFFFD));
  const TString fffd(u"a\uFFFDb");
  struct Case {
    const char* name;
    TString key;
    size_t size;
    EntryChange change;  // after the store; none: as stored
    State state;
    std::optional<TString> reportedKey;  // what ".key" holds afterwards
    std::optional<XattrFault::Call> unsupported;  // fails with ENOTSUP: Set while storing, Get while loading
    bool quietMiss = false;  // damaged for the inspector, a quiet miss for a load (another key's value)
  };
  // (The size reported is the value file's as the change left it.) At 16 the
  // record holds the value's checksum; at 24, the key's (as if the value had
  // been stored under another key, then come here). Form 1 is an earlier
  // version's: the value's length and checksum, no key.
  const Case cases[] = {
      {"whole", u"whole", 100, nullptr, State::Whole, u"whole"},
      {"the empty key's whole entry", TString(), 3, nullptr, State::Whole, TString()},
      {"an empty value", u"empty value", 0, nullptr, State::Whole, u"empty value"},
      {"U+FFFD, as stored", fffd, 10, nullptr, State::Whole, fffd},
      {"U+FFFD, invalid UTF-8 on disk", fffd, 10, WriteFile(".key", "a\377b"), State::Whole, fffd},  // \377: 0xFF
      // An unpaired surrogate has an 8-bit form of its own, so the key comes back.
      {"an unpaired surrogate", lone, 10, nullptr, State::Whole, lone},
      {"U+FFFD is not an unpaired surrogate", loneFffd, 10, nullptr, State::Whole, loneFffd},
      {"attributes unreadable at the load", u"unread", 50, nullptr, State::Whole, u"unread", XattrFault::Call::Get},
      {"written by a version without records", u"unrecorded", 50, dropRecord, State::Unverified, u"unrecorded"},
      {"attributes unsettable at the store", u"unset", 50, nullptr, State::Unverified, u"unset", XattrFault::Call::Set},
      {"value file emptied", u"emptied", 4096, Truncate(".bin", 0), State::Damaged, u"emptied"},
      {"value file cut short", u"cut", 4096, Truncate(".bin", 1000), State::Damaged, u"cut"},
      {"value file grown", u"grown", 4096, Truncate(".bin", 5000), State::Damaged, u"grown"},
      {"one byte overwritten in place", u"overwritten", 4096, overwriteByte, State::Damaged, u"overwritten"},
      {"value checksum changed", u"sum", 4096, editRecord([](Bytes& r) { r.at(16) ^= 1; }), State::Damaged, u"sum"},
      {"another key's value", u"moved", 4096, editRecord([](Bytes& r) { r.at(24) ^= 1; }), State::Damaged, u"moved",
       std::nullopt, true},
      {"a record of form 1", u"form 1", 4096, editRecord([](Bytes& r) { r.at(0) = 1; r.resize(17); }), State::Whole,
       u"form 1"},
      {"a record of an unknown form", u"form", 4096, editRecord([](Bytes& r) { r = {3, 'j', 'u', 'n', 'k'}; }),
       State::Damaged, u"form"},
      {"a record longer than any form", u"longer", 4096, editRecord([](Bytes& r) { r.assign(64, 'x'); }),
       State::Damaged, u"longer"},
      {"a store that stopped before its key text", u"stopped", 10, Truncate(".key", 0), State::HalfWritten, TString()},
      {"an empty entry folder", u"empty folder", 10, RemoveFiles({".key", ".bin"}), State::HalfWritten, std::nullopt},
      {"no value file", u"key only", 10, RemoveFiles({".bin"}), State::KeyWithoutValue, u"key only"},
      {"no key file", u"value only", 10, RemoveFiles({".key"}), State::ValueWithoutKey, std::nullopt},
      {"a key file edited by hand", u"original", 10, WriteFile(".key", "edited"), State::Misplaced, u"edited"},
      {"a value file that is a folder", u"bin folder", 10, binFolder, State::NotAnEntry, u"bin folder"},
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
    std::optional<uint64_t> size;
    if (fs::is_regular_file(entry / ".bin")) {
      ASSERT_TRUE(LastWriteTime(ToTPath(entry / ".bin"), dayAgo));
      size = fs::file_size(entry / ".bin");
    }
    const auto before = Tree(CachePath());

    DiskExternalCacheInspector inspector(*cache);
    const std::vector<DiskEntryReport> listed = inspector.ListEntries();
    ASSERT_EQ(listed.size(), 1u) << "every item but \".lock\"";
    const DiskEntryReport& report = listed[0];
    EXPECT_EQ(report.folderName.toStdString(), ExpectedKeyHash(c.key));
    EXPECT_EQ(report.state, c.state) << DiskEntryReport::StateName(report.state) << ": " << report.detail.toStdString();
    EXPECT_EQ(report.folder.ToStdPath(), entry);
    EXPECT_EQ(report.key, c.reportedKey);
    EXPECT_EQ(report.valueSize, size);
    EXPECT_EQ(report.lastWriteTime.has_value(), size.has_value());
    if (report.lastWriteTime) EXPECT_EQ(report.lastWriteTime->GetRepresentation(), dayAgo.GetRepresentation());
    EXPECT_EQ(report.lastWriteInstant.has_value(), size.has_value());
    if (report.lastWriteInstant) {
      EXPECT_EQ(*report.lastWriteInstant,
                std::chrono::floor<std::chrono::milliseconds>(
                    std::chrono::file_clock::to_sys(fs::last_write_time(entry / ".bin"))));
    }
    const bool served = c.state == State::Whole || c.state == State::Unverified;
    EXPECT_EQ(report.detail.empty(), served) << "a reason for every entry that is not served";
    const DiskEntryReport one = inspector.InspectKey(c.key);
    EXPECT_EQ(std::tie(one.state, one.key, one.detail), std::tie(report.state, report.key, report.detail));
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
      EXPECT_LT((DateTime::GetLocalTime() - GetLastWriteTime(ToTPath(entry / ".bin"))).TotalMilliseconds(), 60000)
          << "the load renewed the last-write time";
    } else {
      EXPECT_EQ(Tree(CachePath()), before) << "a miss changes nothing, not even the last-write time";
    }
    EXPECT_EQ(cache->TryGetAllKeys(), c.reportedKey && size ? std::vector{*c.reportedKey} : std::vector<TString>{});

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
  const auto cache = [this] {
    kelvra::appoptions::ScopedOptionOverride bound("ExternalCacheUpperBound2SizeMb", 1);
    return MakeCache();
  }();
  const fs::path entry = EntryPath(u"k");
  ASSERT_TRUE(Store(*cache, u"k", MakeValue("stored")));
  ASSERT_EQ(removexattr((entry / ".bin").c_str(), "user.kelcache.integrity"), 0);
  for (const uintmax_t size : {(uintmax_t{1} << 20) - 1, uintmax_t{1} << 20, uintmax_t{3} << 30}) {
    SCOPED_TRACE(size);
    const bool served = size < (1u << 20);
    fs::resize_file(entry / ".bin", size);
    TLog::Capture capture(TLog::Warn);
    const Value loaded = cache->TryLoad(u"k").Get();
    ASSERT_EQ(loaded != nullptr, served);
    EXPECT_EQ(DiskExternalCacheInspector(*cache).InspectKey(u"k").state, served ? State::Unverified : State::Damaged);
    EXPECT_EQ(DiskExternalCacheInspector(ToTPath(CachePath())).InspectKey(u"k").state,
              size < (64u << 20) ? State::Unverified : State::Damaged)
        << "the option's bound: 64 MiB";
    ASSERT_EQ(capture.Lines().size(), served ? 0u : 1u);
    if (served) {
      EXPECT_EQ(loaded->size(), size);
    } else {
      EXPECT_TRUE(capture.Lines()[0].contains(u"has no integrity record and holds " + TString::number(size) +
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
  EXPECT_EQ(Tree(CachePath()), before) << "the inspector, the listing or the drop made something";

  ASSERT_TRUE(Store(*cache, u"b", MakeValue("2")));
  fs::create_directories(EntryPath(u"k") / "leftover");
  ASSERT_TRUE(cache->TryDrop(u"k").Get());
  EXPECT_FALSE(fs::exists(EntryPath(u"k")));
  EXPECT_EQ(cache->TryGetAllKeys(), std::vector<TString>{TString(u"b")});
}

}  // namespace
