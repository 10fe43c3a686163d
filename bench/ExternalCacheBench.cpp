// Second-level caches: the disk store through the asynchronous frame, side by
// side with a raw loop over the same files, and the frame's own cost.
//
//   Frame/Store, Frame/Load   DiskExternalCache::TryStore / TryLoad, waited for
//   Raw/Store, Raw/Load       the value bytes alone, on the calling thread, with
//                             POSIX calls: a store writes a temporary file and
//                             renames it over the entry's ".bin" (the same
//                             atomic replacement the store makes); a load
//                             opens, fstats, reads and closes the whole ".bin".
//                             The limit of this disk for one value.
//   Overhead/Store, /Load     the frame over store functions that do nothing
//
// Values of 4 KiB, 64 KiB and 1 MiB (ArgName "bytes") under 64 keys in turn.
// items_per_second is operations per second, bytes_per_second the value bytes
// moved.
// docs/external-caches.md shows the figures of one run and their ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/TLog.h"
#include "host/TPath.h"
#include "public/caching/DiskExternalCache.h"
#include "public/caching/ExternalCache.h"

namespace {

using Bytes = std::vector<uint8_t>;
using kelvra::caching::DiskExternalCache;
using kelvra::caching::ExternalCache;
namespace fs = std::filesystem;

constexpr int kKeys = 64;
// Above every default lower bound, so that no store is skipped as cheap.
constexpr unsigned kLoadTimeMs = 1000;

// A fresh folder for one benchmark, removed afterwards.
class BenchFolder {
 public:
  BenchFolder() : m_path(fs::temp_directory_path() / ("kelcache-bench-" + std::to_string(getpid()))) {
    fs::remove_all(m_path);
    fs::create_directories(m_path);
  }
  ~BenchFolder() { fs::remove_all(m_path); }
  const fs::path& Path() const { return m_path; }

 private:
  fs::path m_path;
};

std::vector<TString> Keys() {
  std::vector<TString> keys;
  for (int i = 0; i < kKeys; ++i) keys.push_back(TString(u"bench/key/") + TString::number(i));
  return keys;
}

std::shared_ptr<Bytes> Value(size_t size) {
  auto value = std::make_shared<Bytes>(size);
  for (size_t i = 0; i < size; ++i) (*value)[i] = static_cast<uint8_t>(i * 31);
  return value;
}

void Report(benchmark::State& state, size_t valueSize) {
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(valueSize));
}

// The disk store over a fresh folder, its keys and a value of the
// benchmark's size.
struct FrameSetup {
  explicit FrameSetup(const benchmark::State& state)
      : size(static_cast<size_t>(state.range(0))),
        cache(u"bench", TPath(TString::fromStdString(folder.Path().string())), nullptr),
        value(Value(size)) {}
  const size_t size;
  BenchFolder folder;
  DiskExternalCache cache;
  const std::vector<TString> keys = Keys();
  std::shared_ptr<Bytes> value;
};

void FrameStore(benchmark::State& state) {
  FrameSetup frame(state);
  size_t i = 0;
  for (auto _ : state) {
    if (!frame.cache.TryStore(frame.keys[i++ % kKeys], frame.value, kLoadTimeMs, -1).Get()) {
      state.SkipWithError("store failed");
    }
  }
  Report(state, frame.size);
}

void FrameLoad(benchmark::State& state) {
  FrameSetup frame(state);
  for (const TString& key : frame.keys) frame.cache.TryStore(key, frame.value, kLoadTimeMs, -1).Get();
  size_t i = 0;
  for (auto _ : state) {
    auto loaded = frame.cache.TryLoad(frame.keys[i++ % kKeys]).Get();
    if (!loaded || loaded->size() != frame.size) state.SkipWithError("load missed");
    benchmark::DoNotOptimize(loaded);
  }
  Report(state, frame.size);
}

// The raw loop: the entry's value file, written and read with plain system
// calls (no frame, no task, no lock, no key file). A store writes a new
// temporary file and renames it over the old one, never rewriting a file in
// place: that (O_TRUNC) is far slower on ext4, whose "replace by truncate"
// heuristic flushes the file on close, and would not be a fair limit.
void WriteWhole(const std::string& path, const void* bytes, size_t length) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return;
  const char* next = static_cast<const char*>(bytes);
  while (length > 0) {
    const ssize_t written = write(fd, next, length);
    if (written <= 0) break;
    next += written;
    length -= static_cast<size_t>(written);
  }
  close(fd);
}

