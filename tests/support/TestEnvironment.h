// Helpers shared by the kelcache tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <latch>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/Errors.h"

namespace kelcache_test {

// Marks the process as a unit test. Called by the tests' main.
void PrepareTestProcess();

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object is destroyed.
class TempDir {
 public:
  // A new folder under `base` (the system's temporary folder when not given).
  explicit TempDir(const std::filesystem::path& base = std::filesystem::temp_directory_path());
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return m_path; }
  std::string str() const { return m_path.string(); }

 private:
  std::filesystem::path m_path;
};

// A value as the stores take and give it, holding `text`.
inline std::shared_ptr<std::vector<uint8_t>> MakeValue(const std::string& text) {
  return std::make_shared<std::vector<uint8_t>>(text.begin(), text.end());
}
// A value's bytes as text, "(nil)" for a miss.
inline std::string Text(const std::shared_ptr<std::vector<uint8_t>>& value) {
  return value ? std::string(value->begin(), value->end()) : std::string("(nil)");
}

// The names in a folder, as the system lists them.
inline std::set<std::string> FileNames(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

// Polls `condition` every 10 ms until it holds; false when `timeout` passed
// first (for what should happen soon, that means a hang).
template <class Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Runs fn on count threads that all start at the same moment.
template <class Fn>
void RunTogether(int count, Fn fn) {
  std::latch start(count);
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&start, &fn, i] {
      start.arrive_and_wait();
      fn(i);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

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

// Where the logic exception that `action` raises says it comes from:
// "<source>:<line> <expression>", or "(none raised)".
template <class Action>
std::string LogicExceptionSite(Action&& action) {
  return RaisedText<LogicException>(std::forward<Action>(action), [](const LogicException& error) {
    return error.GetSourceFile() + ":" + std::to_string(error.GetLine()) + " " + error.GetExpression();
  });
}

}  // namespace kelcache_test
