// The behaviour every second-level cache shares, written once and run against
// every IExternalCache: the disk store and the null store in
// ExternalCacheFactoryTest.cpp, the Redis store in RedisExternalCacheTest.cpp.
//
// How to run it against a store:
//   1. Include this header in exactly one source file of a test executable
//      (it defines the TEST_P bodies).
//   2. Write a ContractBackend: it owns what one test needs (a temporary
//      folder, a private redis-server, ...) and makes caches of a namespace
//      over it. One backend object is made per test and destroyed after it.
//   3. Instantiate the suite with a ContractParam that names the backend,
//      makes it, and says what the store keeps:
//
//        INSTANTIATE_TEST_SUITE_P(Redis, ExternalCacheContract,
//            ::testing::Values(ContractParam{"Redis", [] { return std::make_unique<RedisBackend>(); },
//                                            ContractExpectations{}}),
//            ContractParamName);
//
// Concurrent writers and readers are the crash test's (writer processes on
// the disk store) and the soak's (threads on the disk and Redis stores). The
// events every operation writes are the frame's (ExternalCacheFrameTest.cpp);
// the outcome a store's functions lead to is checked here through the values.
//
// Stores under the asynchronous frame must accept a load time of
// kSlowLoadMs (no lower bound is that high) and keys and values of the sizes
// used here (below the default thresholds).
#pragma once

#include "host/Errors.h"
#include "host/LogCapture.h"
#include "tests/main/caching/external/ExternalTestSupport.h"

namespace kelcache_test {

// What one test uses: makes caches over storage of its own. Caches made by
// one backend for one namespace see each other's values (they stand for
// several processes sharing the store); different namespaces never do.
class ContractBackend {
 public:
  virtual ~ContractBackend() = default;
  virtual std::shared_ptr<IByteCache> MakeCache(const TString& ns) = 0;
};

// What the store promises beyond accepting every call.
struct ContractExpectations {
  bool keepsValues = true;        // false: every load misses (the null store)
  bool listsKeys = true;          // TryGetAllKeys lists what is stored
  bool rejectsNullValues = true;  // TryStore(key, nullptr) raises a LogicException
};

struct ContractParam {
  std::string name;
  std::function<std::unique_ptr<ContractBackend>()> makeBackend;
  ContractExpectations expect;
};

inline std::string ContractParamName(const ::testing::TestParamInfo<ContractParam>& info) {
  return info.param.name;
}

// How Google Test shows a parameter in test listings and failures (else as
// its bytes).
inline void PrintTo(const ContractParam& param, std::ostream* os) {
  *os << param.name;
}

class ExternalCacheContract : public ::testing::TestWithParam<ContractParam> {
 protected:
  // The backend goes after TearDown, once what the test started has ended.
  void TearDown() override { EXPECT_TRUE(WaitForBackgroundTasks()); }

  const ContractExpectations& Expect() const { return GetParam().expect; }
  std::shared_ptr<IByteCache> MakeCache(const TString& ns = u"contract") { return m_backend->MakeCache(ns); }

  // What a load should give after value was stored.
  void ExpectLoads(const IByteCache& cache, const TString& key, const Bytes& value) {
    if (Expect().keepsValues) {
      EXPECT_TRUE(LoadsValue(cache, key, value)) << key;
    } else {
      EXPECT_EQ(cache.TryLoad(key).Get(), nullptr) << key;
    }
  }

  std::unique_ptr<ContractBackend> m_backend = GetParam().makeBackend();
};

// (The synchronous load form is the base class's, tested with the frame.)
// What was started goes on after the cache object that started it is gone,
// and another cache object over the same store sees the value.
TEST_P(ExternalCacheContract, StoredBytesComeBackUnchangedAndALaterStoreReplacesThem) {
  Bytes binary(300000);
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<uint8_t>((i * 131) ^ (i >> 8));
  binary[0] = 0;
  AsyncTask::Future<bool> store = MakeCache()->TryStore(u"k", std::make_shared<Bytes>(binary), kSlowLoadMs, -1);
  EXPECT_TRUE(store.Get());
  auto cache = MakeCache();
  ExpectLoads(*cache, u"k", binary);
  ASSERT_TRUE(Store(*cache, u"k", MakeValue("shorter")));
  ExpectLoads(*cache, u"k", *MakeValue("shorter"));
  ASSERT_TRUE(Store(*cache, u"k", std::make_shared<Bytes>()));
  ExpectLoads(*cache, u"k", Bytes());  // an empty value is a value
}

// Keys are exact; a key never stored or dropped misses, and its drop
// succeeds; TryGetAllKeys lists the stored keys of its namespace only (where
// the store lists keys at all).
TEST_P(ExternalCacheContract, KeysAreExactAndListedAndNamespacesSeparate) {
  auto cache = MakeCache(u"contract-a");
  auto other = MakeCache(u"contract-b");
  EXPECT_TRUE(cache->TryGetAllKeys().empty());
  EXPECT_EQ(cache->TryLoad(u"never stored").Get(), nullptr);
  EXPECT_TRUE(cache->TryDrop(u"never stored").Get());
  const TString keys[] = {u"Key", u"key", u"key ", u"k\u00E9y", u"\U0001F600", u"a/b\\c:d", u""};
  for (const TString& key : keys) ASSERT_TRUE(Store(*cache, key, MakeValue(key.toStdString())));
  ASSERT_TRUE(Store(*cache, u"dropped", MakeValue("v")));
  ASSERT_TRUE(cache->TryDrop(u"dropped").Get());
  EXPECT_EQ(cache->TryLoad(u"dropped").Get(), nullptr);
  for (const TString& key : keys) ExpectLoads(*cache, key, *MakeValue(key.toStdString()));
  EXPECT_EQ(other->TryLoad(u"Key").Get(), nullptr) << "another namespace sees nothing";
  ASSERT_TRUE(Store(*other, u"Key", MakeValue("other namespace")));
  ASSERT_TRUE(Store(*other, u"only in b", MakeValue("other namespace")));
  ExpectLoads(*cache, u"Key", *MakeValue("Key"));
  ExpectLoads(*other, u"Key", *MakeValue("other namespace"));
  const std::vector<TString> listed = cache->TryGetAllKeys();
  EXPECT_EQ(std::set<TString>(listed.begin(), listed.end()),
            Expect().listsKeys ? std::set<TString>(std::begin(keys), std::end(keys)) : std::set<TString>());
}

TEST_P(ExternalCacheContract, NullValuesAreRefusedOrIgnored) {
  auto cache = MakeCache();
  if (Expect().rejectsNullValues) {
    EXPECT_EQ(kelcache_test::LogicExceptionSite([&] { cache->TryStore(u"k", nullptr, kSlowLoadMs, -1); }),
              "public/caching/ExternalCache:81 val");
  } else {
    EXPECT_TRUE(cache->TryStore(u"k", nullptr, kSlowLoadMs, -1).Get());
  }
  EXPECT_EQ(cache->TryLoad(u"k").Get(), nullptr);
}

}  // namespace kelcache_test