Bytes ReadWhole(const std::string& path) {
  Bytes bytes;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    close(fd);
    return bytes;
  }
  bytes.resize(static_cast<size_t>(status.st_size));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  bytes.resize(done);
  close(fd);
  return bytes;
}

struct RawEntry {
  std::string folder, keyFile, valueFile, temporaryFile, keyText;
};

std::vector<RawEntry> RawEntries(const fs::path& root) {
  std::vector<RawEntry> entries;
  for (const TString& key : Keys()) {
    const fs::path folder = root / kelvra::caching::KeyHash(key).toStdString();
    fs::create_directories(folder);
    entries.push_back({folder.string(), (folder / ".key").string(), (folder / ".bin").string(),
                       (folder / ".bin.tmp").string(), key.toStdString()});
  }
  return entries;
}

void RawStore(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  BenchFolder folder;
  const std::vector<RawEntry> entries = RawEntries(folder.Path());
  auto value = Value(size);
  size_t i = 0;
  for (auto _ : state) {
    const RawEntry& entry = entries[i++ % kKeys];
    WriteWhole(entry.temporaryFile, value->data(), value->size());
    if (std::rename(entry.temporaryFile.c_str(), entry.valueFile.c_str()) != 0)
      state.SkipWithError("rename failed");
  }
  Report(state, size);
}

void RawLoad(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  BenchFolder folder;
  const std::vector<RawEntry> entries = RawEntries(folder.Path());
  auto value = Value(size);
  for (const RawEntry& entry : entries) {
    WriteWhole(entry.valueFile, value->data(), value->size());
    WriteWhole(entry.keyFile, entry.keyText.data(), entry.keyText.size());
  }
  size_t i = 0;
  for (auto _ : state) {
    const RawEntry& entry = entries[i++ % kKeys];
    Bytes loaded = ReadWhole(entry.valueFile);
    if (loaded.size() != size) state.SkipWithError("raw read short");
    benchmark::DoNotOptimize(loaded);
  }
  Report(state, size);
}

// The frame over functions that do nothing: task launch, key hash, event,
// metrics scope, semaphore slot and Run's own task (stores).
class NothingStore : public ExternalCache<TString, Bytes> {
 public:
  explicit NothingStore(std::shared_ptr<Bytes> value)
      : ExternalCache(u"bench", 0, true), m_value(std::move(value)) {}

 protected:
  StoreFunc GetStoreFunc() const override {
    return [](TString, TString, std::shared_ptr<Bytes>, long long) {};
  }
  LoadFunc GetLoadFunc() const override {
    return [value = m_value](TString, TString) { return value; };
  }
  DropFunc GetDropFunc() const override {
    return [](TString, TString) {};
  }

 private:
  std::shared_ptr<Bytes> m_value;
};

void OverheadStore(benchmark::State& state) {
  NothingStore cache(Value(4096));
  const std::vector<TString> keys = Keys();
  auto value = Value(4096);
  size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(cache.TryStore(keys[i++ % kKeys], value, kLoadTimeMs, -1).Get());
  state.SetItemsProcessed(state.iterations());
}

void OverheadLoad(benchmark::State& state) {
  NothingStore cache(Value(4096));
  const std::vector<TString> keys = Keys();
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(cache.TryLoad(keys[i++ % kKeys]).Get());
  state.SetItemsProcessed(state.iterations());
}

// Events are written at Info; keep the sink at its default (Warn) so that
// the figures do not include writing them out.
const bool s_quiet = [] {
  TLog::SetLevel(TLog::Warn);
  return true;
}();

}  // namespace

BENCHMARK(FrameStore)
    ->Name("Frame/Store")
    ->ArgName("bytes")
    ->Arg(4096)
    ->Arg(65536)
    ->Arg(1048576)
    ->UseRealTime();
BENCHMARK(RawStore)->Name("Raw/Store")->ArgName("bytes")->Arg(4096)->Arg(65536)->Arg(1048576)->UseRealTime();
BENCHMARK(FrameLoad)
    ->Name("Frame/Load")
    ->ArgName("bytes")
    ->Arg(4096)
    ->Arg(65536)
    ->Arg(1048576)
    ->UseRealTime();
BENCHMARK(RawLoad)->Name("Raw/Load")->ArgName("bytes")->Arg(4096)->Arg(65536)->Arg(1048576)->UseRealTime();
BENCHMARK(OverheadStore)->Name("Overhead/Store")->UseRealTime();
BENCHMARK(OverheadLoad)->Name("Overhead/Load")->UseRealTime();
