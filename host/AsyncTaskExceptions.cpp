#include "host/AsyncTaskExceptions.h"

namespace AsyncTask {

namespace {
TError::ErrorInfo MakeInfo(uint32_t code, TError::StatusCode status) {
  return TError::ErrorInfo(
      KelvraError::MakeError(code, KelvraError::AutoGenName(u"KelvraException_AutoGen_", code)), TString(),
      status);
}
}  // namespace

PromiseAlreadySetException::PromiseAlreadySetException()
    : KelvraException(u"PromiseAlreadySet",
                      MakeInfo(kPromiseAlreadySetCode, TError::StatusCode::FAILED_PRECONDITION)) {}
PromiseAlreadySetException::~PromiseAlreadySetException() = default;

BrokenPromiseException::BrokenPromiseException()
    : KelvraException(u"BrokenPromise", MakeInfo(kBrokenPromiseCode, TError::StatusCode::ABORTED)) {}
BrokenPromiseException::~BrokenPromiseException() = default;

CancelException::CancelException()
    : KelvraException(u"Canceled", MakeInfo(kCancelCode, TError::StatusCode::CANCELLED)) {}
CancelException::~CancelException() = default;

InvalidFutureException::InvalidFutureException()
    : KelvraException(u"InvalidFuture",
                      MakeInfo(kInvalidFutureCode, TError::StatusCode::FAILED_PRECONDITION)) {}
InvalidFutureException::~InvalidFutureException() = default;

}  // namespace AsyncTask
