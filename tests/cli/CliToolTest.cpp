// The kelcache tool run as a separate process, as a user runs it: disk
// entries through real folders, bad command lines, where option values come
// from, and the commands that need a Redis server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "host/TString.h"
#include "host/redis/RedisConnectionPool.h"
#include "public/caching/DiskExternalCache.h"
#include "public/caching/RedisExternalCache.h"
#include "public/caching/RedisPubsub.h"
#include "tests/cli/CliProcess.h"
#include "tests/support/RedisServer.h"
#include "tests/support/TestEnvironment.h"
#include "testing/RedisClusterProcess.h"

namespace {

namespace fs = std::filesystem;
using namespace kelcache_cli_test;
using namespace kelvra::caching;
using Json = nlohmann::json;
using testing::HasSubstr;
using namespace std::chrono_literals;
using namespace std::string_literals;

std::vector<std::string> DiskAt(const std::string& dir, const std::string& command,
                                std::vector<std::string> rest, const std::string& ns = "WAV2") {
  rest.insert(rest.begin(), {"disk", command, "--dir", dir, "--ns", ns});
  return rest;
}

std::vector<std::string> Redis(const std::string& command, const std::string& server, const std::string& ns,
                               std::vector<std::string> rest) {
  rest.insert(rest.begin(), {"redis", command, "--servers", server, "--ns", ns});
  return rest;
}

// Runs the tool to its end and expects exit code `code`.
CliResult RunExpecting(const CliRun& run, int code = 0) {
  CliResult result = RunCli(run);
  EXPECT_EQ(result.exitCode, code) << result.Describe();
  return result;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

fs::path WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

// The named fields of a JSON object, to compare several at once.
Json Fields(const Json& object, std::initializer_list<const char*> names) {
  Json fields = Json::object();
  for (const char* name : names) fields[name] = object.at(name);
  return fields;
}

size_t LineCount(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

// A failure: exit code `code` (1 a miss, 2 a bad command line, 3 a failure),
// nothing on stdout, and one line on stderr, "kelcache: ...", that says why.
void ExpectFailure(const CliRun& run, int code, const std::string& says) {
  SCOPED_TRACE(testing::PrintToString(run.args));
  const CliResult result = RunExpecting(run, code);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(LineCount(result.err), 1u) << result.err;
  EXPECT_EQ(result.err.rfind("kelcache: ", 0), 0u) << result.err;
  EXPECT_THAT(result.err, HasSubstr(says));
}
void ExpectFailure(const std::vector<std::string>& args, int code, const std::string& says) {
  ExpectFailure(CliRun{.args = args}, code, says);
}

// Runs the tool, expects exit code `code`, and reads its stdout as JSON.
Json RunJson(const std::vector<std::string>& args, int code = 0, const Environment& environment = {}) {
  return Json::parse(RunExpecting({.args = args, .environment = environment}, code).out);
}

// Runs the tool through a shell, for what RunCli cannot arrange (a file-size
// limit, a full device, a pipe): `before` + the tool with its arguments
// quoted + `after`. The shell's exit code; -1 when a signal ended it.
int RunInShell(const std::string& before, const std::vector<std::string>& args, const std::string& after) {
  std::string line = before + "'" KELCACHE_CLI_PATH "'";
  for (const std::string& arg : args) line += " '" + arg + "'";
  const int status = std::system((line + after).c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the tool through the shell as a user without privileges (run as root,
// the tests use nobody, uid 65534; otherwise their own user), with an empty
// stdin: its exit code and stderr (kept in `scratch` meanwhile).
std::pair<int, std::string> RunUnprivileged(const std::vector<std::string>& args, const fs::path& scratch) {
  const fs::path err = scratch / "stderr";
  const std::string as = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  const int code = RunInShell(as, args, " </dev/null >/dev/null 2>'" + err.string() + "'");
  return {code, ReadFile(err)};
}

// Each disk test's own store folder, and the disk commands on it.
class CliTool : public testing::Test {
 protected:
  std::vector<std::string> Disk(const std::string& command, std::vector<std::string> rest,
                                const std::string& ns = "WAV2") const {
    return DiskAt(m_dir.str(), command, std::move(rest), ns);
  }
  // The folder the tool says it stored the key in.
  fs::path Put(const std::string& key, const std::string& value) const {
    const CliResult put = RunExpecting({.args = Disk("put", {"--json", "--", key}), .input = value});
    return Json::parse(put.out).at("folder").get<std::string>();
  }
  std::string Get(const std::string& key) const { return RunExpecting({.args = Disk("get", {key})}).out; }

  kelcache_test::TempDir m_dir;
};

TEST_F(CliTool, DiskPutThenGetGivesTheSameBytesBackThroughTheStoresFiles) {
  const std::pair<std::string, std::string> cases[] = {  // key, value
      {"plain", "hello"}, {"-starts-with-a-dash", "x"}, {"empty-value", ""},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80 with spaces", "\0\xff\x01\n\r binary"s},
      {"large", std::string(300000, 'v') + "end"}};
  for (const auto& [key, value] : cases) {
    SCOPED_TRACE(key);
    const fs::path folder = Put(key, value);
    // The store's own layout: <dir>/<namespace>/<key hash>/.key and .bin.
    EXPECT_EQ(folder.parent_path(), m_dir.path() / "WAV2");
    EXPECT_EQ(ReadFile(folder / ".key"), key);
    EXPECT_EQ(ReadFile(folder / ".bin"), value);
    EXPECT_EQ(RunExpecting({.args = Disk("get", {"--", key})}).out, value);
  }
  // The library reads what the tool wrote.
  DiskExternalCache library(u"WAV2", TPath(TString::fromStdString((m_dir.path() / "WAV2").string())), nullptr);
  EXPECT_EQ(kelcache_test::Text(library.TryLoad(u"plain").Get()), "hello");

  // A value from a file, and ls listing every key once with its size.
  RunExpecting({.args = Disk("put", {"-i", WriteFile(m_dir.path() / "in.bin", "from a file").string(), "filed"})});
  EXPECT_EQ(Get("filed"), "from a file");
  const Json ls = RunJson(Disk("ls", {"--json"}));
  ASSERT_EQ(ls.at("entries").size(), std::size(cases) + 1);
  for (const Json& entry : ls.at("entries")) {
    if (entry.at("key") == "large") EXPECT_EQ(entry.at("size"), 300003u);
  }
  // A drop, then the key is a miss; dropping it again is a miss too.
  RunExpecting({.args = Disk("drop", {"plain"})});
  for (const char* command : {"get", "drop"}) ExpectFailure(Disk(command, {"plain"}), 1, "no entry for key 'plain'");
}

// Ctrl-C while a large value is being stored (its temporary file is there)
// ends the tool once the store is done: the key keeps its old value or gets
// the new one whole, and no temporary file stays. The same holds for a file
// written by `get -o`.
TEST_F(CliTool, CtrlCDuringAStoreOrAnOutputFileLeavesNothingHalfWritten) {
  const std::string large(40 << 20, 'v');
  const fs::path input = WriteFile(m_dir.path() / "large.bin", large);
  const fs::path entry = Put("k", "old");
  const auto temporaryIn = [](const fs::path& folder) {
    std::error_code error;
    return std::ranges::any_of(fs::directory_iterator(folder, error), [](const fs::directory_entry& item) {
      return item.path().filename().string().find("tmp") != std::string::npos;
    });
  };
  // The tool, interrupted once its temporary file shows in `folder`.
  const auto interrupt = [&](const std::vector<std::string>& args, const fs::path& folder) {
    CliProcess tool({.args = args});
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!temporaryIn(folder) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(200us);
    tool.Signal(SIGINT);
    const CliResult ended = tool.Wait(60s);
    EXPECT_FALSE(ended.timedOut) << ended.Describe();
    EXPECT_FALSE(temporaryIn(folder)) << ended.Describe();
  };
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    interrupt(Disk("put", {"-i", input.string(), "k"}), entry);
    const std::string got = Get("k");
    EXPECT_TRUE(got == "old" || got == large) << got.size() << " bytes";
  }
  // The key holds the old value still when both stores were cut short
  // before they began.
  const std::string stored = Get("k");
  const fs::path output = WriteFile(m_dir.path() / "out.bin", "before");
  interrupt(Disk("get", {"-o", output.string(), "k"}), m_dir.path());
  const std::string written = ReadFile(output);
  EXPECT_TRUE(written == "before" || written == stored) << written.size() << " bytes";
}

// Run as root (sudo) into a namespace folder that the application's user
// owns, a store gives the entry, and the ".lock" it made, to that user, who
// could otherwise never replace, drop or sweep it; `get -o` over that user's
// file leaves it theirs.
TEST_F(CliTool, AStoreRunAsRootLeavesTheEntryToTheNamespaceFoldersOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can store for another user";
  const fs::path folder = m_dir.path() / "WAV2";
  fs::create_directories(folder);
  ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
  // A store that fails (here at the file-size limit) leaves its ".lock" too.
  EXPECT_EQ(RunInShell("head -c 100000 /dev/zero | { ulimit -f 8; ", Disk("put", {"k"}), " 2>/dev/null; }"), 3);
  const auto expectTheirs = [](const fs::path& made) {
    struct stat info {};
    ASSERT_EQ(lstat(made.c_str(), &info), 0) << made;
    EXPECT_EQ(info.st_uid, 65534u) << made;
    EXPECT_EQ(info.st_gid, 65534u) << made;
  };
  expectTheirs(folder / ".lock");
  const fs::path entry = Put("k", "v");
  const fs::path output = WriteFile(m_dir.path() / "theirs.bin", "before");
  ASSERT_EQ(chown(output.c_str(), 65534, 65534), 0);
  RunExpecting({.args = Disk("get", {"-o", output.string(), "k"})});
  for (const fs::path& made : {entry, entry / ".key", entry / ".bin", output}) expectTheirs(made);
  EXPECT_EQ(ReadFile(output), "v");
}

// Every kind of damaged entry, as stats, verify, ls --all and sweep count it.
// A ".bin" that is no regular file (a pipe, a folder, a link) is served by no
// load, and the sweeper counts and removes it as an entry: it is damaged,
// never a whole entry nor another item.
TEST_F(CliTool, DiskStatsVerifyAndSweepFindEveryKindOfDamagedEntry) {
  Put("whole", "fine");
  struct Damage { std::string key, state; void (*apply)(const fs::path& folder); };  // and the state it gives
  const Damage damages[] = {
      {"no-value", "key-without-value", [](const fs::path& f) { fs::remove(f / ".bin"); }},
      {"no-key", "value-without-key", [](const fs::path& f) { fs::remove(f / ".key"); }},
      {"flipped", "damaged",
       [](const fs::path& f) { std::fstream(f / ".bin", std::ios::in | std::ios::out | std::ios::binary).put('X'); }},
      // A key file edited by hand to bytes that are not UTF-8: shown as they
      // are stored, not as the text they decode to.
      {"bad\\xffkey", "misplaced", [](const fs::path& f) { WriteFile(f / ".key", "bad\xffkey"); }},
      // A ".bin" that is no regular file, made in place of the value.
      {"pipe", "not-an-entry", [](const fs::path& f) { ::mkfifo((f / ".bin").c_str(), 0600); }},
      {"folder", "not-an-entry", [](const fs::path& f) { fs::create_directory(f / ".bin"); }},
      {"link", "not-an-entry", [](const fs::path& f) { fs::create_symlink("/dev/zero", f / ".bin"); }},
  };
  for (const Damage& damage : damages) {
    const fs::path folder = Put(damage.key, "value of " + damage.key);
    if (damage.state == "not-an-entry") fs::remove(folder / ".bin");
    damage.apply(folder);
  }
  // A store that stopped before writing anything.
  fs::create_directory(m_dir.path() / "WAV2" / "12345");

  const Json summary = RunJson(Disk("stats", {"--json"}));
  EXPECT_EQ(Fields(summary, {"entries", "bytes", "damaged", "other_items", "damaged_by_state"}), Json::parse(R"({
      "entries": 1, "bytes": 4, "damaged": 8, "other_items": 0, "damaged_by_state": {"key-without-value": 1,
      "value-without-key": 1, "damaged": 1, "half-written": 1, "misplaced": 1, "not-an-entry": 3}})"));
  EXPECT_EQ(summary.at("oldest").at("key"), "whole");
  EXPECT_EQ(RunJson(Disk("ls", {"--json", "--all"})).at("entries").size(), 9u);

  const Json report = RunJson(Disk("verify", {"--json"}), 1);
  EXPECT_EQ(Fields(report, {"checked", "whole"}), Json::parse(R"({"checked": 9, "whole": 1})"));
  const Json& found = report.at("damaged");
  ASSERT_EQ(found.size(), 8u);
  for (const Damage& damage : damages) {
    EXPECT_TRUE(std::any_of(found.begin(), found.end(), [&](const Json& entry) {
      return entry.at("state") == damage.state &&
             (entry.at("key").is_null() || entry.at("key") == damage.key || entry.value("key_hex", "") == "626164ff6b6579");
    })) << damage.state;
  }
  // For people: one line per damaged entry and a total; keys as stored.
  const CliResult text = RunCli({.args = Disk("verify", {})});
  EXPECT_EQ(LineCount(text.out), 9u) << text.out;
  EXPECT_THAT(text.out, HasSubstr("8 of 9 entries damaged"));
  EXPECT_THAT(text.out, HasSubstr("bad\\xffkey"));

  // A damaged value is not served, and the miss says why. An entry that
  // cannot be read at all (here: a key file that is a loop of links) is no
  // answer about its key: a failure, not a miss.
  ExpectFailure(Disk("get", {"flipped"}), 1, "the entry of key 'flipped' in namespace 'WAV2' is damaged");
  // A misplaced entry (its key file names a key of another folder) serves
  // no key: a drop of the key whose folder it is removes it.
  const fs::path moved = Put("moved", "v");
  WriteFile(moved / ".key", "a key of another folder");
  RunExpecting({.args = Disk("drop", {"moved"})});
  EXPECT_FALSE(fs::exists(moved));
  // A KELCACHE_LOG_LEVEL that is no level is said once and ignored: the
  // library's warnings stay off, as without it.
  const CliResult bogus =
      RunExpecting({.args = Disk("get", {"flipped"}), .environment = {{"KELCACHE_LOG_LEVEL", "bogus"}}}, 1);
  EXPECT_EQ(LineCount(bogus.err), 2u) << bogus.err;
  EXPECT_EQ(bogus.err.rfind("kelcache: KELCACHE_LOG_LEVEL: unknown level 'bogus'", 0), 0u) << bogus.err;
  const fs::path looped = Put("looped", "v");
  fs::remove(looped / ".key");
  fs::create_symlink(".key", looped / ".key");
  ExpectFailure(Disk("get", {"looped"}), 3, "is unreadable");
  // The sweeper counts every entry folder as an entry, whatever it holds, and
  // removes them down to the budget: what stays holds at most its one byte,
  // so every folder whose key file holds bytes went, not-an-entry ones too.
  const Json swept = RunJson(Disk("sweep", {"--json", "--budget", "1"}));
  EXPECT_EQ(swept.at("entries").get<int>() + swept.at("removed_entries").get<int>(), 10) << swept.dump();
  EXPECT_LE(swept.at("bytes").get<int>(), 1) << swept.dump();
}

TEST_F(CliTool, LongScansShowProgressOnATerminalAndNothingWhenPiped) {
  // Items that are not entries are as quick to make and remove as any, and
  // every item counts for the scan.
  fs::create_directories(m_dir.path() / "WAV2");
  for (int i = 0; i < 10050; ++i) std::ofstream(m_dir.path() / "WAV2" / ("item" + std::to_string(i)));
  for (const bool terminal : {true, false}) {
    SCOPED_TRACE(terminal ? "terminal" : "piped");
    const CliResult stats = RunExpecting({.args = Disk("stats", {"--json"}), .stderrOnTerminal = terminal});
    EXPECT_EQ(Json::parse(stats.out).at("other_items"), 10050u);
    if (terminal) {
      EXPECT_THAT(stats.err, HasSubstr("inspecting entries ["));
      EXPECT_THAT(stats.err, HasSubstr("10050/10050"));
    } else {
      EXPECT_EQ(stats.err, "");
    }
  }
}

// A store or a load that could not be done is a failure (3), not a miss (1)
// nor a success. A store gives up when its entry's lock stays held: a
// failure also when the older value it leaves has the new value's size.
TEST_F(CliTool, APutThatGaveUpOrAGetThatCouldNotLoadIsAFailure) {
  const fs::path folder = Put("k", "1");
  const int lockFile = open((folder.parent_path() / ".lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(lockFile, 0);
  struct flock entry {
    .l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = static_cast<off_t>(std::stoull(folder.filename().string())),
    .l_len = 1
  };
  ASSERT_EQ(fcntl(lockFile, F_OFD_SETLK, &entry), 0);
  ExpectFailure({.args = Disk("put", {"k"}), .input = "2", .environment = {{"KELCACHE_ExternalCacheDiskLockWaitMs", "50"}}},
                3, "not stored");
  close(lockFile);

  const fs::path file = WriteFile(m_dir.path() / "a-file", "x");
  const std::pair<CliRun, std::string> cases[] = {  // the run, what stderr says
      // A file where a folder of the path belongs is named plainly.
      {{.args = DiskAt((file / "sub").string(), "put", {"k"}, "N"), .input = "v"},
       "not stored: " + file.string() + " is not a folder"},
      // Endless input ends once it reaches the size of values stores skip.
      {{.args = Disk("put", {"-i", "/dev/zero", "k"}), .environment = {{"KELCACHE_ExternalCacheUpperBound2SizeMb", "1"}}},
       "not stored: the value is 1 MiB or more"},
      {{.args = Disk("get", {"k"}), .environment = {{"KELCACHE_ExternalCacheConcurrencyLimit", "0"}}}, "not loaded (jam)"},
  };
  for (const auto& [run, says] : cases) ExpectFailure(run, 3, says);
  EXPECT_EQ(Get("k"), "1");
  // A negative bound lets every size through, as it does for the stores.
  RunExpecting({.args = Disk("put", {"unbounded"}), .input = "v",
                .environment = {{"KELCACHE_ExternalCacheUpperBound2SizeMb", "-1"}}});
}

// get -o replaces a file whole or not at all: a write that fails part-way
// (here at the file-size limit) leaves the earlier file as it was and no
// partial file beside it; a write that works keeps the file's mode; through
// a symbolic link the file it names is replaced and the link stays; a
// device is written in place.
TEST_F(CliTool, GetIntoAFileReplacesItWholeOrLeavesItAsItWas) {
  const std::string value(64 << 10, 'v');
  RunExpecting({.args = Disk("put", {"k"}), .input = value});
  const fs::path output = WriteFile(m_dir.path() / "out.bin", "old"), link = m_dir.path() / "link.bin";
  const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(output, mode);
  fs::create_symlink(output, link);
  for (const fs::path& target : {output, link}) {
    SCOPED_TRACE(target.string());
    WriteFile(output, "old");
    // SIGXFSZ is left as it is: the limit must not end the tool.
    EXPECT_EQ(RunInShell("ulimit -f 8; ", Disk("get", {"-o", target.string(), "k"}), " 2>/dev/null"), 3);
    EXPECT_EQ(ReadFile(output), "old");
    EXPECT_EQ(kelcache_test::FileNames(m_dir.path()), (std::set<std::string>{"WAV2", "link.bin", "out.bin"}))
        << "a partial file was left behind";
    RunExpecting({.args = Disk("get", {"-o", target.string(), "k"})});
    EXPECT_EQ(ReadFile(output), value);
    EXPECT_EQ(fs::status(output).permissions(), mode);
  }
  EXPECT_TRUE(fs::is_symlink(link));
  // A named pipe stands for a device: the value goes through it, and it is
  // still a pipe afterwards (not a file renamed over it).
  const fs::path pipe = m_dir.path() / "pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0) << std::strerror(errno);
  std::string received;
  std::thread reader([&] { received = ReadFile(pipe); });
  RunExpecting({.args = Disk("get", {"-o", pipe.string(), "k"})});
  reader.join();
  EXPECT_EQ(received, value);
  EXPECT_TRUE(fs::is_fifo(pipe));
  // The file behind stderr (a log the shell appends to) gets the value after
  // what it holds, and stays the same file.
  const fs::path log = WriteFile(m_dir.path() / "app.log", "earlier line\n");
  const auto inode = [&log] { struct stat info {}; return stat(log.c_str(), &info) == 0 ? info.st_ino : 0; };
  const auto before = inode();
  EXPECT_EQ(RunInShell("", Disk("get", {"-o", "/dev/stderr", "k"}), " 2>>'" + log.string() + "'"), 0);
  EXPECT_EQ(ReadFile(log), "earlier line\n" + value);
  EXPECT_EQ(inode(), before);
}

// sweep holds the namespace folder to a budget as the library's sweeper
// does, and reports what that sweeper counts: a link in the folder is no
// entry, and what it names is neither counted nor removed.
TEST_F(CliTool, SweepHoldsTheFolderToItsBudgetAndCountsNoLinkedFolder) {
  for (const char* key : {"a", "b", "c", "d"}) Put(key, std::string(10000, 'v'));
  const fs::path outside = m_dir.path() / "outside";
  fs::create_directories(outside);
  WriteFile(outside / "big.bin", std::string(1 << 20, 'x'));
  fs::create_directory_symlink(outside, m_dir.path() / "WAV2" / "123");
  const std::pair<std::string, uint64_t> cases[] = {{"100K", 4}, {"25K", 2}};  // budget, entries left
  for (const auto& [budget, entriesLeft] : cases) {
    SCOPED_TRACE(budget);
    const Json report = RunJson(Disk("sweep", {"--json", "--budget", budget, "--min-age", "0"}));
    EXPECT_EQ(report.at("entries").get<uint64_t>(), entriesLeft) << report.dump();
    EXPECT_LT(report.at("bytes").get<uint64_t>(), 100000u) << report.dump();
    EXPECT_TRUE(report.at("within_budget").get<bool>()) << report.dump();
  }
  EXPECT_EQ(fs::file_size(outside / "big.bin"), 1u << 20);
  EXPECT_TRUE(fs::is_symlink(m_dir.path() / "WAV2" / "123"));
}

// Output that cannot be written is a failure (exit 3), whichever command
// writes it. A closed stdin, stdout or stderr is read or written as the
// closed stream it is: the read or write fails (exit 3; a miss keeps its 1),
// and no file the tool opens meanwhile (the store's ".lock") takes the lines
// meant for it.
TEST_F(CliTool, StreamsThatCannotBeWrittenOrAreClosedFailTheCommandAndNothingElseTakesTheirLines) {
  Put("big", std::string(1 << 20, 'v'));
  const fs::path lock = Put("k", "old").parent_path() / ".lock";
  const std::string input = WriteFile(m_dir.path() / "in.bin", "val").string(), full = " >/dev/full 2>/dev/null";
  const std::tuple<std::vector<std::string>, std::string, int> cases[] = {  // arguments, redirections, exit code
      {{"config"}, full, 3}, {{"config", "--json"}, full, 3}, {Disk("ls", {"--json"}), full, 3},
      {Disk("stats", {}), full, 3}, {Disk("put", {"-i", input, "k2"}), " <&- >&- 2>/dev/null", 3},
      {Disk("put", {"k3"}), " <&- 2>/dev/null", 3}, {Disk("drop", {"k"}), " <&- >&- 2>/dev/null", 3},
      {Disk("get", {"missing"}), " 2>&-", 1}, {Disk("ls", {}), " >&- 2>&-", 3},
  };
  for (const auto& [args, redirections, code] : cases) {
    SCOPED_TRACE(testing::PrintToString(args) + redirections);
    EXPECT_EQ(RunInShell("", args, redirections), code);
    EXPECT_EQ(fs::file_size(lock), 0u) << ReadFile(lock);
  }
  // A reader that quits early (head): a write failure too, not SIGPIPE. The
  // value is larger than a pipe holds, so the tool is still writing then.
  const fs::path status = m_dir.path() / "status";
  RunInShell("{ ", Disk("get", {"big"}), " 2>/dev/null; echo $? >'" + status.string() + "'; } | head -c 1 >/dev/null");
  EXPECT_EQ(ReadFile(status), "3\n");
}

// A user who may not change a file or folder gets exit 3 and the system's
// reason, and the file or folder stays as it was: `get -o` over a file the
// user may not write (although the folder would let a rename replace it),
// a sweep that can remove no entry, a store into a folder the user cannot
// reach.
TEST_F(CliTool, WhatTheUserMayNotChangeIsRefusedWithTheReasonAndLeftAsItWas) {
  kelcache_test::TempDir scratch;
  const fs::path entry = Put("k", "new");
  fs::permissions(m_dir.path(), fs::perms::all);  // anyone may make and rename files there
  const fs::path readOnly = WriteFile(m_dir.path() / "read-only", "old");
  const fs::path others = WriteFile(m_dir.path() / "others", "old");
  fs::permissions(readOnly, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  if (geteuid() == 0) ASSERT_EQ(chown(readOnly.c_str(), 65534, 65534), 0);  // nobody's own, read-only
  if (geteuid() != 0) fs::permissions(others, fs::perms::owner_read);
  // A namespace folder behind a folder the user may not search.
  const fs::path hidden = m_dir.path() / "hidden";
  fs::create_directories(hidden / "WAV2");
  fs::permissions(hidden, fs::perms::none);
  fs::permissions(entry.parent_path(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                           fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  // A store may take the entry's lock, but not replace its files: it gives
  // up, and the entry keeps the value of the same size it had.
  fs::permissions(entry.parent_path() / ".lock", fs::perms::all & ~fs::perms::owner_exec & ~fs::perms::group_exec &
                                                     ~fs::perms::others_exec);
  const fs::path sameSize = WriteFile(scratch.path() / "same-size", "NEW");
  fs::permissions(scratch.path(), fs::perms::all);
  const std::string denied = ": Permission denied", unreachable = "cannot reach " + (hidden / "WAV2").string() + denied;
  const std::pair<std::vector<std::string>, std::string> cases[] = {  // arguments, what stderr says
      {Disk("put", {"-i", sameSize.string(), "k"}), "not stored"},
      {Disk("get", {"-o", readOnly.string(), "k"}), "cannot write '" + readOnly.string() + "'" + denied},
      {Disk("get", {"-o", others.string(), "k"}), "cannot write '" + others.string() + "'" + denied},
      {Disk("sweep", {"--budget", "1"}), "cannot remove entries from " + entry.parent_path().string() + denied},
      {DiskAt(hidden.string(), "put", {"k"}), unreachable}, {DiskAt(hidden.string(), "get", {"k"}), unreachable},
  };
  for (const auto& [args, says] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    const auto [code, err] = RunUnprivileged(args, scratch.path());
    EXPECT_EQ(code, 3) << err;
    EXPECT_THAT(err, HasSubstr(says));
    EXPECT_EQ(LineCount(err), 1u) << err;
  }
  fs::permissions(hidden, fs::perms::owner_all);
  fs::permissions(entry.parent_path(), fs::perms::owner_all);
  for (const fs::path& file : {readOnly, others}) EXPECT_EQ(ReadFile(file), "old") << file;
  EXPECT_EQ(Get("k"), "new");
  struct stat info {};
  ASSERT_EQ(stat(others.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, geteuid());
  EXPECT_TRUE(fs::exists(entry / ".bin"));
}

// Last-write times are shown with the offset in force at their moment, and
// ordered by it: in the hour repeated when the clocks go back, 00:30 and
// 01:30 UTC both read 02:30 in Berlin, an hour apart.
TEST_F(CliTool, LastWriteTimesCarryTheOffsetOfTheirMomentAndSortByIt) {
  // The third lies past the year 2262, where a clock of nanoseconds in 64
  // bits ends.
  const std::pair<std::string, time_t> entries[] = {{"first", 1792888200}, {"second", 1792891800}, {"far", 10000000000}};
  for (const auto& [key, moment] : entries) {
    const timespec times[2] = {{moment, 0}, {moment, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (Put(key, "v") / ".bin").c_str(), times, 0), 0) << std::strerror(errno);
  }
  const Environment berlin = {{"TZ", "CET-1CEST,M3.5.0,M10.5.0/3"}};
  const Json listed = RunJson(Disk("ls", {"--json", "--sort", "time"}), 0, berlin);
  std::vector<std::pair<std::string, std::string>> shown;  // key, last write
  for (const Json& entry : listed.at("entries")) shown.emplace_back(entry.at("key"), entry.at("last_write"));
  EXPECT_EQ(shown, (decltype(shown){{"far", "2286-11-20T18:46:40.000+01:00"},
                                    {"second", "2026-10-25T02:30:00.000+01:00"},
                                    {"first", "2026-10-25T02:30:00.000+02:00"}}));
  const Json summary = RunJson(Disk("stats", {"--json"}), 0, berlin);
  EXPECT_EQ(summary.at("oldest").at("key"), "first");
  EXPECT_EQ(summary.at("newest").at("key"), "far");
}

// Text output shows every key and folder so that it can be seen and copied:
// a folder path is escaped as keys are, and the empty key is "".
TEST_F(CliTool, TextOutputShowsEveryKeyAndFolderVisibly) {
  const std::string ns = "L\nX\x1b", shown = m_dir.str() + "/L\\nX\\x1b";
  const CliResult put = RunExpecting({.args = Disk("put", {"k"}, ns), .input = "v"});
  EXPECT_EQ(put.out.rfind("stored 'k' (1 byte) in " + shown + "/", 0), 0u) << put.out;
  const CliResult stats = RunExpecting({.args = Disk("stats", {}, ns)});
  EXPECT_THAT(stats.out, HasSubstr("\nfolder       " + shown + "\n"));
  std::error_code ignored;  // ".lock" holds no ".key"
  for (const auto& item : fs::directory_iterator(m_dir.path() / ns)) fs::remove(item.path() / ".key", ignored);
  const CliResult verify = RunExpecting({.args = Disk("verify", {}, ns)}, 1);
  EXPECT_EQ(verify.out.rfind("value-without-key  " + shown + "/", 0), 0u) << verify.out;
  for (const CliResult* result : {&put, &stats, &verify}) EXPECT_EQ(result->out.find('\x1b'), std::string::npos);
  Put("", "v");
  EXPECT_THAT(RunExpecting({.args = Disk("ls", {})}).out, HasSubstr("  \"\"\n"));
}

TEST_F(CliTool, BadCommandLinesExitWithTwoAndOneLineThatSaysWhat) {
  const std::string d = m_dir.str(), s = "127.0.0.1:1", surrogate = "s\xed\xa0\x80", escaped = "s\\xed\\xa0\\x80";
  const auto disk = [&](const char* command, std::vector<std::string> rest) { return DiskAt(d, command, rest, "N"); };
  const auto redis = [&](const char* command, std::vector<std::string> rest) { return Redis(command, s, "N", rest); };
  const std::pair<std::vector<std::string>, std::string> cases[] = {  // arguments, what the error says
      {{}, "A subcommand is required"}, {{"frob"}, "unknown command 'frob'"}, {{"disk"}, "see kelcache disk --help"},
      {{"disk", "lss", "--ns", "N"}, "unknown command 'lss'"}, {{"disk", "ls", "--dir", d}, "--ns is required"},
      {DiskAt("", "ls", {}, "N"), "must name a folder"}, {DiskAt(d, "ls", {}, "a/b"), "cannot name a namespace folder"},
      {DiskAt(d, "ls", {}, ""), "namespace is empty"}, {disk("ls", {"--sort", "colour"}), "--sort"},
      // The three bytes of a surrogate code point, which UTF-8 never holds.
      {DiskAt(d + "/" + surrogate, "ls", {}, "N"), "--dir '" + d + "/" + escaped + "' is not UTF-8"},
      {DiskAt(d, "ls", {}, surrogate), "--ns '" + escaped + "' is not UTF-8"},
      {disk("get", {"-e", escaped}), "key '" + escaped + "' is not UTF-8"},
      {disk("get", {surrogate}), "key '" + escaped + "' is not UTF-8"},
      {Redis("get", s, surrogate, {"k"}), "is not UTF-8"}, {redis("get", {"-e", escaped}), "is not UTF-8"},
      {{"watch", "--servers", s, "--channel", "\xff."}, "--channel '\\xff.' is not UTF-8"},
      // After "--" every word is an argument: the mistake is something else.
      {disk("get", {"--", "k", "extra"}), "unexpected argument 'extra'"}, {disk("get", {}), "key is required"},
      {{"disk", "ls", "--dir", d, "--", "--ns", "N"}, "--ns is required"},
      {disk("get", {"-e", "bad\\q"}), "unknown escape \\q"}, {disk("put", {"k", "-i", d + "/missing"}), "does not exist"},
      {disk("sweep", {"--budget", "1.5G"}), "is not a byte count"},
      {{"redis", "get", "--ns", "N", "k"}, "--servers is required"},
      {{"redis", "get", "--servers", s, "--options", "nonsense", "--ns", "N", "k"}, "nonsense"},
      {redis("put", {"k", "--ttl", "-5"}), "--ttl"}, {redis("put", {"k", "--ttl", "0"}), "--ttl must be at least 1"},
      {Redis("scan", s, "a\nb", {}), "holds a line feed"}, {{"watch", "--servers", s, "-n", "-1"}, "--messages"},
      {{"watch", "--servers", s, "--channel", ""}, "--channel must not be empty"},
      {disk("sweep", {"--budget", "1K", "--min-age", "-1"}), "--min-age"},
      {disk("sweep", {"--budget", "1K", "--min-age", "0x10"}), "whole number in decimal"},
      {redis("put", {"k", "--ttl", "1e3"}), "whole number in decimal"},
      {redis("scan", {"--count", "-"}), "must be a whole number"},
      // The server counts an expiry in milliseconds from now, in 64 bits.
      {redis("put", {"k", "--ttl", "9223372036854775807"}), "must be at most 9000000000000000"},
      {redis("put", {"k", "--ttl", "9223372036854775808"}), "must be at most 9000000000000000"},
      {redis("scan", {"--count", "99999999999999999999"}), "--count"},
      {{"watch", "--servers", s, "-n", "18446744073709551616"}, "must be at most 18446744073709551615"},
      {disk("sweep", {"--budget", "1K", "--min-age", "4294967296"}), "--min-age"},
      {disk("get", {"-o", "", "k"}), "must name a file"}, {redis("get", {"-o", "", "k"}), "must name a file"},
      {redis("put", {"-i", "", "k"}), "must name a file"}, {{"config", "--set", "NoSuchOption=1"}, "unknown option"},
      {{"config", "--set", "ExternalCacheConcurrencyLimit=many"}, "invalid value"}, {{"config", "--bogus"}, "--bogus"},
      {{"--bogus", "disk", "ls", "--dir", d, "--ns", "N"}, "unknown option '--bogus' (see kelcache --help)"},
      {{"disk", "ls", "--bogus"}, "unknown option '--bogus' (see kelcache disk ls --help)"},
  };
  for (const auto& [args, fragment] : cases) ExpectFailure(args, 2, fragment);
}

TEST_F(CliTool, ConfigSaysWhereEachValueCameFrom) {
  // SyncCaches is set to the value it has anyway: still an override.
  const Environment limit = {{"KELCACHE_ExternalCacheConcurrencyLimit", "7"}};
  const Json options =
      RunJson({"config", "--json", "--set", "CacheSynchronizationLogging=true", "--set", "SyncCaches=true"}, 0, limit)
          .at("options");
  const std::tuple<std::string, std::string, std::string> expected[] = {  // name, value, source
      {"ExternalCacheConcurrencyLimit", "7", "environment"}, {"CacheSynchronizationLogging", "true", "override"},
      {"SyncCaches", "true", "override"}, {"AsyncCacheCoherence", "false", "default"}};
  std::map<std::string, std::pair<std::string, std::string>> shown;  // name: value, source
  for (const Json& option : options) shown[option.at("name")] = {option.at("value"), option.at("source")};
  EXPECT_GT(shown.size(), 10u);
  for (const auto& [name, value, source] : expected) EXPECT_EQ(shown[name], std::pair(value, source)) << name;
  // The human table says the same.
  const CliResult text = RunCli({.args = {"config"}, .environment = limit});
  EXPECT_TRUE(std::regex_search(text.out, std::regex("\nExternalCacheConcurrencyLimit +7 +environment \\(default 32\\)\n")))
      << text.out;
}

// The redis and watch commands against a redis-server of the test's own; the
// test process uses the library on the same server, so each side reads what
// the other wrote.

// The keys a `redis scan --json` lists, each as often as it is listed.
std::multiset<std::string> ScanKeys(const std::vector<std::string>& args) {
  const Json listed = RunJson(args);
  std::multiset<std::string> keys;
  for (const Json& key : listed.at("keys")) keys.insert(key.at("key").get<std::string>());
  return keys;
}

// Publishes through the library's connection to `server` until at least
// `takers` subscribers take the message (a watch subscribes in the
// background): how many took it; -1: no pub/sub connection.
int64_t PublishUntilTaken(const std::string& server, const std::string& channel, const std::string& message,
                          int64_t takers = 1) {
  RedisExternalCache::InitializeConnectionPool(TString::fromStdString(server), TString());
  int64_t receivers = 0;
  kelcache_test::WaitUntil([&] {
    auto guard = RedisConnectionPool::GetInstance().LockPubSubConnection();
    receivers = guard ? guard->GetConnection().Publish(channel, message) : -1;
    return receivers < 0 || receivers >= takers;
  });
  return receivers;
}

// Ends a watch (with SIGTERM, unless it ends by itself) and expects it to
// exit with 0.
CliResult EndWatch(CliProcess& watch, bool terminate = true) {
  if (terminate) watch.Signal(SIGTERM);
  const CliResult result = watch.Wait(20s);
  EXPECT_TRUE(result.exited && result.exitCode == 0) << result.Describe();
  return result;
}

TEST(CliRedisTool, EntriesGoWhereTheLibraryLooksAndScanKeepsToItsNamespace) {
  kelcache_test::RedisServer server;
  const std::string address = server.Address();
  RedisExternalCache::InitializeConnectionPool(TString::fromStdString(address), TString());
  // "A*[x]" holds glob characters: unescaped, its pattern would also match
  // the keys of "Abcx"; "A" is a prefix of both.
  const std::string ns = "A*[x]";
  const std::tuple<std::string, std::vector<std::string>, std::string> puts[] = {  // namespace, arguments, value
      {ns, {"k1"}, "one"}, {ns, {"--ttl", "0100", "k?2"}, "two"},  // decimal, not octal 64
      {"Abcx", {"other"}, "elsewhere"}, {"A", {"third"}, "three"}, {"N", {"evil"}, "SET pwned yes\r\n"}};
  for (const auto& [putNs, rest, value] : puts) RunExpecting({.args = Redis("put", address, putNs, rest), .input = value});
  RedisExternalCache library(TString::fromStdString(ns));
  EXPECT_EQ(kelcache_test::Text(library.TryLoad(u"k1").Get()), "one");
  ASSERT_TRUE(library.TryStore(u"from-library", kelcache_test::MakeValue("LLLLL"), 10000, -1).Get());
  EXPECT_EQ(RunCli({.args = Redis("get", address, ns, {"from-library"})}).out, "LLLLL");
  EXPECT_EQ(ScanKeys(Redis("scan", address, ns, {"--json", "--count", "1"})),
            (std::multiset<std::string>{"from-library", "k1", "k?2"}));
  EXPECT_EQ(RunCli({.args = Redis("scan", address, "A", {})}).out, "third\n");

  // A long scan at a terminal erases its progress line before it lists the
  // keys, on the same terminal: no key is written onto that line.
  const std::string many = RedisExternalCache::MakePhysicalCacheKey(u"Many", TString());
  kelcache_testing::RedisCommandOnLoopback(
      server.Port(), {"EVAL", "for i = 1, 10050 do redis.call('SET', KEYS[1] .. 'key' .. i, 'v') end", "1", many});
  const std::string atTerminal = RunCli({.args = Redis("scan", address, "Many", {}), .outputOnTerminal = true}).err;
  EXPECT_THAT(atTerminal, HasSubstr("scanning keys: "));
  EXPECT_LT(atTerminal.rfind("\033[K"), atTerminal.find("key1")) << "a key on the progress line";

  // The time to live: a number, none, or a miss.
  const int64_t ttl = RunJson(Redis("ttl", address, ns, {"--json", "k?2"})).at("ttl_seconds");
  EXPECT_GE(ttl, 80);
  EXPECT_LE(ttl, 100);
  EXPECT_EQ(RunCli({.args = Redis("ttl", address, ns, {"k1"})}).out, "no expiry\n");
  RunExpecting({.args = Redis("ttl", address, ns, {"nothing"})}, 1);

  // Drop, then get and drop are misses (exit 1, nothing on stdout).
  RunExpecting({.args = Redis("drop", address, ns, {"k1"})});
  EXPECT_EQ(kelcache_test::Text(library.TryLoad(u"k1").Get()), "(nil)");
  for (const char* command : {"get", "drop"})
    ExpectFailure(Redis(command, address, ns, {"k1"}), 1, "no value for key 'k1'");

  // With stdout closed, a value read is not written anywhere else (such as
  // the connection to the server, which would then run it as commands).
  EXPECT_EQ(RunInShell("", Redis("get", address, "N", {"evil"}), " >&- 2>/dev/null"), 3);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(kelcache_testing::RedisCommandOnLoopback(server.Port(), {"EXISTS", "pwned"}).integer, 0);
}

// A server whose SCAN gives the same cursor again and again (a broken one,
// or something that is no Redis) would keep a walk going for good: the scan
// fails on the first repeated cursor. The server here answers every SCAN
// with cursor 7 and no keys, and PING with PONG.
TEST(CliRedisTool, AScanWhoseServerRepeatsACursorFails) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {.s_addr = htonl(INADDR_LOOPBACK)}};
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 8), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::thread server([listener] {
    for (int connection; (connection = ::accept(listener, nullptr, nullptr)) >= 0; ::close(connection)) {
      char buffer[4096];
      for (ssize_t got; (got = ::recv(connection, buffer, sizeof buffer, 0)) > 0;) {
        const std::string request(buffer, static_cast<size_t>(got));
        std::string answer;
        for (size_t at = 0; (at = request.find("SCAN\r\n", at)) != std::string::npos; ++at)
          answer += "*2\r\n$1\r\n7\r\n*0\r\n";
        for (size_t at = 0; (at = request.find("PING\r\n", at)) != std::string::npos; ++at) answer += "+PONG\r\n";
        if (::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) break;
      }
    }
  });
  const std::string servers = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  ExpectFailure(Redis("scan", servers, "ns", {}), 3, "answered SCAN with the cursor 7 a second time");
  ::shutdown(listener, SHUT_RDWR);  // ends accept
  server.join();
  ::close(listener);
}

// A server that cannot be used is a failure (exit 3) whose line says why, for
// every command that connects.
TEST(CliRedisTool, ConnectionFailuresSayWhy) {
  kelcache_test::RedisServer locked(kelcache_test::RedisServer::Options{"admin-password"});
  const std::string nowhere = "127.0.0.1:" + std::to_string(kelcache_test::FindFreeLoopbackPort());
  // servers, options, the line says, and whether watch fails too: without a
  // password the connection itself works, and watch keeps trying to
  // subscribe, as the library's subscriber does.
  const std::tuple<std::string, std::string, std::string, bool> cases[] = {
      {nowhere, "", "Connection refused", true},
      {locked.Address(), "password=wrong", "WRONGPASS", true},
      {locked.Address(), "", "NOAUTH", false},
      // Named as a cluster, a server that is none: its slot map cannot be read.
      {"cluster:" + locked.Address(), "password=admin-password", "cluster support disabled", false},
  };
  for (const auto& [servers, options, says, watchFails] : cases) {
    std::vector<std::vector<std::string>> commands = {Redis("get", servers, "N", {"k"}), Redis("scan", servers, "N", {})};
    if (watchFails) commands.push_back({"watch", "--servers", servers});
    for (std::vector<std::string> args : commands) {
      args.insert(args.end(), {"--options", options});
      ExpectFailure(args, 3, says);
    }
  }
  // The watch that keeps trying says that its subscription is not in force.
  // Its channel is shown escaped, as keys are.
  CliProcess watch({.args = {"watch", "--servers", locked.Address(), "--options", "connect_timeout_ms=200",
                             "--channel", "tab\t."}});
  EXPECT_TRUE(watch.WaitFor("has not confirmed the subscription", 20s, true)) << watch.SoFar().err;
  EXPECT_THAT(watch.SoFar().err, HasSubstr("kelcache: watching tab\\t.* on "));
  EndWatch(watch);
}

// A cluster may be named by any few of its nodes: scan lists every key of
// the namespace, wherever its slot lies, once, and nothing of a server that
// is named beside the cluster but is not one of its nodes.
TEST(CliRedisTool, ScanOfAClusterListsEveryKeyWhicheverOfItsNodesAreNamed) {
  kelcache_testing::RedisClusterProcess cluster;
  kelcache_test::RedisServer stranger;
  kelcache_testing::RedisCommandOnLoopback(stranger.Port(), {"SET", std::string("WAV2\n") + "not-in-cluster", "x"});
  std::multiset<std::string> stored;
  for (int i = 0; i < 12; ++i) {  // twelve keys: spread over the three masters' slots
    const std::string key = *stored.insert("key-" + std::to_string(i));
    RunExpecting({.args = Redis("put", cluster.ServersText(), "WAV2", {key}), .input = "v"});
  }
  std::vector<std::pair<std::string, std::string>> namings = {  // what, --servers
      {"every node", cluster.ServersText()},
      {"a node and a server outside the cluster", cluster.ServersText({0}) + "," + stranger.Address()}};
  for (size_t node = 0; node < cluster.Size(); ++node)
    namings.emplace_back("node " + std::to_string(node) + " alone", cluster.ServersText({node}));
  for (const auto& [what, servers] : namings) {
    SCOPED_TRACE(what);
    EXPECT_EQ(ScanKeys(Redis("scan", servers, "WAV2", {"--json"})), stored);
  }
}

// A server that goes away mid-watch is said on stderr, since no message can
// show it; the watch goes on trying until it is stopped.
TEST(CliRedisTool, WatchSaysWhenItsSubscriptionIsLost) {
  kelcache_test::RedisServer server;
  // The subscription must be confirmed before the server goes, or there is
  // nothing to lose. The watch waits for the confirmation as long as its
  // time-outs allow and says right after "watching" when it has not come; on
  // a busy machine it may come later, which the watch says within a second.
  CliProcess watch({.args = {"watch", "--servers", server.Address(), "--options",
                             "connect_timeout_ms=5000;command_timeout_ms=5000"}});
  ASSERT_TRUE(watch.WaitFor("watching", 20s, true)) << watch.SoFar().err;
  if (watch.WaitFor("has not confirmed", 500ms, true)) {
    ASSERT_TRUE(watch.WaitFor("the server confirmed the subscription", 20s, true)) << watch.SoFar().err;
  }
  server.Kill();
  EXPECT_TRUE(watch.WaitFor("the subscription was lost", 20s, true)) << watch.SoFar().err;
  EXPECT_THAT(EndWatch(watch).out, HasSubstr("0 messages (0 malformed) in "));
}

// The watch shows the library's messages decoded and malformed ones as such,
// counts them per second, and stops after -n messages, also when many more
// arrive at once: none past the count is printed or counted.
TEST(CliRedisTool, WatchDecodesTheLibrarysMessagesShowsMalformedOnesAndStopsAtItsCount) {
  kelcache_test::RedisServer server;
  // This process's coherence service takes the messages too: a message
  // reaching two subscribers is the sign that the watch has subscribed.
  RedisExternalCache::InitializeConnectionPool(TString::fromStdString(server.Address()), TString());
  ASSERT_NE(RedisPubsub::GetInstance().lock(), nullptr);
  ASSERT_EQ(PublishUntilTaken(server.Address(), "defaultns.1-1", "1-1@1"), 1) << "-1: no pub/sub connection";
  CliProcess watch({.args = {"watch", "--servers", server.Address(), "--json", "-n", "4"}});
  ASSERT_TRUE(watch.WaitFor("watching", 20s, true)) << watch.SoFar().err;
  // A malformed message, published until the service and the watch take it:
  // exactly one copy reaches the watch.
  ASSERT_EQ(PublishUntilTaken(server.Address(), "defaultns.1a-2b", "garbage", 2), 2);
  // A message the coherence service publishes for an added entry, stamped
  // 2024-05-01 12:34:56.789.
  RedisPubsub::GetInstance().lock()->OnAdded({0xabc, 0xdef}, {0x12, 0x34}, 62135596800000ULL + 1714566896789ULL, 1, {});
  ASSERT_TRUE(watch.WaitFor("\"key_hash\":\"abc-def\"", 20s)) << watch.SoFar().out;
  ASSERT_TRUE(watch.WaitFor("\"type\":\"rate\"", 20s)) << watch.SoFar().out;
  // A burst: one script publishes 200 at once, so they reach the watch in one
  // read; it takes two of them.
  const std::string burst = "redis-cli -h " + server.Host() + " -p " + std::to_string(server.Port()) +
                            " EVAL \"for i = 1, 200 do redis.call('PUBLISH', KEYS[1], ARGV[1]) end\" 1 "
                            "defaultns.1-1 1-1@1 >/dev/null";
  ASSERT_EQ(std::system(burst.c_str()), 0) << burst;

  const CliResult result = EndWatch(watch, false);
  std::vector<Json> lines;  // one JSON value per line
  std::map<std::string, std::vector<Json>> byType;
  std::istringstream out(result.out);
  for (std::string line; std::getline(out, line);) {
    const Json& parsed = lines.emplace_back(Json::parse(line));
    byType[parsed.at("type").get<std::string>()].push_back(parsed);
  }
  ASSERT_EQ(byType["malformed"].size(), 1u) << result.out;
  EXPECT_EQ(Fields(byType["malformed"][0], {"message", "channel"}),
            Json::parse(R"({"message": "garbage", "channel": "defaultns.1a-2b"})"));
  ASSERT_EQ(byType["message"].size(), 3u) << result.out;
  EXPECT_EQ(Fields(byType["message"][0], {"key_hash", "value_hash", "time"}),
            Json::parse(R"({"key_hash": "abc-def", "value_hash": "12-34", "time": "2024-05-01T12:34:56.789"})"));
  // The counts per second add up, and the summary ends the output.
  uint64_t counted = 0;
  for (const Json& rate : byType["rate"]) counted += rate.at("messages_per_second").get<uint64_t>();
  EXPECT_EQ(counted, 4u) << result.out;
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(Fields(lines.back(), {"type", "messages", "malformed"}),
            Json::parse(R"({"type": "summary", "messages": 4, "malformed": 1})")) << result.out;
}

}  // namespace
