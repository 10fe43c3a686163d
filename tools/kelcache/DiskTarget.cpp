#include "tools/kelcache/DiskTarget.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <system_error>

#include "host/AppConfig.h"
#include "host/Errors.h"
#include "host/FileErrors.h"
#include "host/FileSystem.h"
#include "host/FolderSweeper.h"
#include "host/LogCapture.h"
#include "host/TDirectory.h"
#include "host/Utf8Text.h"
#include "public/caching/DiskExternalCache.h"
#include "tools/kelcache/Console.h"
#include "tools/kelcache/Progress.h"
#include "tools/kelcache/Text.h"
#include "tools/kelcache/ToolError.h"

namespace kelcache_cli {

using kelvra::caching::DiskEntryReport;
using kelvra::caching::DiskExternalCacheInspector;

namespace {

const TString kLayoutFolder(u"ExternalCacheV1");

std::string PathText(const TPath& path) {
  return path.ToUtf8();
}

// True when `path` is a folder; false when nothing, or something else, is
// there. A folder that cannot be looked at (no permission to search a folder
// above it, say) is no miss but a failure: FailureError.
bool FolderIsThere(const TPath& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path.ToStdPath(), error);
  if (error && error != std::errc::no_such_file_or_directory && error != std::errc::not_a_directory) {
    throw FailureError("cannot reach " + PathText(path) + ": " + error.message());
  }
  return std::filesystem::is_directory(status);
}

// The names of up to `limit` folders in dir, sorted.
std::vector<std::string> FolderNames(const TPath& dir, size_t limit) {
  std::vector<std::string> names;
  try {
    for (const TPath& item : TDirectory(dir)) {
      if (DirectoryExists(item)) names.push_back(item.FileName().toStdString());
    }
  } catch (const TFileException&) {
    return {};
  }
  std::sort(names.begin(), names.end());
  if (names.size() > limit) names.resize(limit);
  return names;
}

}  // namespace

DiskTarget ResolveDiskTarget(const std::string& dir, const std::string& ns) {
  DiskTarget target;
  if (!IsValidUtf8(ns)) {
    throw UsageError("--ns '" + EscapeBytes(ns) + "' is not UTF-8 text");
  }
  target.ns = TString::fromStdString(ns);
  // The store's namespace constructor checks that the namespace can be one
  // folder name; nothing is touched on disk.
  try {
    kelvra::caching::DiskExternalCache check(target.ns, nullptr);
  } catch (const LogicException& error) {
    throw UsageError("--ns '" + EscapeBytes(ns) + "' cannot name a namespace folder: " + error.GetExpression());
  }
  // Paths are text to the library: one that is not UTF-8 would name another
  // folder once converted.
  if (!IsValidUtf8(dir)) {
    throw UsageError("--dir '" + EscapeBytes(dir) + "' is not UTF-8 text");
  }
  target.dir = dir.empty() ? TPath(AppConfig::GetInstance().GetExternalCacheDir()) / kLayoutFolder
                           : TPath(TString::fromStdString(dir));
  target.folder = target.dir / target.ns;
  return target;
}

bool NamespaceExists(const DiskTarget& target) {
  return FolderIsThere(target.folder);
}

std::string NoNamespaceMessage(const DiskTarget& target) {
  std::string message = "no namespace '" + EscapeBytes(target.ns.toStdString()) + "' in " + PathText(target.dir);
  if (!FolderIsThere(target.dir)) return message + " (no such folder)";
  const TPath nested = target.dir / kLayoutFolder;
  if (DirectoryExists(nested / target.ns)) {
    return message + " (it is in " + PathText(nested) + ": --dir names the folder that holds the namespace folders)";
  }
  const std::vector<std::string> names = FolderNames(target.dir, 8);
  if (names.empty()) return message + " (it holds no namespace folder)";
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ", ") + EscapeBytes(name);
  return message + " (namespaces there: " + list + ")";
}

void RequireNamespace(const DiskTarget& target) {
  if (!NamespaceExists(target)) throw MissError(NoNamespaceMessage(target));
}

std::vector<DiskEntryReport> InspectAll(const DiskExternalCacheInspector& inspector) {
  // ListEntries, item by item: every item of the namespace folder but the
  // store's ".lock" file.
  std::vector<TString> names;
  try {
    for (const TPath& item : TDirectory(inspector.GetCachePath())) {
      TString name = item.FileName();
      if (name != u".lock") names.push_back(std::move(name));
    }
  } catch (const TFileException& error) {
    throw FailureError("cannot list " + PathText(inspector.GetCachePath()) + ": " + error.GetMessage().toStdString());
  }
  std::vector<DiskEntryReport> reports;
  reports.reserve(names.size());
  Progress progress("inspecting entries", names.size());
  for (const TString& name : names) {
    DiskEntryReport report = inspector.InspectFolder(name);
    // Removed since the listing (a drop, the sweeper): not there any more.
    if (report.state != EntryState::Absent) reports.push_back(std::move(report));
    progress.Advance();
  }
  return reports;
}

bool IsServed(EntryState state) {
  return state == EntryState::Whole || state == EntryState::Unverified;
}

bool IsDamaged(EntryState state) {
  switch (state) {
    case EntryState::Unreadable:
    case EntryState::HalfWritten:
    case EntryState::KeyWithoutValue:
    case EntryState::ValueWithoutKey:
    case EntryState::Misplaced:
    case EntryState::Damaged:
      return true;
    default:
      return false;
  }
}

bool IsDamaged(const DiskEntryReport& report) {
  if (IsDamaged(report.state)) return true;
  if (report.state != EntryState::NotAnEntry || !IsEntryFolderName(report.folderName.toStdString())) return false;
  struct stat info {};
  return lstat(report.folder.ToUtf8().c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

const char* StateName(EntryState state) {
  return DiskEntryReport::StateName(state);
}

std::optional<std::string> ReportKey(const DiskEntryReport& report) {
  if (report.keyBytes) return report.keyBytes;
  if (!report.key) return std::nullopt;
  return report.key->toStdString();
}

std::optional<int64_t> WriteTime(const DiskEntryReport& report) {
  if (!report.lastWriteInstant) return std::nullopt;
  return report.lastWriteInstant->time_since_epoch().count();
}

std::string ShowTime(std::optional<int64_t> time) {
  const std::optional<std::string> shown = time ? FormatLocalTime(*time, false) : std::nullopt;
  return shown.value_or("-");
}

std::optional<std::string> IsoTime(std::optional<int64_t> time) {
  if (!time) return std::nullopt;
  return FormatLocalTime(*time, true);
}

std::string LastWarning(const TLog::Capture& capture) {
  std::string last;
  for (const TLog::Record& record : capture.Records()) {
    if (!record.IsEvent() && record.severity >= TLog::Warn) last = record.text.toStdString();
  }
  return last;
}

}  // namespace kelcache_cli
