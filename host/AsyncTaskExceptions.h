// The exceptions of the asynchronous-task facility (host/AsyncTask.h).
//
// - PromiseAlreadySetException: a value or an exception was set on a shared
//   state that was already ready ("PromiseAlreadySet").
// - BrokenPromiseException: stored in a shared state whose promise was
//   destroyed before the state became ready ("BrokenPromise").
// - CancelException: stored in the state of a task whose cancel event was
//   signalled before the task started ("Canceled").
// - InvalidFutureException: a future (or promise) without a shared state was
//   waited for or fetched ("InvalidFuture").
//
// Each carries a KelvraError whose name is "KelvraException_AutoGen_0x"
// followed by its code (the constants below) in upper-case hexadecimal.
//
// Thread rules: immutable values once built.
#pragma once

#include <cstdint>

#include "host/Errors.h"
#include "host/Export.h"

namespace AsyncTask {

inline constexpr uint32_t kPromiseAlreadySetCode = 0xD45B78CE;
inline constexpr uint32_t kBrokenPromiseCode = 0x84ABA352;
inline constexpr uint32_t kCancelCode = 0x5C3A91E7;
inline constexpr uint32_t kInvalidFutureCode = 0x1B7E40D9;

KELCACHE_DECLARE_EXCEPTION(PromiseAlreadySetException, KelvraException);
KELCACHE_DECLARE_EXCEPTION(BrokenPromiseException, KelvraException);
KELCACHE_DECLARE_EXCEPTION(CancelException, KelvraException);
KELCACHE_DECLARE_EXCEPTION(InvalidFutureException, KelvraException);

}  // namespace AsyncTask

// Callers that meet these two where a future is fetched also name them
// without the namespace, like the host's other exceptions.
using AsyncTask::CancelException;
using AsyncTask::InvalidFutureException;
