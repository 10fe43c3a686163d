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
#include <functional>
#include <stdexcept>

extern char** environ;

namespace kelcache_cli_test {

namespace {

using Clock = std::chrono::steady_clock;

void SetNonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

struct Spawned {
  pid_t pid = -1;
  int in = -1;   // write end of the child's stdin
  int out = -1;  // read end of its stdout
  int err = -1;  // read end of its stderr (a pipe, or a pseudo-terminal's master)
};

Spawned Spawn(const std::vector<std::string>& args, const Environment& environment, bool stderrOnTerminal) {
  int inPipe[2];
  int outPipe[2];
  int errEnds[2];  // [0] read by us, [1] the child's stderr
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (stderrOnTerminal) {
    if (openpty(&errEnds[0], &errEnds[1], nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    fcntl(errEnds[0], F_SETFD, FD_CLOEXEC);
    fcntl(errEnds[1], F_SETFD, FD_CLOEXEC);
  } else if (pipe2(errEnds, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }

  std::string program = KELCACHE_CLI_PATH;
  std::vector<std::string> argvText = {program};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& text : argvText) argv.push_back(text.data());
  argv.push_back(nullptr);
  std::vector<std::string> envText = kelcache_test::ChildEnvironment(environment, true);
  std::vector<char*> envp;
  for (std::string& text : envText) envp.push_back(text.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errEnds[1], 2);
  Spawned spawned;
  const int error = posix_spawn(&spawned.pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errEnds[1]);
  if (error != 0) {
    close(inPipe[1]);
    close(outPipe[0]);
    close(errEnds[0]);
    throw std::runtime_error("cannot start " + program + ": " + std::strerror(error));
  }
  spawned.in = inPipe[1];
  spawned.out = outPipe[0];
  spawned.err = errEnds[0];
  SetNonBlocking(spawned.in);
  SetNonBlocking(spawned.out);
  SetNonBlocking(spawned.err);
  return spawned;
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

// One round of I/O: writes what it can of `input` (closing stdin once all is
// written) and reads stdout and stderr, waiting at most `wait`.
void PumpOnce(int& in, const std::string& input, size_t& written, int& out, int& err, CliResult& result,
              std::chrono::milliseconds wait) {
  pollfd fds[3];
  nfds_t count = 0;
  if (in >= 0) fds[count++] = {in, POLLOUT, 0};
  if (out >= 0) fds[count++] = {out, POLLIN, 0};
  if (err >= 0) fds[count++] = {err, POLLIN, 0};
  if (count == 0) return;
  if (poll(fds, count, static_cast<int>(wait.count())) <= 0) return;
  if (in >= 0) {
    if (written < input.size()) {
      const ssize_t sent = write(in, input.data() + written, input.size() - written);
      if (sent > 0) written += static_cast<size_t>(sent);
      if (sent < 0 && errno != EAGAIN && errno != EINTR) written = input.size();  // the child closed stdin
    }
    if (written >= input.size()) CloseIfOpen(in);
  }
  if (out >= 0) Drain(out, result.out);
  if (err >= 0) Drain(err, result.err);
}

// Waits for the child to end while pumping its streams (killing it after the
// time-out), then reads what it wrote before it ended and reaps it.
void WaitAndReap(pid_t pid, Clock::time_point deadline, const std::function<bool()>& pump, CliResult& result) {
  int status = 0;
  for (;;) {
    pump();
    if (waitpid(pid, &status, WNOHANG) == pid) break;
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timedOut = true;
      break;
    }
  }
  for (int round = 0; round < 50 && pump(); ++round) {
  }
  if (WIFEXITED(status)) {
    result.exited = !result.timedOut;
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
}

}  // namespace

std::string CliResult::Describe() const {
  std::string text = exited ? "exit code " + std::to_string(exitCode)
                            : (timedOut ? std::string("timed out") : "killed by signal " + std::to_string(signal));
  return text + "\n--- stdout ---\n" + out + "\n--- stderr ---\n" + err;
}

CliResult RunCli(const CliRun& run) {
  // A child that stops reading its stdin must not kill the test with SIGPIPE.
  static const bool sigpipeIgnored = (signal(SIGPIPE, SIG_IGN), true);
  (void)sigpipeIgnored;
  Spawned child = Spawn(run.args, run.environment, run.stderrOnTerminal);
  CliResult result;
  size_t written = 0;
  WaitAndReap(child.pid, Clock::now() + run.timeout, [&] {
    PumpOnce(child.in, run.input, written, child.out, child.err, result, std::chrono::milliseconds(20));
    return child.out >= 0 || child.err >= 0;
  }, result);
  CloseIfOpen(child.in);
  CloseIfOpen(child.out);
  CloseIfOpen(child.err);
  return result;
}

CliProcess::CliProcess(std::vector<std::string> args, Environment environment) {
  Spawned child = Spawn(args, environment, false);
  close(child.in);  // an empty stdin
  m_pid = child.pid;
  m_out = child.out;
  m_err = child.err;
}

CliProcess::~CliProcess() {
  if (m_pid > 0) {
    kill(m_pid, SIGKILL);
    int status = 0;
    waitpid(m_pid, &status, 0);
  }
  CloseIfOpen(m_out);
  CloseIfOpen(m_err);
}

bool CliProcess::Pump(std::chrono::milliseconds wait) {
  int noInput = -1;
  size_t written = 0;
  PumpOnce(noInput, std::string(), written, m_out, m_err, m_result, wait);
  return m_out >= 0 || m_err >= 0;
}

bool CliProcess::WaitFor(const std::string& stream, const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (stream.find(text) == std::string::npos) {
    if (Clock::now() > deadline || !Pump(std::chrono::milliseconds(20))) return false;
  }
  return true;
}

void CliProcess::Signal(int signal) {
  if (m_pid > 0) kill(m_pid, signal);
}

CliResult CliProcess::Wait(std::chrono::milliseconds timeout) {
  WaitAndReap(m_pid, Clock::now() + timeout, [this] { return Pump(std::chrono::milliseconds(20)); }, m_result);
  CloseIfOpen(m_out);
  CloseIfOpen(m_err);
  m_pid = -1;
  return m_result;
}

}  // namespace kelcache_cli_test
