#include "tests/support/TestEnvironment.h"

#include <unistd.h>

#include <atomic>
#include <random>
#include <system_error>

#include "host/AppConfig.h"

namespace kelcache_test {

void PrepareTestProcess() {
  AppConfig::GetInstance().SetUnitTestFlag(true);
}

TempDir::TempDir(const std::filesystem::path& base) {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  for (;;) {
    auto candidate = base / ("kelcache-test-" + std::to_string(getpid()) + "-" +
                             std::to_string(counter.fetch_add(1)) + "-" + std::to_string(random() % 100000));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      m_path = candidate;
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code error;
  std::filesystem::remove_all(m_path, error);
}

}  // namespace kelcache_test
