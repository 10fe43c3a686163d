// The process-wide external cache factory, its two built-in makers and its
// namespace constants.
#include "public/caching/ExternalCacheFactory.h"

#include <chrono>
#include <utility>

#include "host/Errors.h"
#include "host/FolderSweeper.h"
#include "public/caching/DiskExternalCache.h"
#include "public/caching/NullExternalCache.h"

namespace kelvra::caching {

namespace {

constexpr const char* kSource = "main/caching/ExternalCacheFactory";
// The lines that the empty-maker checks report.
constexpr int kMakeCacheEmptyMakerLine = 58;
constexpr int kUnInitializeEmptyMakerLine = 73;
// How often the disk stores' sweeper may scan a folder on its own.
constexpr std::chrono::nanoseconds kSweepInterval{300000000000};

using NullCache = NullExternalCache<TString, std::vector<uint8_t>>;

std::shared_ptr<ExternalCacheFactory::Cache> MakeNull(TString, uint64_t, unsigned) {
  return std::make_shared<NullCache>();
}

std::shared_ptr<ExternalCacheFactory::Cache> MakeForAuthoringClient(TString ns, uint64_t sizeMb,
                                                                    unsigned sweeperArg) {
  if (!ExternalCacheEnabled()) return std::make_shared<NullCache>();
  auto sweeper = std::make_shared<FolderSweeper>(sizeMb << 20, static_cast<FolderSweepOrder>(0), sweeperArg,
                                                 kSweepInterval);
  return std::make_shared<DiskExternalCache>(std::move(ns), std::move(sweeper));
}

}  // namespace

const TString ExternalCacheFactory::MapTilesCacheNamespace(u"MapTiles");
const TString ExternalCacheFactory::WorkbookAttributesCacheNamespace(u"WAV2");
const TString ExternalCacheFactory::PortableSessionCheckpointNamespace(u"PSC");

bool ExternalCacheFactory::s_allowFactoryOverridePerNamespace = true;
ExternalCacheFactory ExternalCacheFactory::s_instance;

ExternalCacheFactory::ExternalCacheFactory() : cacheFactoryFunc(&MakeNull) {}

ExternalCacheFactory::~ExternalCacheFactory() = default;

ExternalCacheFactory& ExternalCacheFactory::GetInstance() {
  return s_instance;
}

void ExternalCacheFactory::Initialize(CacheFactoryFunc maker) {
  GetInstance().cacheFactoryFunc = std::move(maker);
}

void ExternalCacheFactory::UnInitialize() {
  ExternalCacheFactory& instance = GetInstance();
  if (!instance.cacheFactoryFunc)
    ThrowLogicException(kSource, kUnInitializeEmptyMakerLine, "cacheFactoryFunc");
  instance.cacheFactoryFunc = &MakeNull;
}

std::shared_ptr<ExternalCacheFactory::Cache> ExternalCacheFactory::MakeCache(TString ns, uint64_t sizeMb,
                                                                             unsigned sweeperArg) {
  // The authoring client's own namespaces bypass the installed maker.
  if (s_allowFactoryOverridePerNamespace &&
      (ns == MapTilesCacheNamespace || ns == WorkbookAttributesCacheNamespace)) {
    return MakeForAuthoringClient(std::move(ns), sizeMb, sweeperArg);
  }
  const ExternalCacheFactory& instance = GetInstance();
  if (!instance.cacheFactoryFunc) ThrowLogicException(kSource, kMakeCacheEmptyMakerLine, "cacheFactoryFunc");
  // In place, so that a maker with state of its own keeps it from call to call.
  return instance.cacheFactoryFunc(std::move(ns), sizeMb, sweeperArg);
}

ExternalCacheFactory::CacheFactoryFunc ExternalCacheFactory::MakeDefaultCacheForAuthoringClient() {
  return &MakeForAuthoringClient;
}

ExternalCacheFactory::CacheFactoryFunc ExternalCacheFactory::MakeNullCache() {
  return &MakeNull;
}

void ExternalCacheFactory::AllowFactoryOverridePerNamespace(bool allow) {
  s_allowFactoryOverridePerNamespace = allow;
}

bool ExternalCacheFactory::AllowFactoryOverridePerNamespace() {
  return s_allowFactoryOverridePerNamespace;
}

}  // namespace kelvra::caching
