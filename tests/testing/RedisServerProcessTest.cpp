// The redis-server helper: what the Redis tests do not show by themselves. A
// server that starts with persistence on would write into the working folder
// of whoever runs the tests; one that outlives its parent keeps a port and
// memory until the machine restarts; a missing redis-server must fail the
// tests with a way to get it. Starting, killing, restarting on the same port,
// pausing, passwords and extra arguments are exercised by every Redis test
// (the fault, restart, TLS and cluster tests fail when one of them breaks).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "testing/RedisClusterProcess.h"
#include "testing/RedisServerProcess.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestEnvironment.h"

namespace {

using namespace std::chrono_literals;
using kelcache_testing::RedisServerProcess;

const char* const kFolderVariable = "KELCACHE_REDIS_HELPER_TEST_DIR";

// One command on a new connection: a status or string reply as is, an array
// as its elements joined by ",", "no connection" when nothing answers.
std::string Command(uint16_t port, const std::vector<std::string>& arguments) {
  const auto reply = kelcache_testing::RedisCommandOnLoopback(port, arguments, 1s);
  if (reply.type == kelcache_testing::RedisClusterReply::Type::kNone) return "no connection";
  std::string text = reply.text;
  for (size_t i = 0; i < reply.elements.size(); ++i) text += (i ? "," : "") + reply.elements[i].text;
  return text;
}

TEST(RedisServerProcessTest, StartsOnLoopbackWithPersistenceOffInAFolderOfItsOwn) {
  std::filesystem::path folder;
  {
    RedisServerProcess server;
    folder = server.Folder();
    EXPECT_EQ(Command(server.Port(), {"CONFIG", "GET", "save"}), "save,");
    EXPECT_EQ(Command(server.Port(), {"CONFIG", "GET", "appendonly"}), "appendonly,no");
    EXPECT_EQ(Command(server.Port(), {"CONFIG", "GET", "bind"}), "bind,127.0.0.1");
    EXPECT_EQ(Command(server.Port(), {"CONFIG", "GET", "dir"}), "dir," + std::filesystem::canonical(folder).string());
  }
  EXPECT_FALSE(std::filesystem::exists(folder)) << "the folder outlived the server";
}

TEST(RedisServerProcessTest, MissingRedisServerTellsHowToInstallIt) {
  kelcache_test::TempDir empty;
  const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", empty.str().c_str(), 1);
  const std::string message = kelcache_test::RaisedText<std::runtime_error>([] { RedisServerProcess server; });
  setenv("PATH", savedPath.c_str(), 1);
  EXPECT_NE(message.find("redis-server was not found on the PATH"), std::string::npos) << message;
  EXPECT_NE(message.find("apt-get install redis-server"), std::string::npos) << message;
}

// A server on the port asked for, another process's, is not taken for the new
// one: the new one cannot bind, exits, and its start fails. (Tests run side
// by side, and a port found free may be taken before the server binds it; a
// client that then reached the other test's server would fail for no fault
// of the code under test, or pass for one.)
TEST(RedisServerProcessTest, AServerAlreadyOnThePortIsNotTakenForTheNewOne) {
  RedisServerProcess taken;
  for (bool tlsOnly : {false, true}) {
    SCOPED_TRACE(tlsOnly ? "TLS only: up once it accepts" : "plain: up once it answers PING");
    RedisServerProcess::Options options;
    options.port = taken.Port();
    options.tlsOnly = tlsOnly;
    const std::string message =
        kelcache_test::RaisedText<std::runtime_error>([&] { RedisServerProcess second(options); });
    EXPECT_NE(message.find("exited at start"), std::string::npos) << message;
  }
}

// A server is killed and started again on the same port by the restart and
// fault tests. A port in the kernel's ephemeral range may meanwhile become
// the source port of any outgoing connection on the machine, or of a client
// of that very server retrying, which then connects to itself; the restart
// then fails to bind. So ports are picked below that range, and below it by
// the cluster bus offset so that a node's bus port is too.
TEST(RedisServerProcessTest, PicksPortsNoOutgoingConnectionCanTake) {
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 0;
  ASSERT_TRUE(range >> low);
  ASSERT_GT(low, 21000) << "this machine's ephemeral range leaves no room below it";
  for (int i = 0; i < 20; ++i) {
    const uint16_t port = kelcache_testing::FindFreeLoopbackPort();
    EXPECT_GE(port, 10000);
    EXPECT_LT(port + 10000, low);
  }
  RedisServerProcess server;
  EXPECT_LT(server.Port() + 10000, low);
}

// A test process that dies (a crash, a time-out kill) takes its server along.
TEST(RedisServerProcessTest, ServerDiesWithItsParent) {
  kelcache_test::TempDir dir;
  // The killed child cannot remove its server's folder: TMPDIR puts that
  // folder inside ours.
  const pid_t child = kelcache_test::StartChildTest("RedisServerProcessTest.DISABLED_StartAndWait",
                                                    {{kFolderVariable, dir.str()}, {"TMPDIR", dir.str()}});
  const std::string portFile = dir.str() + "/port";
  ASSERT_TRUE(kelcache_test::WaitUntil([&] { return std::filesystem::exists(portFile); }, 30s))
      << "the child started no server";
  uint16_t port = 0;
  std::ifstream(portFile) >> port;
  ASSERT_EQ(Command(port, {"PING"}), "PONG");

  kill(child, SIGKILL);
  kelcache_test::WaitForChild(child, 10s);
  EXPECT_TRUE(kelcache_test::WaitUntil([&] { return Command(port, {"PING"}) == "no connection"; }, 10s))
      << "the server on port " << port << " outlived its parent";
}

// The child of ServerDiesWithItsParent: starts a server, says where, waits to be killed.
TEST(RedisServerProcessTest, DISABLED_StartAndWait) {
  RedisServerProcess server;
  const std::string folder = kelcache_test::GetEnv(kFolderVariable);
  ASSERT_FALSE(folder.empty());
  std::ofstream(folder + "/port.tmp") << server.Port();
  std::filesystem::rename(folder + "/port.tmp", folder + "/port");
  std::this_thread::sleep_for(60s);
}

}  // namespace
