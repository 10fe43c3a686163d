// Helpers shared by the external cache tests: byte buffers, a gate, a file
// lock held as another process would hold it, a store whose three functions
// the test supplies, event lookups and the key hash computed independently
// of the library.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <xxhash.h>

#include <functional>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/AsyncTask.h"
#include "host/LogCapture.h"
#include "host/TString.h"
#include "public/caching/ExternalCache.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestGate.h"

namespace kelcache_test {

using namespace std::chrono_literals;

using Bytes = std::vector<uint8_t>;
using Value = std::shared_ptr<Bytes>;
using IByteCache = kelvra::caching::IExternalCache<TString, Bytes>;
using ByteCache = kelvra::caching::ExternalCache<TString, Bytes>;

// Generous bound for waits that should end soon: reaching it means a hang.
constexpr std::chrono::milliseconds kLongWait = 20s;
// Loads and stores of the tests pass this load time, which no default lower
// bound skips.
constexpr unsigned kSlowLoadMs = 100000;

// Two different keys whose UTF-16 bytes have the same XXH32 (seed 0xDEADBEEF):
// 580273337. Found once, offline, by a birthday search over 2^19 random keys
// "collide-" + 8 characters of [A-Za-z0-9] (a throwaway program hashing each
// key's UTF-16LE bytes with XXH32 and keeping the first repeat).
inline const TString kCollidingKeyA(u"collide-iP3jlQsN");
inline const TString kCollidingKeyB(u"collide-QM1GUsuS");

inline Value MakeValue(size_t size, uint8_t start = 1) {
  auto value = std::make_shared<Bytes>(size);
  for (size_t i = 0; i < size; ++i) (*value)[i] = static_cast<uint8_t>(start + i * 7);
  return value;
}

// The key hash as the disk format defines it, computed here with xxHash
// itself rather than through the library.
inline std::string ExpectedKeyHash(const TString& key) {
  return std::to_string(XXH32(key.constData(), key.lengthInBytes(), 0xDEADBEEFu));
}

inline Bytes ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Changes to an entry folder, as a crash, another version or a person might
// make them.
using EntryChange = std::function<void(const std::filesystem::path& entry)>;
inline EntryChange RemoveFiles(std::vector<std::string> files) {
  return [files](const std::filesystem::path& entry) {
    for (const std::string& file : files) std::filesystem::remove(entry / file);
  };
}
inline EntryChange WriteFile(std::string file, std::string bytes) {
  return [file, bytes](const std::filesystem::path& entry) { WriteFileBytes(entry / file, bytes); };
}
inline EntryChange Truncate(std::string file, off_t size) {
  return [file, size](const std::filesystem::path& entry) { ASSERT_EQ(truncate((entry / file).c_str(), size), 0); };
}

// Everything under root (root included): kind, size and last-write time to
// the nanosecond, so that a comparison shows anything made, removed or
// touched.
inline std::map<std::string, std::string> Tree(const std::filesystem::path& root) {
  std::map<std::string, std::string> tree;
  auto note = [&tree](const std::filesystem::path& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return;
    tree[path.string()] = std::to_string(info.st_mode) + " " + std::to_string(info.st_size) + " " +
                          std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
  };
  if (!std::filesystem::exists(std::filesystem::symlink_status(root))) return tree;
  note(root);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) note(entry.path());
  return tree;
}

// A byte-range lock on one byte of a file, held through a description of
// its own (as another process would hold it), released when it goes.
class ForeignByteLock {
 public:
  ForeignByteLock(const std::filesystem::path& file, uint64_t byte, short type)
      : m_fd(open(file.c_str(), O_RDWR | O_CLOEXEC)) {
    struct flock range = {
        .l_type = type, .l_whence = SEEK_SET, .l_start = static_cast<off_t>(byte), .l_len = 1};
    m_locked = m_fd >= 0 && fcntl(m_fd, F_OFD_SETLK, &range) == 0;
  }
  ~ForeignByteLock() {
    if (m_fd >= 0) close(m_fd);
  }
  ForeignByteLock(const ForeignByteLock&) = delete;
  ForeignByteLock& operator=(const ForeignByteLock&) = delete;
  bool Locked() const { return m_locked; }

 private:
  int m_fd;
  bool m_locked = false;
};

using Gate = kelcache_test::TestGate;

// A store under the frame whose three functions the test supplies. The
// functions are fixed at construction (the frame asks for them once per
// operation).
class ScriptedStore : public ByteCache {
 public:
  ScriptedStore(TString ns, unsigned lowerBoundLatencyMs, bool asynchronous, StoreFunc store, LoadFunc load,
                DropFunc drop)
      : ByteCache(std::move(ns), lowerBoundLatencyMs, asynchronous),
        m_store(std::move(store)),
        m_load(std::move(load)),
        m_drop(std::move(drop)) {}

 protected:
  StoreFunc GetStoreFunc() const override { return m_store; }
  LoadFunc GetLoadFunc() const override { return m_load; }
  DropFunc GetDropFunc() const override { return m_drop; }

 private:
  StoreFunc m_store;
  LoadFunc m_load;
  DropFunc m_drop;
};

// The one event of that name in the capture; fails the test (and gives an
// empty record) unless there is exactly one.
inline TLog::Record SingleEvent(const TLog::Capture& capture, const TString& name) {
  std::vector<TLog::Record> events = capture.Events(name);
  if (events.size() != 1) {
    ADD_FAILURE() << "expected exactly one " << name << " event, got " << events.size();
    return {};
  }
  return events.front();
}

inline std::string Field(const TLog::Record& record, const char* name) {
  auto found = record.fields.find(TString(name));
  return found == record.fields.end() ? std::string("<absent>") : found->second.toStdString();
}

// A store with the tests' load time (and the default TTL unless given); its result.
inline bool Store(const IByteCache& cache, const TString& key, Value value, long long ttlSec = -1) {
  return cache.TryStore(key, std::move(value), kSlowLoadMs, ttlSec).Get();
}

// A load of key gives exactly expected (a failure says what it gave).
inline ::testing::AssertionResult LoadsValue(const IByteCache& cache, const TString& key, const Bytes& expected) {
  const Value loaded = cache.TryLoad(key).Get();
  if (loaded == nullptr) return ::testing::AssertionFailure() << "a miss";
  if (*loaded != expected) return ::testing::AssertionFailure() << "another value, of " << loaded->size() << " bytes";
  return ::testing::AssertionSuccess();
}

// Nothing a test started may outlive it: store and drop functions that ran
// past their time-out end on pool or dedicated threads.
inline bool WaitForBackgroundTasks() {
  return AsyncTask::WaitForThreadPoolIdle(kLongWait) && AsyncTask::WaitForDedicatedThreads(kLongWait);
}

}  // namespace kelcache_test
