// Second-level caches: the disk store through the asynchronous frame, side by
// side with a raw loop over the same files, and the frame's own cost.
//
//   Frame/Store, Frame/Load   DiskExternalCache::TryStore / TryLoad, waited for
//   Raw/Store, Raw/Load       the same file operations on the calling thread,
//                             with nothing else (no task, lock or check): the
//                             limit of this disk
//   Overhead/Store, /Load     the frame over store functions that do nothing
//   Compare/Store, /Load      one raw and one frame operation in each
//                             iteration, timed apart; the medians are the
//                             counters raw_us and frame_us, and frame_per_raw
//                             is raw_us / frame_us (the frame's throughput as
//                             a share of the raw loop's)
//
// The Frame and Raw figures of stores, run one after another, are no basis
// for a ratio: unlink, create and rename cost what the file system's journal
// and write-back make them cost at that moment, and a benchmark pays for the
// removal of the files of the one before it (on a shared machine a raw 4 KiB
// store measured anywhere from 50 to 1,100 us, and Raw/Store run after
// Frame/Store came out slower than Frame/Store, though faster when run
// alone). Compare puts both sides in the same moments; read its ratio.
//
// Values of 4 KiB, 64 KiB and 1 MiB under 64 keys in turn. items_per_second
// is operations per second, bytes_per_second the value bytes moved.
// docs/external-caches.md shows the figures of one run and their ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
  explicit BenchFolder(const std::string& suffix = "")
      : m_path(fs::temp_directory_path() / ("kelcache-bench-" + std::to_string(getpid()) + suffix)) {
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

void FrameStore(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  BenchFolder folder;
  DiskExternalCache cache(u"bench", TPath(TString::fromStdString(folder.Path().string())), nullptr);
  const std::vector<TString> keys = Keys();
  auto value = Value(size);
  // Every entry is there before timing starts, as for the raw loop: both
  // measure replacing an entry.
  for (const TString& key : keys) cache.TryStore(key, value, kLoadTimeMs, -1).Get();
  size_t i = 0;
  for (auto _ : state) {
    if (!cache.TryStore(keys[i++ % kKeys], value, kLoadTimeMs, -1).Get()) state.SkipWithError("store failed");
  }
  Report(state, size);
}

void FrameLoad(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  BenchFolder folder;
  DiskExternalCache cache(u"bench", TPath(TString::fromStdString(folder.Path().string())), nullptr);
  const std::vector<TString> keys = Keys();
  auto value = Value(size);
  for (const TString& key : keys) cache.TryStore(key, value, kLoadTimeMs, -1).Get();
  size_t i = 0;
  for (auto _ : state) {
    auto loaded = cache.TryLoad(keys[i++ % kKeys]).Get();
    if (!loaded || loaded->size() != size) state.SkipWithError("load missed");
    benchmark::DoNotOptimize(loaded);
  }
  Report(state, size);
}

// The raw loops: the file operations that a store and a load cannot do
// without, on the calling thread, and nothing else (no task, no lock, no key
// check, no last-write time). A store removes the old ".bin" and ".key",
// creates ".key", writes the value to a temporary file and renames it to
// ".bin", then writes the key text; a load reads ".key" and ".bin" whole,
// each with open, fstat, read and close, into a new buffer of the file's
// size. (Renaming over an existing ".bin", or rewriting a file in place with
// O_TRUNC, is far slower on ext4, whose "replace" heuristics flush the new
// data; the store avoids both, and so does this limit.)
void WriteWhole(const std::string& path, int flags, const void* bytes, size_t length) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666);
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

std::shared_ptr<Bytes> ReadWhole(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  fstat(fd, &info);
  auto bytes = std::make_shared<Bytes>(static_cast<size_t>(info.st_size));
  size_t done = 0;
  while (done < bytes->size()) {
    const ssize_t got = read(fd, bytes->data() + done, bytes->size() - done);
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  bytes->resize(done);
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
                       (folder / ("..bin.tmp-" + std::to_string(getpid()))).string(), key.toStdString()});
  }
  return entries;
}

