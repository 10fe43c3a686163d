#include "tests/support/ChildMode.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace kelcache_test {

ChildModeResult RunChildMode(const std::string& mode, const std::vector<std::string>& extraVariables,
                             const std::set<std::string>& unsetVariables) {
  // The extra variables replace the parent's of the same name.
  std::set<std::string> unset = unsetVariables;
  for (const std::string& extra : extraVariables) unset.insert(extra.substr(0, extra.find('=')));
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string variable(*entry);
    std::string name = variable.substr(0, variable.find('='));
    if (name.rfind("KELCACHE_", 0) != 0 && unset.count(name) == 0) variables.push_back(variable);
  }
  variables.push_back(std::string(kChildModeVariable) + "=" + mode);
  variables.insert(variables.end(), extraVariables.begin(), extraVariables.end());
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);

  ChildModeResult result;
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) {
    ADD_FAILURE() << "pipe failed: " << std::strerror(errno);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
  char program[] = "/proc/self/exe";
  char* argv[] = {program, nullptr};
  pid_t pid = -1;
  int spawnError = posix_spawn(&pid, program, &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  if (spawnError != 0) {
    close(pipeEnds[0]);
    ADD_FAILURE() << "posix_spawn failed: " << std::strerror(spawnError);
    return result;
  }
  char buffer[4096];
  ssize_t count;
  while ((count = read(pipeEnds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, count);
  close(pipeEnds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  EXPECT_EQ(std::string::npos, result.output.find("Sanitizer")) << result.output;

  size_t start = 0;
  while (start < result.output.size()) {
    size_t end = result.output.find('\n', start);
    if (end == std::string::npos) end = result.output.size();
    std::string line = result.output.substr(start, end - start);
    if (line.rfind("value ", 0) == 0) {
      size_t equals = line.find('=');
      result.values[line.substr(6, equals - 6)] = line.substr(equals + 1);
    }
    start = end + 1;
  }
  return result;
}

}  // namespace kelcache_test
