// kelcache disk ls|get|put|drop|stats|verify|sweep: the disk store's
// namespace folders, through the store itself (DiskExternalCache) and its
// inspector (DiskExternalCacheInspector), never through a copy of the
// layout. Loads, stores and drops are the library's own, with its
// thresholds, integrity checks and entry locks; the inspector sorts entry
// folders into states without changing them.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <system_error>

#include "host/AppOptions.h"
#include "host/FolderSweeper.h"
#include "host/LogCapture.h"
#include "public/caching/DiskExternalCache.h"
#include "public/caching/DiskExternalCacheInspector.h"
#include "public/caching/ExternalCache.h"
#include "tools/kelcache/Commands.h"
#include "tools/kelcache/Subcommand.h"
#include "tools/kelcache/Console.h"
#include "tools/kelcache/DiskTarget.h"
#include "tools/kelcache/SignalsHeld.h"
#include "tools/kelcache/Json.h"
#include "tools/kelcache/KeyArgument.h"
#include "tools/kelcache/Text.h"
#include "tools/kelcache/ToolError.h"

namespace kelcache_cli {

namespace {

using kelvra::caching::DiskEntryReport;
using kelvra::caching::DiskExternalCache;
using kelvra::caching::DiskExternalCacheInspector;
using Value = std::shared_ptr<std::vector<uint8_t>>;

// The options every disk subcommand has.
struct DiskOptions {
  std::string dir;
  std::string ns;
  bool json = false;
};

struct KeyOptions : DiskOptions {
  KeyArgument key;
};

void AddTargetOptions(CLI::App* command, DiskOptions& options) {
  command->add_option("--dir", options.dir,
                      "The folder that holds the namespace folders (default: the external cache folder of the host "
                      "configuration, KELCACHE_ExternalCacheDir, followed by ExternalCacheV1)")
      ->check(NamesAPath("a folder"));
  command->add_option("--ns", options.ns, "The cache namespace (the namespace folder's name)")->required();
  command->add_flag("--json", options.json, "Print JSON for scripts instead of text for people");
}

void AddKeyOptions(CLI::App* command, KeyOptions& options) {
  AddTargetOptions(command, options);
  AddKeyArgument(command, options.key);
}

std::string Quoted(const TString& key) {
  return "'" + ShowKey(key.toStdString()) + "'";
}

// A key in a column of text: the empty key as "", so that it shows.
std::string KeyColumn(const std::string& key) {
  return key.empty() ? std::string("\"\"") : ShowKey(key);
}

void AddReportMembers(JsonWriter& json, const DiskEntryReport& report) {
  json.Key("folder").String(report.folderName.toStdString());
  json.Key("state").String(StateName(report.state));
  if (const std::optional<std::string> key = ReportKey(report)) {
    AddJsonKey(json, *key);
  } else {
    json.Key("key").Null();
  }
  json.Key("size");
  report.valueSize ? json.Number(*report.valueSize) : json.Null();
  json.Key("last_write");
  const std::optional<std::string> time = IsoTime(WriteTime(report));
  time ? json.String(*time) : json.Null();
  if (!report.detail.empty()) json.Key("detail").String(report.detail.toStdString());
}

// Why a load of key found nothing: what the inspector sees in its folder.
// An entry that could not be read is no answer about the key: that raises
// FailureError.
std::string DescribeMiss(const DiskTarget& target, const TString& key) {
  if (!NamespaceExists(target)) return NoNamespaceMessage(target);
  const DiskEntryReport report = DiskExternalCacheInspector(target.folder).InspectKey(key);
  const std::string where = " in namespace '" + ShowKey(target.ns.toStdString()) + "'";
  if (report.state == EntryState::Absent) return "no entry for key " + Quoted(key) + where;
  if (report.key && *report.key != key && IsServed(report.state)) {
    return "no entry for key " + Quoted(key) + where + "; its folder " + report.folderName.toStdString() +
           " holds the key " + Quoted(*report.key);
  }
  if (IsServed(report.state)) return "no entry for key " + Quoted(key) + where;
  std::string why = "the entry of key " + Quoted(key) + where + " is " + StateName(report.state) + ": " +
                    report.detail.toStdString();
  if (report.state == EntryState::Unreadable) throw FailureError(why);
  return why;
}

// --- ls ----------------------------------------------------------------------

struct LsOptions : DiskOptions {
  bool all = false;
  std::string sort = "key";
};

int RunLs(const LsOptions& options) {
  const DiskTarget target = ResolveDiskTarget(options.dir, options.ns);
  RequireNamespace(target);
  const std::vector<DiskEntryReport> reports = InspectAll(DiskExternalCacheInspector(target.folder));

  std::vector<const DiskEntryReport*> shown;
  std::map<const DiskEntryReport*, int64_t> times;  // for --sort time
  size_t hidden = 0;
  for (const DiskEntryReport& report : reports) {
    if (IsServed(report.state) || (options.all && IsDamaged(report))) {
      shown.push_back(&report);
      if (options.sort == "time") times[&report] = WriteTime(report).value_or(std::numeric_limits<int64_t>::min());
    } else if (IsDamaged(report)) {
      ++hidden;
    }
  }
  const auto keyOf = [](const DiskEntryReport* report) { return ReportKey(*report).value_or(std::string()); };
  std::stable_sort(shown.begin(), shown.end(), [&](const DiskEntryReport* a, const DiskEntryReport* b) {
    if (options.sort == "size") return a->valueSize.value_or(0) > b->valueSize.value_or(0);
    if (options.sort == "time") return times[a] > times[b];
    return keyOf(a) < keyOf(b);
  });

  if (options.json) {
    JsonWriter json;
    json.BeginObject();
    json.Key("namespace").String(options.ns);
    json.Key("folder").String(target.folder.ToUtf8());
    json.Key("entries").BeginArray();
    for (const DiskEntryReport* report : shown) {
      json.BeginObject();
      AddReportMembers(json, *report);
      json.EndObject();
    }
    json.EndArray();
    json.Key("damaged_not_listed").Number(uint64_t{hidden});
    json.EndObject();
    PrintLine(json.Text());
  } else {
    for (const DiskEntryReport* report : shown) {
      const std::string size = report->valueSize ? std::to_string(*report->valueSize) : std::string("-");
      const std::optional<std::string> key = ReportKey(*report);
      const std::string time = ShowTime(WriteTime(*report));
      std::string line = std::string(size.size() < 12 ? 12 - size.size() : 0, ' ') + size + "  " + time +
                         std::string(time.size() < 19 ? 19 - time.size() : 0, ' ') + "  ";
      if (options.all) {
        const std::string state = StateName(report->state);
        line += state + std::string(state.size() < 17 ? 17 - state.size() : 0, ' ') + "  ";
      }
      line += key ? KeyColumn(*key) : std::string("(no key)");
      PrintLine(line);
    }
  }
  if (hidden > 0) {
    std::fprintf(stderr, "kelcache: %s not listed (kelcache disk verify says which; ls --all shows them)\n",
                 CountOf(hidden, "damaged entry", "damaged entries").c_str());
  }
  return kExitOk;
}

// --- get ---------------------------------------------------------------------

struct GetOptions : KeyOptions {
  std::string output;
};

int RunGet(const GetOptions& options) {
  const DiskTarget target = ResolveDiskTarget(options.dir, options.ns);
  const TString key = options.key.Key();
  TLog::Capture capture(TLog::Info);
  const Value value = DiskExternalCache(target.ns, target.folder, nullptr).TryLoad(key).Get();
  if (!value) {
    // A load that could not be done (no concurrency slot, a failure, a file
    // that could not be read) is a failure, not a miss.
    for (const TLog::Record& event : capture.Events(u"ec-load")) {
      const auto found = event.fields.find(u"outcome");
      if (found != event.fields.end() && found->second != u"miss") {
        const std::string warning = LastWarning(capture);
        throw FailureError("not loaded (" + found->second.toStdString() + ")" +
                           (warning.empty() ? "" : ": " + warning));
      }
    }
    for (const TLog::Record& record : capture.Records()) {
      if (!record.IsEvent() && record.text.contains(u"DiskExternalCache::TryLoad failed to read")) {
        throw FailureError("not loaded: " + record.text.toStdString());
      }
    }
    throw MissError(DescribeMiss(target, key));
  }

  const std::string_view bytes(reinterpret_cast<const char*>(value->data()), value->size());
  if (!options.output.empty()) WriteAllOutput(options.output, bytes);
  if (options.json) {
    JsonWriter json;
    json.BeginObject();
    AddJsonKey(json, key.toStdString());
    json.Key("size").Number(uint64_t{value->size()});
    if (options.output.empty()) {
      json.Key("value_base64").String(Base64(bytes));
    } else {
      json.Key("file").String(options.output);
    }
    json.EndObject();
    PrintLine(json.Text());
  } else if (options.output.empty()) {
    WriteAllOutput(std::string(), bytes);
  }
  return kExitOk;
}

// The tool waits for a store or drop to end, however long it takes. The
// frame gives up waiting at its time-out, but the store or drop goes on
// writing on its own thread, which the end of the process would cut short:
// the old entry removed, the new one half written. So the two time-outs are
// lifted before the cache is made (it reads them then).
void WaitForStoresAndDropsToEnd() {
  const std::string forever = std::to_string(std::numeric_limits<int>::max());
  kelvra::appoptions::SetOption("ExternalCacheStoreTimeoutMs", forever);
  kelvra::appoptions::SetOption("ExternalCacheDropTimeoutMs", forever);
}

// --- put ---------------------------------------------------------------------

// Run as root (sudo) into a namespace folder another user owns, a store
// would leave the entry (and a ".lock" it made) to root, and the application
// that owns the cache could then neither replace, drop nor sweep it, nor
// lock the folder. So what the store made goes to the folder's owner, also
// when the store failed or was interrupted (its ".lock" stays either way).
// Everything is reached from the namespace folder without following links:
// the folder's owner could put a link where the entry belongs, and root must
// not hand over a file elsewhere. An empty text, or what could not be given.
std::string GiveEntryToFolderOwner(const DiskTarget& target, const TString& key) {
  if (geteuid() != 0) return std::string();
  const std::string folder = target.folder.ToUtf8();
  const int folderFd = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0) return std::string();  // nothing was made there
  struct stat owner {};
  std::string failure;
  if (fstat(folderFd, &owner) == 0 && owner.st_uid != 0) {
    const std::string entry = kelvra::caching::KeyHash(key).toStdString();
    const auto give = [&](int dirFd, const std::string& name, const std::string& shown) {
      // Only what the store makes: a folder, or a file of one name (a file
      // hard-linked here from elsewhere is not the store's to give).
      struct stat made {};
      if (fstatat(dirFd, name.c_str(), &made, AT_SYMLINK_NOFOLLOW) != 0 || made.st_uid != 0) return;
      if (!S_ISDIR(made.st_mode) && !(S_ISREG(made.st_mode) && made.st_nlink == 1)) return;
      if (fchownat(dirFd, name.c_str(), owner.st_uid, owner.st_gid, AT_SYMLINK_NOFOLLOW) != 0 && failure.empty()) {
        failure = "could not give '" + shown + "' to the namespace folder's owner (uid " +
                  std::to_string(owner.st_uid) + "): " + std::strerror(errno);
      }
    };
    give(folderFd, ".lock", folder + "/.lock");
    give(folderFd, entry, folder + "/" + entry);
    const int entryFd = openat(folderFd, entry.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (entryFd >= 0) {
      give(entryFd, ".key", folder + "/" + entry + "/.key");
      give(entryFd, ".bin", folder + "/" + entry + "/.bin");
      close(entryFd);
    }
  }
  close(folderFd);
  return failure;
}

struct PutOptions : KeyOptions {
  std::string input;
};

// A file where the namespace folder, or a folder above it, belongs, or a
// folder that cannot be looked at (no permission to search a folder above
// it): the store could make nothing there, and would say so in the host's
// generic words. Said plainly here instead, in the words get, ls and sweep
// use.
void RequireRoomForNamespace(const DiskTarget& target) {
  for (std::filesystem::path path = target.folder.ToStdPath(); !path.empty(); path = path.parent_path()) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) {
      if (!S_ISDIR(info.st_mode)) throw FailureError("not stored: " + path.string() + " is not a folder");
      return;
    }
    if (errno != ENOENT && errno != ENOTDIR) {
      throw FailureError("cannot reach " + path.string() + ": " + std::strerror(errno));
    }
    if (path == path.parent_path()) return;
  }
}

