#include "host/Errors.h"

#include <cctype>

KelvraError KelvraError::MakeError(uint32_t code, const TString& message) {
  return KelvraError(code, message);
}

TString KelvraError::AutoGenName(const TString& prefix, uint32_t code) {
  std::string hex = TString::number(code, 16, 8, u'0').toStdString();
  for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return prefix + TString(u"0x") + TString::fromStdString(hex);
}

KelvraException::KelvraException(const TString& message, TError::ErrorInfo info)
    : m_message(message), m_info(std::move(info)), m_what(message.toStdString()) {}

KelvraException::~KelvraException() = default;

namespace {
std::string InternalMessage(const std::string& source, int line, const std::string& expression) {
  return source + "(" + std::to_string(line) + "): " + expression;
}
}  // namespace

LogicException::LogicException(std::string source, int line, std::string expression, KelvraError error)
    : KelvraException(
          TString::fromStdString("Logic error at " + InternalMessage(source, line, expression)),
          TError::ErrorInfo(std::move(error), TString::fromStdString(source), TError::StatusCode::INTERNAL)),
      m_source(std::move(source)),
      m_line(line),
      m_expression(std::move(expression)),
      m_internal(InternalMessage(m_source, m_line, m_expression)) {}

LogicException::~LogicException() = default;

NotImplementedException::NotImplementedException(const TString& message, const KelvraError& error)
    : KelvraException(message, TError::ErrorInfo(error, TString(), TError::StatusCode::UNIMPLEMENTED)) {}

NotImplementedException::~NotImplementedException() = default;

void ThrowLogicException(const char* source, int line, const char* expression) {
  throw LogicException(source ? source : "", line, expression ? expression : "");
}

void ThrowLogicException(const char* source, int line, const char* expression, const KelvraError& error) {
  throw LogicException(source ? source : "", line, expression ? expression : "", error);
}

KelvraException MakeUnspecifiedException() {
  // Never destroyed: threads may raise it while the process exits.
  static const TString& kMessage = *new TString(u"Unspecified exception c87f2fd8-3b2f-4a84-a7bc-a4deb21dd472");
  return KelvraException(
      kMessage, TError::ErrorInfo(KelvraError::MakeError(
                    kUnspecifiedExceptionCode,
                    KelvraError::AutoGenName(u"KelvraException_AutoGen_", kUnspecifiedExceptionCode))));
}

void ThrowUnspecifiedException() {
  throw MakeUnspecifiedException();
}
