#include "examples/tour/TourRedisServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tour {

namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

uint16_t FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (fd >= 0) close(fd);
  if (!ok) throw std::runtime_error("no free port on 127.0.0.1");
  return ntohs(address.sin_port);
}

}  // namespace

std::string TourRedisServer::FindExecutable() {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    std::string candidate = folder + "/redis-server";
    if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::string();
}

TourRedisServer::TourRedisServer(const std::string& executable) {
  m_port = FreeLoopbackPort();
  m_dir = std::filesystem::temp_directory_path() / ("kelcache-tour-redis-" + std::to_string(getpid()));
  std::filesystem::create_directories(m_dir);
  std::vector<std::string> arguments = {executable, "--port", std::to_string(m_port), "--bind", "127.0.0.1",
                                        "--save", "", "--appendonly", "no", "--dir", m_dir.string(),
                                        "--logfile", (m_dir / "redis.log").string()};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t parent = getpid();
  m_pid = fork();
  if (m_pid < 0) throw std::runtime_error("cannot start redis-server (fork failed)");
  if (m_pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    int devNull = open("/dev/null", O_RDWR);
    if (devNull >= 0) {
      dup2(devNull, STDOUT_FILENO);
      dup2(devNull, STDERR_FILENO);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  for (int attempt = 0; attempt < 500; ++attempt) {
    if (Answers()) return;
    if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
      m_pid = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Kill();
  throw std::runtime_error("redis-server did not start (see " + (m_dir / "redis.log").string() + ")");
}

TourRedisServer::~TourRedisServer() {
  Kill();
  std::error_code error;
  std::filesystem::remove_all(m_dir, error);
}

void TourRedisServer::Kill() {
  if (m_pid <= 0) return;
  kill(m_pid, SIGKILL);
  waitpid(m_pid, nullptr, 0);
  m_pid = -1;
}

bool TourRedisServer::Answers() const {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  timeval timeout{0, 200000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address = Loopback(m_port);
  char answer[8] = {};
  bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            send(fd, "PING\r\n", 6, MSG_NOSIGNAL) == 6 && recv(fd, answer, 5, 0) == 5 &&
            std::string(answer, 5) == "+PONG";
  close(fd);
  return up;
}

}  // namespace tour
