// One process-wide mutex for the C library's local-time conversions.
//
// mktime and localtime_r consult the time zone and glibc may reload it,
// freeing and copying its name under a lock of its own that ThreadSanitizer
// cannot see. The host's local-time conversions (DateTime::GetLocalTime and
// the file times of FileSystem.h) take this mutex around those calls, so
// they are ordered for every checker too. Internal to the host layer.
#pragma once


#include "host/TMutex.h"

namespace host_internal {

TMutex& LocalTimeMutex();

}  // namespace host_internal