// Whether the value file in `folder` holds exactly `bytes`. A store that
// could not remove the old files (another user's folder) gives up without a
// word and leaves the old value, which may have the new one's size.
bool ValueFileHolds(const TPath& folder, const std::string& bytes) {
  const std::string path = (std::filesystem::path(folder.ToUtf8()) / ".bin").string();
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[64 * 1024];
  size_t compared = 0;
  bool same = true;
  for (ssize_t n; same && (n = read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      same = errno == EINTR;
      continue;
    }
    const size_t count = static_cast<size_t>(n);
    same = compared + count <= bytes.size() && std::memcmp(buffer, bytes.data() + compared, count) == 0;
    compared += count;
  }
  close(fd);
  return same && compared == bytes.size();
}

int RunPut(const PutOptions& options) {
  const DiskTarget target = ResolveDiskTarget(options.dir, options.ns);
  RequireRoomForNamespace(target);
  const TString key = options.key.Key();
  const std::string bytes = ReadValueInput(options.input);
  auto value = std::make_shared<std::vector<uint8_t>>(bytes.begin(), bytes.end());

  TLog::Capture capture(TLog::Info);
  WaitForStoresAndDropsToEnd();
  bool stored = false;
  std::string handover;
  {
    const SignalsHeld held;  // the old value or the new one, never neither
    // A value that took long to make: the latency threshold never skips it.
    stored = DiskExternalCache(target.ns, target.folder, nullptr)
                 .TryStore(key, value, std::numeric_limits<unsigned>::max(), -1)
                 .Get();
    handover = GiveEntryToFolderOwner(target, key);
  }
  std::string outcome;
  std::string problem;
  for (const TLog::Record& event : capture.Events(u"ec-store")) {
    const auto found = event.fields.find(u"outcome");
    if (found != event.fields.end()) outcome = found->second.toStdString();
    const auto why = event.fields.find(u"problem");
    if (why != event.fields.end()) problem = why->second.toStdString();
  }
  if (outcome == "ignore-large-key") {
    throw FailureError("not stored: the key is " + std::to_string(key.lengthInBytes()) +
                       " bytes as UTF-16, more than the option ExternalCacheUpperBoundKeySizeB (" +
                       std::to_string(kelvra::appoptions::ExternalCacheUpperBoundKeySizeB()) + ") allows");
  }
  if (outcome == "ignore-large") {
    throw FailureError("not stored: the value is " + HumanBytes(bytes.size()) +
                       "; the store skips values of the option ExternalCacheUpperBound2SizeMb (" +
                       std::to_string(kelvra::appoptions::ExternalCacheUpperBound2SizeMb()) + " MiB) or more");
  }
  const std::string warning = LastWarning(capture);
  if (!stored) {
    throw FailureError("not stored (" + (outcome.empty() ? std::string("failed") : outcome) +
                       (problem.empty() ? "" : ", " + problem) + ")" + (warning.empty() ? "" : ": " + warning));
  }
  // The store reports "done" once its function ran, also when it gave up or
  // the disk refused the files (it logs why): a logged failure is a failure,
  // even when an older value of the same size is still there.
  for (const TLog::Record& record : capture.Records()) {
    if (!record.IsEvent() && record.text.contains(u"Exception in DiskExternalCache::TryStore")) {
      throw FailureError("not stored: " + record.text.toStdString());
    }
  }
  // Otherwise look at what is there now.
  const DiskEntryReport report = DiskExternalCacheInspector(target.folder).InspectKey(key);
  if (!IsServed(report.state) || report.key != key || report.valueSize != bytes.size()) {
    throw FailureError("not stored: " + (warning.empty() ? std::string("the entry is ") + StateName(report.state)
                                                          : warning));
  }
  if (!ValueFileHolds(report.folder, bytes)) {
    throw FailureError("not stored: the entry still holds another value (its files could not be replaced)");
  }
  if (!handover.empty()) throw FailureError("stored, but " + handover);

  if (options.json) {
    JsonWriter json;
    json.BeginObject();
    AddJsonKey(json, key.toStdString());
    json.Key("size").Number(uint64_t{bytes.size()});
    json.Key("folder").String(report.folder.ToUtf8());
    json.EndObject();
    PrintLine(json.Text());
  } else {
    PrintLine("stored " + Quoted(key) + " (" + CountOf(bytes.size(), "byte", "bytes") + ") in " +
              EscapeBytes(report.folder.ToUtf8()));
  }
  return kExitOk;
}

