// Helpers shared by the kelcache tests.
#pragma once

#include <filesystem>
#include <string>

namespace kelcache_test {

// Marks the process as a unit test. Called by the tests' main.
void PrepareTestProcess();

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object is destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return m_path; }
  std::string str() const { return m_path.string(); }

 private:
  std::filesystem::path m_path;
};

}  // namespace kelcache_test
