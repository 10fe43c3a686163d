// DiskExternalCache: the second-level cache on the local disk, the
// authoring client's default store.
//
// Each value lies in a file of its own, next to a file that holds its key:
//
//   <external cache dir>/ExternalCacheV1/<namespace>/<keyHash>/.key   the key, UTF-8, nothing else
//   <external cache dir>/ExternalCacheV1/<namespace>/<keyHash>/.bin   the value, byte for byte
//   <external cache dir>/ExternalCacheV1/<namespace>/.lock            empty; its byte ranges lock entries
//
// keyHash is the frame's KeyHash (decimal XXH32 of the key's UTF-16 bytes).
// Keys whose hashes collide share one entry folder, which holds the key
// stored last; a load compares the key file with its key. A store writes in
// the order: old value and key files removed, key file created empty, value
// file replaced whole (atomically), key text. A load checks the key text,
// reads the value and, when it serves it, renews the value file's
// last-write time (so the sweeper's least-recently-written order is least
// recently used).
// Stores and drops of an entry lock it exclusively, loads shared (a
// byte-range lock on ".lock" at the offset keyHash, released by the kernel
// when its holder dies), so stores of colliding keys never interleave; a
// load that cannot take the lock (a file system without locks) keeps the key
// file it read open and, after reading the value, reports a miss unless the
// key file's name still leads to that same file (a store in between replaced
// it, even with the same text).
// A store also gives ".bin" the user extended attribute
// "user.kelcache.integrity" (the value's length and XXH3 checksum, and the
// XXH3 checksum of the key's 8-bit text), and a
// load serves a value only when what it read matches it: a value file cut,
// emptied or overwritten after its store is a miss, logged at Warn with the
// entry's folder. A value file without the attribute (an older version's, or
// one on a file system without user attributes) is read as it is.
// DiskExternalCacheInspector lists entries and checks them without changing
// anything.
// docs/external-caches.md describes the format and why a load never returns
// bytes that were not stored whole for its key.
//
// The store runs under the asynchronous frame (ExternalCache): loads, stores
// and drops are host tasks with the frame's thresholds, concurrency limit and
// time-outs. Failures of the disk are logged at Warn, with the path and the
// operating system's reason, and swallowed: a store or drop reports "done"
// once its function ran to its end, a load that cannot read reports a miss.
// ttlSec is ignored: entries go by a drop, by a later store under the same
// hash, or by the sweeper.
//
// Thread rules: thread-safe. The object's members never change after
// construction and it holds no lock of its own; operations may run at once
// in any threads and processes, and those on one entry are ordered by the
// entry's file lock. m_folder keeps the namespace folder and descriptions of
// its ".lock" open between operations (main/caching/DiskCacheFolder.h, whose
// own mutexes guard them; the folder is opened by the first operation, never
// by a constructor). Copies of the object share it. The functions handed to
// the frame hold a share of it and of the sweeper, never the cache object,
// so they may outlive it. The sweeper's own thread rules are the host's
// (FolderSweeper is thread-safe).
//
// Ownership: the sweeper is shared with whoever made it; it may be null (no
// sweeping).
#pragma once

#include <memory>
#include <vector>

#include "host/Export.h"
#include "host/FolderSweeper.h"
#include "host/TPath.h"
#include "host/TString.h"
#include "public/caching/ExternalCache.h"

namespace kelvra::caching {

class DiskCacheFolder;
class DiskExternalCacheInspector;

class KELCACHE_EXPORT DiskExternalCache : public ExternalCache<TString, std::vector<uint8_t>> {
 public:
  // Entries under AppConfig's external cache folder / "ExternalCacheV1" / ns
  // (the folder is read now). ns must be usable as one folder name: a
  // namespace that is empty, "." or "..", holds '/', '\\' or a NUL character,
  // or is longer than 255 bytes in its 8-bit form (TString::toStdString)
  // raises LogicException (source "main/caching/DiskExternalCache").
  DiskExternalCache(TString ns, std::shared_ptr<FolderSweeper> sweeper);
  // Entries directly under cachePath, kept as passed (the namespace folder
  // itself; nothing is added to it). ns is no part of the path, so any text
  // is accepted: it only names the cache in events. An empty cachePath, or
  // one that holds a NUL character (the system would read another folder),
  // raises LogicException (source "main/caching/DiskCacheFolder").
  DiskExternalCache(TString ns, TPath cachePath, std::shared_ptr<FolderSweeper> sweeper);
  DiskExternalCache(const DiskExternalCache&) = default;
  ~DiskExternalCache() override;

  // The keys on disk, read synchronously on the caller's thread (no task, no
  // slot, no event): for every folder in the namespace folder that holds
  // both files, the key file's text. The folder's name is not compared with
  // the key's hash, so a key in a misplaced or renamed folder (which no load
  // reaches) is listed too. A key file that is no regular file (a FIFO, a
  // link to a device) lists nothing and is never read. An entry that cannot
  // be read is logged at Info and skipped.
  // Empty, and nothing created, when the namespace folder does not exist.
  std::vector<TString> TryGetAllKeys() const override;

  // The namespace folder, and the sweeper asked before each store (may be
  // null); for inspection by hosts and tests.
  const TPath& GetCachePath() const { return cachePath; }
  const std::shared_ptr<FolderSweeper>& GetSweeper() const { return m_sweeper; }

 protected:
  StoreFunc GetStoreFunc() const override;
  LoadFunc GetLoadFunc() const override;
  DropFunc GetDropFunc() const override;

 private:
  // Reads the size of values this cache refuses to store.
  friend class DiskExternalCacheInspector;

  TPath cachePath;
  std::shared_ptr<FolderSweeper> m_sweeper;
  std::shared_ptr<DiskCacheFolder> m_folder;  // the open handle on cachePath; never null
};

}  // namespace kelvra::caching