// --- drop --------------------------------------------------------------------

int RunDrop(const KeyOptions& options) {
  const DiskTarget target = ResolveDiskTarget(options.dir, options.ns);
  const TString key = options.key.Key();
  if (!NamespaceExists(target)) throw MissError(NoNamespaceMessage(target));
  const DiskExternalCacheInspector inspector(target.folder);
  const DiskEntryReport before = inspector.InspectKey(key);
  if (before.state == EntryState::Absent) throw MissError(DescribeMiss(target, key));
  // A drop removes the key's folder whatever it holds; leave another key's
  // entry alone. Damaged folders without a readable key go, and so do
  // misplaced ones: their key belongs in another folder, so no load of it
  // (nor of any key) is served from this one.
  if (before.key && *before.key != key && !before.key->empty() && before.state != EntryState::Misplaced) {
    throw MissError(DescribeMiss(target, key));
  }

  TLog::Capture capture(TLog::Warn);
  WaitForStoresAndDropsToEnd();
  bool done = false;
  {
    const SignalsHeld held;  // the entry whole or gone, never half removed
    done = DiskExternalCache(target.ns, target.folder, nullptr).TryDrop(key).Get();
  }
  const DiskEntryReport after = inspector.InspectKey(key);
  if (!done || after.state != EntryState::Absent) {
    const std::string warning = LastWarning(capture);
    throw FailureError("not dropped: " + (warning.empty() ? std::string("the entry is still there") : warning));
  }
  if (options.json) {
    JsonWriter json;
    json.BeginObject();
    AddJsonKey(json, key.toStdString());
    json.Key("dropped").Bool(true);
    json.Key("was").String(StateName(before.state));
    json.EndObject();
    PrintLine(json.Text());
  } else {
    PrintLine("dropped " + Quoted(key) +
              (IsServed(before.state) ? std::string() : std::string(" (it was ") + StateName(before.state) + ")"));
  }
  return kExitOk;
}

