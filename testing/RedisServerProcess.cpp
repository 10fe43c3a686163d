#include "testing/RedisServerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace kelcache_testing {

namespace {

using Clock = std::chrono::steady_clock;

// Ports tried when the free one found is taken before the server binds it.
constexpr int kPortAttempts = 5;
// Starts tried by a restart on the same port.
constexpr int kRestartAttempts = 4;

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A new folder under the system's temporary folder.
std::filesystem::path MakeFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kelcache-redis-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "RedisServerProcess: cannot create a folder");
  }
  return pattern;
}

// Whether process `pid` holds a TCP socket listening on `port` (IPv4). With
// tests running side by side, another process's server may take a port
// between FindFreeLoopbackPort and our server's bind; our server then exits,
// but until it has, a probe of the port reaches the other one (and a client
// of ours would talk to a server of a test that made its own certificates).
bool ListensOn(pid_t pid, uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the header
  std::vector<std::string> inodes;
  while (std::getline(table, line)) {
    // "  0: 0100007F:B26E 00000000:0000 0A ... <uid> <timeout> <inode> ..."
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    const size_t colon = local.find(':');
    if (state != "0A" || colon == std::string::npos) continue;  // 0A: LISTEN
    if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) inodes.push_back("socket:[" + inode + "]");
  }
  if (inodes.empty()) return false;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    std::error_code unreadable;
    const std::filesystem::path target = std::filesystem::read_symlink(entry.path(), unreadable);
    if (!unreadable && std::find(inodes.begin(), inodes.end(), target.string()) != inodes.end()) return true;
  }
  return false;
}

bool DefaultAnswers(const RedisServerProcess& server) {
  const std::string answer = ExchangeOnLoopback(server.Port(), "PING\r\n", std::chrono::milliseconds(200));
  // With a password the server answers NOAUTH, which still shows it is up.
  return answer.rfind("+PONG", 0) == 0 || answer.rfind("-NOAUTH", 0) == 0;
}

// Binds a socket to 127.0.0.1:`port` (0: the kernel picks) without
// SO_REUSEADDR and returns the port bound, or 0 when it is taken.
uint16_t BindLoopback(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "FindFreeLoopbackPort: socket()");
  sockaddr_in address = Loopback(port);
  socklen_t length = sizeof address;
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  close(fd);
  return bound ? ntohs(address.sin_port) : 0;
}

// The lowest port the kernel gives a connection as its own (source) port.
int LowestEphemeralPort() {
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 0;
  int high = 0;
  return range >> low >> high ? low : 32768;
}

}  // namespace

uint16_t FindFreeLoopbackPort() {
  // Below the ephemeral range, and by the cluster bus offset (10000) so that
  // a node's bus port is below it too. A port in that range can be taken at
  // any time as the source port of some outgoing connection, even one of our
  // own clients reconnecting to it, which self-connects: a server restarted
  // on the same port would then fail to bind.
  constexpr int kLowest = 10000;
  constexpr int kBusOffset = 10000;
  const int end = LowestEphemeralPort() - kBusOffset;
  if (end - kLowest >= 1000) {
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pick(kLowest, end - 1);
    for (int attempt = 0; attempt < 200; ++attempt) {
      if (const uint16_t port = BindLoopback(static_cast<uint16_t>(pick(random)))) return port;
    }
  }
  // An unusual port range, or nearly every port taken: the kernel's choice.
  if (const uint16_t port = BindLoopback(0)) return port;
  throw std::runtime_error("FindFreeLoopbackPort: cannot bind to 127.0.0.1");
}

std::string FindOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    const std::string candidate = folder + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::string();
}

pid_t SpawnChild(std::vector<std::string> arguments, const std::string& outputFile, const char* who) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) throw std::system_error(errno, std::generic_category(), std::string(who) + ": fork");
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have died before prctl: then nobody would kill us.
    if (getppid() != parent) _exit(1);
    const int devNull = open("/dev/null", O_RDWR);
    const int out = outputFile.empty() ? devNull : open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (devNull >= 0) dup2(devNull, STDIN_FILENO);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  return child;
}

bool AcceptsOnLoopback(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address = Loopback(port);
  const bool accepted = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return accepted;
}

