// Running the kelcache command-line tool as a user would: a separate process
// with its own arguments, environment and stdin, its stdout and stderr
// collected apart.
//
//   CliResult result = RunCli({.args = {"disk", "ls", "--dir", dir, "--ns", "WAV2"}});
//   EXPECT_EQ(result.exitCode, 0) << result.Describe();
//
// The tool's path comes from the build (KELCACHE_CLI_PATH). The child's
// environment is this process's without any KELCACHE_* variable (so that the
// test's own settings never leak into the tool), plus CliRun::environment.
// With stderrOnTerminal, the child's stderr is a pseudo-terminal (isatty is
// true there) whose output is collected as `err`.
//
// CliProcess starts the tool and leaves it running, for commands that run
// until stopped (watch): read its output as it comes, signal it, wait.
// RunCli is a CliProcess waited for at once.
//
// Thread rules: one thread drives a run or a process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace kelcache_cli_test {

using kelcache_test::Environment;

struct CliRun {
  std::vector<std::string> args;
  std::string input;  // the child's stdin; empty: an empty stdin
  Environment environment;
  bool stderrOnTerminal = false;
  // Stdout and stderr both on one pseudo-terminal, as when the tool runs at
  // a terminal: everything lands in `err`, in the order written.
  bool outputOnTerminal = false;
};

struct CliResult : kelcache_test::ChildExit {
  std::string out;
  std::string err;

  // For failure messages.
  std::string Describe() const;
};

class CliProcess {
 public:
  explicit CliProcess(const CliRun& run);
  ~CliProcess();  // kills the tool if it still runs
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  // Reads what the tool writes until its stdout (its stderr with fromStderr)
  // holds `text`; false when it does not within the time-out or the tool
  // ended.
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout, bool fromStderr = false);
  // What the tool wrote so far.
  const CliResult& SoFar() const { return m_result; }

  void Signal(int signal);
  // Waits for the tool to end (killing it after the time-out) and gives
  // everything it wrote. (A tool that closes stdout and stderr has ended.)
  CliResult Wait(std::chrono::milliseconds timeout);

 private:
  // Reads what stdout and stderr have, waiting at most `wait` for them;
  // false once both are closed.
  bool Pump(std::chrono::milliseconds wait);

  pid_t m_pid = -1;
  int m_out = -1;  // read end of the child's stdout
  int m_err = -1;  // read end of its stderr (a pipe, or a pseudo-terminal's master)
  CliResult m_result;
};

// Runs the tool to its end (killing it after a minute).
inline CliResult RunCli(const CliRun& run) { return CliProcess(run).Wait(std::chrono::minutes(1)); }

}  // namespace kelcache_cli_test
