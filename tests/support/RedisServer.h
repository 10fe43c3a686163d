// RedisServer: a private redis-server for one test, on a free loopback port
// (127.0.0.1 only), with persistence off (--save "" --appendonly no) and its
// working folder in a temporary folder of its own.
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

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/TestEnvironment.h"

namespace kelcache_test {

class RedisServer {
 public:
  struct Options {
    std::string password;  // --requirepass when not empty
  };

  RedisServer();
  explicit RedisServer(Options options);
  ~RedisServer();
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;

  // The redis-server program found on the PATH, or empty.
  static std::string FindExecutable();
  // The program, or a std::runtime_error explaining how to get it.
  static std::string RequireExecutable();

  const std::string& Host() const { return m_host; }
  uint16_t Port() const { return m_port; }
  // "127.0.0.1:<port>", the form RedisConnectionPool::Reset takes.
  std::string Address() const { return m_host + ":" + std::to_string(m_port); }
  pid_t Pid() const { return m_pid; }
  bool IsRunning() const { return m_pid > 0; }

  // SIGKILL, then waits for the process to end. Does nothing when stopped.
  void Kill();
  // SIGSTOP: the server keeps its connections but answers nothing.
  void Pause();
  // SIGCONT.
  void Resume();
  // Kills the server if it runs, starts it again on the same port and waits
  // until it answers PING. Raises std::runtime_error when it does not start.
  void Restart();

 private:
  void Start();
  bool Answers(std::chrono::milliseconds timeout) const;
  std::string LogTail() const;

  Options m_options;
  TempDir m_dir;
  std::string m_executable;
  std::string m_host = "127.0.0.1";
  uint16_t m_port = 0;
  pid_t m_pid = -1;
};

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
uint16_t FindFreeLoopbackPort();

}  // namespace kelcache_test
