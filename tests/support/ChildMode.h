// Running this test program again in a "child mode" with a chosen environment.
//
// Facilities that read the environment once, at first use, are tested in a
// fresh process: a test file defines a static initialiser that, when
// KELCACHE_TESTS_CHILD_MODE names its mode, prints "value <name>=<text>" lines
// and leaves with _Exit before the tests' main runs. RunChildMode starts that
// process and collects its output.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kelcache_test {

inline constexpr const char* kChildModeVariable = "KELCACHE_TESTS_CHILD_MODE";

struct ChildModeResult {
  int exitCode = -1;
  std::string output;                         // standard output and standard error together
  std::map<std::string, std::string> values;  // the "value name=text" lines
};

// The child's side: when KELCACHE_TESTS_CHILD_MODE is `mode`, runs `body`,
// flushes the standard streams and leaves with _Exit(0); otherwise returns
// false. A test file calls it from a static initialiser, so the child never
// reaches the tests' main:
//   [[maybe_unused]] const bool s_childMode = RunIfChildMode("mine", PrintValues);
bool RunIfChildMode(const char* mode, void (*body)());

// Runs this program with KELCACHE_TESTS_CHILD_MODE=mode. Its environment is
// this process's without any KELCACHE_* variable and without those named in
// `unset`, plus `extraVariables` ("NAME=value", replacing a variable of the same name). A sanitizer report in the
// child's output fails the calling test (the child's _Exit hides it from the
// exit code).
ChildModeResult RunChildMode(const std::string& mode, const std::vector<std::string>& extraVariables,
                             const std::set<std::string>& unset = {});

// For a child's body: limits this process's address space to what it uses
// now plus `room` bytes, so that only so many thread stacks fit (8 MiB each
// by default). False when the limit cannot be set. Not for the sanitizers'
// builds, whose shadow memory such a limit does not leave room for.
bool LimitAddressSpaceToCurrentPlus(size_t room);

}  // namespace kelcache_test