// --- stats and verify ---------------------------------------------------------

// What a scan of the namespace folder found.
struct Summary {
  uint64_t entries = 0;     // served by a load
  uint64_t unverified = 0;  // of those, without an integrity record
  uint64_t bytes = 0;       // their values
  const DiskEntryReport* oldest = nullptr;
  const DiskEntryReport* newest = nullptr;
  int64_t oldestTime = 0;  // their last writes (WriteTime)
  int64_t newestTime = 0;
  std::map<std::string, uint64_t> damaged;  // by state name
  uint64_t damagedTotal = 0;
  uint64_t otherItems = 0;  // not entries at all
};

Summary Summarise(const std::vector<DiskEntryReport>& reports) {
  Summary summary;
  for (const DiskEntryReport& report : reports) {
    if (IsServed(report.state)) {
      ++summary.entries;
      if (report.state == EntryState::Unverified) ++summary.unverified;
      summary.bytes += report.valueSize.value_or(0);
      if (const std::optional<int64_t> time = WriteTime(report)) {
        if (!summary.oldest || *time < summary.oldestTime) {
          summary.oldest = &report;
          summary.oldestTime = *time;
        }
        if (!summary.newest || *time > summary.newestTime) {
          summary.newest = &report;
          summary.newestTime = *time;
        }
      }
    } else if (IsDamaged(report)) {
      ++summary.damaged[StateName(report.state)];
      ++summary.damagedTotal;
    } else {
      ++summary.otherItems;
    }
  }
  return summary;
}

