#include "tests/support/RedisServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kelcache_test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kStartTimeout{15};

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Sends `request` and returns the first bytes of the answer (empty when none
// comes in time).
std::string Exchange(uint16_t port, const std::string& request, std::chrono::milliseconds timeout) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string();
  sockaddr_in address = Loopback(port);
  std::string answer;
  timeval tv{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>((timeout.count() % 1000) * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buffer[256];
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got > 0) answer.assign(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return answer;
}

}  // namespace

uint16_t FindFreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("FindFreeLoopbackPort: socket() failed");
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error("FindFreeLoopbackPort: cannot bind to 127.0.0.1");
  }
  close(fd);
  return ntohs(address.sin_port);
}

std::string RedisServer::FindExecutable() {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    std::string candidate = folder + "/redis-server";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::string();
}

std::string RedisServer::RequireExecutable() {
  std::string executable = FindExecutable();
  if (executable.empty()) {
    throw std::runtime_error(
        "redis-server was not found on the PATH. The Redis tests start their own server and cannot run "
        "without it: install it (Debian/Ubuntu: apt-get install redis-server; scripts/install-deps.sh does it).");
  }
  return executable;
}

RedisServer::RedisServer() : RedisServer(Options{}) {}

RedisServer::RedisServer(Options options) : m_options(std::move(options)), m_executable(RequireExecutable()) {
  // Another process may take the port between the probe and the start: try a
  // few ports.
  for (int attempt = 0;; ++attempt) {
    m_port = FindFreeLoopbackPort();
    try {
      Start();
      return;
    } catch (const std::exception&) {
      Kill();
      if (attempt == 4) throw;
    }
  }
}

RedisServer::~RedisServer() { Kill(); }

void RedisServer::Start() {
  std::string logFile = m_dir.str() + "/redis-" + std::to_string(m_port) + ".log";
  std::vector<std::string> arguments = {m_executable,
                                        "--port", std::to_string(m_port),
                                        "--bind", m_host,
                                        "--save", "",
                                        "--appendonly", "no",
                                        "--dir", m_dir.str(),
                                        "--logfile", logFile,
                                        "--daemonize", "no"};
  if (!m_options.password.empty()) {
    arguments.push_back("--requirepass");
    arguments.push_back(m_options.password);
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pid_t parent = getpid();
  pid_t child = fork();
  if (child < 0) throw std::runtime_error(std::string("RedisServer: fork failed: ") + std::strerror(errno));
  if (child == 0) {
    // Only async-signal-safe calls between fork and exec.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    int devNull = open("/dev/null", O_RDWR);
    if (devNull >= 0) {
      dup2(devNull, STDIN_FILENO);
      dup2(devNull, STDOUT_FILENO);
      dup2(devNull, STDERR_FILENO);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  m_pid = child;

  auto deadline = Clock::now() + kStartTimeout;
  while (Clock::now() < deadline) {
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_pid = -1;
      throw std::runtime_error("RedisServer: redis-server on port " + std::to_string(m_port) +
                               " exited at start:\n" + LogTail());
    }
    if (Answers(std::chrono::milliseconds(200))) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  throw std::runtime_error("RedisServer: redis-server on port " + std::to_string(m_port) +
                           " did not answer PING in time:\n" + LogTail());
}

bool RedisServer::Answers(std::chrono::milliseconds timeout) const {
  std::string answer = Exchange(m_port, "PING\r\n", timeout);
  // With a password the server answers NOAUTH, which still shows it is up.
  return answer.rfind("+PONG", 0) == 0 || answer.rfind("-NOAUTH", 0) == 0;
}

std::string RedisServer::LogTail() const {
  std::ifstream in(m_dir.str() + "/redis-" + std::to_string(m_port) + ".log");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return all.size() > 2000 ? all.substr(all.size() - 2000) : all;
}

void RedisServer::Kill() {
  if (m_pid <= 0) return;
  kill(m_pid, SIGKILL);
  int status = 0;
  while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
  }
  m_pid = -1;
}

void RedisServer::Pause() {
  if (m_pid > 0) kill(m_pid, SIGSTOP);
}

void RedisServer::Resume() {
  if (m_pid > 0) kill(m_pid, SIGCONT);
}

void RedisServer::Restart() {
  Kill();
  Start();
}

}  // namespace kelcache_test
