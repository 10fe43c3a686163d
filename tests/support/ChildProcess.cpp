#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>

extern char** environ;

namespace kelcache_test {

namespace {

constexpr char kSelf[] = "/proc/self/exe";

// The argv or envp form of `texts`: pointers to them and a null pointer.
std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Waits for `pid`, reading `outputFd` (if any; poll skips a negative one and
// just waits) meanwhile, and closes outputFd; kills the child after the
// time-out.
ChildResult Wait(pid_t pid, int outputFd, std::chrono::milliseconds timeout) {
  ChildResult result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    pollfd descriptor{outputFd, POLLIN, 0};
    if (poll(&descriptor, 1, 20) > 0) Drain(outputFd, result.output);
    if (waitpid(pid, &status, WNOHANG) == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timedOut = true;
      break;
    }
  }
  Drain(outputFd, result.output);
  CloseIfOpen(outputFd);
  result.Record(status);
  return result;
}

}  // namespace

pid_t Spawn(const std::string& program, std::vector<std::string> arguments,
            std::vector<std::string> variables, int stdinFd, int stdoutFd, int stderrFd) {
  arguments.insert(arguments.begin(), program);
  const std::vector<char*> argv = Pointers(arguments);
  const std::vector<char*> envp = Pointers(variables);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int fds[] = {stdinFd, stdoutFd, stderrFd};
  for (int target = 0; target < 3; ++target) {
    if (fds[target] >= 0) posix_spawn_file_actions_adddup2(&actions, fds[target], target);
  }
  pid_t pid = -1;
  const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : std::set<int>{stdinFd, stdoutFd, stderrFd}) CloseIfOpen(fd);
  if (error != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(error));
  return pid;
}

void Drain(int& fd, std::string& into) {
  char buffer[65536];
  ssize_t count;
  while ((count = read(fd, buffer, sizeof(buffer))) > 0) into.append(buffer, static_cast<size_t>(count));
  if (count == 0 || (errno != EAGAIN && errno != EINTR)) CloseIfOpen(fd);
}

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

void ChildExit::Record(int status) {
  if (WIFEXITED(status)) {
    exited = !timedOut;
    exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    signal = WTERMSIG(status);
  }
}

ChildResult RunSelf(const std::vector<std::string>& arguments, const std::vector<std::string>& variables,
                    std::chrono::milliseconds timeout) {
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = -1;
  try {
    pid = Spawn(kSelf, arguments, variables, -1, pipeEnds[1], pipeEnds[1]);
  } catch (...) {
    close(pipeEnds[0]);
    throw;
  }
  fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
  return Wait(pid, pipeEnds[0], timeout);
}

ChildResult RunChildTest(const std::string& testFilter, const Environment& environment,
                         std::chrono::milliseconds timeout) {
  return RunSelf({"--gtest_filter=" + testFilter, "--gtest_also_run_disabled_tests"},
                 ChildEnvironment(environment), timeout);
}

pid_t StartChildTest(const std::string& testFilter, const Environment& environment) {
  return Spawn(kSelf, {"--gtest_filter=" + testFilter, "--gtest_also_run_disabled_tests"},
               ChildEnvironment(environment), -1, -1, -1);
}

ChildResult WaitForChild(pid_t pid, std::chrono::milliseconds timeout) {
  return Wait(pid, -1, timeout);
}

std::vector<std::string> ChildEnvironment(const Environment& extra, bool withoutOwnSettings) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    if (withoutOwnSettings && text.rfind("KELCACHE_", 0) == 0) continue;
    bool overridden = false;
    for (const auto& [name, value] : extra) overridden = overridden || text.rfind(name + "=", 0) == 0;
    if (!overridden) result.push_back(text);
  }
  for (const auto& [name, value] : extra) result.push_back(name + "=" + value);
  return result;
}

std::string GetEnv(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : fallback;
}

}  // namespace kelcache_test