void AddJsonEnd(JsonWriter& json, const char* name, const DiskEntryReport* report, int64_t time) {
  json.Key(name);
  if (!report) {
    json.Null();
    return;
  }
  json.BeginObject();
  AddJsonKey(json, ReportKey(*report).value_or(std::string()));
  json.Key("last_write");
  const std::optional<std::string> written = FormatLocalTime(time, true);
  written ? json.String(*written) : json.Null();
  json.EndObject();
}

std::string ShowEnd(const DiskEntryReport* report, int64_t time) {
  if (!report) return "-";
  return ShowTime(time) + "  " + KeyColumn(ReportKey(*report).value_or(std::string()));
}

std::string DamagedBreakdown(const Summary& summary) {
  std::string text = std::to_string(summary.damagedTotal);
  std::string parts;
  for (const auto& [state, count] : summary.damaged) {
    parts += (parts.empty() ? "" : ", ") + std::to_string(count) + " " + state;
  }
  return parts.empty() ? text : text + " (" + parts + ")";
}

int RunStats(const DiskOptions& options) {
  const DiskTarget target = ResolveDiskTarget(options.dir, options.ns);
  RequireNamespace(target);
  const std::vector<DiskEntryReport> reports = InspectAll(DiskExternalCacheInspector(target.folder));
  const Summary summary = Summarise(reports);
  if (options.json) {
    JsonWriter json;
    json.BeginObject();
    json.Key("namespace").String(options.ns);
    json.Key("folder").String(target.folder.ToUtf8());
    json.Key("entries").Number(summary.entries);
    json.Key("unverified").Number(summary.unverified);
    json.Key("bytes").Number(summary.bytes);
    AddJsonEnd(json, "oldest", summary.oldest, summary.oldestTime);
    AddJsonEnd(json, "newest", summary.newest, summary.newestTime);
    json.Key("damaged").Number(summary.damagedTotal);
    json.Key("damaged_by_state").BeginObject();
    for (const auto& [state, count] : summary.damaged) json.Key(state).Number(count);
    json.EndObject();
    json.Key("other_items").Number(summary.otherItems);
    json.EndObject();
    PrintLine(json.Text());
    return kExitOk;
  }
  PrintLine("namespace    " + ShowKey(options.ns));
  PrintLine("folder       " + EscapeBytes(target.folder.ToUtf8()));
  PrintLine("entries      " + std::to_string(summary.entries) +
            (summary.unverified ? " (" + std::to_string(summary.unverified) + " without an integrity record)" : ""));
  PrintLine("bytes        " + std::to_string(summary.bytes) + " (" + HumanBytes(summary.bytes) + ")");
  PrintLine("oldest       " + ShowEnd(summary.oldest, summary.oldestTime));
  PrintLine("newest       " + ShowEnd(summary.newest, summary.newestTime));
  PrintLine("damaged      " + DamagedBreakdown(summary));
  if (summary.otherItems > 0) PrintLine("other items  " + std::to_string(summary.otherItems) + " (not entries)");
  return kExitOk;
}

