// The hand-over of work to another thread and back: the unit that every
// external-cache operation pays at least once.
//
//   Handoff/Kelcache
//       AsyncTask::Launch(LaunchMode::Asynchronous, [] { return 1; }).Get()
//       from one caller: the task runs on a pool worker (or a dedicated
//       thread) and its future wakes the caller
//   Handoff/MutexCondVar
//       the bare limit: two threads play ping-pong over one mutex, one
//       condition variable and a turn flag; one round trip per iteration
//   HandoffLatency/Kelcache, HandoffLatency/MutexCondVar
//       the same, each round trip timed alone (20,000 of them); counters
//       p50_ns, p90_ns, p99_ns, p999_ns. With --handoff_histogram_dir=<dir>
//       the program also writes each latency histogram to
//       <dir>/handoff-<kelcache|mutex-condvar>.dat for the plots: one line
//       per bucket, "<bucket's lower bound in µs> <share of round trips>",
//       buckets 20 to a decade from 0.1 µs.
//
// items_per_second is round trips per second (wall-clock).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/AsyncTask.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLatencySamples = 20000;
std::string s_histogramDir;  // from --handoff_histogram_dir; empty: no files

// A partner thread that answers every ping with a pong.
// Thread-safe: m_mutex guards m_turn.
class PingPong {
 public:
  PingPong()
      : m_partner([this] {
          std::unique_lock<std::mutex> lock(m_mutex);
          for (;;) {
            m_changed.wait(lock, [this] { return m_turn != Turn::kCaller; });
            if (m_turn == Turn::kStop) return;
            m_turn = Turn::kCaller;
            m_changed.notify_all();
          }
        }) {}
  ~PingPong() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_turn = Turn::kStop;
    }
    m_changed.notify_all();
    m_partner.join();
  }
  // One round trip: hands the turn to the partner and waits for it back.
  void RoundTrip() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_turn = Turn::kPartner;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return m_turn == Turn::kCaller; });
  }

 private:
  enum class Turn { kCaller, kPartner, kStop };
  std::mutex m_mutex;
  std::condition_variable m_changed;
  Turn m_turn = Turn::kCaller;
  std::thread m_partner;  // last: starts once the members above exist
};

int KelcacheRoundTrip() {
  return AsyncTask::Launch(AsyncTask::LaunchMode::Asynchronous, [] { return 1; }).Get();
}

void HandoffKelcache(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(KelcacheRoundTrip());
  state.SetItemsProcessed(state.iterations());
}

void HandoffMutexCondVar(benchmark::State& state) {
  PingPong pingPong;
  for (auto _ : state) pingPong.RoundTrip();
  state.SetItemsProcessed(state.iterations());
}

// 20 log-spaced buckets per decade from 0.1 µs; the last one holds the rest.
void WriteHistogram(const std::string& name, const std::vector<double>& nanos) {
  if (s_histogramDir.empty()) return;
  constexpr int kPerDecade = 20;
  constexpr int kBuckets = 5 * kPerDecade;  // 0.1 µs to 10 ms
  std::vector<size_t> counts(kBuckets, 0);
  for (double ns : nanos) {
    const int bucket = static_cast<int>(std::floor(std::log10(std::max(ns, 100.0) / 100.0) * kPerDecade));
    ++counts[static_cast<size_t>(std::min(bucket, kBuckets - 1))];
  }
  std::ofstream out(s_histogramDir + "/handoff-" + name + ".dat");
  out << "# lower bound (us)  share of round trips\n";
  for (int bucket = 0; bucket < kBuckets; ++bucket) {
    out << 0.1 * std::pow(10.0, static_cast<double>(bucket) / kPerDecade) << " "
        << static_cast<double>(counts[static_cast<size_t>(bucket)]) / static_cast<double>(nanos.size())
        << "\n";
  }
}

template <class RoundTrip>
void MeasureLatencies(benchmark::State& state, const std::string& name, RoundTrip roundTrip) {
  std::vector<double> nanos(kLatencySamples);
  for (auto _ : state) {
    for (double& sample : nanos) {
      const Clock::time_point start = Clock::now();
      roundTrip();
      sample = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    }
  }
  WriteHistogram(name, nanos);
  std::sort(nanos.begin(), nanos.end());
  auto at = [&nanos](double share) {
    return nanos[static_cast<size_t>(share * static_cast<double>(nanos.size() - 1))];
  };
  state.counters["p50_ns"] = at(0.50);
  state.counters["p90_ns"] = at(0.90);
  state.counters["p99_ns"] = at(0.99);
  state.counters["p999_ns"] = at(0.999);
  state.SetItemsProcessed(state.iterations() * kLatencySamples);
}

void HandoffLatencyKelcache(benchmark::State& state) {
  MeasureLatencies(state, "kelcache", [] { benchmark::DoNotOptimize(KelcacheRoundTrip()); });
}

void HandoffLatencyMutexCondVar(benchmark::State& state) {
  PingPong pingPong;
  MeasureLatencies(state, "mutex-condvar", [&pingPong] { pingPong.RoundTrip(); });
}

}  // namespace

BENCHMARK(HandoffKelcache)->Name("Handoff/Kelcache")->UseRealTime();
BENCHMARK(HandoffMutexCondVar)->Name("Handoff/MutexCondVar")->UseRealTime();
BENCHMARK(HandoffLatencyKelcache)
    ->Name("HandoffLatency/Kelcache")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(HandoffLatencyMutexCondVar)
    ->Name("HandoffLatency/MutexCondVar")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Google Benchmark's main, plus --handoff_histogram_dir=<dir>.
int main(int argc, char** argv) {
  const std::string flag = "--handoff_histogram_dir=";
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], flag.c_str(), flag.size()) == 0) {
      s_histogramDir = argv[i] + flag.size();
    } else {
      rest.push_back(argv[i]);
    }
  }
  int restCount = static_cast<int>(rest.size());
  benchmark::Initialize(&restCount, rest.data());
  if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
