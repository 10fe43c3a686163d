#include "host/AsyncTask.h"

namespace AsyncTask::detail {

TaskContext CaptureTaskContext() {
  return TaskContext{Cancel::Get(), TLS::GetDepth() + 1};
}

bool CancelBeforeStart(SharedStateBase& state, const TaskContext& context) noexcept {
  if (!context.cancelEvent || !context.cancelEvent->IsSignaled()) return false;
  if (state.GetIgnoreCancelBeforeStart()) return false;
  state.FailIfPending([] { return std::make_exception_ptr(CancelException()); });
  return true;
}

}  // namespace AsyncTask::detail
