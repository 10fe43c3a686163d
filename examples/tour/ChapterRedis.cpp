// Chapter: the second-level cache in Redis, beside the one on disk.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "examples/tour/Tour.h"
#include "host/LogCapture.h"
#include "host/TPath.h"
#include "host/redis/RedisConnectionPool.h"
#include "public/caching/DiskExternalCache.h"
#include "public/caching/RedisExternalCache.h"
#include "testing/RedisServerProcess.h"

namespace tour {

namespace {

std::string Text(const std::shared_ptr<std::vector<uint8_t>>& value) {
  return value ? "\"" + std::string(value->begin(), value->end()) + "\"" : "null (a miss)";
}

// A key with its control characters made visible.
std::string Visible(const std::string& key) {
  std::string shown;
  for (char c : key) shown += c == '\n' ? std::string("\\n") : std::string(1, c);
  return "\"" + shown + "\"";
}

}  // namespace

void ChapterRedis() {
  namespace fs = std::filesystem;
  using kelcache_testing::RedisServerProcess;
  using kelvra::caching::DiskExternalCache;
  using kelvra::caching::RedisConnectionPool;
  using kelvra::caching::RedisExternalCache;

  if (RedisServerProcess::FindExecutable().empty()) {
    Step("This chapter needs redis-server on the PATH, and there is none.");
    Show(std::string("Install it (Debian/Ubuntu: apt-get install redis-server) and run the tour again to see the "
                     "Redis store;"));
    Show(std::string("the tour starts a private server on a free loopback port by itself. Carrying on without it."));
    return;
  }

  Step("A private redis-server on a free loopback port, persistence off, just for this chapter.");
  RedisServerProcess server;
  Show("listening on " + server.Address());

  Step("The host configures the process's Redis pool once: servers, then options (docs/redis.md).");
  {
    TLog::Capture capture(TLog::Info);
    RedisExternalCache::InitializeConnectionPool(TString::fromStdString(server.Address()),
                                                 u"connections=2;command_timeout_ms=1000;wait_ms=200");
    for (const TString& line : capture.Lines()) Show("log: " + line.toStdString());
  }

  const fs::path folder = fs::temp_directory_path() / "kelcache-tour-redis-disk";
  fs::remove_all(folder);
  RedisExternalCache redis(u"WAV2");
  DiskExternalCache disk(u"WAV2", TPath(TString::fromStdString(folder.string())), nullptr);

  Step("The same namespace and key go to both stores; each keeps its own copy.");
  const std::string text = "workbook attributes, computed slowly";
  auto value = std::make_shared<std::vector<uint8_t>>(text.begin(), text.end());
  const bool inRedis = redis.TryStore(u"workbook-42", value, 250, -1).Get();
  const bool onDisk = disk.TryStore(u"workbook-42", value, 250, -1).Get();
  Show(std::string("stored in Redis: ") + (inRedis ? "true" : "false") + ", on disk: " + (onDisk ? "true" : "false"));
  Show("Redis load -> " + Text(redis.TryLoad(u"workbook-42").Get()));
  Show("disk load  -> " + Text(disk.TryLoad(u"workbook-42").Get()));

  Step("In Redis the value lies under the physical key: namespace, a line feed, the key (UTF-8).");
  const std::string physical = RedisExternalCache::MakePhysicalCacheKey(u"WAV2", u"workbook-42");
  Show("physical key: " + Visible(physical));
  if (auto guard = RedisConnectionPool::FindAndLockPooledConnection(u"workbook-42")) {
    Show("GET " + Visible(physical) + " on " + guard->GetConnection().GetAddress().ToString() + " -> " +
         Text(guard->GetConnection().Get(physical)));
  }
  Show(std::string("on disk the same entry is a folder named by the key's hash:"));
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) Show("  " + fs::relative(entry.path(), folder).string());
  }

  Step("A drop in Redis leaves the disk store alone: the two share nothing.");
  redis.TryDrop(u"workbook-42").Get();
  Show("Redis load -> " + Text(redis.TryLoad(u"workbook-42").Get()));
  Show("disk load  -> " + Text(disk.TryLoad(u"workbook-42").Get()));

  Step("When Redis is gone a load gives null (its event says \"fail\"), raises nothing, and the process goes on.");
  redis.TryStore(u"again", value, 250, -1).Get();
  server.Kill();
  const auto started = std::chrono::steady_clock::now();
  Show("Redis load with the server killed -> " + Text(redis.TryLoad(u"again").Get()) + " after " +
       std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                            started)
                          .count()) +
       " ms");

  RedisConnectionPool::GetInstance().Reset(u"", u"");
  fs::remove_all(folder);
}

}  // namespace tour
