// The host's error values and exception types.
//
// - KelvraError: an error code with its name ("LogSite_AutoGen_0x8C3ACE23").
// - TError::ErrorInfo: an error, the source that raised it and a status of
//   the gRPC status enumeration.
// - KelvraException: base of every exception the host raises; carries a
//   message and an ErrorInfo. what() is the message as UTF-8.
// - LogicException: a broken invariant or misuse, raised by the host
//   assertion ThrowLogicException(source, line, expression[, error]).
// - NotImplementedException: an optional operation a class does not offer.
// - The generic failure: a KelvraException with the message
//   "Unspecified exception c87f2fd8-3b2f-4a84-a7bc-a4deb21dd472" and the
//   error code 0x543EA456 (MakeUnspecifiedException / ThrowUnspecifiedException;
//   ThrowUnspecifiedExceptionCausedBy raises it with the reason nested inside).
//
// Thread rules: all of these are immutable values once built.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "host/Export.h"
#include "host/TString.h"

class KELCACHE_EXPORT KelvraError {
 public:
  // No error: code 0 and an empty name.
  KelvraError() = default;
  static KelvraError MakeError(uint32_t code, const TString& message);
  static KelvraError NoError() { return KelvraError(); }
  // The name an error code gets when it has none of its own:
  // prefix + "0x" + eight upper-case hexadecimal digits.
  static TString AutoGenName(const TString& prefix, uint32_t code);

  uint32_t GetCode() const { return m_code; }
  const TString& GetMessage() const { return m_message; }
  bool IsError() const { return m_code != 0; }
  bool operator==(const KelvraError& other) const {
    return m_code == other.m_code && m_message == other.m_message;
  }

 private:
  KelvraError(uint32_t code, TString message) : m_code(code), m_message(std::move(message)) {}
  uint32_t m_code = 0;
  TString m_message;
};

namespace TError {

// The gRPC status codes.
enum class StatusCode : int {
  OK = 0,
  CANCELLED = 1,
  UNKNOWN = 2,
  INVALID_ARGUMENT = 3,
  DEADLINE_EXCEEDED = 4,
  NOT_FOUND = 5,
  ALREADY_EXISTS = 6,
  PERMISSION_DENIED = 7,
  RESOURCE_EXHAUSTED = 8,
  FAILED_PRECONDITION = 9,
  ABORTED = 10,
  OUT_OF_RANGE = 11,
  UNIMPLEMENTED = 12,
  INTERNAL = 13,
  UNAVAILABLE = 14,
  DATA_LOSS = 15,
  UNAUTHENTICATED = 16,
};

class KELCACHE_EXPORT ErrorInfo {
 public:
  ErrorInfo() = default;
  explicit ErrorInfo(KelvraError error, TString source = TString(), StatusCode status = StatusCode::UNKNOWN)
      : m_error(std::move(error)), m_source(std::move(source)), m_status(status) {}
  const KelvraError& GetError() const { return m_error; }
  const TString& GetSource() const { return m_source; }
  StatusCode GetStatus() const { return m_status; }

 private:
  KelvraError m_error;
  TString m_source;
  StatusCode m_status = StatusCode::UNKNOWN;
};

}  // namespace TError

class KELCACHE_EXPORT KelvraException : public std::exception {
 public:
  KelvraException(const TString& message, TError::ErrorInfo info);
  explicit KelvraException(const TString& message) : KelvraException(message, TError::ErrorInfo()) {}
  ~KelvraException() override;
  const char* what() const noexcept override { return m_what.c_str(); }
  const TString& GetMessage() const { return m_message; }
  const TError::ErrorInfo& GetErrorInfo() const { return m_info; }
  const KelvraError& GetError() const { return m_info.GetError(); }

 private:
  TString m_message;
  TError::ErrorInfo m_info;
  std::string m_what;
};

// Declares an exported exception class `Name` derived from `Base`, whose one
// constructor takes the parameters that follow (none for a fixed error). The
// library's .cpp defines the constructor and the destructor, so the class's
// type information lives in the library and a catch in any module matches.
#define KELCACHE_DECLARE_EXCEPTION(Name, Base, ...) \
  class KELCACHE_EXPORT Name : public Base {        \
   public:                                          \
    explicit Name(__VA_ARGS__);                     \
    ~Name() override;                               \
  }

class KELCACHE_EXPORT LogicException : public KelvraException {
 public:
  LogicException(std::string source, int line, std::string expression, KelvraError error = KelvraError());
  ~LogicException() override;
  // The source file under the module, such as "main/utility/Cache".
  const std::string& GetSourceFile() const { return m_source; }
  int GetLine() const { return m_line; }
  // The text of the expression that did not hold, such as "m_policy".
  const std::string& GetExpression() const { return m_expression; }
  // "<source>(<line>): <expression>", the text that log lines show.
  const std::string& GetInternalMessage() const { return m_internal; }

 private:
  std::string m_source;
  int m_line;
  std::string m_expression;
  std::string m_internal;
};

class KELCACHE_EXPORT NotImplementedException : public KelvraException {
 public:
  NotImplementedException(const TString& message, const KelvraError& error);
  ~NotImplementedException() override;
};

// The host assertion: raises LogicException carrying the three texts and does
// not return.
[[noreturn]] KELCACHE_EXPORT void ThrowLogicException(const char* source, int line, const char* expression);
[[noreturn]] KELCACHE_EXPORT void ThrowLogicException(const char* source, int line, const char* expression,
                                                      const KelvraError& error);

// The host's generic failure.
inline constexpr uint32_t kUnspecifiedExceptionCode = 0x543EA456;
KELCACHE_EXPORT KelvraException MakeUnspecifiedException();
[[noreturn]] KELCACHE_EXPORT void ThrowUnspecifiedException();

// Raises the generic failure with `cause` nested in it: callers see the
// generic failure, and a log of it (TLog::LogCurrentException) still shows
// the reason underneath.
template <class Cause>
[[noreturn]] void ThrowUnspecifiedExceptionCausedBy(const Cause& cause) {
  try {
    throw cause;
  } catch (...) {
    std::throw_with_nested(MakeUnspecifiedException());
  }
}