int RunVerify(const DiskOptions& options) {
  const DiskTarget target = ResolveDiskTarget(options.dir, options.ns);
  RequireNamespace(target);
  const std::vector<DiskEntryReport> reports = InspectAll(DiskExternalCacheInspector(target.folder));
  const Summary summary = Summarise(reports);
  std::vector<const DiskEntryReport*> damaged;
  for (const DiskEntryReport& report : reports) {
    if (IsDamaged(report)) damaged.push_back(&report);
  }
  std::sort(damaged.begin(), damaged.end(), [](const DiskEntryReport* a, const DiskEntryReport* b) {
    return a->folderName.toStdString() < b->folderName.toStdString();
  });

  if (options.json) {
    JsonWriter json;
    json.BeginObject();
    json.Key("namespace").String(options.ns);
    json.Key("checked").Number(summary.entries + summary.damagedTotal);
    json.Key("whole").Number(summary.entries - summary.unverified);
    json.Key("unverified").Number(summary.unverified);
    json.Key("damaged").BeginArray();
    for (const DiskEntryReport* report : damaged) {
      json.BeginObject();
      AddReportMembers(json, *report);
      json.EndObject();
    }
    json.EndArray();
    json.EndObject();
    PrintLine(json.Text());
  } else {
    for (const DiskEntryReport* report : damaged) {
      const std::optional<std::string> key = ReportKey(*report);
      PrintLine(std::string(StateName(report->state)) + "  " + EscapeBytes(report->folder.ToUtf8()) + "  " +
                (key ? "key '" + ShowKey(*key) + "'" : std::string("(no key)")) + "  " +
                report->detail.toStdString());
    }
    const uint64_t checked = summary.entries + summary.damagedTotal;
    if (damaged.empty()) {
      PrintLine((checked == 1 ? std::string("the 1 entry is") : "all " + std::to_string(checked) + " entries are") +
                " whole" +
                (summary.unverified ? " (" + std::to_string(summary.unverified) +
                                          " without an integrity record, read as they are)"
                                    : ""));
    } else {
      PrintLine(std::to_string(damaged.size()) + " of " + CountOf(checked, "entry", "entries") + " damaged");
    }
  }
  return damaged.empty() ? kExitOk : kExitMiss;
}

// --- sweep -------------------------------------------------------------------

struct SweepOptions : DiskOptions {
  std::string budget;
  std::string order = "lru";
  unsigned minimumAgeSeconds = 0;
};

