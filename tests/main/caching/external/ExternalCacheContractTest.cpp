// The shared store behaviour (ExternalCacheContract.h) run against the disk
// store and the null store.

#include "public/caching/DiskExternalCache.h"
#include "public/caching/NullExternalCache.h"
#include "tests/main/caching/external/ExternalCacheContract.h"
#include "tests/support/TestEnvironment.h"

namespace kelcache_test {
namespace {

// Disk caches under a temporary folder of the test's own, one namespace
// folder per namespace (as the namespace constructor lays them out).
class DiskBackend : public ContractBackend {
 public:
  std::shared_ptr<IByteCache> MakeCache(const TString& ns) override {
    const TPath path(TString::fromStdString((m_temp.path() / "ExternalCacheV1").string()));
    return std::make_shared<kelvra::caching::DiskExternalCache>(ns, path / TPath(ns), nullptr);
  }

 private:
  TempDir m_temp;
};

class NullBackend : public ContractBackend {
 public:
  std::shared_ptr<IByteCache> MakeCache(const TString&) override {
    return std::make_shared<kelvra::caching::NullExternalCache<TString, Bytes>>();
  }
};

INSTANTIATE_TEST_SUITE_P(
    Stores, ExternalCacheContract,
    ::testing::Values(ContractParam{"Disk", [] { return std::make_unique<DiskBackend>(); },
                                    ContractExpectations{}},
                      ContractParam{"Null", [] { return std::make_unique<NullBackend>(); },
                                    ContractExpectations{.keepsValues = false,
                                                         .listsKeys = false,
                                                         .rejectsNullValues = false}}),
    ContractParamName);

}  // namespace
}  // namespace kelcache_test
