// The main of every kelcache test executable: marks the process as a unit test
// (test-only operations refuse to run otherwise), then runs GoogleTest.
#include <gtest/gtest.h>

#include "tests/support/TestEnvironment.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  kelcache_test::PrepareTestProcess();
  return RUN_ALL_TESTS();
}
