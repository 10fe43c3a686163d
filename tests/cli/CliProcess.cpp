#include "tests/cli/CliProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kelcache_cli_test {

namespace {

using Clock = std::chrono::steady_clock;

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Reads what fd has into `into`; closes it at its end. A pseudo-terminal's
// master reports its end as EIO.
void Drain(int& fd, std::string& into) {
  char buffer[65536];
  ssize_t count;
  while ((count = read(fd, buffer, sizeof(buffer))) > 0) into.append(buffer, static_cast<size_t>(count));
  if (count == 0 || (errno != EAGAIN && errno != EINTR)) CloseIfOpen(fd);
}

}  // namespace

std::string CliResult::Describe() const {
  std::string text = exited ? "exit code " + std::to_string(exitCode)
                            : (timedOut ? std::string("timed out") : "killed by signal " + std::to_string(signal));
  return text + "\n--- stdout ---\n" + out + "\n--- stderr ---\n" + err;
}

CliProcess::CliProcess(const CliRun& run) {
  // The child's stdin is a file in memory holding the input, read from its
  // start, so nothing has to be written while the tool runs.
  const int input = memfd_create("kelcache-cli-input", MFD_CLOEXEC);
  int outPipe[2];
  int errEnds[2];  // [0] read by us, [1] the child's stderr
  if (input < 0 || write(input, run.input.data(), run.input.size()) != static_cast<ssize_t>(run.input.size()) ||
      lseek(input, 0, SEEK_SET) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot make the tool's stdin and stdout");
  }
  if (run.stderrOnTerminal) {
    if (openpty(&errEnds[0], &errEnds[1], nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    fcntl(errEnds[0], F_SETFD, FD_CLOEXEC);
    fcntl(errEnds[1], F_SETFD, FD_CLOEXEC);
  } else if (pipe2(errEnds, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }

  std::vector<std::string> argvText = {KELCACHE_CLI_PATH};
  argvText.insert(argvText.end(), run.args.begin(), run.args.end());
  std::vector<char*> argv;
  for (std::string& text : argvText) argv.push_back(text.data());
  argv.push_back(nullptr);
  std::vector<std::string> envText = kelcache_test::ChildEnvironment(run.environment, true);
  std::vector<char*> envp;
  for (std::string& text : envText) envp.push_back(text.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errEnds[1], 2);
  const int error = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : {input, outPipe[1], errEnds[1]}) close(fd);
  m_out = outPipe[0];
  m_err = errEnds[0];
  if (error != 0) {
    m_pid = -1;
    CloseIfOpen(m_out);
    CloseIfOpen(m_err);
    throw std::runtime_error(std::string("cannot start ") + argv[0] + ": " + std::strerror(error));
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
    if (m_out >= 0) Drain(m_out, m_result.out);
    if (m_err >= 0) Drain(m_err, m_result.err);
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