// The folder as the sweeper measures it: its entry folders, and the bytes of
// every file in it, at any depth. FailureError when the folder cannot be
// listed; an entry folder that cannot be read whole counts as unreadable,
// and its bytes as far as they were read.
struct FolderSize {
  uint64_t entries = 0;
  uint64_t bytes = 0;
  uint64_t unreadable = 0;
};

FolderSize Measure(const TPath& folder) {
  namespace fs = std::filesystem;
  FolderSize size;
  std::error_code error;
  const auto cannotList = [&folder](const std::error_code& why) {
    return FailureError("cannot list " + folder.ToUtf8() + ": " + why.message());
  };
  fs::directory_iterator items(folder.ToStdPath(), error);
  for (const fs::directory_iterator end; !error && items != end; items.increment(error)) {
    // Links are not followed, as the sweeper follows none: a link is no
    // entry, and what it names is not in the folder.
    std::error_code itemError;
    const fs::file_status item = items->symlink_status(itemError);
    if (!fs::is_directory(item)) {
      if (fs::is_regular_file(item)) {
        const uintmax_t bytes = items->file_size(itemError);
        if (!itemError) size.bytes += bytes;
      }
      continue;
    }
    if (!IsEntryFolderName(items->path().filename().native())) continue;  // the sweeper's rule
    ++size.entries;
    fs::recursive_directory_iterator files(items->path(), itemError);
    for (const fs::recursive_directory_iterator last; !itemError && files != last; files.increment(itemError)) {
      std::error_code fileError;
      if (!fs::is_regular_file(files->symlink_status(fileError))) continue;
      const uintmax_t bytes = files->file_size(fileError);
      if (fileError) {
        itemError = fileError;
        break;
      }
      size.bytes += bytes;
    }
    if (itemError) ++size.unreadable;
  }
  if (error) throw cannotList(error);
  return size;
}

// Why no entry folder of the namespace folder can be removed by this
// process, as the system says it (the folder or an entry folder it may not
// change, a read-only file system), or empty when nothing stands in the way.
// The sweeper removes what it may and says nothing of the rest.
std::string WhyEntriesCannotGo(const TPath& folder) {
  const std::string path = folder.ToUtf8();
  if (faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    return "cannot remove entries from " + EscapeBytes(path) + ": " + std::strerror(errno);
  }
  namespace fs = std::filesystem;
  std::error_code error;
  for (fs::directory_iterator items(folder.ToStdPath(), error), end; !error && items != end; items.increment(error)) {
    std::error_code itemError;
    if (!fs::is_directory(items->symlink_status(itemError)) ||
        !IsEntryFolderName(items->path().filename().native())) {
      continue;
    }
    if (faccessat(AT_FDCWD, items->path().c_str(), R_OK | W_OK | X_OK, AT_EACCESS) != 0) {
      return "cannot remove " + EscapeBytes(items->path().string()) + ": " + std::strerror(errno);
    }
  }
  return std::string();
}

int RunSweep(const SweepOptions& options) {
  const DiskTarget target = ResolveDiskTarget(options.dir, options.ns);
  uint64_t budget = 0;
  if (!ParseByteSize(options.budget, budget)) {
    throw UsageError("--budget '" + options.budget + "' is not a byte count (such as 500000, 64K, 10M or 2G)");
  }
  RequireNamespace(target);
  const FolderSize before = Measure(target.folder);
  FolderSweeper sweeper(budget,
                        options.order == "largest" ? FolderSweepOrder::LargestFirst
                                                   : FolderSweepOrder::LeastRecentlyWritten,
                        options.minimumAgeSeconds, std::chrono::nanoseconds(0));
  sweeper.Sweep(target.folder, 0);
  const FolderSize after = Measure(target.folder);
  const uint64_t removed = before.entries > after.entries ? before.entries - after.entries : 0;
  const uint64_t freed = before.bytes > after.bytes ? before.bytes - after.bytes : 0;
  if (removed == 0 && after.bytes > budget && after.entries > 0) {
    if (const std::string why = WhyEntriesCannotGo(target.folder); !why.empty()) {
      throw FailureError("removed no entry, and " + ShowKey(options.ns) + " holds " + HumanBytes(after.bytes) +
                         ", above the budget " + HumanBytes(budget) + ": " + why);
    }
  }

  if (options.json) {
    JsonWriter json;
    json.BeginObject();
    json.Key("namespace").String(options.ns);
    json.Key("budget").Number(budget);
    json.Key("removed_entries").Number(removed);
    json.Key("freed_bytes").Number(freed);
    json.Key("entries").Number(after.entries);
    json.Key("bytes").Number(after.bytes);
    json.Key("unreadable_entries").Number(after.unreadable);
    json.Key("within_budget").Bool(after.bytes <= budget && after.unreadable == 0);
    json.EndObject();
    PrintLine(json.Text());
  } else {
    PrintLine("removed " + CountOf(removed, "entry", "entries") + " (" + HumanBytes(freed) + "); " +
              ShowKey(options.ns) + " now holds " + CountOf(after.entries, "entry", "entries") + ", " +
              HumanBytes(after.bytes) + " (budget " +
              HumanBytes(budget) + ")");
    if (after.unreadable > 0) {
      PrintLine(CountOf(after.unreadable, "entry folder", "entry folders") +
                " could not be read whole: the bytes shown leave out what could not be read");
    }
    if (after.bytes > budget) {
      PrintLine("still above the budget: the entries left were written less than --min-age " +
                std::to_string(options.minimumAgeSeconds) + " s ago, or could not be removed");
    }
  }
  return kExitOk;
}

}  // namespace

