// The process's log output, behind the logging functions of TLog.h.
//
// LogOutput.cpp keeps where rendered lines go: stderr or a file
// (KELCACHE_LOG_FILE, LogToFile), written at once or through one background
// writer (KELCACHE_LOG_ASYNC, SetAsynchronous), the sink's level
// (KELCACHE_LOG_LEVEL, SetLevel) and flushing. The configuration functions
// themselves are declared in TLog.h; this header adds what TLog.cpp needs to
// write a line. Internal to the host layer.
//
// Thread rules: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "host/TLog.h"

namespace TLog::internal {

// Whether the sink takes lines of that severity (read without a lock).
bool SinkAccepts(AnySeverity severity) noexcept;
// Hands one rendered line to the sink.
void WriteToSink(AnySeverity severity, const std::string& line);
// The calling thread's id as log lines show it.
uint64_t CurrentThreadId() noexcept;

}  // namespace TLog::internal
