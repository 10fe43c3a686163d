// The Redis external cache against a private redis-server: the physical key
// as Redis holds it, the expiry for every option and flag combination, no
// connection meaning a miss, the metrics scopes, and the pool set-up through
// InitializeConnectionPool. Binary values and separate namespaces are in the
// contract every store shares (ExternalCacheContract.h), run here as well.

#include "host/AppOptions.h"
#include "host/FeatureFlags.h"
#include "host/Metrics.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisErrors.h"
#include "public/caching/RedisExternalCache.h"
#include "tests/main/caching/external/ExternalCacheContract.h"
#include "tests/host/redis/RedisTestSupport.h"

namespace kelcache_test {
namespace {

using kelvra::appoptions::ScopedOptionOverride;
using kelvra::caching::RedisConnectionPool;
using kelvra::caching::RedisExternalCache;

constexpr FeatureFlagId kStoreTtlFlag = 0x94AA12A3;

// The contract's backend: one server per test; every cache of the test goes
// through the process's pool, configured for that server.
class RedisBackend : public ContractBackend {
 public:
  RedisBackend() { Configure(m_server.Address()); }
  ~RedisBackend() override { RedisConnectionPool::GetInstance().Reset(u"", u""); }
  std::shared_ptr<IByteCache> MakeCache(const TString& ns) override {
    return std::make_shared<RedisExternalCache>(ns);
  }

 private:
  RedisServer m_server;
};

INSTANTIATE_TEST_SUITE_P(Stores, ExternalCacheContract,
                         ::testing::Values(ContractParam{"Redis", [] { return std::make_unique<RedisBackend>(); },
                                                         ContractExpectations{.listsKeys = false}}),
                         ContractParamName);

class RedisExternalCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { Configure(m_server.Address()); }
  void TearDown() override { EXPECT_TRUE(WaitForBackgroundTasks()); }

