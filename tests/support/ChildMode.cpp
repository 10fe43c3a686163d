#include "tests/support/ChildMode.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/ChildProcess.h"

namespace kelcache_test {

ChildModeResult RunChildMode(const std::string& mode, const std::vector<std::string>& extraVariables,
                             const std::set<std::string>& unsetVariables) {
  // The extra variables replace the parent's of the same name.
  std::set<std::string> unset = unsetVariables;
  for (const std::string& extra : extraVariables) unset.insert(extra.substr(0, extra.find('=')));
  std::vector<std::string> variables = ChildEnvironment({}, true);
  std::erase_if(variables,
                [&](const std::string& text) { return unset.count(text.substr(0, text.find('='))); });
  variables.push_back(std::string(kChildModeVariable) + "=" + mode);
  variables.insert(variables.end(), extraVariables.begin(), extraVariables.end());

  const ChildResult child = RunSelf({}, variables);
  ChildModeResult result;
  result.exitCode = child.exited ? child.exitCode : -1;
  result.output = child.output;
  EXPECT_EQ(std::string::npos, result.output.find("Sanitizer")) << result.output;

  std::istringstream lines(result.output);
  for (std::string line; std::getline(lines, line);) {
    const size_t equals = line.find('=');
    if (line.rfind("value ", 0) == 0) result.values[line.substr(6, equals - 6)] = line.substr(equals + 1);
  }
  return result;
}

bool RunIfChildMode(const char* mode, void (*body)()) {
  const char* chosen = std::getenv(kChildModeVariable);
  if (chosen == nullptr || std::strcmp(chosen, mode) != 0) return false;
  body();
  std::fflush(nullptr);
  std::_Exit(0);
}

bool LimitAddressSpaceToCurrentPlus(size_t room) {
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + room;
  const rlimit both{limit, limit};
  return setrlimit(RLIMIT_AS, &both) == 0;
}

}  // namespace kelcache_test
