#include "host/AsyncTask.h"

namespace AsyncTask::detail {

TaskContext CaptureTaskContext() {
  return TaskContext{Cancel::Get(), TLS::GetDepth() + 1};
}

bool CancelBeforeStart(SharedStateBase& state, const TaskContext& context) noexcept {
  if (!context.cancelEvent || !context.cancelEvent->IsSignaled()) return false;
  if (state.GetIgnoreCancelBeforeStart()) return false;
  // Never raises, so that the state is made ready whatever happens: when the
  // cancellation cannot even be made (out of memory), the state holds that.
  std::exception_ptr error;
  try {
    error = std::make_exception_ptr(CancelException());
  } catch (...) {
    error = std::current_exception();
  }
  state.SetExceptionIfPending(error);
  return true;
}

}  // namespace AsyncTask::detail
