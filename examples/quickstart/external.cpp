// Second-level caches: byte buffers under string keys, kept on disk (or in
// Redis) so that a value computed once survives the process.
#include <kelcache.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using kelvra::caching::ExternalCacheFactory;

int main() {
  // Where the disk store keeps its folders: <dir>/ExternalCacheV1/<namespace>/.
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "kelcache-quickstart";
  AppConfig::GetInstance().SetExternalCacheDir(TString::fromStdString(dir.string()));

  // Once per process: the maker of stores. This one gives the disk store;
  // a host that shares its cache between machines installs a maker of
  // RedisExternalCache instead, after RedisExternalCache::InitializeConnectionPool.
  ExternalCacheFactory::Initialize(ExternalCacheFactory::MakeDefaultCacheForAuthoringClient());
  // One cache per namespace, with a size budget in MB.
  std::shared_ptr<ExternalCacheFactory::Cache> cache = ExternalCacheFactory::MakeCache(u"Quickstart", 64, 0);

  // Every operation runs as a task and returns a future. A store says how
  // long the value took to make (ms): values that were cheap are not kept.
  const std::string text = "an expensive result";
  auto value = std::make_shared<std::vector<uint8_t>>(text.begin(), text.end());
  const bool stored = cache->TryStore(u"query-42", value, /*loadTimeMs=*/500, /*ttlSec=*/-1).Get();

  // A load gives the bytes back, or null: a miss is not an error.
  std::shared_ptr<std::vector<uint8_t>> loaded = cache->TryLoad(u"query-42").Get();
  std::printf("stored: %s, loaded: %s\n", stored ? "yes" : "no",
              loaded ? std::string(loaded->begin(), loaded->end()).c_str() : "(miss)");
  std::printf("unknown key: %s\n", cache->TryLoad(u"query-43").Get() ? "hit" : "(miss)");

  // Until the drop below, `kelcache disk ls --dir <dir>/ExternalCacheV1 --ns Quickstart`
  // would list it.
  cache->TryDrop(u"query-42").Get();
  std::filesystem::remove_all(dir);
  return loaded ? 0 : 1;
}
