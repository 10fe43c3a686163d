#include "tests/cli/CliProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace kelcache_cli_test {

using Clock = std::chrono::steady_clock;
using kelcache_test::CloseIfOpen;
using kelcache_test::Drain;

std::string CliResult::Describe() const {
  std::string text = exited ? "exit code " + std::to_string(exitCode)
                            : (timedOut ? std::string("timed out") : "killed by signal " + std::to_string(signal));
  return text + "\n--- stdout ---\n" + out + "\n--- stderr ---\n" + err;
}

CliProcess::CliProcess(const CliRun& run) {
  // The child's stdin is a file in memory holding the input, read from its
  // start, so nothing has to be written while the tool runs.
  int input = memfd_create("kelcache-cli-input", MFD_CLOEXEC);
  int outPipe[2] = {-1, -1};
  int errEnds[2] = {-1, -1};  // [0] read by us, [1] the child's stderr (a pipe or a pseudo-terminal)
  bool made = input >= 0 &&
              write(input, run.input.data(), run.input.size()) == static_cast<ssize_t>(run.input.size()) &&
              lseek(input, 0, SEEK_SET) == 0 && (run.outputOnTerminal || pipe2(outPipe, O_CLOEXEC) == 0);
  if (made && (run.stderrOnTerminal || run.outputOnTerminal)) {
    made = openpty(&errEnds[0], &errEnds[1], nullptr, nullptr, nullptr) == 0 &&
           fcntl(errEnds[0], F_SETFD, FD_CLOEXEC) == 0 && fcntl(errEnds[1], F_SETFD, FD_CLOEXEC) == 0;
  } else if (made) {
    made = pipe2(errEnds, O_CLOEXEC) == 0;
  }
  if (!made) {
    const std::string reason = std::strerror(errno);
    for (int* fd : {&input, &outPipe[0], &outPipe[1], &errEnds[0], &errEnds[1]}) CloseIfOpen(*fd);
    throw std::runtime_error("cannot make the tool's stdin, stdout and stderr: " + reason);
  }

  m_out = outPipe[0];
  m_err = errEnds[0];
  try {
    m_pid = kelcache_test::Spawn(KELCACHE_CLI_PATH, run.args,
                                 kelcache_test::ChildEnvironment(run.environment, true), input,
                                 run.outputOnTerminal ? errEnds[1] : outPipe[1], errEnds[1]);
  } catch (...) {
    CloseIfOpen(m_out);
    CloseIfOpen(m_err);
    throw;
  }
  for (int fd : {m_out, m_err}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

CliProcess::~CliProcess() {
  if (m_pid > 0) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
  CloseIfOpen(m_out);
  CloseIfOpen(m_err);
}

bool CliProcess::Pump(std::chrono::milliseconds wait) {
  pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};  // poll skips a closed (negative) one
  if (poll(fds, 2, static_cast<int>(wait.count())) > 0) {
    Drain(m_out, m_result.out);
    Drain(m_err, m_result.err);
  }
  return m_out >= 0 || m_err >= 0;
}

bool CliProcess::WaitFor(const std::string& text, std::chrono::milliseconds timeout, bool fromStderr) {
  const std::string& stream = fromStderr ? m_result.err : m_result.out;
  const auto deadline = Clock::now() + timeout;
  while (stream.find(text) == std::string::npos) {
    if (Clock::now() > deadline || !Pump(std::chrono::milliseconds(20))) return false;
  }
  return true;
}

void CliProcess::Signal(int signal) {
  if (m_pid > 0) kill(m_pid, signal);
}

// Reads what the child writes until it has closed both streams (it ended;
// killed once the time-out has passed), then reaps it.
CliResult CliProcess::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Pump(std::chrono::milliseconds(20))) {
    if (Clock::now() > deadline && !m_result.timedOut) {
      kill(m_pid, SIGKILL);
      m_result.timedOut = true;
    }
  }
  int status = 0;
  waitpid(m_pid, &status, 0);
  m_pid = -1;
  m_result.Record(status);
  return m_result;
}

}  // namespace kelcache_cli_test
