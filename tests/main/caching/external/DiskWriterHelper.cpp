// A writer process for the crash-safety tests: stores self-describing values
// under a set of keys through a DiskExternalCache, as fast as it can, until
// it is killed or its time is up. It writes one byte ('R') to its standard
// output after its first store, so that the test kills it only once it is
// writing.
//
//   external_DiskWriterHelper <namespace folder> <writer id> <key,key,...> <max payload bytes> <seconds, 0 =
//   forever>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <sstream>

#include "host/TLog.h"
#include "host/TPath.h"
#include "public/caching/DiskExternalCache.h"
#include "tests/main/caching/external/SelfDescribingValue.h"

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s <folder> <writer> <keys> <max payload> <seconds>\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const uint64_t writer = std::strtoull(argv[2], nullptr, 10);
  std::vector<std::string> keys;
  std::stringstream keyList(argv[3]);
  for (std::string key; std::getline(keyList, key, ',');) keys.push_back(key);
  const size_t maxPayload = std::strtoull(argv[4], nullptr, 10);
  const long seconds = std::strtol(argv[5], nullptr, 10);
  if (keys.empty() || maxPayload == 0) return 2;

  // Collisions and races make the store log failures at Warn; they are
  // expected here.
  TLog::SetLevel(TLog::Error);
  kelvra::caching::DiskExternalCache cache(u"crash", TPath(TString::fromStdString(folder)), nullptr);
  std::mt19937_64 random(writer * 1000003 + static_cast<uint64_t>(getpid()));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  bool announced = false;
  for (uint64_t generation = 1; seconds == 0 || std::chrono::steady_clock::now() < deadline; ++generation) {
    const std::string& key = keys[random() % keys.size()];
    auto value = std::make_shared<std::vector<uint8_t>>(
        kelcache_test::MakeSelfDescribingValue(key, writer, generation, random() % maxPayload));
    cache.TryStore(TString::fromStdString(key), value, 1000000, -1).Get();
    if (!announced) {
      announced = write(STDOUT_FILENO, "R", 1) == 1;
    }
  }
  return 0;
}
