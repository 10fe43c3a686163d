// What the options, configuration and identity tests share: the feature flags
// that the child process prints, ExpectChild, which runs this program again
// in the child mode "options" that AppOptionsTest.cpp defines, and a reader
// racing a writer.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/FeatureFlags.h"
#include "tests/support/ChildMode.h"

namespace options_test {

constexpr FeatureFlagId kInvariantsFlag = 1684062432;  // 0x6460C0E0
constexpr FeatureFlagId kRedisTtlFlag = 0x94AA12A3;
constexpr FeatureFlagId kPrintedFlags[] = {kInvariantsFlag, kRedisTtlFlag, 5, 6, 7, 0xFFFFFFFF};

inline std::string Text(bool value) {
  return value ? "true" : "false";
}
inline std::string Text(int value) {
  return std::to_string(value);
}

// Calls `read` over and over on another thread while `write(i)` runs here
// for i from 0 to 1999; returns how many reads returned false. (The race
// itself is ThreadSanitizer's to judge.)
template <class Read, class Write>
int ReadsBesideWritesThatFail(Read read, Write write) {
  std::atomic<bool> stop{false};
  std::atomic<int> failed{0};
  std::thread reader([&] {
    while (!stop) failed += read() ? 0 : 1;
  });
  for (int i = 0; i < 2000; ++i) write(i);
  stop = true;
  reader.join();
  return failed;
}

// Runs the child with these variables set (and `unset` removed) and checks the
// values it printed.
inline kelcache_test::ChildModeResult ExpectChild(const std::vector<std::string>& variables,
                                                  const std::map<std::string, std::string>& expected,
                                                  const std::set<std::string>& unset = {}) {
  kelcache_test::ChildModeResult child = kelcache_test::RunChildMode("options", variables, unset);
  EXPECT_EQ(0, child.exitCode) << child.output;
  for (const auto& [name, value] : expected) EXPECT_EQ(value, child.values[name]) << name;
  return child;
}

}  // namespace options_test
