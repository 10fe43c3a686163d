// Crash safety and concurrent writers of the disk store, across processes.
//
// Writer processes (external_DiskWriterHelper) store self-describing values
// (SelfDescribingValue.h) in a loop. The tests kill them with SIGKILL at
// random moments and load every key in between and afterwards: a load may
// miss, but whatever it returns must be a whole value stored for that key.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <random>

#include "host/TLog.h"
#include "host/TPath.h"
#include "public/caching/DiskExternalCache.h"
#include "tests/main/caching/external/ExternalTestSupport.h"
#include "tests/main/caching/external/SelfDescribingValue.h"
#include "tests/support/TestEnvironment.h"

extern char** environ;

namespace {

using namespace kelcache_test;
using kelvra::caching::DiskExternalCache;

// A running writer process. Killed (SIGKILL) and reaped by its destructor
// if the test did not do so.
class WriterProcess {
 public:
  WriterProcess(const std::string& folder, int writer, const std::vector<std::string>& keys,
                size_t maxPayload, int seconds) {
    std::string keyList;
    for (const std::string& key : keys) keyList += (keyList.empty() ? "" : ",") + key;
    std::vector<std::string> args = {KELCACHE_DISK_WRITER_HELPER, folder,
                                     std::to_string(writer),      keyList,
                                     std::to_string(maxPayload),  std::to_string(seconds)};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (pipe(pipeFds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    if (posix_spawn(&m_pid, args[0].c_str(), &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    m_readyFd = pipeFds[0];
  }
  ~WriterProcess() {
    Kill();
    if (m_readyFd >= 0) close(m_readyFd);
  }
  WriterProcess(const WriterProcess&) = delete;
  WriterProcess& operator=(const WriterProcess&) = delete;

  bool Started() const { return m_pid > 0; }
  // Waits until the writer has stored its first value.
  bool WaitUntilWriting(std::chrono::milliseconds timeout = kLongWait) {
    pollfd readyPoll{m_readyFd, POLLIN, 0};
    if (poll(&readyPoll, 1, static_cast<int>(timeout.count())) != 1) return false;
    char byte = 0;
    return read(m_readyFd, &byte, 1) == 1 && byte == 'R';
  }
  // SIGKILL, then reaps the process. True when it died of the signal (not
  // of an error of its own).
  bool Kill() {
    if (m_pid <= 0) return false;
    kill(m_pid, SIGKILL);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }

 private:
  pid_t m_pid = -1;
  int m_readyFd = -1;
};

// Loads every key and checks what comes back. Counts hits; a bad value is a
// test failure with the reason.
struct Checker {
  explicit Checker(std::string folder)
      : folder(std::move(folder)), cache(u"crash", TPath(TString::fromStdString(this->folder)), nullptr) {}

  void LoadAndCheck(const std::string& key, const std::set<uint64_t>& writers) {
    Value loaded = cache.TryLoad(TString::fromStdString(key)).Get();
    if (!loaded) return;
    std::string why;
    SelfDescription description;
    if (!CheckSelfDescribingValue(*loaded, key, &description, &why)) {
      ++bad;
      ADD_FAILURE() << "load of '" << key << "' returned " << loaded->size() << " bytes: " << why;
      return;
    }
    EXPECT_EQ(writers.count(description.writer), 1u) << "written by an unknown writer " << description.writer;
    ++hits;
  }

  const std::string folder;
  DiskExternalCache cache;
  std::atomic<int> hits{0};
  std::atomic<int> bad{0};
};

class DiskCrashSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Races between writers and readers make the store log read failures at
    // Warn; they are expected in these tests.
    m_previousLevel = TLog::GetLevel();
    TLog::SetLevel(TLog::Error);
  }
  void TearDown() override {
    EXPECT_TRUE(WaitForBackgroundTasks());
    TLog::SetLevel(m_previousLevel);
  }
  std::string Folder() const { return (m_temp.path() / "crash").string(); }

  TempDir m_temp;
  TLog::AnySeverity m_previousLevel = TLog::Warn;
};

TEST_F(DiskCrashSafetyTest, AWriterKilledAtRandomMomentsNeverLeavesATornValue) {
  const std::vector<std::string> keys = {"crash-0", "crash-1", "crash-2", "crash-3", "crash-4"};
  Checker checker(Folder());
  std::mt19937 random(20240501);
  int killedBySignal = 0;
  for (int round = 0; round < 20; ++round) {
    WriterProcess writer(Folder(), 1, keys, 256 * 1024, 0);
    ASSERT_TRUE(writer.Started());
    ASSERT_TRUE(writer.WaitUntilWriting()) << "round " << round;
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    if (writer.Kill()) ++killedBySignal;
    for (const std::string& key : keys) checker.LoadAndCheck(key, {1});
  }
  EXPECT_EQ(killedBySignal, 20);
  EXPECT_EQ(checker.bad.load(), 0);
  EXPECT_GT(checker.hits.load(), 0) << "the writer stored something that survived";
  // Writers that died mid-write leave temporary files at worst; every entry
  // still loads or misses cleanly, and a new store over it works.
  auto value = std::make_shared<Bytes>(MakeSelfDescribingValue("crash-0", 2, 1, 10));
  ASSERT_TRUE(checker.cache.TryStore(u"crash-0", value, kSlowLoadMs, -1).Get());
  EXPECT_EQ(*checker.cache.TryLoad(u"crash-0").Get(), *value);
}

// Writer processes store at once while two threads load: several writers of
// the same keys, and two writers of two keys whose hashes collide (one
// folder). A load gives a whole value of its own key or a miss.
TEST_F(DiskCrashSafetyTest, ConcurrentWriterProcessesNeverMixTheirBytesOrTheirKeys) {
  struct Case {
    const char* name;
    std::vector<std::vector<std::string>> keysOfWriter;  // writer i + 1 stores these keys
  };
  const std::string keyA = kCollidingKeyA.toStdString();
  const std::string keyB = kCollidingKeyB.toStdString();
  const Case cases[] = {
      {"three writers of the same keys", {{"shared-key", "shared-key-2"}, {"shared-key", "shared-key-2"},
                                          {"shared-key", "shared-key-2"}}},
      {"writers of colliding keys", {{keyA}, {keyB}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Checker checker(Folder() + std::to_string(&c - cases));
    std::map<std::string, std::set<uint64_t>> writersOf;
    std::vector<std::unique_ptr<WriterProcess>> writers;
    for (size_t w = 0; w < c.keysOfWriter.size(); ++w) {
      for (const std::string& key : c.keysOfWriter[w]) writersOf[key].insert(w + 1);
      writers.push_back(std::make_unique<WriterProcess>(checker.folder, static_cast<int>(w + 1),
                                                        c.keysOfWriter[w], 64 * 1024, 0));
      ASSERT_TRUE(writers.back()->Started());
    }
    for (auto& writer : writers) ASSERT_TRUE(writer->WaitUntilWriting());
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t) {
      readers.emplace_back([&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
        while (std::chrono::steady_clock::now() < end) {
          for (const auto& [key, accepted] : writersOf) checker.LoadAndCheck(key, accepted);
        }
      });
    }
    for (std::thread& reader : readers) reader.join();
    for (auto& writer : writers) EXPECT_TRUE(writer->Kill());
    for (const auto& [key, accepted] : writersOf) checker.LoadAndCheck(key, accepted);
    EXPECT_EQ(checker.bad.load(), 0);
    EXPECT_GT(checker.hits.load(), 0);
  }
}

}  // namespace
