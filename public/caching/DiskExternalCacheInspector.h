// DiskExternalCacheInspector: looks at a disk store's namespace folder and
// tells, for each entry, what it holds and whether a load would serve it,
// without changing anything. Meant for tools (a command-line checker) and for
// hosts that want to see what a cache keeps on disk.
//
// It reads entries the way the store's loads do, through the same code: the
// same layout (<namespace folder>/<keyHash>/".key" and ".bin"), the same
// integrity check of ".bin" against its "user.kelcache.integrity" attribute,
// and the same entry lock, taken shared while an entry is read, so that it
// never sees a store half-done. It never writes: it makes no folder and no
// ".lock", renews no last-write time, and leaves damaged entries where they
// are.
//
// The states of an entry folder, in the order they are decided:
//
//   state             | what the folder holds                    | a load of its key
//   ------------------+------------------------------------------+------------------
//   Absent            | (no such folder)                         | miss
//   NotAnEntry        | a file, a folder not named by a key      | never reached
//                     | hash, or a ".key" / ".bin" that is not a |
//                     | regular file                             | miss
//   Unreadable        | the system refused a read (detail: path  | miss, logged
//                     | and reason)                              |
//   HalfWritten       | neither file, or an empty ".key" (a      | miss
//                     | store stopped before the key text)       |
//   KeyWithoutValue   | ".key" only                              | miss
//   ValueWithoutKey   | ".bin" only                              | miss
//   Misplaced         | both, but ".key" holds a key whose hash  | never found
//                     | names another folder (edited by hand)    |
//   Damaged           | both; ".bin" does not match its record,  | miss (logged,
//                     | or its record names another key, or it   | except for another
//                     | has none and is as big as values the     | key's record)
//                     | cache refuses to store                   |
//   Unverified        | both; ".bin" has no record (an older     | hit, unchecked
//                     | version's, or no user attributes) and is |
//                     | smaller than that                        |
//   Whole             | both; ".bin" matches its record          | hit
//
// The empty key's own entry (an empty ".key" in the folder named by the
// empty key's hash) is an entry like any other, not HalfWritten.
//
// Thread rules: thread-safe; the object keeps the namespace folder open
// (shared with nobody) and its state is guarded inside that handle. Stores,
// loads and drops in this and other processes may run meanwhile: an entry is
// reported as it was while its lock was held; a listing may or may not show
// entries made or removed during it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "host/DateTime.h"
#include "host/Export.h"
#include "host/TPath.h"
#include "host/TString.h"

namespace kelvra::caching {

class DiskCacheFolder;
class DiskExternalCache;

// What one entry folder holds (see the table in the file comment).
struct KELCACHE_EXPORT DiskEntryReport {
  enum class State {
    Absent,
    NotAnEntry,
    Unreadable,
    HalfWritten,
    KeyWithoutValue,
    ValueWithoutKey,
    Misplaced,
    Damaged,
    Unverified,
    Whole,
  };
  // "absent", "not-an-entry", "unreadable", "half-written",
  // "key-without-value", "value-without-key", "misplaced", "damaged",
  // "unverified", "whole".
  static const char* StateName(State state);

  // The entry folder's name (a key hash) and path.
  TString folderName;
  TPath folder;
  State state = State::Absent;
  // Why, in words, for every state but Whole and Unverified ("its value file
  // holds 0 bytes where 4096 were stored").
  TString detail;
  // The text of ".key" (decoded as UTF-8), when there is one that could be
  // read.
  std::optional<TString> key;
  // The bytes of that ".key" exactly as stored: they differ from the text's
  // UTF-8 form when the file holds bytes that are not UTF-8.
  std::optional<std::string> keyBytes;
  // The size of ".bin" in bytes, and its last-write time in local time (what
  // the sweeper orders entries by; loads renew it), when there is one.
  std::optional<uint64_t> valueSize;
  std::optional<DateTime> lastWriteTime;
  // The same last-write time as a moment, to the millisecond and free of any
  // time zone: a local reading is the same for two moments of the hour
  // repeated when the clocks go back, so this is the one to order by or to
  // show with an offset. (A file time that cannot be told in milliseconds in
  // 64 bits has neither; one before the year 1 has no lastWriteTime.)
  std::optional<std::chrono::sys_time<std::chrono::milliseconds>> lastWriteInstant;
};

class KELCACHE_EXPORT DiskExternalCacheInspector {
 public:
  // The namespace folder to look at (as DiskExternalCache::GetCachePath
  // gives it). Touches nothing on disk. An empty path, or one that holds a
  // NUL character, raises LogicException as DiskExternalCache does. Values
  // too big to be served unverified are those of the option
  // ExternalCacheUpperBound2SizeMb, read now, as a cache made now would.
  explicit DiskExternalCacheInspector(TPath cachePath);
  // The namespace folder of that cache, and the size of values it refuses
  // to store.
  explicit DiskExternalCacheInspector(const DiskExternalCache& cache);
  ~DiskExternalCacheInspector();
  DiskExternalCacheInspector(const DiskExternalCacheInspector&) = delete;
  DiskExternalCacheInspector& operator=(const DiskExternalCacheInspector&) = delete;

  const TPath& GetCachePath() const;

  // The entry folder that key belongs in (named by KeyHash(key)). Its key
  // may be another key's (a colliding key stored last, or a hand-edited key
  // file): a load of key is served only when the report's key equals key and
  // the state is Whole or Unverified.
  DiskEntryReport InspectKey(const TString& key) const;
  // The entry folder of that name. A name that is not one path component
  // (empty, "." or "..", or holding '/') raises LogicException (source
  // "main/caching/DiskExternalCacheInspector").
  DiskEntryReport InspectFolder(const TString& folderName) const;
  // Every item of the namespace folder but ".lock", in the order the file
  // system gives. Empty when the folder does not exist; raises
  // TFileException when it exists but cannot be listed.
  std::vector<DiskEntryReport> ListEntries() const;

 private:
  DiskExternalCacheInspector(TPath cachePath, unsigned upperBound2SizeMb);

  std::unique_ptr<DiskCacheFolder> m_folder;  // owned; never null
  uint64_t m_unverifiedLimit;                 // UnverifiedValueLimit of the cache's bound
};

}  // namespace kelvra::caching
