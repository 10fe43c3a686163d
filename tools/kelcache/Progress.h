// A progress bar on stderr for long scans of the kelcache command-line tool.
//
// It shows only when stderr is a terminal and the scan is long: more than
// kThreshold items when the total is known, or once more than kThreshold
// items were counted when it is not (then it shows the count alone). Piped
// or redirected, it never writes anything. It redraws at most ten times a
// second, and Done (or the destructor) erases it: call Done before the
// command writes its output, so that the output, on the same terminal, is
// never mixed into it.
//
//   Progress progress("inspecting entries", names.size());
//   for (...) { ...; progress.Advance(); }
//   progress.Done();
//
// Thread rules: one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kelcache_cli {

class Progress {
 public:
  static constexpr uint64_t kThreshold = 10000;

  // total 0: unknown.
  Progress(std::string label, uint64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Advance(uint64_t count = 1);
  // Erases the bar, if it shows; it shows again at the next Advance.
  void Done();

 private:
  void Draw();

  const std::string m_label;
  const uint64_t m_total;
  const bool m_terminal;
  uint64_t m_done = 0;
  bool m_shown = false;
  std::chrono::steady_clock::time_point m_lastDraw;
};

}  // namespace kelcache_cli
