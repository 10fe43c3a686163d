// RedisServerProcess: one private redis-server, run as a child process of the
// tests, the benchmarks and the tour. Internal-only target
// (kelcache_redis_server), never installed; it needs nothing but the C++
// library and POSIX, so programs that do not link GoogleTest can use it.
//
//   kelcache_testing::RedisServerProcess server;   // started; answers PING
//   pool.Reset(server.Address(), "");             // "127.0.0.1:<port>"
//   server.Kill();  server.Restart();              // same port again
//   server.Pause(); server.Resume();               // SIGSTOP / SIGCONT
//
// What a server gets: a free TCP port on 127.0.0.1 (or the one asked for),
// persistence off (--save "" --appendonly no), a working folder of its own
// under the system's temporary folder (its log file is there too), removed
// when the object goes. Callers may add a configuration file and command-line
// arguments (a cluster node, a TLS listener, a password); arguments come after
// the ones above, so they override them, as redis-server lets the last
// occurrence of an option win.
//
// When redis-server is not on the PATH the constructor raises
// std::runtime_error saying so and how to install it.
//
// Lifetime: the destructor kills the server (SIGKILL) and reaps it. Should
// the owning process die first, the kernel kills the server
// (PR_SET_PDEATHSIG), so no server outlives its parent. That signal follows
// the *thread* that forked the server, not the process: start, restart and
// destroy servers on the main thread (or a thread that outlives them). Google
// Benchmark's worker threads end after each benchmark, for instance.
//
// Thread rules: not thread-safe; one thread drives a server. The accessors
// (Port, Address, ...) may be read from any thread while no thread restarts
// it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace kelcache_testing {

class RedisServerProcess {
 public:
  struct Options {
    // Extra redis-server arguments, appended after the helper's own
    // ("--cluster-enabled", "yes", "--tls-port", "0", ...).
    std::vector<std::string> arguments;
    // When not empty: the text of a configuration file, written to
    // redis.conf in the server's folder and passed as its first argument
    // (command-line arguments override it).
    std::string config;
    // --requirepass when not empty.
    std::string password;
    // The port to listen on; 0 picks a free loopback port (and tries another
    // when a different process takes it before the server starts).
    uint16_t port = 0;
    // The highest port that may be picked: a cluster node needs room for its
    // bus port, 10000 higher.
    uint16_t maxPickedPort = 65535;
    // The port (given or picked) is the TLS port, and there is no plain
    // one (--port 0 --tls-port <port>); the TLS certificate options go in
    // `arguments` (testing/TlsRedisServer.h). Without `answers`, the server
    // is up once it accepts connections.
    bool tlsOnly = false;
    // Tells whether the server is up. Empty: PING on the plain port,
    // answered by +PONG or, with a password, by -NOAUTH. A server that
    // listens only for TLS needs a probe of its own.
    std::function<bool(const RedisServerProcess&)> answers;
    // How long a start may take before it counts as failed.
    std::chrono::milliseconds startTimeout{15000};
  };

  // Starts the server and waits until it answers. Raises std::runtime_error
  // (with the end of the server's log) when it does not start.
  RedisServerProcess();
  explicit RedisServerProcess(Options options);
  ~RedisServerProcess();
  RedisServerProcess(const RedisServerProcess&) = delete;
  RedisServerProcess& operator=(const RedisServerProcess&) = delete;

  // The redis-server program found on the PATH, or empty.
  static std::string FindExecutable();
  // The program, or a std::runtime_error explaining how to install it.
  static std::string RequireExecutable();

  const std::string& Host() const { return m_host; }
  uint16_t Port() const { return m_port; }
  // "127.0.0.1:<port>", the form RedisConnectionPool::Reset takes.
  std::string Address() const { return m_host + ":" + std::to_string(m_port); }
  pid_t Pid() const { return m_pid; }
  bool IsRunning() const { return m_pid > 0; }
  // The server's working folder and its log file.
  const std::filesystem::path& Folder() const { return m_folder; }
  std::filesystem::path LogFile() const;
  // The last `bytes` of the log (for error messages).
  std::string LogTail(size_t bytes = 2000) const;

  // SIGKILL, then waits for the process to end. Does nothing when stopped.
  void Kill();
  // SIGSTOP: the server keeps its connections but answers nothing.
  void Pause();
  // SIGCONT.
  void Resume();
  // Kills the server if it runs, starts it again on the same port (same
  // folder, options and arguments) and waits until it answers. A start that
  // fails is tried again a few times, half a second apart, since another
  // socket may hold the port for a moment. Raises std::runtime_error when it
  // does not start.
  void Restart();

  // Whether the server answers now (the Options::answers probe).
  bool Answers() const;
  // Polls until this process listens on the port and Answers() is true, or
  // `timeout` has passed; false also as soon as the process has exited.
  bool WaitUntilAnswering(std::chrono::milliseconds timeout);

 private:
  void Start();

  Options m_options;
  std::string m_executable;
  std::filesystem::path m_folder;
  std::string m_host = "127.0.0.1";
  uint16_t m_port = 0;
  pid_t m_pid = -1;
};

// A TCP port on 127.0.0.1 that nothing used a moment ago, picked at random
// below the kernel's ephemeral range (ip_local_port_range) by at least 10000,
// so that no outgoing connection takes it as its source port: a server may be
// killed and started again on it. Falls back to a port the kernel picks when
// the range leaves no room below it.
uint16_t FindFreeLoopbackPort();

// The full path of `program` in a folder of the PATH, or empty.
std::string FindOnPath(const std::string& program);

// Starts `arguments` (the program's full path first) as a child process: it
// is killed (SIGKILL) when the thread that started it ends, its standard input
// is /dev/null, and its output and errors go to `outputFile`, or to /dev/null
// when that is empty. Raises std::system_error naming `who` when fork fails.
pid_t SpawnChild(std::vector<std::string> arguments, const std::string& outputFile, const char* who);

// Whether something accepts TCP connections on 127.0.0.1:`port` now (the
// "is it up" probe of a server that answers nothing in plain text, such as
// a TLS-only one).
bool AcceptsOnLoopback(uint16_t port);

// Sends `request` to 127.0.0.1:`port` on a new connection and returns the
// first bytes of the answer; empty when none comes within `timeout`.
std::string ExchangeOnLoopback(uint16_t port, const std::string& request, std::chrono::milliseconds timeout);

}  // namespace kelcache_testing