void AddDiskCommands(CLI::App& app, Action& action) {
  CLI::App* disk = app.add_subcommand("disk", "The second-level cache on disk: list, read, write and check entries");
  disk->require_subcommand(1);

  auto [lsCommand, ls] = AddSubcommand<LsOptions>(
      *disk, "ls", "List the keys of a namespace with their value sizes and last use (last write time), by key",
      action, RunLs);
  AddTargetOptions(lsCommand, *ls);
  lsCommand->add_flag("-a,--all", ls->all, "Also list damaged entries, with their state");
  lsCommand->add_option("--sort", ls->sort, "Order: key (default), size (largest first) or time (newest first)")
      ->check(CLI::IsMember({"key", "size", "time"}));

  auto [getCommand, get] = AddSubcommand<GetOptions>(
      *disk, "get", "Write an entry's value to stdout or a file (a load: it renews the last use)", action, RunGet);
  AddKeyOptions(getCommand, *get);
  getCommand->add_option("-o,--output", get->output, "Write the value to this file instead of stdout")
      ->check(NamesAPath("a file"));

  auto [putCommand, put] =
      AddSubcommand<PutOptions>(*disk, "put", "Store a value read from stdin or a file under a key", action, RunPut);
  AddKeyOptions(putCommand, *put);
  putCommand->add_option("-i,--input", put->input, "Read the value from this file instead of stdin")
      ->check(NamesAPath("a file"))
      ->check(CLI::ExistingFile);

  auto [dropCommand, drop] =
      AddSubcommand<KeyOptions>(*disk, "drop", "Remove a key's entry (exit 1 when there is none)", action, RunDrop);
  AddKeyOptions(dropCommand, *drop);

  auto [statsCommand, stats] = AddSubcommand<DiskOptions>(
      *disk, "stats", "Summarise a namespace: entries, bytes, oldest and newest, damaged entries by kind", action,
      RunStats);
  AddTargetOptions(statsCommand, *stats);

  auto [verifyCommand, verify] = AddSubcommand<DiskOptions>(
      *disk, "verify", "Check every entry's integrity and list the damaged ones (exit 1 when there are any)", action,
      RunVerify);
  AddTargetOptions(verifyCommand, *verify);

  auto [sweepCommand, sweep] = AddSubcommand<SweepOptions>(
      *disk, "sweep", "Trim a namespace to a budget with the host's folder sweeper (down to 90% of it when over)",
      action, RunSweep);
  AddTargetOptions(sweepCommand, *sweep);
  sweepCommand->add_option("--budget", sweep->budget, "The most the namespace may hold: bytes, or with K, M, G, T")
      ->required();
  sweepCommand->add_option("--order", sweep->order, "What goes first: lru (least recently used, default) or largest")
      ->check(CLI::IsMember({"lru", "largest"}));
  sweepCommand->add_option("--min-age", sweep->minimumAgeSeconds,
                           "Spare entries written less than this many seconds ago (default 0)")
      ->transform(DecimalNumber<unsigned>());
}

}  // namespace kelcache_cli
