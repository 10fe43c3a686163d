// RedisServer: a private redis-server for one test, on a free loopback port
// (127.0.0.1 only), with persistence off (--save "" --appendonly no) and its
// working folder in a temporary folder of its own. A thin test-facing face of
// kelcache_testing::RedisServerProcess (testing/RedisServerProcess.h), which
// the benchmarks and the tour share.
//
//   kelcache_test::RedisServer server;          // started; answers PING
//   pool.Reset(server.Address(), "");          // "127.0.0.1:<port>"
//   server.Kill();  server.Restart();           // same port again
//   server.Pause(); server.Resume();            // SIGSTOP / SIGCONT
//
// When redis-server is not on the PATH the constructor raises
// std::runtime_error saying so and how to install it: tests that need Redis
// fail, they never skip.
//
// Cleanup: the destructor kills the server (SIGKILL) and reaps it, also when
// the test failed. Should the test process itself die, the server is killed
// by the kernel (PR_SET_PDEATHSIG), so no server outlives its test. That
// signal follows the thread that started the server: start, restart and
// destroy servers on the test's main thread (or a thread that outlives them).
//
// Thread rules: not thread-safe; one thread drives a server. Its address may
// be read from any thread.
#pragma once

#include <utility>

#include "testing/RedisServerProcess.h"
#include "tests/support/TestEnvironment.h"

namespace kelcache_test {

class RedisServer : public kelcache_testing::RedisServerProcess {
 public:
  struct Options {
    std::string password;  // --requirepass when not empty
  };

  RedisServer() = default;
  explicit RedisServer(Options options)
      : RedisServerProcess(RedisServerProcess::Options{.password = std::move(options.password)}) {}
};

using kelcache_testing::FindFreeLoopbackPort;

}  // namespace kelcache_test