  RedisServer m_server;
  RawRedis m_raw{m_server};
};

// No escaping: a line feed in the namespace passes into the physical key
// unchanged, as any other character does; keys that differ only in an
// unpaired surrogate keep different physical keys. Every operation runs in a
// metrics scope of its own.
TEST_F(RedisExternalCacheTest, ValuesLieUnderNamespaceLineFeedKeyInUtf8) {
  EXPECT_EQ(RedisExternalCache::MakePhysicalCacheKey(u"", u"k"), std::string("\nk"));
  EXPECT_EQ(RedisExternalCache::MakePhysicalCacheKey(u"ns", u""), std::string("ns\n"));
  const char16_t lone[] = {u'k', 0xD800, 0};
  const char16_t replaced[] = {u'k', 0xFFFD, 0};
  EXPECT_NE(RedisExternalCache::MakePhysicalCacheKey(u"ns", lone),
            RedisExternalCache::MakePhysicalCacheKey(u"ns", replaced));

  Metrics::Capture metrics;
  RedisExternalCache cache(u"WAV2");
  ASSERT_TRUE(Store(cache, u"k1", MakeValue("stored")));
  ASSERT_TRUE(Store(cache, u"gr\u00FC\u00DFe", MakeValue("umlaut")));
  ASSERT_TRUE(Store(RedisExternalCache(u"a\nb"), u"c", MakeValue("namespace with a line feed")));
  EXPECT_EQ(m_raw.DbSize(), 3);
  EXPECT_EQ(m_raw.Get("WAV2\nk1"), "stored");
  EXPECT_EQ(m_raw.Get("WAV2\ngr\xC3\xBC\xC3\x9F" "e"), "umlaut");
  EXPECT_EQ(m_raw.Get("a\nb\nc"), "namespace with a line feed");

  // A value written by another client under the physical key is a hit.
  m_raw.Command({"SET", "WAV2\nfrom-outside", std::string("o\0k", 3)});
  EXPECT_TRUE(LoadsValue(cache, u"from-outside", *MakeValue(std::string("o\0k", 3))));
  EXPECT_TRUE(cache.TryDrop(u"k1").Get());
  EXPECT_EQ(m_raw.Get("WAV2\nk1"), std::nullopt);
  const std::pair<const char16_t*, size_t> scopes[] = {
      {u"RedisExternalCache::TryStore", 3}, {u"RedisExternalCache::TryLoad", 1}, {u"RedisExternalCache::TryDrop", 1}};
  for (const auto& [name, count] : scopes) {
    ASSERT_EQ(metrics.Scopes(name).size(), count) << TString(name);
    for (const auto& scope : metrics.Scopes(name)) EXPECT_EQ(scope.mask, 0x20001u);
  }
}

TEST_F(RedisExternalCacheTest, TheExpiryFollowsTheOptionsAndTheFlagAtEachStore) {
  RedisExternalCache cache(u"ttl");
  struct Case {
    bool alwaysSetEx;
    int setExSec;
    bool flag;
    long long ttlSec;
    long long expectedTtl;  // -1: no expiry
  };
  const Case cases[] = {
      {false, 3600, false, 60, -1}, {false, 3600, true, 60, -1},  {false, 3600, true, -1, -1},
      {true, 3600, false, 0, 3600}, {true, 3600, false, -5, 3600}, {true, 3600, false, 60, 3600},
      {true, 3600, true, 60, 60},   {true, 3600, true, 0, 3600},  {true, 3600, true, -1, 3600},
      {true, 7200, true, 86400 * 400LL, 86400 * 400LL},
  };
  int index = 0;
  for (const Case& c : cases) {
    ScopedOptionOverride always("ExternalCacheRedisAlwaysSetEx", c.alwaysSetEx);
    ScopedOptionOverride seconds("ExternalCacheRedisAlwaysSetExSec", c.setExSec);
    FeatureFlags::ScopedOverride flag(kStoreTtlFlag, c.flag);
    TString key = TString(u"case-") + TString::number(index++);
    ASSERT_TRUE(Store(cache, key, MakeValue("v"), c.ttlSec));
    const long long ttl = m_raw.Ttl("ttl\n" + key.toStdString());
    const bool expected = c.expectedTtl < 0 ? ttl == -1 : ttl <= c.expectedTtl && ttl >= c.expectedTtl - 5;
    EXPECT_TRUE(expected) << key << ": TTL " << ttl << ", expected " << c.expectedTtl;
  }
  // An expiry Redis refuses (not positive) fails the store.
  {
    ScopedOptionOverride always("ExternalCacheRedisAlwaysSetEx", true);
    ScopedOptionOverride seconds("ExternalCacheRedisAlwaysSetExSec", 0);
    TLog::Capture capture(TLog::Info);
    EXPECT_FALSE(Store(cache, u"refused", MakeValue("v"), 60));
    EXPECT_EQ(Field(SingleEvent(capture, u"ec-store"), "problem"), "exception");
    EXPECT_EQ(m_raw.Get("ttl\nrefused"), std::nullopt);
  }
}

TEST_F(RedisExternalCacheTest, WithoutAConnectionLoadsMissAndStoresDoNothing) {
  RedisExternalCache cache(u"offline");
  ASSERT_TRUE(Store(cache, u"k", MakeValue("v")));

  TLog::Capture capture(TLog::Info);
  Metrics::Capture metrics;
  RedisConnectionPool::GetInstance().Reset(u"", u"");  // no server at all
  EXPECT_EQ(cache.TryLoad(u"k").Get(), nullptr);
  EXPECT_EQ(metrics.Scopes(u"RedisExternalCache::TryLoad").size(), 1u) << "in its metrics scope as ever";
  EXPECT_TRUE(Store(cache, u"k2", MakeValue("v")));
  EXPECT_TRUE(cache.TryDrop(u"k").Get());
  EXPECT_EQ(Field(SingleEvent(capture, u"ec-load"), "outcome"), "miss") << "a miss, not a failure";
  EXPECT_EQ(m_raw.DbSize(), 1) << "nothing was written or dropped";
}

// The option is only logged, in one line, whatever the options text says of
// TLS (here nothing: these connections are plain).
TEST_F(RedisExternalCacheTest, InitializeConnectionPoolLogsTheTlsOptionAndPassesItsArgumentsThrough) {
  RedisConnectionPool& pool = RedisConnectionPool::GetInstance();
  TLog::Capture capture;  // every severity
  RedisExternalCache::InitializeConnectionPool(TString::fromStdString(m_server.Address()), u"connections=3");
  EXPECT_EQ(capture.Lines(), std::vector<TString>{u"ExternalCacheSslTlsEnabled=false"});
  ASSERT_NE(pool.GetConfiguration(), nullptr);
  EXPECT_EQ(pool.GetConfiguration()->servers.front().port, m_server.Port());
  EXPECT_EQ(pool.GetConfiguration()->options.connectionsPerServer, 3);

  capture.Clear();
  {
    ScopedOptionOverride tls("ExternalCacheSslTlsEnabled", true);
    RedisExternalCache::InitializeConnectionPool(
        std::vector<std::pair<TString, uint16_t>>{{u"127.0.0.1", m_server.Port()}}, u"db=2");
  }
  EXPECT_EQ(capture.Lines(), std::vector<TString>{u"ExternalCacheSslTlsEnabled=true"});
  EXPECT_EQ(capture.Records().front().severity, TLog::Info);
  EXPECT_EQ(pool.GetConfiguration()->options.database, 2);

  EXPECT_THROW(RedisExternalCache::InitializeConnectionPool(u"127.0.0.1:x", u""),
               kelvra::caching::RedisConfigurationError);
}

}  // namespace
}  // namespace kelcache_test
