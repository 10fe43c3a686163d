#include "testing/RedisClusterProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace kelcache_testing {

namespace {

using Clock = std::chrono::steady_clock;

// --- A minimal client: one command per connection, replies parsed whole. ---

// Parses one reply at `pos`; false when the bytes end before it does.
bool ParseReply(const std::string& bytes, size_t& pos, RedisClusterReply& out) {
  const size_t lineEnd = bytes.find("\r\n", pos);
  if (lineEnd == std::string::npos) return false;
  const char kind = bytes[pos];
  const std::string line = bytes.substr(pos + 1, lineEnd - pos - 1);
  size_t next = lineEnd + 2;
  // A bulk string or an array of length -1 is nil.
  if ((kind == '$' || kind == '*') && std::stoll(line) < 0) {
    out.type = RedisClusterReply::Type::kNil;
    pos = next;
    return true;
  }
  switch (kind) {
    case '+':
    case '-':
      out.type = kind == '+' ? RedisClusterReply::Type::kStatus : RedisClusterReply::Type::kError;
      out.text = line;
      break;
    case ':':
      out.type = RedisClusterReply::Type::kInteger;
      out.integer = std::stoll(line);
      break;
    case '$': {
      const long long length = std::stoll(line);
      if (bytes.size() < next + static_cast<size_t>(length) + 2) return false;
      out.type = RedisClusterReply::Type::kString;
      out.text = bytes.substr(next, static_cast<size_t>(length));
      next += static_cast<size_t>(length) + 2;
      break;
    }
    case '*': {
      const long long count = std::stoll(line);
      out.type = RedisClusterReply::Type::kArray;
      out.elements.resize(static_cast<size_t>(count));
      for (RedisClusterReply& element : out.elements) {
        if (!ParseReply(bytes, next, element)) return false;
      }
      break;
    }
    default:
      throw std::runtime_error("RedisClusterProcess: a node sent an unknown reply type");
  }
  pos = next;
  return true;
}

}  // namespace

