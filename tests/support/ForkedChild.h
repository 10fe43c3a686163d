// Running part of a test in a child made by fork without exec, as a
// pre-forking host does, to see what the library gives such a child.
//
//   EXPECT_TRUE(RunInForkedChild([&] { return cache.TryLoad(key).Get() ? 0 : 1; },
//                                "1: the load"));
//
// The child runs `body` and leaves with _exit(body's result): a bit per
// failed check, named in `bits`. A child that hangs is ended by SIGALRM after
// 30 s. ThreadSanitizer ends a child of a multi-threaded fork that makes
// threads, so callers leave such tests out of that build.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace kelcache_test {

inline ::testing::AssertionResult RunInForkedChild(const std::function<int()>& body, const char* bits) {
  const pid_t child = fork();
  if (child == -1) return ::testing::AssertionFailure() << "fork failed";
  if (child == 0) {
    alarm(30);
    _exit(body());
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) return ::testing::AssertionFailure() << "waitpid failed";
  if (!WIFEXITED(status)) {
    return ::testing::AssertionFailure() << "the child hung or crashed (signal " << WTERMSIG(status) << ")";
  }
  if (WEXITSTATUS(status) != 0) {
    return ::testing::AssertionFailure() << "the child failed with " << WEXITSTATUS(status) << " (" << bits << ")";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace kelcache_test
