// Helpers shared by the kelcache tests.
#pragma once

#include <filesystem>
#include <string>
#include <utility>

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

// What `action` raises as an `Error`, as `describe` gives it (its what() by
// default), or "(none raised)" when it returns normally. Other exceptions pass
// on, so a test sees an error of the wrong type as a failure of its own.
template <class Error, class Action, class Describe>
std::string RaisedText(Action&& action, Describe describe) {
  try {
    std::forward<Action>(action)();
  } catch (const Error& error) {
    return describe(error);
  }
  return "(none raised)";
}

template <class Error, class Action>
std::string RaisedText(Action&& action) {
  return RaisedText<Error>(std::forward<Action>(action), [](const Error& error) { return std::string(error.what()); });
}

}  // namespace kelcache_test
