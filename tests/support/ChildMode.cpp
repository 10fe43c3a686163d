#include "tests/support/ChildMode.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/ChildProcess.h"

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

  const ChildResult child = RunSelf({}, variables);
  ChildModeResult result;
  result.exitCode = child.exited ? child.exitCode : -1;
  result.output = child.output;
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

bool RunIfChildMode(const char* mode, void (*body)()) {
  const char* chosen = std::getenv(kChildModeVariable);
  if (chosen == nullptr || std::strcmp(chosen, mode) != 0) return false;
  body();
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(0);
}

}  // namespace kelcache_test
