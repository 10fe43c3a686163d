// What the options, configuration and identity tests share: the feature flags
// that the child process prints, and ExpectChild, which runs this program
// again in the child mode "options" that AppOptionsTest.cpp defines.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
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
