// Crash safety and concurrent writers of the disk store, across processes.
//
// Writer processes (this program again, running DISABLED_Writer) store
// self-describing values (SelfDescribingValue.h) in a loop. The tests kill
// them with SIGKILL at random moments and load every key in between and
// afterwards: a load may miss, but whatever it returns must be a whole value
// stored for that key.
#include <signal.h>

#include <random>
#include <sstream>

#include "host/TLog.h"
#include "host/TPath.h"
#include "public/caching/DiskExternalCache.h"
#include "tests/main/caching/external/ExternalTestSupport.h"
#include "tests/main/caching/external/SelfDescribingValue.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestEnvironment.h"

namespace {

using namespace kelcache_test;
using kelvra::caching::DiskExternalCache;

// The writer: stores under its keys through a DiskExternalCache of the
// folder, as fast as it can, until it is killed; makes its ready file after
// its first store (<folder>.ready-<its pid>), so that the test kills it only
// once it is writing.
TEST(DiskCrashSafetyChild, DISABLED_Writer) {
  const uint64_t writer = std::stoull(GetEnv("KELCACHE_TEST_WRITER"));
  std::vector<std::string> keys;
  std::stringstream keyList(GetEnv("KELCACHE_TEST_WRITER_KEYS"));
  for (std::string key; std::getline(keyList, key, ',');) keys.push_back(key);
  const size_t maxPayload = std::stoull(GetEnv("KELCACHE_TEST_WRITER_MAX_PAYLOAD"));
  ASSERT_FALSE(keys.empty());
  // Collisions and races make the store log failures at Warn; they are
  // expected here.
  TLog::SetLevel(TLog::Error);
  const std::string folder = GetEnv("KELCACHE_TEST_WRITER_FOLDER");
  DiskExternalCache cache(u"crash", TPath(TString::fromStdString(folder)), nullptr);
  std::mt19937_64 random(writer * 1000003 + static_cast<uint64_t>(getpid()));
  for (uint64_t generation = 1;; ++generation) {
    const std::string& key = keys[random() % keys.size()];
    cache.TryStore(TString::fromStdString(key),
                   std::make_shared<Bytes>(MakeSelfDescribingValue(key, writer, generation, random() % maxPayload)),
                   kSlowLoadMs, -1).Get();
    if (generation == 1) WriteFileBytes(folder + ".ready-" + std::to_string(getpid()), "");
  }
}

// A running writer process. Killed (SIGKILL) and reaped by its destructor
// if the test did not do so.
class WriterProcess {
 public:
  WriterProcess(const std::string& folder, int writer, const std::vector<std::string>& keys, size_t maxPayload) {
    std::string keyList;
    for (const std::string& key : keys) keyList += (keyList.empty() ? "" : ",") + key;
    m_pid = StartChildTest("DiskCrashSafetyChild.DISABLED_Writer", {{"KELCACHE_TEST_WRITER_FOLDER", folder},
                                                                   {"KELCACHE_TEST_WRITER", std::to_string(writer)},
                                                                   {"KELCACHE_TEST_WRITER_KEYS", keyList},
                                                                   {"KELCACHE_TEST_WRITER_MAX_PAYLOAD", std::to_string(maxPayload)}});
    m_ready = folder + ".ready-" + std::to_string(m_pid);
  }
  ~WriterProcess() { Kill(); }
  WriterProcess(const WriterProcess&) = delete;
  WriterProcess& operator=(const WriterProcess&) = delete;

  // Waits until the writer has stored its first value.
  bool WaitUntilWriting() {
    return WaitUntil([this] { return std::filesystem::exists(m_ready); }, kLongWait);
  }
  // SIGKILL, then reaps the process. True when it died of the signal (not
  // of an error of its own).
  bool Kill() {
    if (m_pid <= 0) return false;
    kill(m_pid, SIGKILL);
    const ChildResult result = WaitForChild(m_pid);
    m_pid = -1;
    return result.signal == SIGKILL;
  }

