// Questions and changes about paths on the local disk: whether a file or a
// folder exists, making and removing folders and files, and the last-write
// time of a file.
//
// Every function that returns bool reports failure by its result and never
// raises for a file-system failure; the forms with a std::error_code argument
// also say why (the operating system's error), for callers that log or raise
// it. GetLastWriteTime raises TFileException (host/FileErrors.h).
//
// Times: LastWriteTime and GetLastWriteTime take and give the time in the
// machine's local time zone, in the form DateTime::GetLocalTime gives it (the
// local clock reading counted from 0001-01-01), because that is what callers
// stamp files with. They convert to and from the system's UTC file times with
// the zone's offset at that moment (daylight saving included); a local time
// that a clock change makes ambiguous resolves as the C library's mktime
// resolves it. File times are kept to the millisecond.
//
// Thread rules: all functions may be called from any thread at once; the file
// system is the only shared state, and a path that another thread or process
// removes or creates meanwhile gives a plain failure (or success), never an
// exception.
#pragma once

#include <time.h>

#include <chrono>
#include <optional>
#include <system_error>

#include "host/DateTime.h"
#include "host/Export.h"
#include "host/TPath.h"

// True when path names a regular file (following symbolic links).
KELCACHE_EXPORT bool FileExists(const TPath& path);

// True when path names a folder (following symbolic links).
KELCACHE_EXPORT bool DirectoryExists(const TPath& path);

// Makes the folder together with any missing parent folders. True when the
// folder exists afterwards, also when it was there already or another thread
// made it at the same time; false when it cannot be made (for example when a
// parent is a regular file).
KELCACHE_EXPORT bool CreateDirectory(const TPath& path);
// The same; on failure error is the operating system's reason (cleared on
// success).
KELCACHE_EXPORT bool CreateDirectory(const TPath& path, std::error_code& error);

// Removes one file, or one empty folder (a symbolic link itself, not its
// target). True when something was removed; false when nothing was there or
// the removal failed (for example a folder that is not empty).
KELCACHE_EXPORT bool RemovePath(const TPath& path);
// The same; error is set when the removal failed, and cleared when it
// succeeded or nothing was there.
KELCACHE_EXPORT bool RemovePath(const TPath& path, std::error_code& error);

// Removes the file or the folder with everything in it. True when nothing is
// left at path afterwards, also when nothing was there to begin with; entries
// that vanish meanwhile do not count as failures. Links are removed, never
// followed, also when the path ends in "/" or "/." ("a/link/" removes the
// link, not what is in the folder it names).
KELCACHE_EXPORT bool RemovePathRecursively(const TPath& path);
// The same; on failure error is the operating system's reason (cleared on
// success).
KELCACHE_EXPORT bool RemovePathRecursively(const TPath& path, std::error_code& error);

// Sets the last-write time of a file or folder to localTime (see Times
// above). True on success; false also when the file system cannot hold that
// time (it would keep another one).
KELCACHE_EXPORT bool LastWriteTime(const TPath& path, const DateTime& localTime);

// The last-write time of a file or folder in local time (see Times above),
// to the millisecond. Raises TFileException when it cannot be read, or when it
// is so far off that a DateTime cannot hold it (EOVERFLOW).
KELCACHE_EXPORT DateTime GetLastWriteTime(const TPath& path);

// A file time (a stat's st_mtim) to the millisecond, rounded down, as a
// zone-free moment; nothing when that does not fit in 64 bits with a day to
// spare. (Not a system_clock::time_point: its nanoseconds end in the year
// 2262, and a file may well be dated later.)
KELCACHE_EXPORT std::optional<std::chrono::sys_time<std::chrono::milliseconds>> FileTimeInstant(
    const timespec& time);
// The local clock's reading at `instant` (see Times above); nothing before
// the year 1.
KELCACHE_EXPORT std::optional<DateTime> LocalReadingAt(
    std::chrono::sys_time<std::chrono::milliseconds> instant);