void RawStoreOnce(const RawEntry& entry, const Bytes& value) {
  unlink(entry.valueFile.c_str());
  unlink(entry.keyFile.c_str());
  const int keyFd = open(entry.keyFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  WriteWhole(entry.temporaryFile, O_EXCL, value.data(), value.size());
  rename(entry.temporaryFile.c_str(), entry.valueFile.c_str());
  if (keyFd >= 0) {
    if (write(keyFd, entry.keyText.data(), entry.keyText.size()) < 0) return;
    close(keyFd);
  }
}

void RawStore(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  BenchFolder folder;
  const std::vector<RawEntry> entries = RawEntries(folder.Path());
  auto value = Value(size);
  for (const RawEntry& entry : entries) RawStoreOnce(entry, *value);
  size_t i = 0;
  for (auto _ : state) RawStoreOnce(entries[i++ % kKeys], *value);
  Report(state, size);
}

void RawLoad(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  BenchFolder folder;
  const std::vector<RawEntry> entries = RawEntries(folder.Path());
  auto value = Value(size);
  for (const RawEntry& entry : entries) RawStoreOnce(entry, *value);
  size_t i = 0;
  for (auto _ : state) {
    const RawEntry& entry = entries[i++ % kKeys];
    std::shared_ptr<Bytes> key = ReadWhole(entry.keyFile);
    std::shared_ptr<Bytes> loaded = ReadWhole(entry.valueFile);
    if (!loaded || loaded->size() != size) state.SkipWithError("raw read short");
    benchmark::DoNotOptimize(key);
    benchmark::DoNotOptimize(loaded);
  }
  Report(state, size);
}

// Medians of per-iteration times, for the Compare benchmarks.
class SideBySide {
 public:
  using Clock = std::chrono::steady_clock;
  void AddRaw(Clock::duration d) { m_raw.push_back(Micros(d)); }
  void AddFrame(Clock::duration d) { m_frame.push_back(Micros(d)); }
  void Report(benchmark::State& state) {
    if (m_raw.empty() || m_frame.empty()) return;
    const double raw = Median(m_raw), frame = Median(m_frame);
    state.counters["raw_us"] = raw;
    state.counters["frame_us"] = frame;
    state.counters["frame_per_raw"] = raw / frame;
  }

 private:
  static double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }
  static double Median(std::vector<double>& values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
  }
  std::vector<double> m_raw, m_frame;
};

void CompareStore(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  BenchFolder rawFolder("-raw"), frameFolder("-frame");
  const std::vector<RawEntry> entries = RawEntries(rawFolder.Path());
  DiskExternalCache cache(u"bench", TPath(TString::fromStdString(frameFolder.Path().string())), nullptr);
  const std::vector<TString> keys = Keys();
  auto value = Value(size);
  for (size_t k = 0; k < kKeys; ++k) {
    RawStoreOnce(entries[k], *value);
    cache.TryStore(keys[k], value, kLoadTimeMs, -1).Get();
  }
  SideBySide times;
  size_t i = 0;
  for (auto _ : state) {
    const size_t k = i++ % kKeys;
    const auto start = SideBySide::Clock::now();
    RawStoreOnce(entries[k], *value);
    const auto between = SideBySide::Clock::now();
    if (!cache.TryStore(keys[k], value, kLoadTimeMs, -1).Get()) state.SkipWithError("store failed");
    times.AddRaw(between - start);
    times.AddFrame(SideBySide::Clock::now() - between);
  }
  times.Report(state);
  Report(state, size);
}

void CompareLoad(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  BenchFolder rawFolder("-raw"), frameFolder("-frame");
  const std::vector<RawEntry> entries = RawEntries(rawFolder.Path());
  DiskExternalCache cache(u"bench", TPath(TString::fromStdString(frameFolder.Path().string())), nullptr);
  const std::vector<TString> keys = Keys();
  auto value = Value(size);
  for (size_t k = 0; k < kKeys; ++k) {
    RawStoreOnce(entries[k], *value);
    cache.TryStore(keys[k], value, kLoadTimeMs, -1).Get();
  }
  SideBySide times;
  size_t i = 0;
  for (auto _ : state) {
    const size_t k = i++ % kKeys;
    const auto start = SideBySide::Clock::now();
    std::shared_ptr<Bytes> key = ReadWhole(entries[k].keyFile);
    std::shared_ptr<Bytes> raw = ReadWhole(entries[k].valueFile);
    const auto between = SideBySide::Clock::now();
    std::shared_ptr<Bytes> loaded = cache.TryLoad(keys[k]).Get();
    times.AddRaw(between - start);
    times.AddFrame(SideBySide::Clock::now() - between);
    if (!raw || raw->size() != size || !loaded || loaded->size() != size) state.SkipWithError("load missed");
    benchmark::DoNotOptimize(key);
    benchmark::DoNotOptimize(loaded);
  }
  times.Report(state);
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

BENCHMARK(FrameStore)->Name("Frame/Store")->Arg(4096)->Arg(65536)->Arg(1048576)->UseRealTime();
BENCHMARK(RawStore)->Name("Raw/Store")->Arg(4096)->Arg(65536)->Arg(1048576)->UseRealTime();
BENCHMARK(FrameLoad)->Name("Frame/Load")->Arg(4096)->Arg(65536)->Arg(1048576)->UseRealTime();
BENCHMARK(RawLoad)->Name("Raw/Load")->Arg(4096)->Arg(65536)->Arg(1048576)->UseRealTime();
BENCHMARK(CompareStore)->Name("Compare/Store")->Arg(4096)->Arg(65536)->Arg(1048576)->UseRealTime();
BENCHMARK(CompareLoad)->Name("Compare/Load")->Arg(4096)->Arg(65536)->Arg(1048576)->UseRealTime();
BENCHMARK(OverheadStore)->Name("Overhead/Store")->UseRealTime();
BENCHMARK(OverheadLoad)->Name("Overhead/Load")->UseRealTime();
