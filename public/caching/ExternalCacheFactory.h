// ExternalCacheFactory: where every user of a second-level cache gets the
// cache of a namespace.
//
// The process holds one factory, from library load to unload, with one
// replaceable maker: a function of (namespace, size budget in MiB, sweeper
// argument) that makes the cache. Until a host installs a maker of its own
// (Initialize), and again after UnInitialize, the factory makes null stores.
// While AllowFactoryOverridePerNamespace() is true (the default), the
// namespaces "MapTiles" and "WAV2" are always served by the authoring-client
// maker (a disk store when the external cache is enabled, else a null store),
// whatever maker is installed.
//
//   ExternalCacheFactory::Initialize(ExternalCacheFactory::MakeDefaultCacheForAuthoringClient());
//   auto cache = ExternalCacheFactory::MakeCache(u"PSC", 512, 0);
//
// Thread rules: no lock. MakeCache may run on any number of threads at once.
// Initialize, UnInitialize and AllowFactoryOverridePerNamespace(bool) change
// shared state without synchronisation: call them at start-up or shut-down,
// never while another thread is in MakeCache. The installed maker runs in
// place (a maker with state of its own keeps it from call to call), and
// Initialize and UnInitialize destroy the maker they replace at once: a maker
// must not call them, since it would destroy itself, and what it captured,
// while it runs.
//
// Ownership: the caches are shared objects (std::shared_ptr); the factory
// keeps none of them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "host/Export.h"
#include "host/TString.h"
#include "public/caching/ExternalCache.h"

namespace kelvra::caching {

class KELCACHE_EXPORT ExternalCacheFactory {
 public:
  using Cache = IExternalCache<TString, std::vector<uint8_t>>;
  // A maker: (ns, sizeMb, sweeperArg) -> the cache of ns, or null.
  using CacheFactoryFunc =
      std::function<std::shared_ptr<Cache>(TString ns, uint64_t sizeMb, unsigned sweeperArg)>;

  static const TString MapTilesCacheNamespace;              // "MapTiles"
  static const TString WorkbookAttributesCacheNamespace;    // "WAV2"
  static const TString PortableSessionCheckpointNamespace;  // "PSC"

  // Installs a copy of maker (the earlier one is destroyed). No check: an
  // empty function is accepted, and MakeCache of an ordinary namespace then
  // raises.
  static void Initialize(CacheFactoryFunc maker);
  // Puts the null maker back. LogicException "cacheFactoryFunc"
  // (main/caching/ExternalCacheFactory, line 73) when the installed maker is
  // empty; it then stays empty.
  static void UnInitialize();
  // The cache of ns. sizeMb: a size budget in MiB (the authoring-client maker
  // gives its sweeper sizeMb * 2^20 bytes); sweeperArg goes to the folder
  // sweeper unchanged (its minimum entry age in seconds). LogicException
  // "cacheFactoryFunc" (line 58) when the installed maker is empty and ns is
  // not served by the authoring-client maker. The maker's result is returned
  // unchanged (it may be null); what the maker raises passes through.
  static std::shared_ptr<Cache> MakeCache(TString ns, uint64_t sizeMb, unsigned sweeperArg);
  // The authoring-client maker: a DiskExternalCache(ns, sweeper) with a new
  // FolderSweeper(sizeMb << 20, least recently written first, sweeperArg,
  // 5 minutes) when ExternalCacheEnabled(), else a new NullExternalCache.
  static CacheFactoryFunc MakeDefaultCacheForAuthoringClient();
  // The null maker: a new NullExternalCache on every call.
  static CacheFactoryFunc MakeNullCache();
  // Sets, and reads, whether the namespaces "MapTiles" and "WAV2" are always
  // made by the authoring-client maker (see the header comment). Not
  // synchronised: set it at start-up, as Initialize.
  static void AllowFactoryOverridePerNamespace(bool allow);
  static bool AllowFactoryOverridePerNamespace();

  // Whether a namespace may have a maker of its own (initially true). Read
  // and written without synchronisation, like the rest of the factory's
  // set-up: change it only while no thread is in MakeCache.
  static bool s_allowFactoryOverridePerNamespace;

  ExternalCacheFactory(const ExternalCacheFactory&) = default;
  ExternalCacheFactory(ExternalCacheFactory&&) noexcept = default;
  ExternalCacheFactory& operator=(const ExternalCacheFactory&) = default;
  ExternalCacheFactory& operator=(ExternalCacheFactory&&) noexcept = default;
  ~ExternalCacheFactory();

 private:
  // Holds the null maker.
  ExternalCacheFactory();
  static ExternalCacheFactory& GetInstance();

  // The process-wide instance, made at library load.
  static ExternalCacheFactory s_instance;

  CacheFactoryFunc cacheFactoryFunc;
};

}  // namespace kelvra::caching
