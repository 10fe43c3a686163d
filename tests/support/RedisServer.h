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

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "testing/RedisServerProcess.h"
#include "tests/support/TestEnvironment.h"

namespace kelcache_test {

class RedisServer {
 public:
  struct Options {
    std::string password;  // --requirepass when not empty
  };

  RedisServer();
  explicit RedisServer(Options options);
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;

  // The redis-server program found on the PATH, or empty.
  static std::string FindExecutable() { return kelcache_testing::RedisServerProcess::FindExecutable(); }
  // The program, or a std::runtime_error explaining how to get it.
  static std::string RequireExecutable() { return kelcache_testing::RedisServerProcess::RequireExecutable(); }

  const std::string& Host() const { return m_process.Host(); }
  uint16_t Port() const { return m_process.Port(); }
  // "127.0.0.1:<port>", the form RedisConnectionPool::Reset takes.
  std::string Address() const { return m_process.Address(); }
  pid_t Pid() const { return m_process.Pid(); }
  bool IsRunning() const { return m_process.IsRunning(); }

  // SIGKILL, then waits for the process to end. Does nothing when stopped.
  void Kill() { m_process.Kill(); }
  // SIGSTOP: the server keeps its connections but answers nothing.
  void Pause() { m_process.Pause(); }
  // SIGCONT.
  void Resume() { m_process.Resume(); }
  // Kills the server if it runs, starts it again on the same port and waits
  // until it answers PING. Raises std::runtime_error when it does not start.
  void Restart() { m_process.Restart(); }

 private:
  kelcache_testing::RedisServerProcess m_process;
};

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
inline uint16_t FindFreeLoopbackPort() {
  return kelcache_testing::FindFreeLoopbackPort();
}

}  // namespace kelcache_test
