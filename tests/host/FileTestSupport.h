// The fixture of the file tests: a temporary folder as the root, and files
// written and listed around the facilities under test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "host/TFile.h"
#include "host/TPath.h"
#include "tests/support/TestEnvironment.h"

namespace file_test {

namespace fs = std::filesystem;
using kelcache_test::FileNames;

class TFileTest : public testing::Test {
 protected:
  TPath Root() const { return TPath::FromStdPath(m_temp.path()); }

  void WriteBytes(const TPath& path, const std::string& bytes) {
    TFile file(path, TFile::OpenWrite | TFile::OpenTruncate);
    ASSERT_EQ(file.Write(bytes.data(), bytes.size()), bytes.size());
    file.Close();
  }

  kelcache_test::TempDir m_temp;
};

}  // namespace file_test