RedisClusterReply RedisCommandOnLoopback(uint16_t port, const std::vector<std::string>& arguments,
                                         std::chrono::milliseconds timeout) {
  RedisClusterReply reply;
  std::string request = "*" + std::to_string(arguments.size()) + "\r\n";
  for (const std::string& argument : arguments) {
    request += "$" + std::to_string(argument.size()) + "\r\n" + argument + "\r\n";
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return reply;
  timeval tv{static_cast<time_t>(timeout.count() / 1000),
             static_cast<suseconds_t>((timeout.count() % 1000) * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    std::string bytes;
    char buffer[16384];
    for (;;) {
      const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      bytes.append(buffer, static_cast<size_t>(got));
      size_t pos = 0;
      RedisClusterReply parsed;
      if (ParseReply(bytes, pos, parsed)) {
        reply = std::move(parsed);
        break;
      }
    }
  }
  close(fd);
  return reply;
}

namespace {

// The value of `field` in an INFO-style text ("field:value" lines).
std::string InfoField(const std::string& info, const std::string& field) {
  std::istringstream lines(info);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(field + ":", 0) == 0) return line.substr(field.size() + 1);
  }
  return std::string();
}

std::string FileText(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

RedisClusterProcess::RedisClusterProcess() : RedisClusterProcess(Options{}) {}

RedisClusterProcess::RedisClusterProcess(Options options) : m_options(options) {
  if (FindOnPath("redis-cli").empty()) {
    throw std::runtime_error(
        "redis-cli was not found on the PATH. The cluster tests create their cluster with it: install it "
        "(Debian/Ubuntu: apt-get install redis-tools, which redis-server brings along).");
  }
  const int total = m_options.masters * (1 + m_options.replicasPerMaster);
  // A replica's first sync starts at once (by default a master waits 5 s for
  // more replicas to share a diskless transfer).
  const std::string config = "cluster-enabled yes\ncluster-config-file nodes.conf\ncluster-node-timeout " +
                             std::to_string(m_options.nodeTimeout.count()) + "\nrepl-diskless-sync-delay 0\n";
  for (int i = 0; i < total; ++i) {
    RedisServerProcess::Options nodeOptions;
    nodeOptions.config = config;
    nodeOptions.maxPickedPort = 55535;  // the bus port is 10000 higher
    m_nodes.push_back(std::make_unique<RedisServerProcess>(nodeOptions));
  }
  Create();
  if (!WaitUntilHealthy()) {
    throw std::runtime_error("RedisClusterProcess: the cluster did not settle: " + m_lastProblem);
  }
}

RedisClusterProcess::~RedisClusterProcess() = default;

void RedisClusterProcess::Create() {
  const std::string output = (Node(0).Folder() / "cluster-create.txt").string();
  std::vector<std::string> arguments = {FindOnPath("redis-cli"), "--cluster", "create"};
  for (const auto& node : m_nodes) arguments.push_back(node->Address());
  arguments.insert(arguments.end(),
                   {"--cluster-replicas", std::to_string(m_options.replicasPerMaster), "--cluster-yes"});
  const pid_t child = SpawnChild(std::move(arguments), output, "RedisClusterProcess");
  const Clock::time_point deadline = Clock::now() + m_options.startTimeout;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
    if (Clock::now() >= deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      throw std::runtime_error("RedisClusterProcess: redis-cli --cluster create did not finish; it wrote:\n" +
                               FileText(output));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("RedisClusterProcess: redis-cli --cluster create failed; it wrote:\n" +
                             FileText(output));
  }
}

std::optional<size_t> RedisClusterProcess::IndexOfPort(uint16_t port) const {
  for (size_t i = 0; i < m_nodes.size(); ++i) {
    if (m_nodes[i]->Port() == port) return i;
  }
  return std::nullopt;
}

std::string RedisClusterProcess::ServersText(const std::vector<size_t>& order) const {
  std::string text = "cluster:";
  bool first = true;
  auto add = [&](size_t index) {
    text += (first ? "" : ",") + Node(index).Address();
    first = false;
  };
  if (order.empty()) {
    for (size_t i = 0; i < m_nodes.size(); ++i) add(i);
  } else {
    for (size_t index : order) add(index);
  }
  return text;
}

RedisClusterReply RedisClusterProcess::Command(size_t index, const std::vector<std::string>& arguments,
                                               std::chrono::milliseconds timeout) const {
  if (!Node(index).IsRunning()) return RedisClusterReply();
  return RedisCommandOnLoopback(Node(index).Port(), arguments, timeout);
}

std::vector<RedisClusterProcess::NodeInfo> RedisClusterProcess::Describe(size_t index) const {
  std::vector<NodeInfo> nodes;
  const RedisClusterReply reply = Command(index, {"CLUSTER", "NODES"});
  if (reply.type != RedisClusterReply::Type::kString) return nodes;
  std::istringstream lines(reply.text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string id, endpoint, flags, master, pingSent, pongReceived, epoch, linkState;
    if (!(fields >> id >> endpoint >> flags >> master >> pingSent >> pongReceived >> epoch >> linkState))
      continue;
    // "127.0.0.1:7000@17000[,hostname]"
    const size_t colon = endpoint.rfind(':', endpoint.find('@'));
    if (colon == std::string::npos) continue;
    const std::optional<size_t> node = IndexOfPort(
        static_cast<uint16_t>(std::stoi(endpoint.substr(colon + 1, endpoint.find('@') - colon - 1))));
    if (!node) continue;
    NodeInfo info;
    info.index = *node;
    info.id = id;
    info.master = flags.find("master") != std::string::npos;
    info.failed = flags.find("fail") != std::string::npos || linkState != "connected";
    if (!info.master && master != "-") info.masterId = master;
    for (std::string range; fields >> range;) {
      if (range.empty() || range.front() == '[') continue;  // a slot being migrated or imported
      const size_t dash = range.find('-');
      const int first = std::stoi(range.substr(0, dash));
      const int last = dash == std::string::npos ? first : std::stoi(range.substr(dash + 1));
      info.slots.emplace_back(first, last);
    }
    nodes.push_back(std::move(info));
  }
  return nodes;
}

std::optional<size_t> RedisClusterProcess::MasterOf(int slot, size_t asked) const {
  for (const NodeInfo& node : Describe(asked)) {
    if (!node.master) continue;
    for (const auto& [first, last] : node.slots) {
      if (slot >= first && slot <= last) return node.index;
    }
  }
  return std::nullopt;
}

std::vector<size_t> RedisClusterProcess::Masters() const {
  for (size_t i = 0; i < m_nodes.size(); ++i) {
    if (!Node(i).IsRunning()) continue;
    std::vector<size_t> masters;
    for (const NodeInfo& node : Describe(i)) {
      if (node.master && !node.slots.empty()) masters.push_back(node.index);
    }
    std::sort(masters.begin(), masters.end());
    return masters;
  }
  return {};
}

bool RedisClusterProcess::IsMaster(size_t index) const {
  const RedisClusterReply reply = Command(index, {"INFO", "replication"});
  return reply.type == RedisClusterReply::Type::kString && InfoField(reply.text, "role") == "master";
}

std::string RedisClusterProcess::Problem() const {
  std::set<std::pair<std::string, std::vector<std::pair<int, int>>>> firstView;
  bool haveView = false;
  for (size_t i = 0; i < m_nodes.size(); ++i) {
    if (!Node(i).IsRunning()) continue;
    const std::string name = "node " + std::to_string(i) + " (" + Node(i).Address() + ")";
    const RedisClusterReply info = Command(i, {"CLUSTER", "INFO"});
    if (info.type != RedisClusterReply::Type::kString) return name + " does not answer CLUSTER INFO";
    if (InfoField(info.text, "cluster_state") != "ok")
      return name + " reports cluster_state:" + InfoField(info.text, "cluster_state");
    if (InfoField(info.text, "cluster_known_nodes") != std::to_string(m_nodes.size())) {
      return name + " knows " + InfoField(info.text, "cluster_known_nodes") + " nodes";
    }
    std::set<std::pair<std::string, std::vector<std::pair<int, int>>>> view;
    for (const NodeInfo& node : Describe(i)) {
      if (Node(node.index).IsRunning() && node.failed) {
        return name + " counts node " + std::to_string(node.index) + " as failed or not connected";
      }
      if (node.master && !node.slots.empty()) view.insert({node.id, node.slots});
    }
    if (!haveView) {
      firstView = view;
      haveView = true;
    } else if (view != firstView) {
      return name + " sees other masters or slots than the first node";
    }
    const RedisClusterReply replication = Command(i, {"INFO", "replication"});
    if (replication.type != RedisClusterReply::Type::kString) return name + " does not answer INFO";
    if (InfoField(replication.text, "role") == "slave" &&
        InfoField(replication.text, "master_link_status") != "up") {
      return name + " is a replica whose link to its master is " +
             InfoField(replication.text, "master_link_status");
    }
  }
  return haveView ? std::string() : std::string("no node runs");
}

bool RedisClusterProcess::WaitUntilHealthy(std::chrono::milliseconds timeout) {
  if (timeout.count() == 0) timeout = m_options.startTimeout;
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    m_lastProblem = Problem();
    if (m_lastProblem.empty()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace kelcache_testing