 private:
  std::string m_ready;
  pid_t m_pid = -1;
};

// Loads every key and checks what comes back. Counts hits; a bad value is a
// test failure with the reason.
struct Checker {
  void LoadAndCheck(const std::string& key, const std::set<uint64_t>& writers) {
    Value loaded = cache.TryLoad(TString::fromStdString(key)).Get();
    if (!loaded) return;
    std::string why;
    uint64_t writer = 0;
    if (!CheckSelfDescribingValue(*loaded, key, &writer, &why)) {
      ADD_FAILURE() << "load of '" << key << "' returned " << loaded->size() << " bytes: " << why;
      return;
    }
    EXPECT_EQ(writers.count(writer), 1u) << "written by an unknown writer " << writer;
    ++hits;
  }

  const std::string folder;
  DiskExternalCache cache{u"crash", TPath(TString::fromStdString(folder)), nullptr};
  std::atomic<int> hits{0};
};

// Writer processes store while two threads load, until the writers are
// killed: one writer at a random moment, twenty times over; three writers of
// the same keys; two writers of two keys whose hashes collide (one folder).
// A load, during the writes or after the kills, gives a whole value of its
// own key or a miss, and a new store over whatever the writers left works.
TEST(DiskCrashSafetyTest, KilledAndConcurrentWritersNeverLeaveATornOrMixedValue) {
  // Races between writers and readers make the store log read failures at
  // Warn; they are expected here. (The level stays: this is the program's
  // only test besides the writer, which sets its own.)
  TLog::SetLevel(TLog::Error);
  const TempDir temp;
  struct Case {
    const char* name;
    std::vector<std::vector<std::string>> keysOfWriter;  // writer i + 1 stores these keys
    int rounds;
    size_t maxPayload;
    bool randomMoment;  // the readers stop (and the kill comes) within 20 ms; else after 1.5 s
  };
  const std::vector<std::string> crash = {"crash-0", "crash-1", "crash-2", "crash-3", "crash-4"};
  const std::vector<std::string> shared = {"shared-key", "shared-key-2"};
  const Case cases[] = {
      {"one writer killed at random moments", {crash}, 20, 256 * 1024, true},
      {"three writers of the same keys", {shared, shared, shared}, 1, 64 * 1024, false},
      {"writers of colliding keys", {{kCollidingKeyA.toStdString()}, {kCollidingKeyB.toStdString()}}, 1, 64 * 1024,
       false},
  };
  std::mt19937 random(20240501);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Checker checker{(temp.path() / "crash").string() + std::to_string(&c - cases)};
    std::map<std::string, std::set<uint64_t>> writersOf;
    for (size_t w = 0; w < c.keysOfWriter.size(); ++w) {
      for (const std::string& key : c.keysOfWriter[w]) writersOf[key].insert(w + 1);
    }
    for (int round = 0; round < c.rounds; ++round) {
      std::vector<std::unique_ptr<WriterProcess>> writers;
      for (size_t w = 0; w < c.keysOfWriter.size(); ++w) {
        writers.push_back(std::make_unique<WriterProcess>(checker.folder, static_cast<int>(w + 1), c.keysOfWriter[w],
                                                          c.maxPayload));
      }
      for (auto& writer : writers) ASSERT_TRUE(writer->WaitUntilWriting()) << "round " << round;
      const auto end = std::chrono::steady_clock::now() +
                       std::chrono::microseconds(c.randomMoment ? random() % 20000 : 1500000);
      RunTogether(2, [&](int) {
        while (std::chrono::steady_clock::now() < end) {
          for (const auto& [key, accepted] : writersOf) checker.LoadAndCheck(key, accepted);
        }
      });
      for (auto& writer : writers) EXPECT_TRUE(writer->Kill()) << "died of an error of its own";
      for (const auto& [key, accepted] : writersOf) checker.LoadAndCheck(key, accepted);
    }
    EXPECT_GT(checker.hits.load(), 0) << "the writers stored something that survived";
    const TString key = TString::fromStdString(writersOf.begin()->first);
    auto value = std::make_shared<Bytes>(MakeSelfDescribingValue(writersOf.begin()->first, 9, 1, 10));
    ASSERT_TRUE(checker.cache.TryStore(key, value, kSlowLoadMs, -1).Get());
    EXPECT_TRUE(LoadsValue(checker.cache, key, *value));
  }
  EXPECT_TRUE(WaitForBackgroundTasks());
}

}  // namespace
