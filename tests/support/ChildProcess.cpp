#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace kelcache_test {

namespace {

pid_t SpawnSelf(std::vector<std::string> arguments, std::vector<std::string> envText, int outputFd) {
  std::string self = "/proc/self/exe";
  std::vector<char*> argv = {self.data()};
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& text : envText) envp.push_back(text.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (outputFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 2);
  }
  pid_t pid = -1;
  int error = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error(std::string("posix_spawn failed: ") + std::strerror(error));
  return pid;
}

// Appends what the non-blocking `fd` holds now to `output`.
void Drain(int fd, std::string& output) {
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) > 0;) output.append(buffer, static_cast<size_t>(n));
}

// Waits for `pid`, reading `outputFd` (if any; poll skips a negative one and
// just waits) meanwhile; kills the child after the time-out.
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
  if (outputFd >= 0) Drain(outputFd, result.output);
  result.Record(status);
  return result;
}

}  // namespace

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
    pid = SpawnSelf(arguments, variables, pipeEnds[1]);
  } catch (...) {
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    throw;
  }
  close(pipeEnds[1]);
  fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
  ChildResult result = Wait(pid, pipeEnds[0], timeout);
  close(pipeEnds[0]);
  return result;
}

ChildResult RunChildTest(const std::string& testFilter, const Environment& environment,
                         std::chrono::milliseconds timeout) {
  return RunSelf({"--gtest_filter=" + testFilter, "--gtest_also_run_disabled_tests"},
                 ChildEnvironment(environment), timeout);
}

pid_t StartChildTest(const std::string& testFilter, const Environment& environment) {
  return SpawnSelf({"--gtest_filter=" + testFilter, "--gtest_also_run_disabled_tests"},
                   ChildEnvironment(environment), -1);
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
