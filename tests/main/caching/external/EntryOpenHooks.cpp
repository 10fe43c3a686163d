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
#include <exception>
#include <mutex>
#include <utility>

#include <gtest/gtest.h>

namespace kelcache_test {
namespace {

enum class Trigger { ReadingOpen, CreatingOpen, Removal };

struct Step {
  std::string suffix;
  std::function<void()> run;
  Trigger trigger;
};

std::mutex s_mutex;
std::deque<Step> s_steps;
int s_ran = 0;

bool EndsWith(const char* path, const std::string& suffix) {
  const std::string text(path);
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Whether an open with `flags` is a call of the kind `trigger` waits for: a
// creating open (O_CREAT), or a reading open as the disk store makes one
// (O_NONBLOCK or O_PATH).
bool OpenTriggers(Trigger trigger, int flags) {
  if (trigger == Trigger::CreatingOpen) return (flags & O_CREAT) != 0;
  return trigger == Trigger::ReadingOpen && (flags & (O_NONBLOCK | O_PATH)) != 0;
}

// Runs the next step when this call (an open with `flags`, or a removal) is
// its trigger.
void RunStepFor(const char* path, const std::function<bool(Trigger)>& triggers) {
  if (path == nullptr) return;
  std::function<void()> step;
  {
    std::lock_guard<std::mutex> lock(s_mutex);
    if (s_steps.empty() || !EndsWith(path, s_steps.front().suffix)) return;
    if (!triggers(s_steps.front().trigger)) return;
    step = std::move(s_steps.front().run);
    s_steps.pop_front();
    ++s_ran;
  }
  // The calls that run steps never raise (unlinkat is noexcept): a step that
  // raises fails the test rather than end the program.
  try {
    step();
  } catch (const std::exception& failure) {
    ADD_FAILURE() << "a step raised: " << failure.what();
  }
}

}  // namespace

EntryOpenHooks::~EntryOpenHooks() {
  std::lock_guard<std::mutex> lock(s_mutex);
  s_steps.clear();
  s_ran = 0;
}

void EntryOpenHooks::Then(std::string suffix, std::function<void()> step) {
  std::lock_guard<std::mutex> lock(s_mutex);
  s_steps.push_back({std::move(suffix), std::move(step), Trigger::ReadingOpen});
}

void EntryOpenHooks::ThenOnCreate(std::string suffix, std::function<void()> step) {
  std::lock_guard<std::mutex> lock(s_mutex);
  s_steps.push_back({std::move(suffix), std::move(step), Trigger::CreatingOpen});
}

void EntryOpenHooks::ThenOnRemove(std::string suffix, std::function<void()> step) {
  std::lock_guard<std::mutex> lock(s_mutex);
  s_steps.push_back({std::move(suffix), std::move(step), Trigger::Removal});
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
  kelcache_test::RunStepFor(path, [flags](kelcache_test::Trigger trigger) {
    return kelcache_test::OpenTriggers(trigger, flags);
  });
  return s_next(dirFd, path, flags, mode);
}

extern "C" int openat64(int dirFd, const char* path, int flags, ...) __attribute__((alias("openat")));

using UnlinkAt = int (*)(int, const char*, int);

extern "C" int unlinkat(int dirFd, const char* path, int flags) {
  static const UnlinkAt s_next = reinterpret_cast<UnlinkAt>(dlsym(RTLD_NEXT, "unlinkat"));
  kelcache_test::RunStepFor(path, [](kelcache_test::Trigger trigger) {
    return trigger == kelcache_test::Trigger::Removal;
  });
  return s_next(dirFd, path, flags);
}
