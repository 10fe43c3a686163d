#include "tests/cli/CliProcess.h"

#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
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
  for (;;) {
    const ssize_t count = read(fd, buffer, sizeof(buffer));
    if (count > 0) {
      into.append(buffer, static_cast<size_t>(count));
      continue;
    }
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
    CloseIfOpen(fd);
    return;
  }
}

}  // namespace

std::string CliResult::Describe() const {
  std::string text = exited ? "exit code " + std::to_string(exitCode)
                            : (timedOut ? std::string("timed out") : "killed by signal " + std::to_string(signal));
  return text + "\n--- stdout ---\n" + out + "\n--- stderr ---\n" + err;
}

CliProcess::CliProcess(const CliRun& run) : m_input(run.input) {
  // A child that stops reading its stdin must not kill the test with SIGPIPE.
  static const bool sigpipeIgnored = (signal(SIGPIPE, SIG_IGN), true);
  (void)sigpipeIgnored;
  int inPipe[2];
  int outPipe[2];
  int errEnds[2];  // [0] read by us, [1] the child's stderr
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
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
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errEnds[1], 2);
  const int error = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errEnds[1]);
  m_in = inPipe[1];
  m_out = outPipe[0];
  m_err = errEnds[0];
  if (error != 0) {
    m_pid = -1;
    CloseIfOpen(m_in);
    CloseIfOpen(m_out);
    CloseIfOpen(m_err);
    throw std::runtime_error(std::string("cannot start ") + argv[0] + ": " + std::strerror(error));
  }
  for (int fd : {m_in, m_out, m_err}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

CliProcess::~CliProcess() {
  if (m_pid > 0) {
    kill(m_pid, SIGKILL);
    int status = 0;
    waitpid(m_pid, &status, 0);
  }
  CloseIfOpen(m_in);
  CloseIfOpen(m_out);
  CloseIfOpen(m_err);
}

bool CliProcess::Pump(std::chrono::milliseconds wait) {
  pollfd fds[3];
  nfds_t count = 0;
  if (m_in >= 0) fds[count++] = {m_in, POLLOUT, 0};
  if (m_out >= 0) fds[count++] = {m_out, POLLIN, 0};
  if (m_err >= 0) fds[count++] = {m_err, POLLIN, 0};
  if (count == 0 || poll(fds, count, static_cast<int>(wait.count())) <= 0) return m_out >= 0 || m_err >= 0;
  if (m_in >= 0) {
    if (m_written < m_input.size()) {
      const ssize_t sent = write(m_in, m_input.data() + m_written, m_input.size() - m_written);
      if (sent > 0) m_written += static_cast<size_t>(sent);
      if (sent < 0 && errno != EAGAIN && errno != EINTR) m_written = m_input.size();  // the child closed stdin
    }
    if (m_written >= m_input.size()) CloseIfOpen(m_in);
  }
  if (m_out >= 0) Drain(m_out, m_result.out);
  if (m_err >= 0) Drain(m_err, m_result.err);
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

// Waits for the child to end while pumping its streams (killing it after the
// time-out), then reads what it wrote before it ended and reaps it.
CliResult CliProcess::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  int status = 0;
  for (;;) {
    Pump(std::chrono::milliseconds(20));
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) break;
    if (Clock::now() > deadline) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, &status, 0);
      m_result.timedOut = true;
      break;
    }
  }
  m_pid = -1;
  for (int round = 0; round < 50 && Pump(std::chrono::milliseconds(20)); ++round) {
  }
  if (WIFEXITED(status)) {
    m_result.exited = !m_result.timedOut;
    m_result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    m_result.signal = WTERMSIG(status);
  }
  CloseIfOpen(m_in);
  CloseIfOpen(m_out);
  CloseIfOpen(m_err);
  return m_result;
}

}  // namespace kelcache_cli_test
