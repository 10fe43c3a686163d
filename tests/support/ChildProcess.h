// Running a test body in a separate process.
//
// Some behaviour is process-wide and fixed at its first use (switches computed
// once, a semaphore created once), and some tests must kill a process. A
// parent test runs one of the test binary's own DISABLED_ tests in a child
// process (the same executable, --gtest_also_run_disabled_tests and a filter),
// with extra environment variables, and checks its exit status and output.
// DISABLED_ tests are not run by ctest or by a plain run of the binary.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace kelcache_test {

using Environment = std::vector<std::pair<std::string, std::string>>;

// How a child process ended.
struct ChildExit {
  bool exited = false;    // ended by itself (else killed by a signal or timed out)
  int exitCode = -1;      // when exited
  int signal = 0;         // when killed by a signal
  bool timedOut = false;  // killed after the time-out

  // Fills in the rest from a waitpid status; set timedOut first.
  void Record(int status);
};

struct ChildResult : ChildExit {
  std::string output;  // standard output and standard error together

  bool Passed() const { return exited && exitCode == 0; }
};

// Runs this executable with `arguments` and exactly the environment
// `variables` ("NAME=value" each), collecting its standard output and error;
// kills it after `timeout`.
ChildResult RunSelf(const std::vector<std::string>& arguments, const std::vector<std::string>& variables,
                    std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Runs the gtest filter `testFilter` of this executable in a child process
// whose environment is this process's plus `environment`, and waits for it
// (killing it after `timeout`).
ChildResult RunChildTest(const std::string& testFilter, const Environment& environment = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Starts the same kind of child without waiting; its output goes to this
// process's standard error. Returns the child's pid.
pid_t StartChildTest(const std::string& testFilter, const Environment& environment = {});

// Waits for a child started with StartChildTest; kills it after `timeout`.
ChildResult WaitForChild(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Starts `program` with `arguments` and exactly the environment `variables`
// ("NAME=value" each); its stdin, stdout and stderr are the given fds (-1:
// this process's own). The given fds are the child's: they are closed here,
// also when the start fails, which throws "cannot start <program>: <reason>".
pid_t Spawn(const std::string& program, std::vector<std::string> arguments,
            std::vector<std::string> variables, int stdinFd, int stdoutFd, int stderrFd);

// Appends what the non-blocking `fd` holds now to `into`. At the end of its
// stream (a pseudo-terminal's master reports it as EIO) closes fd and sets
// it to -1; a closed (-1) fd reads nothing.
void Drain(int& fd, std::string& into);

// Closes fd unless it is -1, and sets it to -1.
void CloseIfOpen(int& fd);

// The value of an environment variable, or `fallback` when it is not set.
std::string GetEnv(const char* name, const std::string& fallback = std::string());

// This process's environment as "NAME=value" texts, with `extra` replacing or
// adding variables; without any KELCACHE_* variable of this process when
// withoutOwnSettings is set (so that the test's own settings never leak).
std::vector<std::string> ChildEnvironment(const Environment& extra, bool withoutOwnSettings = false);

}  // namespace kelcache_test
