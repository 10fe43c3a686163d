// The behaviour every second-level cache shares (ExternalCacheContract.h),
// run against the Redis store over a private redis-server per test.

#include "public/caching/RedisExternalCache.h"
#include "tests/main/caching/external/ExternalCacheContract.h"
#include "tests/host/redis/RedisTestSupport.h"

namespace kelcache_test {
namespace {

// One server per test; every cache of the test goes through the process's
// pool, configured for that server.
class RedisBackend : public ContractBackend {
 public:
  RedisBackend() { ConfigurePool({&m_server}); }
  ~RedisBackend() override { kelvra::caching::RedisConnectionPool::GetInstance().Reset(u"", u""); }

  std::shared_ptr<IByteCache> MakeCache(const TString& ns) override {
    return std::make_shared<kelvra::caching::RedisExternalCache>(ns);
  }

 private:
  RedisServer m_server;
};

INSTANTIATE_TEST_SUITE_P(Stores, ExternalCacheContract,
                         ::testing::Values(ContractParam{"Redis", [] { return std::make_unique<RedisBackend>(); },
                                                         ContractExpectations{.listsKeys = false}}),
                         ContractParamName);

}  // namespace
}  // namespace kelcache_test
