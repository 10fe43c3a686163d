#include "host/AsyncTaskCancel.h"

#include <utility>

namespace AsyncTask::Cancel {

namespace {
// The calling thread's current cancel event; only its own thread touches it.
thread_local std::shared_ptr<CancelEvent> t_current;
}  // namespace

std::shared_ptr<CancelEvent> Get() {
  return t_current;
}

bool IsCanceled() {
  return t_current && t_current->IsSignaled();
}

Scope::Scope(std::shared_ptr<CancelEvent> event) : m_previous(std::exchange(t_current, std::move(event))) {}

Scope::~Scope() {
  t_current = std::move(m_previous);
}

}  // namespace AsyncTask::Cancel
