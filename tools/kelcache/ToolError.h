// Exit codes of the kelcache command-line tool, and the errors that carry
// them up to main, which prints their message as one line on stderr.
//
//   0  success
//   1  a miss, where a miss is the answer: no such key, no such namespace,
//      nothing to drop, damaged entries found by verify
//   2  bad usage: an unknown option, a missing or malformed argument
//   3  failure: the work could not be done (server unreachable, a file that
//      cannot be written, a value the store refused)
//
// Thread rules: plain exception types.
#pragma once

#include <stdexcept>
#include <string>

namespace kelcache_cli {

enum ExitCode : int { kExitOk = 0, kExitMiss = 1, kExitUsage = 2, kExitFailure = 3 };

class ToolError : public std::runtime_error {
 public:
  ToolError(ExitCode code, const std::string& message) : std::runtime_error(message), m_code(code) {}
  ExitCode Code() const { return m_code; }

 private:
  ExitCode m_code;
};

// Bad usage (exit 2).
class UsageError : public ToolError {
 public:
  explicit UsageError(const std::string& message) : ToolError(kExitUsage, message) {}
};

// A miss that is the command's answer (exit 1).
class MissError : public ToolError {
 public:
  explicit MissError(const std::string& message) : ToolError(kExitMiss, message) {}
};

// The work could not be done (exit 3).
class FailureError : public ToolError {
 public:
  explicit FailureError(const std::string& message) : ToolError(kExitFailure, message) {}
};

}  // namespace kelcache_cli
