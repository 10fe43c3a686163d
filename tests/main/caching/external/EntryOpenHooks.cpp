// This file defines openat and openat64 itself. Asked for 64-bit file
// offsets, <fcntl.h> would name its openat openat64, and the definitions would
// clash; off_t is 64 bits here either way. (The file is built without the
// tests' precompiled header, so that this comes before every system header.)
#undef _FILE_OFFSET_BITS

#include "tests/main/caching/external/EntryOpenHooks.h"

#include <dlfcn.h>
#include <fcntl.h>

#include <cstdarg>
#include <deque>
#include <mutex>
#include <utility>

namespace kelcache_test {
namespace {

struct Step {
  std::string suffix;
  std::function<void()> run;
  bool onCreate = false;  // triggered by an open with O_CREAT, not by a reading one
};

std::mutex s_mutex;
std::deque<Step> s_steps;
int s_ran = 0;

bool EndsWith(const char* path, const std::string& suffix) {
  const std::string text(path);
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Runs the next step when this open is its trigger.
void RunStepFor(const char* path, int flags) {
  if (path == nullptr) return;
  std::function<void()> step;
  {
    std::lock_guard<std::mutex> lock(s_mutex);
    if (s_steps.empty() || !EndsWith(path, s_steps.front().suffix)) return;
    const int trigger = s_steps.front().onCreate ? O_CREAT : O_NONBLOCK | O_PATH;
    if ((flags & trigger) == 0) return;
    step = std::move(s_steps.front().run);
    s_steps.pop_front();
    ++s_ran;
  }
  step();
}

}  // namespace

EntryOpenHooks::~EntryOpenHooks() {
  std::lock_guard<std::mutex> lock(s_mutex);
  s_steps.clear();
  s_ran = 0;
}

void EntryOpenHooks::Then(std::string suffix, std::function<void()> step) {
  std::lock_guard<std::mutex> lock(s_mutex);
  s_steps.push_back({std::move(suffix), std::move(step)});
}

void EntryOpenHooks::ThenOnCreate(std::string suffix, std::function<void()> step) {
  std::lock_guard<std::mutex> lock(s_mutex);
  s_steps.push_back({std::move(suffix), std::move(step), true});
}

int EntryOpenHooks::Ran() const {
  std::lock_guard<std::mutex> lock(s_mutex);
  return s_ran;
}

}  // namespace kelcache_test

using OpenAt = int (*)(int, const char*, int, ...);

// On this C library openat and openat64 are one function (file offsets are
// 64-bit either way), so one definition serves both names; the library,
// built for 64-bit file offsets, calls openat64.
extern "C" int openat(int dirFd, const char* path, int flags, ...) {
  static const OpenAt s_next = reinterpret_cast<OpenAt>(dlsym(RTLD_NEXT, "openat"));
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  kelcache_test::RunStepFor(path, flags);
  return s_next(dirFd, path, flags, mode);
}

extern "C" int openat64(int dirFd, const char* path, int flags, ...) __attribute__((alias("openat")));
