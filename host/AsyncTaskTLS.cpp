#include "host/AsyncTaskTLS.h"

namespace AsyncTask::TLS {

namespace {
// Only the owning thread touches these.
thread_local int t_depth = 0;
thread_local IWaitHandler* t_waitHandler = nullptr;
}  // namespace

int GetDepth() {
  return t_depth;
}
void SetDepth(int depth) {
  t_depth = depth;
}

IWaitHandler* GetWaitHandler() {
  return t_waitHandler;
}
void SetWaitHandler(IWaitHandler* handler) {
  t_waitHandler = handler;
}

}  // namespace AsyncTask::TLS
