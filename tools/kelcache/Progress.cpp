#include "tools/kelcache/Progress.h"

#include <unistd.h>

#include <cstdio>

namespace kelcache_cli {

namespace {
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 30;
}  // namespace

Progress::Progress(std::string label, uint64_t total)
    : m_label(std::move(label)), m_total(total), m_terminal(isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() {
  Done();
}

void Progress::Done() {
  if (!m_shown) return;
  m_shown = false;
  // Back to the start of the line and erase it.
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
}

void Progress::Advance(uint64_t count) {
  m_done += count;
  if (!m_terminal) return;
  if (m_total > 0 ? m_total <= kThreshold : m_done <= kThreshold) return;
  const auto now = std::chrono::steady_clock::now();
  if (m_shown && now - m_lastDraw < kRedrawInterval && m_done != m_total) return;
  m_lastDraw = now;
  Draw();
}

void Progress::Draw() {
  m_shown = true;
  if (m_total == 0) {
    std::fprintf(stderr, "\r%s: %llu\033[K", m_label.c_str(), static_cast<unsigned long long>(m_done));
  } else {
    const uint64_t done = m_done < m_total ? m_done : m_total;
    const int filled = static_cast<int>(done * kBarWidth / m_total);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '.');
    std::fprintf(stderr, "\r%s [%s] %3d%% %llu/%llu\033[K", m_label.c_str(), bar.c_str(),
                 static_cast<int>(done * 100 / m_total), static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(m_total));
  }
  std::fflush(stderr);
}

}  // namespace kelcache_cli
