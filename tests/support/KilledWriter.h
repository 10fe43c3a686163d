// A writer of TFile::WriteUnsignedBinaryFile killed midway, for the tests of
// what such a writer leaves behind (its temporary file) and of who removes it.
//
// The writer is a child made by fork that makes no thread: the file-size
// limit stops its write past 1000 bytes with SIGXFSZ, which ends it between
// the temporary file's creation and its rename, every time.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "host/TFile.h"

namespace kelcache_test {

inline void KillAWriterMidway(const TPath& target) {
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    rlimit size{};
    getrlimit(RLIMIT_FSIZE, &size);
    size.rlim_cur = 1000;
    setrlimit(RLIMIT_FSIZE, &size);
    signal(SIGXFSZ, SIG_DFL);
    TFile::WriteUnsignedBinaryFile(target, std::vector<uint8_t>(4096, 'x'));
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << "the writer was not killed midway";
}

}  // namespace kelcache_test
