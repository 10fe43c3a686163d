// A private redis-server for the tour's Redis chapter: started on a free
// loopback port (127.0.0.1 only) with persistence off and a working folder
// of its own, killed when the object goes (and by the kernel should the tour
// die first, PR_SET_PDEATHSIG). The tests have a fuller fixture
// (tests/support/RedisServer.h); the tour does not link the test libraries.
//
// Thread rules: one thread drives it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace tour {

class TourRedisServer {
 public:
  // The redis-server program on the PATH, or empty.
  static std::string FindExecutable();

  // Starts `executable` and waits until it answers PING; raises
  // std::runtime_error when it does not.
  explicit TourRedisServer(const std::string& executable);
  ~TourRedisServer();
  TourRedisServer(const TourRedisServer&) = delete;
  TourRedisServer& operator=(const TourRedisServer&) = delete;

  uint16_t Port() const { return m_port; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
  // SIGKILL, and waits for the end.
  void Kill();

 private:
  bool Answers() const;

  std::filesystem::path m_dir;
  uint16_t m_port = 0;
  pid_t m_pid = -1;
};

}  // namespace tour
