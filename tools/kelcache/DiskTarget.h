// What the disk subcommands of the kelcache tool work on: one namespace
// folder of the disk store, found from --dir and --ns, and the reports of
// the store's inspector about its entries.
//
// --dir is the folder that holds the namespace folders, as in the store's
// layout <external cache folder>/ExternalCacheV1/<namespace>/<keyHash>/...;
// without --dir it is the host configuration's external cache folder
// (AppConfig, KELCACHE_ExternalCacheDir) followed by "ExternalCacheV1". The
// namespace folder is --dir/--ns, and the store is DiskExternalCache's
// explicit-path form over it, so the tool reads and writes exactly what the
// library would.
//
// Thread rules: one thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/TPath.h"
#include "host/TString.h"
#include "public/caching/DiskExternalCacheInspector.h"

namespace TLog {
class Capture;
}  // namespace TLog

namespace kelcache_cli {

struct DiskTarget {
  TString ns;
  TPath dir;     // holds the namespace folders
  TPath folder;  // dir / ns
};

// Raises UsageError when --ns cannot name a namespace folder (the store's
// own rules: not empty, ".", "..", no '/', '\\' or NUL, at most 255 bytes).
DiskTarget ResolveDiskTarget(const std::string& dir, const std::string& ns);

// Whether the namespace folder exists.
bool NamespaceExists(const DiskTarget& target);
// Raises MissError, with a hint where the namespace might be instead, when
// the namespace folder does not exist.
void RequireNamespace(const DiskTarget& target);
// "no namespace 'X' in DIR" and the hint.
std::string NoNamespaceMessage(const DiskTarget& target);

// Every item of the namespace folder, as the inspector's ListEntries gives
// them, inspected one by one so that a long scan shows a progress bar
// (Progress.h). Raises FailureError when the folder cannot be listed.
std::vector<kelvra::caching::DiskEntryReport> InspectAll(const kelvra::caching::DiskExternalCacheInspector& inspector);

using EntryState = kelvra::caching::DiskEntryReport::State;
// A load serves the entry (Whole, or Unverified: no integrity record).
bool IsServed(EntryState state);
// An entry folder that a load cannot serve: half-written, a key without its
// value or a value without its key, misplaced, damaged, unreadable.
bool IsDamaged(EntryState state);
// The same for a report, and also a folder with an entry's name whose ".key"
// or ".bin" is not a regular file (a pipe, a link, a folder): no load reads
// it, yet it is an entry folder to the sweeper, which counts and removes it.
bool IsDamaged(const kelvra::caching::DiskEntryReport& report);
const char* StateName(EntryState state);

// The key of a report as bytes (UTF-8), or nothing.
std::optional<std::string> ReportKey(const kelvra::caching::DiskEntryReport& report);
// When the entry's ".bin" was last written, in milliseconds since
// 1970-01-01 00:00:00 UTC, or nothing (no ".bin"). From the report's
// lastWriteInstant: its lastWriteTime is a local wall-clock reading, the same
// for two moments of the hour repeated when the clocks go back, so it can
// neither be shown with the right offset nor ordered.
std::optional<int64_t> WriteTime(const kelvra::caching::DiskEntryReport& report);
// A last-write time for people ("2024-05-01 12:34:56", local time, "-" when
// there is none) and for scripts (ISO 8601 with milliseconds and the local
// offset in force then, or nothing).
std::string ShowTime(std::optional<int64_t> time);
std::optional<std::string> IsoTime(std::optional<int64_t> time);

// The text of the last line at Warn or above that the capture holds (the
// library says there why a store or drop failed), or empty.
std::string LastWarning(const TLog::Capture& capture);

}  // namespace kelcache_cli