std::string ExchangeOnLoopback(uint16_t port, const std::string& request, std::chrono::milliseconds timeout) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string();
  timeval tv{static_cast<time_t>(timeout.count() / 1000),
             static_cast<suseconds_t>((timeout.count() % 1000) * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in address = Loopback(port);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buffer[256];
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got > 0) answer.assign(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return answer;
}

std::string RedisServerProcess::FindExecutable() {
  return FindOnPath("redis-server");
}

std::string RedisServerProcess::RequireExecutable() {
  std::string executable = FindExecutable();
  if (executable.empty()) {
    throw std::runtime_error(
        "redis-server was not found on the PATH. This program starts its own Redis server and cannot run "
        "without it: install it (Debian/Ubuntu: apt-get install redis-server; scripts/install-deps.sh does "
        "it).");
  }
  return executable;
}

RedisServerProcess::RedisServerProcess() : RedisServerProcess(Options{}) {}

RedisServerProcess::RedisServerProcess(Options options)
    : m_options(std::move(options)), m_executable(RequireExecutable()), m_folder(MakeFolder()) {
  if (!m_options.answers && m_options.tlsOnly) {
    // A TLS listener answers no plain PING: that it accepts is what it can show.
    m_options.answers = [](const RedisServerProcess& server) { return AcceptsOnLoopback(server.Port()); };
  }
  if (!m_options.answers) m_options.answers = DefaultAnswers;
  if (!m_options.config.empty()) std::ofstream(m_folder / "redis.conf") << m_options.config;
  for (int attempt = 1;; ++attempt) {
    m_port = m_options.port;
    while (m_port == 0 || (m_options.port == 0 && m_port > m_options.maxPickedPort)) m_port = FindFreeLoopbackPort();
    try {
      Start();
      return;
    } catch (const std::exception&) {
      Kill();
      // Only a port of our own choosing may have been taken in between.
      if (m_options.port != 0 || attempt == kPortAttempts) {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
        throw;
      }
    }
  }
}

RedisServerProcess::~RedisServerProcess() {
  Kill();
  std::error_code ignored;
  std::filesystem::remove_all(m_folder, ignored);
}

std::filesystem::path RedisServerProcess::LogFile() const {
  return m_folder / "redis.log";
}

std::string RedisServerProcess::LogTail(size_t bytes) const {
  std::ifstream in(LogFile());
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return all.size() > bytes ? all.substr(all.size() - bytes) : all;
}

void RedisServerProcess::Start() {
  // Everything the child needs is made before fork: between fork and exec a
  // child of a multi-threaded process may only make async-signal-safe calls.
  std::vector<std::string> arguments = {m_executable};
  if (!m_options.config.empty()) arguments.push_back((m_folder / "redis.conf").string());
  const std::pair<const char*, std::string> own[] = {{"--port", std::to_string(m_port)},
                                                     {"--bind", m_host},
                                                     {"--save", ""},
                                                     {"--appendonly", "no"},
                                                     {"--dir", m_folder.string()},
                                                     {"--logfile", LogFile().string()},
                                                     {"--daemonize", "no"}};
  for (const auto& [option, value] : own) {
    arguments.push_back(option);
    arguments.push_back(value);
  }
  if (m_options.tlsOnly) {
    // The chosen port is the TLS one, and there is no plain port (the last
    // --port wins).
    for (const std::string& argument : {std::string("--port"), std::string("0"), std::string("--tls-port"),
                                        std::to_string(m_port)}) {
      arguments.push_back(argument);
    }
  }
  if (!m_options.password.empty()) {
    arguments.push_back("--requirepass");
    arguments.push_back(m_options.password);
  }
  arguments.insert(arguments.end(), m_options.arguments.begin(), m_options.arguments.end());
  const pid_t child = SpawnChild(std::move(arguments), "", "RedisServerProcess");
  m_pid = child;
  if (!WaitUntilAnswering(m_options.startTimeout)) {
    const bool exited = m_pid <= 0;
    throw std::runtime_error("RedisServerProcess: redis-server on port " + std::to_string(m_port) +
                             (exited ? " exited at start" : " did not answer in time") + "; its log ends:\n" +
                             LogTail());
  }
}

bool RedisServerProcess::Answers() const {
  return m_pid > 0 && m_options.answers(*this);
}

bool RedisServerProcess::WaitUntilAnswering(std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (m_pid > 0) {
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_pid = -1;
      return false;
    }
    if (ListensOn(m_pid, m_port) && m_options.answers(*this)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void RedisServerProcess::Kill() {
  if (m_pid <= 0) return;
  kill(m_pid, SIGKILL);
  int status = 0;
  while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
  }
  m_pid = -1;
}

void RedisServerProcess::Pause() {
  if (m_pid > 0) kill(m_pid, SIGSTOP);
}

void RedisServerProcess::Resume() {
  if (m_pid > 0) kill(m_pid, SIGCONT);
}

void RedisServerProcess::Restart() {
  Kill();
  for (int attempt = 1;; ++attempt) {
    try {
      Start();
      return;
    } catch (const std::exception&) {
      Kill();
      if (attempt == kRestartAttempts) throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  }
}

}  // namespace kelcache_testing
