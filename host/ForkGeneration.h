// ForkGeneration: tells a process made by fork from its parent, so that state
// a parent cached (a process id, an open lock file) is not trusted in a child.
//
// Library-internal: used by the file helpers and the disk store, not exported.
//
// Thread rules: both functions may be called from any thread at once.
#pragma once

#include <sys/types.h>

#include <cstdint>

// How many forks made this process: 0 in a process started by exec, one more
// in each child of fork.
uint64_t ForkGeneration();

// getpid(), asked of the kernel once per fork generation rather than at each
// call (getpid is a real system call in this C library).
pid_t CurrentProcessId();
